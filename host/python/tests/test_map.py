"""Function.map: a function of numbers over broadcast arrays in one sweep."""
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

import efi

from conftest import SAMPLE


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
    ("native message", "sample_sqrt", ([4, 9, -1, -2],), efi.WorksheetError, "must be non-negative", 1, (2,)),
    ("native Throw", "sample_throw", ([[5]],), efi.WorksheetError, "must be positive", 1, (0, 0)),
    ("native message in a sweep of complex numbers", "sample_sqrt", ([4, 9, 1j],), efi.WorksheetError,
     "must be real", 1, (2,)),
    ("trapped fault", "sample_divide", ([[1, 2], [3, 4]], [[1, 1], [0, 1]]), efi.ProcessorFault, "singularity",
     None, (1, 0)),
]


@pytest.mark.parametrize("what,name,args,error,message,argument,index", FAILURES, ids=[f[0] for f in FAILURES])
def test_the_first_failing_element_is_raised_with_its_index(sample, what, name, args, error, message, argument,
                                                          index):
    with pytest.raises(error) as e:
        sample[name].map(*args)
    assert (e.value.message, e.value.argument, e.value.index) == (message, argument, index)
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
])
def test_map_refuses_what_it_cannot_sweep(sample, call, error, match):
    with pytest.raises(error, match=match):
        call(sample)


def test_ctrl_c_stops_a_long_sweep(odd):
    # Each element nests 200 calls deep, so the sweep runs for many seconds.
    # The interrupt is sent by Python code on another thread, which runs only
    # if the sweep has let go of the GIL, and ends the sweep only if it looks
    # for signals between blocks.
    script = textwrap.dedent(f"""
        import os, signal, threading, numpy as np, efi
        m = efi.load({str(odd.__file__)!r})
        threading.Timer(0.2, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        try:
            m.t_nest.map(np.full(200_000, 200.0))
        except KeyboardInterrupt:
            print("interrupted")
    """)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, env=env)
    assert out.stdout.strip() == "interrupted", out.stderr

