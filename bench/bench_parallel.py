#!/usr/bin/env python3
"""Calls in parallel from Python: two threads against one over the GSL
example's thread-safe gsl_j0, beside the same work bound with pybind11
(giving up the GIL), numba's parallel loops and a plain loop of GSL's J0 on
two threads of its own (the machine's ceiling), all in one run.

    bench_parallel.py BUILD_DIR [--json] [--repetitions N] [--no-cluster]

Rows (each the time of the whole work, median of the repetitions, the
candidate's and the baseline's repetitions interleaved; the baseline is the
same work on one thread, so baseline / time is the speed-up):
  map:     m.gsl_j0.map(x, threads=2)  against  threads=1, x 10^7 points
  halves:  two Python threads each mapping half of x (threads=1 each)
           against  one thread mapping all of it
  scalar:  two Python threads each looping m.gsl_j0(v) over half of 4 x 10^5
           points  against  one thread looping over all of them
  dask:    dask.array.map_blocks(m.gsl_j0.map, x) on the threaded scheduler,
           two workers  against  one (each chunk mapped with threads=1, so
           the parallelism measured is the scheduler's); and as a user
           writes it, the scheduler's default workers and map's default
           threads,  against  the same one worker
  cluster: the same on a distributed.LocalCluster of worker processes, two
           against one (bench_python.py's cluster row, run here too so that
           it is in the same run; --no-cluster leaves it out)
  pybind11 (bench/gsl_pybind.cpp, the GIL given up while GSL runs): two
           Python threads each mapping a half / each looping scalar calls
           over a half  against  one thread
  numba:   @njit(parallel=True) over x calling GSL's J0 through ctypes,
           numba.set_num_threads(2)  against  1
  plain:   GSL's J0 in a plain C++ loop over x split on two threads of its
           own  against  one: the machine's ceiling for this work
Rows whose pieces are missing (no threads= keyword, no dask, no numba, no
pybind11 twin) are left out, with a line on standard error saying why;
without the keyword, map itself is the one-thread map of the other rows.
"""
import argparse
import concurrent.futures
import functools
import json
import os
import statistics
import sys
import timeit

N_MAP = 10_000_000
N_SCALAR = 400_000


def note(text):
    print(f"bench_parallel.py: {text}", file=sys.stderr)


def interleaved(candidate, baseline, repetitions):
    """Seconds of each, repetitions alternating (one warm-up run of each
    first); the row's median times and the spread of the ratio."""
    candidate(), baseline()
    times, base = [], []
    for _ in range(repetitions):
        for f, out in ((candidate, times), (baseline, base)):
            start = timeit.default_timer()
            f()
            out.append(timeit.default_timer() - start)
    return statistics.median(times), statistics.median(base), [min(times) / max(base), max(times) / min(base)]


def row(name, baseline, measured):
    t, b, spread = measured
    return {"name": name, "baseline": baseline, "time": t, "base": b, "spread": spread}


def halves(pool, f, x):
    """f over the two halves of x on the pool's two threads, joined."""
    mid = len(x) // 2
    return list(pool.map(f, (x[:mid], x[mid:])))


def map_rows(m, np, pool, x, repetitions):
    """The map rows, and the map on one thread that the others use: with
    threads=1 where map has the keyword, else map itself (one thread)."""
    rows = []
    try:
        m.gsl_j0.map(x[:10], threads=1)
    except TypeError:
        note("map has no threads= keyword in this build: its threads=2 row is left out")
        one = m.gsl_j0.map
    else:
        one = functools.partial(m.gsl_j0.map, threads=1)
        if not np.array_equal(m.gsl_j0.map(x, threads=2), one(x)):
            raise SystemExit("gsl_j0.map: threads=2 and threads=1 differ")
        rows.append(row(f"BM_PyParallelMap__threads_2/{N_MAP}", "m.gsl_j0.map(x, threads=1)",
                        interleaved(lambda: m.gsl_j0.map(x, threads=2), lambda: one(x), repetitions)))
    rows.append(row(f"BM_PyParallelMapHalves__two_python_threads/{N_MAP}", "one thread mapping all of x",
                    interleaved(lambda: halves(pool, one, x), lambda: one(x), repetitions)))
    return rows, one


def scalar_loop(f, points):
    for v in points:
        f(v)


def scalar_rows(name, f, pool, points, repetitions):
    loop = functools.partial(scalar_loop, f)
    return [row(f"BM_PyParallelScalar{name}__two_python_threads/{N_SCALAR}", "one thread looping over all",
                interleaved(lambda: halves(pool, loop, points), lambda: loop(points), repetitions))]


