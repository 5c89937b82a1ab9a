#!/usr/bin/env python3
"""The Python host against baselines measured in the same run.

    bench_python.py BUILD_DIR [--json]

Rows (time per call, median of the repetitions, and time / baseline):
  scalar: m.sample_add(1.0, 2.0)  against  math.hypot(1.0, 2.0)
  matrix: m.sample_scale(1.0, A), A 1000 x 1000 float64 (C and Fortran
          order)  against  four numpy copies of A's bytes: the least that
          efi-call's path moves (its host matrix is built, the bridge copies
          it into call memory, the native function writes its result, the
          bridge copies that into the host matrix)
  threads: m.sample_add(1.0, 2.0) while another Python thread exists (the
          call then gives up the GIL while native code runs)  against
          math.hypot(1.0, 2.0)
  sweep:  m.sample_add.map(a, b), np.vectorize(m.sample_add)(a, b),
          np.add(a, b) and numba's @vectorize (when installed) over 10^6
          pairs, per element,  against  a Python loop of m.sample_add(x, y)
  cluster: dask.array.map_blocks(m.gsl_j0.map, x) over 10^7 points on a
          distributed.LocalCluster of two worker processes  against  one
          (when dask.distributed and the GSL module are there)
  boost:  m.bm_tgamma.map(x) and m.bm_cyl_bessel_j.map(nu, x) of the Boost
          example over 10^6 points  against  the same Boost calls bound with
          pybind11's py::vectorize (bench/boost_pybind.cpp; when both are
          built, i.e. in a build with EFI_BUILD_BENCH)
and, for the matrix call, the bytes the numpy side allocates per call
(tracemalloc): 0 for a real result, which views the host's storage.

With --before OTHER_BUILD_DIR (another build of the Python host, e.g. of
an earlier commit), one more row: the two-number call of this build against
the same call of the other, each timed in its own interpreter, the two
interleaved repetition by repetition.

BUILD_DIR is a build tree with the Python host (PYTHONPATH is set from it).
"""
import argparse
import json
import math
import os
import statistics
import subprocess
import sys
import threading
import timeit
import tracemalloc


def per_call(stmt, env, number, repeat):
    """Seconds per call: median and spread over `repeat` timings."""
    times = [t / number for t in timeit.repeat(stmt, globals=env, number=number, repeat=repeat)]
    return statistics.median(times), min(times), max(times)


def numpy_bytes(fn):
    tracemalloc.start()
    try:
        tracemalloc.reset_peak()
        before = tracemalloc.get_traced_memory()[0]
        result = fn()
        grown = tracemalloc.get_traced_memory()[1] - before
    finally:
        tracemalloc.stop()
    del result
    return grown


def sweep_rows(m, np, env, repetitions):
    """A sweep of m.sample_add over 10^6 pairs: map, np.vectorize, np.add and
    (when numba is installed) numba's @vectorize, each per element against a
    Python loop of m.sample_add calls, all in this run."""
    n = 1_000_000
    a = np.linspace(-1.0, 1.0, n)
    b = np.linspace(0.5, 7.0, n)
    env.update(a=a, b=b, vectorized=np.vectorize(m.sample_add))
    loop, llo, lhi = per_call("for x, y in zip(a.tolist(), b.tolist()): m.sample_add(x, y)", env, 1, repetitions)
    peers = [("map", "m.sample_add.map(a, b)", 5),
             ("np_vectorize", "vectorized(a, b)", 1),
             ("np_add", "np.add(a, b)", 20)]
    try:
        import numba

        @numba.vectorize(["float64(float64, float64)"])
        def numba_add(x, y):
            return x + y
        numba_add(a[:2], b[:2])  # compiled before it is timed
        env["numba_add"] = numba_add
        peers.append(("numba_vectorize", "numba_add(a, b)", 20))
    except ImportError:
        pass
    rows = []
    for variant, stmt, number in peers:
        t, lo, hi = per_call(stmt, env, number, repetitions)
        rows.append({"name": f"BM_PythonSweep__{variant}/1000000", "baseline": "a Python loop of m.sample_add",
                     "time": t / n, "base": loop / n, "spread": [lo / lhi, hi / llo]})
    return rows


SCALAR_TIMER = """
import math, os, sys, timeit
sys.path.insert(0, os.path.join(sys.argv[1], "host", "python"))
import efi
m = efi.load(os.path.join(sys.argv[1], "examples", "sample", "libefi_sample.so"))
env = {"m": m, "math": math}
call = min(timeit.repeat("m.sample_add(1.0, 2.0)", globals=env, number=200000, repeat=3)) / 200000
base = min(timeit.repeat("math.hypot(1.0, 2.0)", globals=env, number=200000, repeat=3)) / 200000
print(call, base)
"""


