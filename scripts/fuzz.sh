#!/usr/bin/env bash
# The fuzzing leg: builds the libFuzzer binaries with clang under ASan + UBSan
# in build/fuzz and runs each one for a bounded time, starting from its saved
# corpus (fuzz/corpus/<target>/). Any finding (crash, sanitizer report, leak,
# timeout) fails the leg; the input that caused it is left in
# build/fuzz/artifacts/ and belongs in the saved corpus once fixed.
#
#   EFI_FUZZ_SECONDS   time per target (default 60)
#   EFI_FUZZ_TARGETS   space-separated target names (default: all)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${EFI_FUZZ_SECONDS:-60}
dir=build/fuzz

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DEFI_SANITIZE=ON -DEFI_BUILD_FUZZ=ON -DEFI_BUILD_TESTS=OFF -DEFI_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir" -j "$(nproc)"

targets=${EFI_FUZZ_TARGETS:-$(cd "$dir/fuzz" && ls fuzz_* | sed 's/^fuzz_//')}
mkdir -p "$dir/logs" "$dir/artifacts"
summary=()
for name in $targets; do
  # Inputs found in this run go to a scratch directory, not the saved corpus.
  work="$dir/corpus-work/$name"
  mkdir -p "$work"
  log="$dir/logs/$name.log"
  echo "fuzz: $name for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
      "$dir/fuzz/fuzz_$name" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$dir/artifacts/$name-" \
      "$work" "fuzz/corpus/$name" >"$log" 2>&1; then
    tail -n 60 "$log"
    echo "fuzz: $name FAILED (log: $log, inputs: $dir/artifacts/)"
    exit 1
  fi
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -Eo 'cov: [0-9]+ ft: [0-9]+' "$log" | tail -1)
  summary+=("$(printf '%-16s %12s runs   %s' "$name" "$runs" "$cov")")
done
printf 'fuzz: %s\n' "${summary[@]}"
echo "fuzz: no findings"