def dask_rows(m, one, repetitions):
    try:
        import dask.array as da
    except ImportError:
        note("dask is not installed: the dask row is left out")
        return []
    x = da.linspace(0.0, 1000.0, N_MAP, chunks=1_250_000)

    def total(workers, f=one):
        graph = da.map_blocks(f, x, dtype=float).sum()
        return graph.compute(scheduler="threads", num_workers=workers)

    if total(1) != total(2):
        raise SystemExit("dask's threaded sums differ between one and two workers")
    rows = [row(f"BM_PyParallelDask__threaded_two_workers/{N_MAP}", "the threaded scheduler, one worker",
                interleaved(lambda: total(2), lambda: total(1), repetitions))]
    if one is not m.gsl_j0.map:
        # As a user writes it: the default scheduler's workers, each chunk
        # mapped on map's default threads.
        rows.append(row(f"BM_PyParallelDask__threaded_default/{N_MAP}", "the threaded scheduler, one worker",
                        interleaved(lambda: total(None, m.gsl_j0.map), lambda: total(1), repetitions)))
    return rows


def pybind_rows(build_dir, np, pool, x, points, repetitions):
    twin_dir = os.path.join(build_dir, "bench")
    if not any(f.startswith("gsl_pybind.") for f in os.listdir(twin_dir)):
        note("bench/gsl_pybind is not built: the pybind11 and plain-loop rows are left out")
        return [], None
    sys.path.insert(0, twin_dir)
    import gsl_pybind
    rows = [row(f"BM_PyParallelPybindMap__two_python_threads/{N_MAP}", "one thread, the same binding",
                interleaved(lambda: halves(pool, gsl_pybind.j0_map, x), lambda: gsl_pybind.j0_map(x), repetitions))]
    rows += scalar_rows("Pybind", gsl_pybind.j0, pool, points, repetitions)
    if not np.array_equal(gsl_pybind.plain_loop(x, 2), gsl_pybind.j0_map(x)):
        raise SystemExit("the plain loop and the pybind11 binding differ")
    rows.append(row(f"BM_PyParallelPlainLoop__two_threads/{N_MAP}", "the same loop on one thread",
                    interleaved(lambda: gsl_pybind.plain_loop(x, 2), lambda: gsl_pybind.plain_loop(x, 1),
                                repetitions)))
    return rows, gsl_pybind


def numba_rows(np, x, twin, repetitions):
    try:
        import ctypes
        import ctypes.util
        import numba
    except ImportError:
        note("numba is not installed: the numba row is left out")
        return []
    if numba.config.NUMBA_NUM_THREADS < 2:
        note("numba has fewer than two threads: the numba row is left out")
        return []
    try:
        gsl = ctypes.CDLL(ctypes.util.find_library("gsl") or "libgsl.so")
    except OSError as e:
        note(f"GSL cannot be opened through ctypes ({e}): the numba row is left out")
        return []
    j0 = gsl.gsl_sf_bessel_J0
    j0.argtypes, j0.restype = [ctypes.c_double], ctypes.c_double

    @numba.njit(parallel=True)
    def sweep(points, out):
        for i in numba.prange(points.size):
            out[i] = j0(points[i])

    out = np.empty_like(x)

    def run(threads):
        numba.set_num_threads(threads)
        sweep(x, out)

    run(2)
    if twin is not None and not np.array_equal(out, twin.j0_map(x)):
        raise SystemExit("numba's loop and the pybind11 binding differ")
    return [row(f"BM_PyParallelNumba__two_threads/{N_MAP}", "numba.set_num_threads(1)",
                interleaved(lambda: run(2), lambda: run(1), repetitions))]


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build_dir")
    ap.add_argument("--json", action="store_true", help="print rows as JSON (for bench/run.py)")
    ap.add_argument("--repetitions", type=int, default=5)
    ap.add_argument("--no-cluster", action="store_true",
                    help="leave out the process cluster's row (bench/run.py has it from bench_python.py)")
    args = ap.parse_args()
    sys.path.insert(0, os.path.join(args.build_dir, "host", "python"))
    import numpy as np
    import efi

    gsl = os.path.join(args.build_dir, "examples", "gsl", "libefi_gsl.so")
    if not os.path.exists(gsl):
        note("the GSL example is not built: no rows")
        if args.json:
            print("[]")
        return 0
    m = efi.load(gsl)
    x = np.linspace(0.0, 1000.0, N_MAP)
    points = np.linspace(0.0, 1000.0, N_SCALAR).tolist()
    reps = args.repetitions
    rows = []
    with concurrent.futures.ThreadPoolExecutor(2) as pool:
        found, one = map_rows(m, np, pool, x, reps)
        rows += found
        rows += scalar_rows("", m.gsl_j0, pool, points, reps)
        rows += dask_rows(m, one, reps)
        found, twin = pybind_rows(args.build_dir, np, pool, x, points, reps)
        rows += found
    rows += numba_rows(np, x, twin, reps)
    if not args.no_cluster:
        sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
        import bench_python
        rows += bench_python.cluster_rows(args.build_dir, reps)

    if args.json:
        print(json.dumps(rows))
        return 0
    for r in rows:
        print(f"{r['name']:<58} {r['time'] * 1e3:>9.1f} ms  baseline {r['base'] * 1e3:>9.1f} ms "
              f"({r['baseline']})  speed {r['base'] / r['time']:.2f}x "
              f"[{1 / r['spread'][1]:.2f}..{1 / r['spread'][0]:.2f}]")
    return 0


if __name__ == "__main__":
    sys.exit(main())