def scalar_in_own_interpreter(build_dir):
    """The two-number call and math.hypot in a new interpreter on `build_dir`."""
    out = subprocess.run([sys.executable, "-c", SCALAR_TIMER, build_dir], check=True,
                         capture_output=True, text=True).stdout.split()
    return float(out[0]), float(out[1])


def against_before(build_dir, before_dir, repetitions):
    """This build's two-number call against another build's, interleaved;
    each as a ratio to math.hypot in its own interpreter, so a change in
    the machine's load between the two counts for neither."""
    now, then = [], []
    for _ in range(repetitions):
        for dir, out in ((build_dir, now), (before_dir, then)):
            call, base = scalar_in_own_interpreter(dir)
            out.append((call, base))
    t = statistics.median(c for c, _ in now)
    b = statistics.median(c for c, _ in then)
    ratios_now = [c / h for c, h in now]
    ratios_then = [c / h for c, h in then]
    return {"name": "BM_PythonScalarCall__sample_add_vs_before", "baseline": f"the same call of {before_dir}",
            "time": t, "base": b, "spread": [min(ratios_now) / max(ratios_then), max(ratios_now) / min(ratios_then)],
            "hypot_ratios": [statistics.median(ratios_now), statistics.median(ratios_then)]}


def cluster_rows(build_dir, repetitions):
    """m.gsl_j0.map over 10^7 points with dask.array.map_blocks on a
    distributed.LocalCluster of worker processes: two workers against one,
    the points made and summed on the workers (so the sweep is what is
    timed, not moving arrays), the two sums compared bit for bit. Empty
    without dask.distributed or the GSL module."""
    gsl = os.path.join(build_dir, "examples", "gsl", "libefi_gsl.so")
    try:
        import dask.array as da
        import distributed
    except ImportError:
        return []
    if not os.path.exists(gsl):
        return []
    import efi
    m = efi.load(gsl)
    times, sums = {1: [], 2: []}, {}
    # Eight chunks of 10 MB, four a worker of two: dask's own advice is
    # chunks large enough that the scheduler's cost for each (a few ms here)
    # is small beside the work, and each of these takes about half a second.
    x = da.linspace(0.0, 1000.0, 10_000_000, chunks=1_250_000)

    # A graph of its own per run: a graph computed before may be answered
    # from what the workers still hold.
    def total(workers, run):
        return da.map_blocks(m.gsl_j0.map, x, dtype=float, name=f"j0-{workers}-{run}").sum()

    def cluster(workers):
        return distributed.LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                        dashboard_address=None, scheduler_port=0)

    # Both clusters stay up and their runs alternate, so that a change in
    # the machine's speed over the minutes of the row falls on both alike.
    with cluster(1) as one, distributed.Client(one, set_as_default=False) as c1, \
            cluster(2) as two, distributed.Client(two, set_as_default=False) as c2:
        clients = {1: c1, 2: c2}
        for workers, client in clients.items():  # the workers load the module before the timing
            client.compute(total(workers, "warm"), sync=True)
        for run in range(repetitions):
            for workers, client in clients.items():
                graph = total(workers, run)
                start = timeit.default_timer()
                sums[workers] = client.compute(graph, sync=True)
                times[workers].append(timeit.default_timer() - start)
    if sums[1] != sums[2]:
        raise SystemExit(f"two workers summed {sums[2]!r}, one {sums[1]!r}")
    t, b = statistics.median(times[2]), statistics.median(times[1])
    return [{"name": "BM_PythonCluster__two_workers/10000000", "baseline": "one worker process",
             "time": t, "base": b, "spread": [min(times[2]) / max(times[1]), max(times[2]) / min(times[1])]}]


