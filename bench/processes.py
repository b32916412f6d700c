"""Every library of a benchmark, and every setting of tarvinex, in a child
process of its own.

Thread runtimes that share a process wait on each other: after faiss (OpenMP)
had run, scikit-learn (another OpenMP copy) and tarvinex (oneTBB) slowed down
by factors of up to 80. A setting read from the environment, likewise, belongs
to the process it starts with, never to `os.environ` changed between runs. So
a benchmark script calls its own functions through `run_child`, which starts
the same script in a fresh interpreter with the environment given, on data
the parent saved once (the same rows for every child), and returns the
function's JSON result.

A script ends with `serve_children({...})` before its own `main()`: in a child
it runs the named function and exits; in the parent it returns at once.
"""

import json
import os
import subprocess
import sys
import tempfile

import numpy as np

_CHILD_FLAG = "--bench-child"
_RESULT_PREFIX = "bench-result "
_ABSENT = "absent"
_absent_functions = set()


class SharedArrays:
    """A temporary folder of .npy files that children load by name."""

    def __init__(self):
        self._folder = tempfile.TemporaryDirectory(prefix="tarvinex-bench-")

    def save(self, name, array):
        path = os.path.join(self._folder.name, f"{name}.npy")
        np.save(path, array)
        return path

    def close(self):
        self._folder.cleanup()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def load(path):
    """An array a parent saved, read whole into memory (not mapped), so no
    timing pays for page faults."""
    return np.load(path)


def run_child(function, env=None, **params):
    """`function(**params)` of the calling script in a fresh interpreter whose
    TARVINEX_* variables are exactly `env`; its JSON result, or None when the
    child found a library missing (it raised ImportError); a function found
    wanting once is not started again."""
    if function in _absent_functions:
        return None
    environment = {key: value for key, value in os.environ.items() if not key.startswith("TARVINEX_")}
    environment.update(env or {})
    script = os.path.abspath(sys.argv[0])
    command = [sys.executable, script, _CHILD_FLAG, function, json.dumps(params)]
    done = subprocess.run(command, env=environment, stdout=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"{function} failed in its child process (exit {done.returncode})")
    lines = [line for line in done.stdout.splitlines() if line.startswith(_RESULT_PREFIX)]
    result = json.loads(lines[-1][len(_RESULT_PREFIX):])
    if result == _ABSENT:
        _absent_functions.add(function)
        return None
    return result


def kernel_family():
    """tarvinex's kernel family, asked in a child so the parent never loads the
    library (and the thread pools its libraries start at load)."""
    import tarvinex

    return tarvinex.simd_runtime()


def serve_children(functions):
    """In a child started by `run_child`, runs the function it names (or
    `kernel_family`) and exits."""
    if len(sys.argv) < 2 or sys.argv[1] != _CHILD_FLAG:
        return
    name, params = sys.argv[2], json.loads(sys.argv[3])
    try:
        result = {"kernel_family": kernel_family, **functions}[name](**params)
    except ImportError as missing:
        print(f"{missing.name or missing} is not installed here: skipped", file=sys.stderr)
        result = _ABSENT
    print(_RESULT_PREFIX + json.dumps(result), flush=True)
    sys.exit(0)


def workers():
    """The CPUs this process may run on: every library gets as many threads."""
    return len(os.sched_getaffinity(0))
