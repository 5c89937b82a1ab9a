#!/usr/bin/env bash
# Fuzzing the input parsers. Builds the libFuzzer binaries with clang under
# ASan + UBSan in build/fuzz, replays every saved input of every target
# (fuzz/corpus/<target>/), then fuzzes each target starting from its saved
# corpus, either
#   - for a fixed number of runs from a fixed seed (--runs, --seed): the same
#     seed, saved corpus and count give the same inputs and so the same
#     outcome; this is the leg scripts/test-all.sh runs; or
#   - for a time (--seconds, the default), open-ended, to find new faults;
#     the seed is random unless given, and printed.
# Either way each target's seed and the command that replays its run are
# printed. Any finding (crash, sanitizer report, leak, timeout) fails; the
# input that caused it is left in build/fuzz/artifacts/ and belongs in the
# saved corpus as regress-<what> once fixed. Inputs found in a run go to
# build/fuzz/corpus-work/<target>/, emptied first, never to the saved corpus.
#
#   --seconds S      EFI_FUZZ_SECONDS   time per target (default 60)
#   --runs N         EFI_FUZZ_RUNS      runs per target, instead of a time
#   --seed S         EFI_FUZZ_SEED      libFuzzer seed, a positive integer (default: random)
#   --targets "A B"  EFI_FUZZ_TARGETS   target names (default: all)
# Options win over the environment.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${EFI_FUZZ_SECONDS:-60}
runs=${EFI_FUZZ_RUNS:-}
seed=${EFI_FUZZ_SEED:-}
targets=${EFI_FUZZ_TARGETS:-}
usage() { sed -n '2,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit "$1"; }
while (($#)); do
  case $1 in
    --seconds) seconds=${2:?}; runs=; shift 2 ;;
    --runs) runs=${2:?}; shift 2 ;;
    --seed) seed=${2:?}; shift 2 ;;
    --targets) targets=${2:?}; shift 2 ;;
    -h|--help) usage 0 ;;
    *) echo "fuzz: unknown option $1" >&2; usage 2 >&2 ;;
  esac
done
for n in "$seconds" ${runs:+"$runs"} ${seed:+"$seed"}; do
  [[ $n =~ ^[1-9][0-9]*$ ]] || { echo "fuzz: not a positive integer: $n" >&2; exit 2; }
done

dir=build/fuzz
CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DEFI_SANITIZE=ON -DEFI_BUILD_FUZZ=ON -DEFI_BUILD_TESTS=OFF -DEFI_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)"

[[ -z $targets || $targets == all ]] && targets=$(cd "$dir/fuzz" && ls fuzz_* | sed 's/^fuzz_//')
# Reports name functions and lines only with the symbolizer (package llvm).
symbolizer=$(command -v llvm-symbolizer || command -v llvm-symbolizer-14 || true)
export ASAN_SYMBOLIZER_PATH=${ASAN_SYMBOLIZER_PATH:-$symbolizer}
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
# Nothing timed or read back during a run may steer it: no corpus reloads.
common=(-timeout=20 -rss_limit_mb=2048 -reload=0)
# Some paths depend on where the loader puts things (their coverage differs
# from run to run with address randomisation, and so the inputs that follow
# do); runs are made with it off, so the same seed and count replay them.
no_aslr=()
setarch -R true 2>/dev/null && no_aslr=(setarch -R)
mkdir -p "$dir/logs" "$dir/artifacts"

fail() {  # log, what
  tail -n 60 "$1"
  echo "fuzz: $2 FAILED (log: $1, inputs: $dir/artifacts/)"
  exit 1
}

# Every saved input, each run once as it is.
for name in $targets; do
  log="$dir/logs/$name.replay.log"
  inputs=(fuzz/corpus/"$name"/*)
  [[ -e ${inputs[0]} ]] || { echo "fuzz: $name has no saved inputs"; exit 1; }
  "$dir/fuzz/fuzz_$name" "${common[@]}" "${inputs[@]}" >"$log" 2>&1 || fail "$log" "replay of $name"
  echo "fuzz: $name replayed ${#inputs[@]} saved inputs"
done

summary=()
for name in $targets; do
  work="$dir/corpus-work/$name"
  rm -rf "$work" && mkdir -p "$work"
  log="$dir/logs/$name.log"
  if [[ -n $runs ]]; then bounds=(-runs="$runs") what="$runs runs"; else bounds=(-max_total_time="$seconds") what="${seconds}s"; fi
  cmd=("${no_aslr[@]}" "$dir/fuzz/fuzz_$name" "${common[@]}" ${seed:+-seed="$seed"} "${bounds[@]}" -print_final_stats=1
       -artifact_prefix="$dir/artifacts/$name-" "$work" "fuzz/corpus/$name")
  echo "fuzz: $name, $what${seed:+ from seed $seed}"
  status=0
  "${cmd[@]}" >"$log" 2>&1 || status=$?
  used=$(sed -n 's/^INFO: Seed: \([0-9]*\).*/\1/p' "$log" | head -1)
  done_runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  # The same seed and count from an emptied work directory replay the run.
  replay=("${no_aslr[@]}" "$dir/fuzz/fuzz_$name" "${common[@]}" -seed="$used" -runs="${runs:-${done_runs:-?}}"
          -print_final_stats=1 "$work" "fuzz/corpus/$name")
  echo "fuzz: $name seed $used; replay: rm -rf $work && mkdir -p $work && ${replay[*]}"
  ((status == 0)) || fail "$log" "$name"
  added=$(sed -n 's/^stat::new_units_added: *//p' "$log" | tail -1)
  cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  summary+=("$(printf '%-14s seed %-10s %10s runs  %s  new %s' "$name" "$used" "$done_runs" "$cov" "$added")")
done
printf 'fuzz: %s\n' "${summary[@]}"
echo "fuzz: no findings"
