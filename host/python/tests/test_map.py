"""Function.map: a function of numbers over broadcast arrays in one sweep."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import efi

from conftest import ODD, SAMPLE, THREADS, run_fresh


def _single_calls(f, args):
    """What map must give: one call per element of the broadcast arguments,
    with the scalar rule applied to the whole result."""
    arrays = np.broadcast_arrays(*[np.asarray(a) for a in args])
    shape = arrays[0].shape if arrays else ()
    values = [complex(f(*[a.flat[i].item() for a in arrays])) for i in range(int(np.prod(shape)))]
    out = np.array(values, dtype=complex).reshape(shape)
    return out.real.copy() if np.all(out.imag == 0) else out


MAPS = [
    ("reals and a scalar", "sample_add", ([1.5, 2, 3], 10)),
    ("complex, broadcast both ways", "sample_add", ([[1], [2]], [1j, 2, -3])),
    ("negative zeros", "sample_add", (-0.0, [-0.0, 0.0])),
    ("integer and float32 arrays", "sample_add", (np.arange(4, dtype=np.int32), np.float32(0.25))),
    ("scalars only", "sample_add", (1, 2)),
    ("empty", "sample_add", ([], 1)),
    ("one argument", "sample_sqrt", (np.array([[4.0, 9.0], [0.25, 0.0]]),)),
    # Misaligned data, as an array made from a pickled buffer may be.
    ("misaligned", "sample_add", (np.frombuffer(b"\0" + np.arange(3.0).tobytes(), offset=1), 1)),
    ("booleans and unsigned integers", "sample_add", (np.array([True, False]), np.arange(2, dtype=np.uint8))),
    ("complex64 and a complex scalar", "sample_add", (np.array([1 + 2j, 3], dtype=np.complex64), 1j)),
    ("the other byte order, strided", "sample_add", (np.arange(8.0).astype(">f8")[::2], [[1], [2]])),
    ("an array of one element, broadcast", "sample_add", (np.array([[2.5]]), [1, 2, 3])),
    ("complex arguments, real results", "sample_add", ([1 + 1j, 2j], [-1j, 3 - 2j])),
]


# t_masked(0, b, c) = 1/b + (1/c)i: real arguments, a complex result where c
# is finite, so the sweep of reals turns complex at that element.
REAL_TO_COMPLEX = [
    ("complex from the third element", (0, [1, 2, 4, 8], [np.inf, np.inf, 2, np.inf])),
    ("complex at the first", (0, [1, 2], [2, np.inf])),
    ("complex at the last", (0, [[1, 2], [4, 8]], [np.inf, -4])),
]


def _expect_single_calls(f, args):
    got = f.map(*args)
    expected = _single_calls(f, args)
    assert isinstance(got, np.ndarray)
    assert (got.shape, got.dtype) == (expected.shape, expected.dtype)
    # Bit for bit: the sign of zero counts.
    assert got.tobytes() == expected.tobytes()


@pytest.mark.parametrize("what,name,args", MAPS, ids=[m[0] for m in MAPS])
def test_map_gives_what_single_calls_give(sample, what, name, args):
    _expect_single_calls(sample[name], args)


@pytest.mark.parametrize("what,args", REAL_TO_COMPLEX, ids=[r[0] for r in REAL_TO_COMPLEX])
def test_real_arguments_with_complex_results(odd, what, args):
    _expect_single_calls(odd["t_masked"], args)


FAILURES = [
    ("native message", "sample_sqrt", ([4, 9, -1, -2],), efi.WorksheetError, "must be non-negative", 1, (2,),
     "must be non-negative (argument 1) at index (2,)"),
    ("native Throw", "sample_throw", ([[5]],), efi.WorksheetError, "must be positive", 1, (0, 0),
     "must be positive (argument 1) at index (0, 0)"),
    ("native message in a sweep of complex numbers", "sample_sqrt", ([4, 9, 1j],), efi.WorksheetError,
     "must be real", 1, (2,), "must be real (argument 1) at index (2,)"),
    ("trapped fault", "sample_divide", ([[1, 2], [3, 4]], [[1, 1], [0, 1]]), efi.ProcessorFault, "singularity",
     None, (1, 0), "singularity at index (1, 0)"),
]


@pytest.mark.parametrize("what,name,args,error,message,argument,index,text", FAILURES, ids=[f[0] for f in FAILURES])
def test_the_first_failing_element_is_raised_with_its_index(sample, what, name, args, error, message, argument,
                                                          index, text):
    with pytest.raises(error) as e:
        sample[name].map(*args)
    assert (e.value.message, e.value.argument, e.value.index, str(e.value)) == (message, argument, index, text)
    assert 1e308 * 10 == float("inf")  # Python's own arithmetic is masked again


def test_an_index_that_cannot_be_given_is_the_error_raised(sample, monkeypatch):
    # A read-only `index` refuses the element's index: that refusal is what
    # the caller sees, not the element's error without the element.
    monkeypatch.setattr(efi.WorksheetError, "index", property(lambda self: None), raising=False)
    with pytest.raises(AttributeError, match="no setter|can.t set"):
        sample["sample_sqrt"].map([4, -1])


@pytest.mark.parametrize("call,error,match", [
    (lambda m: m.sample_upper.map("x"), TypeError, r"numbers only.*sample_upper\(text\) -> text"),
    (lambda m: m.sample_scale.map(1, [[1]]), TypeError, "numbers only"),
    (lambda m: m.sample_add.map([1, 2]), efi.ArgumentCountError, r"sample_add.map\(\) takes 2 arguments \(1 given\)"),
    (lambda m: m.sample_add.map(["a"], 1), TypeError, "argument 1 holds"),
    (lambda m: m.sample_add.map(1, np.array([1, 2], dtype=object)), TypeError,
     "^map: argument 2 holds object, not real or complex numbers$"),
    (lambda m: m.sample_add.map([1, 2], [1, 2, 3]), ValueError, "broadcast"),
    (lambda m: m.sample_add.map(1, np.ma.array([1., 2.], mask=[0, 1])), TypeError, "argument 2: a masked array"),
    (lambda m: m.sample_add.map(1, 2, threads=0), ValueError, "^map: threads must be at least 1, not 0$"),
    (lambda m: m.sample_add.map(1, 2, threads=-2**70), ValueError, "at least 1"),
    (lambda m: m.sample_add.map(1, 2, threads=2.0), TypeError, "^map: threads must be an int or None, not float$"),
    (lambda m: m.sample_add.map(1, 2, threads=True), TypeError, "not bool"),
])
def test_map_refuses_what_it_cannot_sweep(sample, call, error, match):
    with pytest.raises(error, match=match):
        call(sample)


# Maps on threads: 2**17 elements make eight parts for two threads; p_root
# turns complex below 0 and fails at a NaN ("must be a number") and at an
# infinity ("must be finite").
N = 1 << 17


def _root_args(**at):
    x = np.linspace(0.0, 9.0, N)
    for i, v in at.items():
        x[int(i[1:])] = v
    return x


THREADED = [
    ("reals", _root_args()),
    ("complex arguments", _root_args() + 0j),
    ("complex from elements in several parts", _root_args(i5=-1, i40000=-4, i100000=-9)),
    ("a complex result at a part's last element", _root_args(i16383=-1)),
]


@pytest.mark.parametrize("threads", [2, 3])
@pytest.mark.parametrize("what,x", THREADED, ids=[t[0] for t in THREADED])
def test_a_map_on_threads_gives_what_one_thread_gives(threads_module, what, x, threads):
    got, one = threads_module.p_root.map(x, threads=threads), threads_module.p_root.map(x, threads=1)
    assert (got.dtype, got.tobytes()) == (one.dtype, one.tobytes())


THREADED_FAILURES = [
    ("the lowest of failures in several parts", dict(i100000=np.nan, i40000=np.inf, i70000=np.nan),
     "must be finite", 40000),
    ("after complex results in earlier parts", dict(i10=-1, i20000=-4, i50000=np.nan), "must be a number", 50000),
    ("before a complex result in a later part", dict(i30000=np.nan, i60000=-1, i90000=np.inf),
     "must be a number", 30000),
    ("in the first block", dict(i3=np.inf, i120000=np.nan), "must be finite", 3),
]


@pytest.mark.parametrize("what,at,message,index", THREADED_FAILURES, ids=[f[0] for f in THREADED_FAILURES])
def test_a_map_on_threads_raises_the_first_failure(threads_module, what, at, message, index):
    for threads in (1, 2, 4):
        with pytest.raises(efi.WorksheetError) as e:
            threads_module.p_root.map(_root_args(**at), threads=threads)
        assert (e.value.message, e.value.argument, e.value.index) == (message, 1, (index,))
        assert str(e.value) == f"{message} (argument 1) at index ({index},)"


def test_threads_default_to_efi_num_threads(threads_module):
    # p_meet's first call on each thread waits for n threads: the largest
    # result is how many threads the map ran on.
    out = run_fresh(f"import os, numpy as np, efi\np = efi.load({str(THREADS)!r})\n", """
        def used(f, n, seconds, **kw):
            p.p_meet(0, 0)
            return int(f.map(np.full(1 << 16, float(n)), seconds, **kw).max())
        print(used(p.p_meet, 3, 20), used(p.p_meet, 3, 0.05, threads=1), used(p.p_meet_alone, 2, 0.05, threads=2))
        os.environ["EFI_NUM_THREADS"] = "1"
        print(used(p.p_meet, 2, 0.05), used(p.p_meet, 2, 20, threads=2))
        os.environ["EFI_NUM_THREADS"] = "two"
        try:
            p.p_root.map([1.0])
        except ValueError as e:
            print(e)
    """, EFI_NUM_THREADS="3")
    assert out.splitlines() == ["3 1 1", "1 2", "map: EFI_NUM_THREADS must be a positive whole number, not 'two'"]


@pytest.mark.parametrize("module,sweep", [
    # Each element nests 200 calls deep.
    ("ODD", "m.t_nest.map(np.full(200_000, 200.0))"),
    # Each element spins for a millisecond, on two threads.
    ("THREADS", "m.p_spin.map(np.full(1 << 16, 1000.0), threads=2)"),
], ids=["one thread", "threads"])
def test_ctrl_c_stops_a_long_sweep(odd, threads_module, module, sweep):
    # The sweep runs for many seconds. The interrupt is sent by Python code
    # on another thread, which runs only if the sweep has let go of the GIL,
    # and ends the sweep only if it looks for signals between blocks.
    script = textwrap.dedent(f"""
        import os, signal, threading, time, numpy as np, efi
        m = efi.load({str(ODD if module == "ODD" else THREADS)!r})
        sent = []
        def interrupt():
            sent.append(time.monotonic())
            os.kill(os.getpid(), signal.SIGINT)
        threading.Timer(0.2, interrupt).start()
        try:
            {sweep}
        except KeyboardInterrupt:
            print("interrupted", time.monotonic() - sent[0] < 0.5)
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, env=env)
    assert out.stdout.strip() == "interrupted True", out.stderr
