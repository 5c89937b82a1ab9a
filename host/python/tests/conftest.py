"""Where the modules under test are: the build tree the package was loaded
from (<build>/host/python/efi), or EFI_BUILD_DIR."""
import os
import pathlib
import signal
import subprocess
import sys
import textwrap

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
DESCRIBED = BUILD / "tests/bridge/libefi_described_module.so"
KEYWORDS = BUILD / "host/python/libefi_python_keyword_module.so"
THREADS = BUILD / "host/python/libefi_python_threads_module.so"
EFI_CALL = BUILD / "tools/efi-call"
PACKAGE_ROOT = str(pathlib.Path(efi.__file__).resolve().parents[1])


def pytest_configure(config):
    config.addinivalue_line("markers", "venv: builds and installs the package into a virtual environment (minutes "
                            "on the first run)")


def run_fresh(prologue, script, timeout=120, **env_changes):
    """Runs `prologue`, then `script` dedented, in a new interpreter on this
    package and in a session of its own; returns its output, stripped. It
    must exit with status 0 and no fatal error. Past `timeout` seconds every
    process it started (a forked child, a worker) is killed and the test
    fails."""
    env = dict(os.environ, PYTHONPATH=PACKAGE_ROOT, **env_changes)
    p = subprocess.Popen([sys.executable, "-c", prologue + textwrap.dedent(script)], env=env, text=True,
                         stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True)
    try:
        out, err = p.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(p.pid, signal.SIGKILL)
        p.communicate()
        pytest.fail(f"still running after {timeout} s")
    assert p.returncode == 0, err
    assert "Fatal Python error" not in err
    return out.strip()


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
def threads_module():
    """Thread-safe functions for the thread tests (build tree only)."""
    if not THREADS.exists():
        pytest.skip(f"{THREADS} not built")
    return efi.load(THREADS)


@pytest.fixture(scope="session")
def modules(sample, request):
    """Modules by name, for tables that name the module of each case: also
    "described", the bridge tests' module whose table describes its
    functions, and "keywords", one whose parameters are named as Python
    cannot write them (both build tree only)."""
    found = {"sample": sample}
    for name, path in (("odd", ODD), ("described", DESCRIBED), ("keywords", KEYWORDS)):
        if path.exists():
            found[name] = efi.load(path)
    return found

