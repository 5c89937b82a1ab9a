"""The Python host beside other threads and in other processes: native code
runs without the GIL, a thread waiting for its turn can be interrupted, a
forked child starts with no call running, interpreter exit with daemon
threads inside calls is clean, and modules and functions travel to worker
processes (pickle, multiprocessing, concurrent.futures, Dask). What could
hang or end a process runs in a process of its own, bounded in time."""
import concurrent.futures
import copy
import functools
import multiprocessing
import os
import pickle
import textwrap
import threading
import time

import cloudpickle
import numpy as np
import pytest

import efi
from conftest import ODD, SAMPLE, THREADS, run_fresh


def run_script(script, timeout=120):
    """Runs `script` in a new interpreter with the sample loaded as `m`."""
    return run_fresh(f"import efi\nm = efi.load({str(SAMPLE)!r})\nODD = {str(ODD)!r}\n", script, timeout)


def test_other_threads_run_while_native_code_does(tmp_path):
    # The native call reads a named pipe: it ends only when the main thread
    # has written to it, which it can only do while the call runs.
    if not ODD.exists():
        pytest.skip(f"{ODD} not built")
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    assert run_script(f"""
        import threading
        odd = efi.load(ODD)
        result = []
        reader = threading.Thread(target=lambda: result.append(odd.t_first_byte({str(fifo)!r})))
        reader.start()
        with open({str(fifo)!r}, "wb") as f:
            f.write(b"A")
        reader.join()
        print(result)
    """) == "[65.0]"


# A thread holds the turn inside a callback that never returns by itself.
HOLD = """
    import threading
    inside, release = threading.Event(), threading.Event()
    def hold(x):
        inside.set()
        release.wait()
        return x
    efi.register("py_hold", hold)
    efi.register("py_double", lambda x: 2 * x)
    holder = threading.Thread(target=m.sample_apply, args=("py_hold", 1.0))
    holder.start()
    inside.wait()
"""


@pytest.mark.parametrize("case,script,expected", [
    ("interrupt", """
        import _thread
        threading.Timer(0.1, _thread.interrupt_main).start()
        try:
            m.sample_add(1.0, 2.0)
        except KeyboardInterrupt:
            print("interrupted")
        release.set()
        holder.join()
        print(m.sample_add(1.0, 2.0))
    """, "interrupted\n3.0"),
    ("fork", """
        pid = os.fork()
        if pid == 0:
            os._exit(0 if m.sample_add(1.0, 2.0) == 3.0 and m.sample_apply("py_double", 2.0) == 4.0 else 1)
        print(os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]))
        release.set()
        holder.join()
    """, "0"),
], ids=["Ctrl-C while waiting for the turn", "fork while another thread is in a call"])
def test_a_held_turn_neither_hangs_nor_is_inherited(case, script, expected):
    assert run_script("import os\n" + textwrap.dedent(HOLD) + textwrap.dedent(script), timeout=60) == expected


