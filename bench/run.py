#!/usr/bin/env python3
"""Runs every benchmark executable and prints one table of ratios.

Each benchmark is named BM_<group>__<variant>[/args]; the variant "baseline"
of the same group and arguments is its baseline, measured in the same run.
The ratio is the candidate's time over the baseline's (below 1: faster);
"speed" is its inverse (baseline time / candidate time).
"""
import argparse
import json
import os
import re
import subprocess
import sys

NAME = re.compile(r"^(?P<group>BM_.+?)__(?P<variant>[A-Za-z0-9_]+?)(?P<args>/.*)?$")


def run(exe, extra):
    out = subprocess.run([exe, "--benchmark_format=json", *extra],
                         check=True, stdout=subprocess.PIPE, text=True)
    # An executable whose benchmarks all miss the filter prints no JSON.
    if not out.stdout.strip():
        return []
    return json.loads(out.stdout).get("benchmarks", [])


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("build_dir", help="build tree configured with -DEFI_BUILD_BENCH=ON")
    ap.add_argument("--filter", default=None, help="--benchmark_filter for every executable")
    ap.add_argument("--min-time", default=None, help="--benchmark_min_time")
    ap.add_argument("--repetitions", type=int, default=3, help="repetitions; the median is used")
    ap.add_argument("--no-python", action="store_true", help="only the benchmark executables, not bench_python.py")
    args = ap.parse_args()

    bench_dir = os.path.join(args.build_dir, "bench")
    exes = sorted(os.path.join(bench_dir, f) for f in os.listdir(bench_dir)
                  if f.startswith("bench_") and os.access(os.path.join(bench_dir, f), os.X_OK)
                  and os.path.isfile(os.path.join(bench_dir, f)))
    # Repetitions of a row and its baseline are interleaved, so that a change
    # in the machine's load over the run falls on both alike.
    extra = [f"--benchmark_repetitions={args.repetitions}", "--benchmark_report_aggregates_only=true",
             "--benchmark_enable_random_interleaving=true"]
    if args.filter:
        extra.append(f"--benchmark_filter={args.filter}")
    if args.min_time:
        extra.append(f"--benchmark_min_time={args.min_time}")

    rows = {}
    for exe in exes:
        for b in run(exe, extra):
            if b.get("aggregate_name", "median") != "median":
                continue
            name = b.get("run_name", b["name"])
            m = NAME.match(name)
            if not m:
                continue
            key = (os.path.basename(exe), m["group"], m["args"] or "")
            rows.setdefault(key, {})[m["variant"]] = b

    print(f"{'benchmark':<58} {'time':>12} {'baseline':>12} {'ratio':>7} {'speed':>7}")
    failed = False
    for (exe, group, argstr), variants in sorted(rows.items()):
        base = variants.get("baseline")
        for variant, b in sorted(variants.items()):
            if variant == "baseline":
                continue
            label = f"{group}{argstr} [{variant}]"
            t = b["real_time"]
            unit = b["time_unit"]
            if base is None:
                print(f"{label:<58} {t:>10.1f}{unit:>2} {'(none)':>12}")
                failed = True
                continue
            bt = base["real_time"]
            print(f"{label:<58} {t:>10.1f}{unit:>2} {bt:>10.1f}{base['time_unit']:>2} "
                  f"{t / bt:>7.2f} {bt / t:>7.2f}")
    if not args.no_python:
        failed = python_rows(args) or failed
    return 1 if failed else 0


def python_rows(args):
    """The Python host's rows (bench/bench_python.py, then
    bench/bench_parallel.py), when the build tree has the package: run with
    the interpreter it was built for."""
    if not os.path.isdir(os.path.join(args.build_dir, "host", "python", "efi")):
        return False
    python = "python3"
    with open(os.path.join(args.build_dir, "CMakeCache.txt")) as cache:
        for line in cache:
            if line.startswith("Python3_EXECUTABLE:"):
                python = line.split("=", 1)[1].strip()
    here = os.path.dirname(os.path.abspath(__file__))
    # bench_python.py has the process cluster's row already.
    for script, *options in (("bench_python.py",), ("bench_parallel.py", "--no-cluster")):
        out = subprocess.run([python, os.path.join(here, script), args.build_dir, "--json",
                              f"--repetitions={max(args.repetitions, 5)}", *options],
                             check=True, stdout=subprocess.PIPE, text=True)
        for r in json.loads(out.stdout):
            label = f"{r['name']} [python]"
            print(f"{label:<58} {r['time'] * 1e9:>10.1f}ns {r['base'] * 1e9:>10.1f}ns "
                  f"{r['time'] / r['base']:>7.2f} {r['base'] / r['time']:>7.2f}")
    return False


if __name__ == "__main__":
    sys.exit(main())
