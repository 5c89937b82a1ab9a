#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, and any more
# named as arguments (scripts/coverage.sh adds lcov), only those that are
# missing. Safe to run again and again.
set -euo pipefail
packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config python3 curl
  libgtest-dev libgmock-dev libbenchmark-dev
  libpcre2-dev libcurl4-openssl-dev libfmt-dev libmpfr-dev
  binutils  # nm: the exported-symbol test lists the libraries' dynamic symbols
  libgsl-dev  # the GSL example module (examples/gsl) and its test
  libboost-math-dev  # the Boost.Math example module (examples/boost) and its test
  lighttpd lighttpd-mod-webdav  # a real WebDAV server for the transfer tests
  nginx libnginx-mod-http-dav-ext  # a second WebDAV server, over HTTP and HTTPS
  apache2  # a third WebDAV server, with locks and compressed bodies, for the write-back tests
  libssl-dev  # SHA-256 of a body read to be written back (host/transfer)
  openssl gzip  # the transfer tests make the HTTPS server's certificate and a gzip body
  clang-format  # the layout check that opens the test suite
  llvm  # llvm-symbolizer: function names and lines in sanitizer reports
  # the Python host (host/python) and its tests
  python3-dev python3-pybind11 python3-numpy python3-pytest python3-hypothesis
  python3-mypy  # a type checker holds calls to a written stub (host/python/tests/test_stub.py)
  python3-distributed python3-dask python3-cloudpickle  # modules and functions sent to worker processes
  libhwy-dev  # vectorized sort under Efi::median
  python3-numba  # a peer of Function.map in bench/bench_python.py
  python3-dask python3-distributed  # Function.map on worker processes: its test and benchmark
  python3-venv python3-pip python3-setuptools python3-wheel  # pip install of the package into a venv, offline
  python3-ipykernel python3-jupyter-client python3-nbclient  # a real notebook kernel: the interrupt tests
)
packages+=("$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "installing: ${missing[*]}"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
