"""The Python host (package efi) for pip: `pip install PATH` with PATH this
repository builds the extension, libefi and the libraries it loads, and
efi-worker with CMake, and installs them inside the package:

    efi/__init__.py, stubgen.py, _efi.pyi, py.typed
    efi/_efi.cpython-*.so      found libraries by RPATH $ORIGIN/lib
    efi/lib/libefi.so.0, ...   each other by $ORIGIN
    efi/bin/efi-worker         found by libefi as ../bin from its folder

so the package works wherever it is installed (a virtual environment, a
user's site directory), and `pip uninstall efi` removes all of it. Needs
what the CMake build needs (cmake, a C++20 compiler, python3-dev,
pybind11, numpy); with Debian's setuptools and wheel, build offline with
`pip install --no-build-isolation --no-index PATH`.

The CMake build is kept in build/python-package (EFI_PACKAGE_BUILD_DIR to
put it elsewhere), so that installing again rebuilds only what changed,
and goes through ccache when it is installed. `cmake --install` of a build
of its own installs the package into the interpreter's directory instead.
"""
import os
import pathlib
import re
import shutil
import subprocess
import sys

from setuptools import Extension, setup
from setuptools.command.build_ext import build_ext

ROOT = pathlib.Path(__file__).resolve().parent
VERSION = re.search(r"project\(efi VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text()).group(1)


class CMakeBuild(build_ext):
    """Builds everything the package loads with CMake, installs it into a
    staging prefix laid out as the package (libraries in efi/lib, programs
    in efi/bin, so the relative paths CMake builds in hold), and copies the
    package's part of it into the wheel."""

    def build_extension(self, ext):
        build = pathlib.Path(os.environ.get("EFI_PACKAGE_BUILD_DIR") or ROOT / "build" / "python-package").resolve()
        stage = build / "stage"
        configure = ["cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=RelWithDebInfo",
                     "-DEFI_BUILD_TESTS=OFF", "-DEFI_BUILD_EXAMPLES=OFF", "-DEFI_BUILD_BENCH=OFF",
                     "-DEFI_BUILD_TOOLS=ON", "-DEFI_BUILD_PYTHON=ON", "-DEFI_INSTALL=ON",
                     f"-DPython3_EXECUTABLE={sys.executable}",
                     f"-DCMAKE_INSTALL_PREFIX={stage}", "-DCMAKE_INSTALL_LIBDIR=efi/lib",
                     "-DCMAKE_INSTALL_BINDIR=efi/bin", "-DEFI_PYTHON_PACKAGES_DIR=."]
        if shutil.which("ninja") and not (build / "CMakeCache.txt").exists():
            configure += ["-G", "Ninja"]
        if shutil.which("ccache"):
            configure += ["-DCMAKE_C_COMPILER_LAUNCHER=ccache", "-DCMAKE_CXX_COMPILER_LAUNCHER=ccache"]
        subprocess.run(configure, check=True)
        subprocess.run(["cmake", "--build", str(build), "--parallel", str(os.cpu_count() or 2)], check=True)
        shutil.rmtree(stage, ignore_errors=True)
        subprocess.run(["cmake", "--install", str(build), "--strip"], check=True, stdout=subprocess.DEVNULL)

        extension = pathlib.Path(self.get_ext_fullpath(ext.name))
        package = extension.parent
        built = stage / "efi"
        found = list(built.glob("_efi*.so"))
        if len(found) != 1:
            raise RuntimeError(f"the extension was not installed in {built} (found {found})")
        package.mkdir(parents=True, exist_ok=True)
        shutil.copy2(found[0], extension)
        # Each library under the name it is loaded by (its soname, which
        # the installed links point to): a wheel holds no links.
        (package / "lib").mkdir(exist_ok=True)
        for library in (built / "lib").glob("lib*.so.*"):
            if re.fullmatch(r"lib.+\.so\.[0-9]+", library.name):
                shutil.copyfile(library, package / "lib" / library.name)
        (package / "bin").mkdir(exist_ok=True)
        shutil.copy2(built / "bin" / "efi-worker", package / "bin" / "efi-worker")


setup(
    name="efi",
    version=VERSION,
    description="Call native extension modules of the worksheet host from Python",
    python_requires=">=3.11",  # as built and tested (Debian 12)
    install_requires=["numpy"],
    packages=["efi"],
    package_dir={"efi": "host/python/efi"},
    package_data={"efi": ["_efi.pyi", "py.typed"]},
    ext_modules=[Extension("efi._efi", sources=[])],
    cmdclass={"build_ext": CMakeBuild},
    zip_safe=False,
)