def boost_rows(build_dir, np, repetitions):
    """The Boost example's masked functions swept by map over 10^6 points
    against the same Boost calls vectorized by pybind11, the repetitions of
    the two interleaved and their results compared bit for bit. Empty
    without the Boost example or its pybind11 twin."""
    path = os.path.join(build_dir, "examples", "boost", "libefi_boost.so")
    twin_dir = os.path.join(build_dir, "bench")
    if not os.path.exists(path) or not any(f.startswith("boost_pybind.") for f in os.listdir(twin_dir)):
        return []
    sys.path.insert(0, twin_dir)
    import boost_pybind
    import efi
    m = efi.load(path)
    n = 1_000_000
    # Finite results only: an infinity or NaN would end a masked sweep.
    points = {"bm_tgamma": (np.linspace(0.01, 170.0, n),),
              "bm_cyl_bessel_j": (np.linspace(-30.5, 30.5, n), np.linspace(0.5, 100.0, n))}
    rows = []
    for name, args in points.items():
        ours, twin = m[name].map, getattr(boost_pybind, name)
        if not np.array_equal(ours(*args), twin(*args)):
            raise SystemExit(f"{name}: map and the pybind11 binding differ")
        times, base = [], []
        for _ in range(repetitions):
            for f, out in ((ours, times), (twin, base)):
                start = timeit.default_timer()
                f(*args)
                out.append(timeit.default_timer() - start)
        t, b = statistics.median(times), statistics.median(base)
        rows.append({"name": f"BM_PythonBoost__{name}_map/{n}", "baseline": "pybind11 py::vectorize, same call",
                     "time": t / n, "base": b / n, "spread": [min(times) / max(base), max(times) / min(base)]})
    return rows


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("build_dir")
    ap.add_argument("--json", action="store_true", help="print rows as JSON (for bench/run.py)")
    ap.add_argument("--repetitions", type=int, default=5)
    ap.add_argument("--before", metavar="OTHER_BUILD_DIR", help="compare the two-number call with this build's")
    args = ap.parse_args()
    sys.path.insert(0, os.path.join(args.build_dir, "host", "python"))
    import numpy as np
    import efi

    m = efi.load(os.path.join(args.build_dir, "examples", "sample", "libefi_sample.so"))
    env = {"m": m, "math": math, "np": np}
    rows = []

    # Scalar: both statements look up the function by attribute and pass two floats.
    reps = max(args.repetitions, 5)
    t, lo, hi = per_call("m.sample_add(1.0, 2.0)", env, 200000, reps)
    b, blo, bhi = per_call("math.hypot(1.0, 2.0)", env, 200000, reps)
    rows.append({"name": "BM_PythonScalarCall__sample_add", "baseline": "math.hypot(1.0, 2.0)",
                 "time": t, "base": b, "spread": [lo / bhi, hi / blo]})

    # The same call while another Python thread exists (it waits, taking no time).
    stop = threading.Event()
    other = threading.Thread(target=stop.wait)
    other.start()
    try:
        t, lo, hi = per_call("m.sample_add(1.0, 2.0)", env, 200000, reps)
        b, blo, bhi = per_call("math.hypot(1.0, 2.0)", env, 200000, reps)
    finally:
        stop.set()
        other.join()
    rows.append({"name": "BM_PythonScalarCall__sample_add_threads", "baseline": "math.hypot(1.0, 2.0)",
                 "time": t, "base": b, "spread": [lo / bhi, hi / blo]})

    n = 1000
    for order in ("C", "F"):
        a = np.asarray(np.arange(n * n, dtype=np.float64).reshape(n, n), order=order)
        scratch = [np.empty_like(a) for _ in range(4)]
        env.update(a=a, s=scratch)
        t, lo, hi = per_call("m.sample_scale(1.0, a)", env, 5, args.repetitions)
        b, blo, bhi = per_call("for x in s: np.copyto(x, a)", env, 5, args.repetitions)
        rows.append({"name": f"BM_PythonMatrixCall__{order}_order/1000", "baseline": "4 numpy copies of 8 MB",
                     "time": t, "base": b, "spread": [lo / bhi, hi / blo],
                     "numpy_bytes": numpy_bytes(lambda: m.sample_scale(1.0, a))})

    rows += sweep_rows(m, np, env, args.repetitions)
    rows += cluster_rows(args.build_dir, args.repetitions)
    rows += boost_rows(args.build_dir, np, args.repetitions)
    if args.before:
        rows.append(against_before(os.path.abspath(args.build_dir), os.path.abspath(args.before), reps))

    if args.json:
        print(json.dumps(rows))
        return 0
    for r in rows:
        extra = f"  numpy side allocates {r['numpy_bytes']} bytes" if "numpy_bytes" in r else ""
        if "hypot_ratios" in r:
            extra = "  (against math.hypot: {:.2f}x now, {:.2f}x before)".format(*r["hypot_ratios"])
        print(f"{r['name']:<40} {r['time'] * 1e9:>12.0f} ns  baseline {r['base'] * 1e9:>12.0f} ns "
              f"({r['baseline']})  ratio {r['time'] / r['base']:.2f} "
              f"[{r['spread'][0]:.2f}..{r['spread'][1]:.2f}]{extra}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
