#!/usr/bin/env bash
# The whole test suite: installs what is missing, then builds and runs every
# test twice, in a normal build and in an AddressSanitizer + UBSan build, and
# finally replays every saved fuzz input and fuzzes every input parser for a
# fixed number of runs from a fixed seed (scripts/fuzz.sh), so that the
# verdict is the same on every run. Open-ended fuzzing is scripts/fuzz.sh on
# its own, outside this verdict.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

run_suite() {
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  ctest --test-dir "$dir" -j "$jobs" --output-on-failure --timeout 900
}

run_suite build/release -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The Python host's tests, with the interpreter the package was built for.
# pytest's exit status 5 (no test collected) is a failure too.
python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' build/release/CMakeCache.txt)
PYTHONPATH=build/release/host/python "${python:-python3}" -m pytest -q -p no:cacheprovider host/python/tests
ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  run_suite build/asan -DCMAKE_BUILD_TYPE=Debug -DEFI_SANITIZE=ON
# Fixed here, whatever the environment says: the count and seed are part of the verdict.
bash scripts/fuzz.sh --targets all --runs 200000 --seed 1
echo "test-all: every suite passed"
