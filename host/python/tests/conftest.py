"""Where the modules under test are: the build tree the package was loaded
from (<build>/host/python/efi), or EFI_BUILD_DIR."""
import os
import pathlib

import pytest

import efi


def _build_dir():
    if os.environ.get("EFI_BUILD_DIR"):
        return pathlib.Path(os.environ["EFI_BUILD_DIR"])
    return pathlib.Path(efi.__file__).resolve().parents[3]


BUILD = _build_dir()
SAMPLE = pathlib.Path(os.environ.get("EFI_SAMPLE_MODULE", BUILD / "examples/sample/libefi_sample.so"))
C_SAMPLE = pathlib.Path(os.environ.get("EFI_C_SAMPLE_MODULE", BUILD / "examples/c/libefi_c_sample.so"))
ODD = BUILD / "tests/bridge/libefi_test_module.so"
EFI_CALL = BUILD / "tools/efi-call"


@pytest.fixture(scope="session")
def sample():
    return efi.load(SAMPLE)


@pytest.fixture(scope="session")
def c_sample():
    """The sample's twin in C."""
    return efi.load(C_SAMPLE)


@pytest.fixture(scope="session")
def odd():
    """The bridge tests' module of odd declarations (build tree only)."""
    if not ODD.exists():
        pytest.skip(f"{ODD} not built")
    return efi.load(ODD)


@pytest.fixture(scope="session")
def modules(sample, request):
    """Modules by name, for tables that name the module of each case."""
    found = {"sample": sample}
    if ODD.exists():
        found["odd"] = efi.load(ODD)
    return found
