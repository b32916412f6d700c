"""What the Python tests share: one runner for code in a fresh interpreter, the
processor features the library detected, and small PQ data with its NumPy
distances."""

import json
import os
import subprocess
import sys
import tempfile

import numpy as np


def run_python(code, env=None, *, arrays=None, with_stderr=False):
    """Runs `code` in a fresh interpreter whose TARVINEX_* environment is exactly
    `env` and returns what it printed to standard output, parsed as JSON; with
    `with_stderr`, the pair (value, lines of standard error). `arrays`, a dict of
    NumPy arrays, reach the code as an .npz file whose path is sys.argv[1]."""
    environment = {key: value for key, value in os.environ.items() if not key.startswith("TARVINEX_")}
    environment.update(env or {})
    with tempfile.TemporaryDirectory() as folder:
        arguments = []
        if arrays is not None:
            path = os.path.join(folder, "arrays.npz")
            np.savez(path, **arrays)
            arguments.append(path)
        done = subprocess.run(
            [sys.executable, "-c", code, *arguments], env=environment, capture_output=True, text=True, timeout=120
        )
    assert done.returncode == 0, done.stderr
    value = json.loads(done.stdout)
    return (value, done.stderr.splitlines()) if with_stderr else value


def _detected_cpu_features():
    """{"avx2": bool, "avx512f": bool, "avx512bw": bool} as the library found
    them, or None where the test-only extension is not built."""
    try:
        import _tarvinex_testhooks
    except ImportError:
        return None
    return _tarvinex_testhooks.detected_cpu_features()


CPU_FEATURES = _detected_cpu_features()
HAS_AVX2 = bool(CPU_FEATURES and CPU_FEATURES["avx2"])
HAS_AVX512F = bool(CPU_FEATURES and CPU_FEATURES["avx512f"])


# Small PQ data with integer-valued codewords, so every table distance and every
# sum of them is exact in float32 and a NumPy reference agrees bit for bit.


def make_codewords(m=4, ks=8, ds=2, seed=0):
    rng = np.random.default_rng(seed)
    return rng.integers(0, 10, size=(m, ks, ds)).astype(np.float32)


def make_codes(n=300, m=4, ks=8, seed=1, clusters=None):
    rng = np.random.default_rng(seed)
    if clusters is None:
        return rng.integers(0, ks, size=(n, m), dtype=np.uint8)
    # Rows near a few prototypes: one code in four changed at random.
    prototypes = rng.integers(0, ks, size=(clusters, m), dtype=np.uint8)
    codes = prototypes[rng.integers(0, clusters, size=n)]
    noise = rng.random(size=codes.shape) < 0.25
    codes[noise] = rng.integers(0, ks, size=int(noise.sum()), dtype=np.uint8)
    return codes


def distance_table(codewords):
    """(M, Ks, Ks) float32 squared distances between the codewords of each
    subquantizer: subtract, square and add per dimension, in order."""
    m, ks, ds = codewords.shape
    table = np.zeros((m, ks, ks), dtype=np.float32)
    for d in range(ds):
        diff = codewords[:, :, None, d] - codewords[:, None, :, d]
        table = table + diff * diff
    return table


def symmetric_distances(codes, centers, table):
    """(n, k) float32 sums of table entries between each row's and each center's
    codes, added subquantizer by subquantizer."""
    totals = np.zeros((codes.shape[0], centers.shape[0]), dtype=np.float32)
    for s in range(codes.shape[1]):
        totals = totals + table[s][codes[:, s][:, None], centers[:, s][None, :]]
    return totals
