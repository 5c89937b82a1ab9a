#!/usr/bin/env bash
# Test coverage of the project's own code (src, host, tools: not the tests,
# examples, benchmarks, fuzz targets or system headers). Builds with GCC and
# --coverage at -O0 in build/coverage, runs every test there (ctest, then the
# Python host's tests), and prints three figures (lcov's; the third is
# counted from gcov's output, see noexc below):
#   - lines;
#   - branches;
#   - branches without exception edges: -fnon-call-exceptions gives every
#     instruction that may trap an edge to a handler, which no test can take
#     one by one; this figure leaves those edges out.
# The counts are zeroed before the run; the report is in build/coverage/lcov/
# (own.info; --html adds an HTML report in lcov/html/).
#
# Not counted, although tests run it: code that runs only in a process that
# ends by _exit or by a signal (a worker killed or crashed on purpose, a
# worker whose host has gone, a forked child that leaves by _exit), since
# the counts are written when a process ends normally. A worker the host
# lets end (the usual case) is counted, and so is a forked child of a test
# that ends by exit().
#
# While writing tests: one full run, then --keep with only the new tests
# (e.g. --ctest "-R MyTest" --pytest none) adds their counts to it.
#
# Outside the verdict of scripts/test-all.sh: a failing test fails this
# script too, after the figures are printed.
#
#   --ctest "A B"     EFI_COVERAGE_CTEST   ctest arguments, e.g. "-R bridge" (default: every test but
#                                          consumer.exported_symbols, which a coverage build fails by
#                                          design: its libraries name their count files by full path)
#   --pytest "A B"    EFI_COVERAGE_PYTEST  pytest arguments (default: host/python/tests);
#                                          "none" runs no Python test
#   --keep                                 add to the counts of the runs before instead of zeroing them
#   --report-only                          no build, no test: the figures of the counts there are
#   --html                                 also write an HTML report
# Options win over the environment. Arguments are split at spaces.
set -euo pipefail
cd "$(dirname "$0")/.."

ctest_args=${EFI_COVERAGE_CTEST:--E ^consumer\.exported_symbols\$}
pytest_args=${EFI_COVERAGE_PYTEST:-host/python/tests}
html=
keep=
run=1
usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit "$1"; }
while (($#)); do
  case $1 in
    --ctest) ctest_args=${2:?}; shift 2 ;;
    --pytest) pytest_args=${2:?}; shift 2 ;;
    --keep) keep=1; shift ;;
    --report-only) run=; shift ;;
    --html) html=1; shift ;;
    -h|--help) usage 0 ;;
    *) echo "coverage: unknown option $1" >&2; usage 2 >&2 ;;
  esac
done

bash scripts/deps.sh lcov

dir=build/coverage
out=$dir/lcov
mkdir -p "$out"
status=0
if [[ -n $run ]]; then
  flags="--coverage -O0"
  # Debug is -g alone; -O0 keeps every line its own count.
  CC=gcc CXX=g++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS=--coverage \
    -DCMAKE_SHARED_LINKER_FLAGS=--coverage -DCMAKE_MODULE_LINKER_FLAGS=--coverage >/dev/null
  cmake --build "$dir" -j "$(nproc)"
  [[ -n $keep ]] || lcov --quiet --zerocounters --directory "$dir"
  # shellcheck disable=SC2086  # the arguments are words
  ctest --test-dir "$dir" -j "$(nproc)" --timeout 900 $ctest_args || status=$?
  if [[ $pytest_args != none ]]; then
    python=$(sed -n 's/^Python3_EXECUTABLE:[A-Z]*=//p' "$dir/CMakeCache.txt")
    # shellcheck disable=SC2086  # the arguments are words
    PYTHONPATH=$dir/host/python "${python:-python3}" -m pytest -q -p no:cacheprovider $pytest_args || status=$?
  fi
fi

# The build names a source relative to the build tree as the compiler was
# given it (../../src/...), and one it found by a full path relative to the
# source tree (the full source path is cut off: see CMakeLists.txt): those
# are looked up in the source tree.
own=("$PWD/src/*" "$PWD/host/*" "$PWD/tools/*")
capture() {  # output, extra lcov options
  local to=$1; shift
  lcov --quiet --capture --directory "$dir" --base-directory "$PWD/$dir" --rc lcov_branch_coverage=1 "$@" \
    --output-file "$out/all.tmp" 2> >(grep -v "could not open\|exclusion markers\|redefined at" >&2)
  B=$PWD/$dir S=$PWD perl -i -pe \
    'if (m{^SF:\Q$ENV{B}\E/(.*)$} && !-e "$ENV{B}/$1" && -e "$ENV{S}/$1") { $_ = "SF:$ENV{S}/$1\n" }' "$out/all.tmp"
  lcov --quiet --extract "$out/all.tmp" "${own[@]}" --rc lcov_branch_coverage=1 --output-file "$to"
  rm -f "$out/all.tmp"
}
capture "$out/own.info"
figure() {  # what: "lines" or "branches"
  lcov --summary "$out/own.info" --rc lcov_branch_coverage=1 2>&1 | sed -n "s/^ *$1\.*: //p"
}
# lcov 1.16 as Debian 12 ships it ignores geninfo_no_exception_branch when
# it reads gcov's JSON (a second definition of the reader replaces the one
# that honours it), so that figure is taken from gcov's JSON here: its
# lines and branches are counted as lcov counts them (the same totals),
# each branch once over every object file that holds it, hit if any run took it.
noexc() {
  local build=$PWD/$dir
  find "$build" -name '*.gcda' -print0 | (cd "$build" && xargs -0 -n 50 gcov --json-format --stdout -b -c 2>/dev/null) |
    python3 -c '
import json, os, sys
root, build = sys.argv[1], sys.argv[2]
own = tuple(os.path.join(root, d) + "/" for d in ("src", "host", "tools"))
branches = {}
for doc in sys.stdin:
    if not doc.strip():
        continue
    data = json.loads(doc)
    for f in data["files"]:
        path = os.path.normpath(os.path.join(data["current_working_directory"], f["file"]))
        if not os.path.exists(path) and path.startswith(build + "/"):
            path = os.path.join(root, path[len(build) + 1:])
        if not path.startswith(own):
            continue
        for line in f["lines"]:
            for k, b in enumerate(line["branches"]):
                if not b["throw"]:
                    key = (path, line["line_number"], k)
                    branches[key] = branches.get(key, False) or (line["count"] > 0 and b["count"] > 0)
hit = sum(branches.values())
print(f"{100.0 * hit / max(len(branches), 1):.1f}% ({hit} of {len(branches)} branches)")
' "$PWD" "$build"
}
echo "coverage: lines                                  $(figure lines)"
echo "coverage: branches                               $(figure branches)"
echo "coverage: branches without exception edges       $(noexc)"
((status == 0)) || echo "coverage: some tests FAILED"
exit "$status"
