import os
import subprocess
import sys

import pytest


def _cpu_flags():
    try:
        with open("/proc/cpuinfo") as cpuinfo:
            for line in cpuinfo:
                if line.startswith("flags"):
                    return set(line.split(":", 1)[1].split())
    except OSError:
        pass
    return set()


CPU_FLAGS = _cpu_flags()
HAS_AVX2 = "avx2" in CPU_FLAGS
HAS_AVX512F = "avx512f" in CPU_FLAGS


def run_python(code, **env_overrides):
    """Runs `code` in a fresh interpreter whose TARVINEX_* environment is
    exactly `env_overrides`, and returns its standard output."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("TARVINEX_")}
    env.update(env_overrides)
    completed = subprocess.run(
        [sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=120
    )
    assert completed.returncode == 0, completed.stderr
    return completed.stdout


@pytest.fixture(scope="session")
def native():
    import tarvinex._tarvinex as native_module

    return native_module


@pytest.fixture(scope="session")
def hooks():
    return pytest.importorskip("_tarvinex_testhooks")