def test_thread_safe_calls_overlap(threads_module):
    # Each call waits inside, up to 10 s, for the other thread's call: both
    # see 2 only if they were inside at once (one after the other, the
    # first would give 1 after its wait).
    p = threads_module
    p.p_meet(0, 0)
    met = []
    threads = [threading.Thread(target=lambda: met.append(p.p_meet(2, 10))) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(30)
    assert met == [2.0, 2.0]


def _hold_open(function):
    """Starts a thread whose call of `function` (name, x) is held open in
    a callback; returns the thread and the event that lets it end."""
    inside, release = threading.Event(), threading.Event()

    def hold(x):
        inside.set()
        release.wait(30)
        return x
    efi.register("py_hold", hold)
    holder = threading.Thread(target=function, args=("py_hold", 1.0), daemon=True)
    holder.start()
    assert inside.wait(10)
    return holder, release


@pytest.mark.parametrize("holder,other,args,waits", [
    ("p_apply", "sample_apply", ("py_plus_one", 4.0), True),
    ("sample_apply", "p_root", (25.0,), True),
    ("p_apply", "p_root", (25.0,), False),
], ids=["alone waits for a share", "a share waits for alone", "shares run at once"])
def test_the_turn_between_threads(sample, threads_module, holder, other, args, waits):
    efi.register("py_plus_one", lambda x: x + 1)
    functions = {**sample.functions, **threads_module.functions}
    done = []
    call = threading.Thread(target=lambda: done.append(functions[other](*args)), daemon=True)
    holding, release = _hold_open(functions[holder])
    try:
        call.start()
        call.join(0.3 if waits else 10)
        assert bool(done) is not waits and holding.is_alive()
        # Registering waits for no call.
        efi.register("py_other", abs)
        assert holding.is_alive()
    finally:
        release.set()
    call.join(10)
    holding.join(10)
    assert done == [5.0]


def _until(condition):
    deadline = time.monotonic() + 10
    while not condition():
        assert time.monotonic() < deadline
        time.sleep(0.01)


def test_a_call_waiting_alone_holds_back_later_shares(sample, threads_module):
    # A share that comes once a call that needs the turn alone has waited a
    # while (a millisecond) waits behind it, so the call alone is not
    # starved by shares.
    efi.register("py_plus_one", lambda x: x + 1)
    holding, release = _hold_open(threads_module.p_apply)
    alone = threading.Thread(target=sample.sample_apply, args=("py_plus_one", 2.0), daemon=True)
    share = threading.Thread(target=threads_module.p_root, args=(4.0,), daemon=True)
    try:
        alone.start()
        _until(lambda: efi._efi._waiting_for_turn() == 1)
        time.sleep(0.05)
        share.start()
        _until(lambda: efi._efi._waiting_for_turn() == 2)
        assert alone.is_alive() and share.is_alive()
    finally:
        release.set()
    for t in (holding, alone, share):
        t.join(10)
        assert not t.is_alive()
    assert efi._efi._waiting_for_turn() == 0


def test_calls_alone_are_not_starved_by_threads_calling_shares(sample, threads_module):
    # Two threads call a thread-safe function without a pause; calls that
    # need the turn alone still have it, one after the other.
    stop = threading.Event()
    efi.register("py_plus_one", lambda x: x + 1)

    def loop():
        while not stop.is_set():
            threads_module.p_root(4.0)
    callers = [threading.Thread(target=loop, daemon=True) for _ in range(2)]
    for t in callers:
        t.start()
    results = []
    # On a thread of its own, so that starved calls fail the test instead of hanging it.
    alone = threading.Thread(target=lambda: results.extend(sample.sample_apply("py_plus_one", k) for k in range(200)),
                             daemon=True)
    try:
        alone.start()
        alone.join(10)
        assert not alone.is_alive()
        assert results == [k + 1.0 for k in range(200)]
    finally:
        stop.set()
    for t in callers:
        t.join(10)


def test_registering_while_thread_safe_calls_run(threads_module):
    # A callback replaced or removed while two threads call it: each call
    # finds the old function, the new one, or none.
    efi.register("py_flip", lambda x: x)
    stop, seen = threading.Event(), set()

    def loop():
        while not stop.is_set():
            try:
                seen.add(threads_module.p_apply("py_flip", 1.0))
            except efi.WorksheetError as e:
                seen.add(e.message)
    callers = [threading.Thread(target=loop) for _ in range(2)]
    for t in callers:
        t.start()
    for i in range(300):
        efi.register("py_flip", [lambda x: x, lambda x: -x, None][i % 3])
    stop.set()
    for t in callers:
        t.join(10)
    assert seen and seen <= {1.0, -1.0, "must be a function"}


@pytest.mark.parametrize("call", [
    'm.sample_apply("cb", 1.0)',
    # Maps on helper threads too, whose callbacks take the GIL.
    'p.p_apply("cb", 1.0); p.p_spin.map(np.full(1 << 16, 1.0), threads=3)',
], ids=["calls", "maps on threads"])
def test_exit_with_daemon_threads_inside_calls_is_clean(threads_module, call):
    script = f"""
        import threading, time, numpy as np
        p = efi.load({str(THREADS)!r})
        efi.register("cb", lambda x: x)
        def loop():
            while True:
                {call}
        for _ in range(4):
            threading.Thread(target=loop, daemon=True).start()
        time.sleep(0.2)
        print("exiting")
    """
    for _ in range(5):
        assert run_script(script, timeout=60) == "exiting"


def test_modules_and_functions_pickle_as_where_to_find_them(sample):
    assert copy.copy(sample) is sample and copy.deepcopy(sample) is sample
    assert copy.copy(sample.sample_add) is sample.sample_add
    m = pickle.loads(pickle.dumps(sample))
    assert m.cwd == sample.cwd and m.sample_add(1, 2) == 3.0
    assert pickle.loads(pickle.dumps(m)) is m  # loaded once per process
    assert pickle.loads(pickle.dumps(sample.sample_add))(3, 4) == 7.0
    assert pickle.loads(pickle.dumps(efi.fif)) is efi.fif
    closure = cloudpickle.loads(cloudpickle.dumps(lambda x: sample.sample_add(x, 1)))
    assert closure(2) == 3.0
    with pytest.raises(TypeError, match="belongs to the process that registered it"):
        pickle.dumps(efi.register("py_local", lambda x: x))


def test_functions_run_in_spawned_workers(sample):
    efi.register("py_here_only", lambda x: x)
    ctx = multiprocessing.get_context("spawn")
    with ctx.Pool(2) as pool:
        assert pool.starmap(sample.sample_add, [(1, 2), (3, 4)], chunksize=1) == [3.0, 7.0]
        # A host function is per process: a worker without it says so.
        with pytest.raises(efi.WorksheetError) as e:
            pool.apply(sample.sample_apply, ("py_here_only", 1.0))
        assert (e.value.message, e.value.argument) == ("must be a function", 1)
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=ctx) as ex:
        scaled = list(ex.map(functools.partial(sample.sample_scale, 2.0), [np.ones((2, 2)), [[1.0, 2.0]]]))
        assert [a.tolist() for a in scaled] == [[[2.0, 2.0], [2.0, 2.0]], [[2.0, 4.0]]]
        assert ex.submit(sample.sample_upper, "abc").result() == "ABC"


