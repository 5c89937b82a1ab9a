#!/usr/bin/env bash
# The whole test suite: installs what is missing, then builds and runs every
# test twice (the Python host's too), in a normal build and in an
# AddressSanitizer + UBSan build, then the tests of calls on several threads
# in a ThreadSanitizer build, and
# finally replays every saved fuzz input and fuzzes every input parser for a
# fixed number of runs from a fixed seed (scripts/fuzz.sh), so that the
# verdict is the same on every run. Open-ended fuzzing is scripts/fuzz.sh on
# its own, outside this verdict.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
jobs=$(nproc)

# Every C and C++ source laid out as .clang-format says, before anything is built.
git ls-files -z '*.c' '*.cpp' '*.h' | xargs -0 clang-format --dry-run -Werror

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
# The Python host under the same sanitizers, their runtimes preloaded into
# the interpreter, which is not built with them. Leak checking stays off:
# the interpreter keeps its modules' objects to the end of the process by
# design. --capture=sys leaves file descriptor 2 alone, so that a report of
# the sanitizers reaches the log.
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/asan/CMakeCache.txt)
runtimes="$("${cxx:-c++}" -print-file-name=libasan.so):$("${cxx:-c++}" -print-file-name=libubsan.so)"
LD_PRELOAD=$runtimes ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  PYTHONPATH=build/asan/host/python "${python:-python3}" -m pytest -q -p no:cacheprovider --capture=sys host/python/tests
# Calls running in parallel, under the thread sanitizer: the bridge's tests
# labelled threads, and the Python host's tests of threads (those whose
# names say "thread", as pytest -k picks them) with the sanitizer's runtime
# preloaded into the interpreter as above. Only what they need is built.
# The first report ends the process that made it with status 66, failing
# its test; no report is suppressed. One kind of check is off: calls made
# inside a signal handler that are unsafe there. A trapped arithmetic fault
# is thrown from the faulting instruction, out of the SIGFPE handler, by
# design (the fault is synchronous: the code it interrupts is the module's
# arithmetic, never the allocator); the sanitizer cannot follow a handler
# left that way and takes every allocation on that thread afterwards for
# one made inside the handler.
cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DEFI_TSAN=ON >/dev/null
cmake --build build/tsan -j "$jobs" --target threads_check
tsan_options=halt_on_error=1:exitcode=66:second_deadlock_stack=1:report_signal_unsafe=0
TSAN_OPTIONS=$tsan_options ctest --test-dir build/tsan -L threads -j "$jobs" --output-on-failure --timeout 900 \
  --no-tests=error
cxx=$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' build/tsan/CMakeCache.txt)
LD_PRELOAD=$("${cxx:-c++}" -print-file-name=libtsan.so) TSAN_OPTIONS=$tsan_options \
  PYTHONPATH=build/tsan/host/python "${python:-python3}" -m pytest -q -p no:cacheprovider --capture=sys -k thread \
  host/python/tests
# Fixed here, whatever the environment says: the count and seed are part of the verdict.
bash scripts/fuzz.sh --targets all --runs 200000 --seed 1
echo "test-all: every suite passed"
