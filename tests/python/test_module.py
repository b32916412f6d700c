"""The module entry: its contents, the init export, and what it exports."""

import ctypes
import inspect
import shutil
import subprocess

import pytest


def test_contents(native):
    assert native.__all__ == ["_NativeProductQuantizer", "_NativeDenseKMeans", "_NativePQKMeans", "simd_runtime"]
    assert native.__doc__ == ""
    assert native.__name__ == "tarvinex._tarvinex"
    public = {name for name in dir(native) if not name.startswith("__")}
    assert public == {"_NativeProductQuantizer", "_NativeDenseKMeans", "_NativePQKMeans", "simd_runtime"}


def test_simd_runtime_function(native):
    function = native.simd_runtime
    assert function.__text_signature__ == "()"
    assert function.__doc__ is None
    assert inspect.signature(function) == inspect.Signature()
    assert function.__self__ is native
    assert function.__module__ == native.__name__
    label = function()
    assert label in ("scalar", "avx2", "avx512")
    assert function() == label
    with pytest.raises(TypeError):
        function(1)


def test_package_reexports(native):
    import tarvinex

    assert tarvinex.simd_runtime is native.simd_runtime
    assert tarvinex.__all__ == native.__all__


def test_second_init_returns_the_cached_module(native):
    library = ctypes.PyDLL(native.__file__)
    init = library.PyInit__tarvinex
    init.restype = ctypes.py_object
    assert init() is native
    assert native.__all__ == ["_NativeProductQuantizer", "_NativeDenseKMeans", "_NativePQKMeans", "simd_runtime"]


def test_sub_interpreter_is_refused(native):
    interpreters = pytest.importorskip("_interpreters")
    interpreter = interpreters.create("legacy")
    try:
        failure = interpreters.run_string(interpreter, "import tarvinex._tarvinex")
    finally:
        interpreters.destroy(interpreter)
    assert failure is not None
    assert failure.type.__name__ == "ImportError"
    assert "sub-interpreters" in failure.msg


@pytest.mark.skipif(shutil.which("nm") is None, reason="nm not installed")
def test_only_the_init_export_is_exported(native):
    listing = subprocess.run(
        ["nm", "-D", "--defined-only", native.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = {line.split()[-1] for line in listing.splitlines() if line.strip()}
    assert symbols == {"PyInit__tarvinex"}