def test_functions_run_on_a_dask_cluster():
    import distributed  # noqa: F401  (installed by scripts/deps.sh: missing is a failure)
    assert run_script("""
        import distributed
        if __name__ == "__main__":
            with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                          dashboard_address=":0", scheduler_port=0) as cluster, \\
                    distributed.Client(cluster) as client:
                futures = client.map(m.sample_add, [1.0, 2.0, 3.0], [10.0, 20.0, 30.0])
                print(client.gather(futures, errors="raise"))
    """, timeout=240) == "[11.0, 22.0, 33.0]"


def test_map_blocks_on_dask_threads(threads_module):
    # Dask's default scheduler for arrays runs blocks on threads of this
    # process: the results are one thread's, and two blocks run at once
    # (each block's first element waits for the other block's thread).
    import dask.array as da
    p = threads_module
    x = np.linspace(0.0, 9.0, 200_000)
    got = da.map_blocks(p.p_root.map, da.from_array(x, chunks=50_000), dtype=float).compute(scheduler="threads")
    assert got.tobytes() == p.p_root.map(x, threads=1).tobytes()
    p.p_meet(0, 0)
    met = da.map_blocks(lambda n: p.p_meet.map(n, 10.0), da.from_array(np.full(4, 2.0), chunks=2), dtype=float)
    assert met.compute(scheduler="threads", num_workers=2).tolist() == [2.0] * 4


def test_map_blocks_on_a_dask_cluster():
    # A sweep per block on two worker processes: the method travels pickled,
    # the results equal one process's bit for bit, and a failing element's
    # error comes back with its index.
    import distributed  # noqa: F401  (installed by scripts/deps.sh: missing is a failure)
    assert run_script("""
        import numpy as np, dask.array as da, distributed
        if __name__ == "__main__":
            x = np.linspace(0.0, 9.0, 1000)
            with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                          dashboard_address=":0", scheduler_port=0) as cluster, \\
                    distributed.Client(cluster) as client:
                got = da.map_blocks(m.sample_sqrt.map, da.from_array(x, chunks=100), dtype=float).compute()
                print(got.tobytes() == m.sample_sqrt.map(x).tobytes())
                try:
                    da.map_blocks(m.sample_sqrt.map, da.from_array(x - 5.0, chunks=1000), dtype=float).compute()
                except efi.WorksheetError as e:
                    print(e.message, e.index)
    """, timeout=240) == "True\nmust be non-negative (0,)"
