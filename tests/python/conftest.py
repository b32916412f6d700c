import pytest


@pytest.fixture(scope="session")
def native():
    import tarvinex._tarvinex as native_module

    return native_module


@pytest.fixture(scope="session")
def hooks():
    return pytest.importorskip("_tarvinex_testhooks")
