"""Python callables as host functions: called back from native code, through
the host's numeric wrappers, and from other threads."""
import threading
import time

import numpy as np
import pytest

import efi

INF = float("inf")


class Boom(Exception):
    pass


def test_native_code_calls_python(sample):
    efi.register("py_square", lambda x: x * x)
    assert sample.sample_apply("py_square", 3) == 9.0
    assert sample.sample_apply("py_square", 1j) == -1.0
    # Python's arithmetic inside the callback is Python's, although the native
    # caller runs under the trapping call word.
    efi.register("py_overflow", lambda x: x * 1e308 * 10)
    assert sample.sample_apply("py_overflow", 1) == INF
    # A callback may call the bridge again: the calls nest.
    efi.register("py_nested", lambda x: sample.sample_sqrt(x) + 1)
    assert sample.sample_apply("py_nested", 16) == 5.0


@pytest.mark.parametrize("raised", [Boom("boom"), KeyError("k"), efi.WorksheetError("mine", 7)])
def test_callback_exceptions_pass_through_unchanged(sample, raised):
    def fail(x):
        raise raised
    efi.register("py_fail", fail)
    with pytest.raises(type(raised)) as e:
        sample.sample_apply("py_fail", 1)
    assert e.value is raised
    assert 1e308 * 10 == INF
    assert sample.sample_add(1, 2) == 3.0  # the bridge's clean-up ran


def test_errors_inside_nested_calls_and_bad_values(sample):
    efi.register("py_nested", lambda x: sample.sample_sqrt(x))
    with pytest.raises(efi.WorksheetError) as e:
        sample.sample_apply("py_nested", -4)
    assert (e.value.message, e.value.argument) == ("must be non-negative", 1)
    efi.register("py_text", lambda x: "text")
    with pytest.raises(efi.WorksheetError) as e:
        sample.sample_apply("py_text", 1)
    assert (e.value.message, e.value.argument) == ("argument function error", 1)
    assert efi.register("py_text", None) is None
    with pytest.raises(efi.WorksheetError, match="must be a function"):
        sample.sample_apply("py_text", 1)


@pytest.mark.parametrize("name", ["sample_add", "fif"])
def test_a_loaded_name_is_not_taken_by_a_callback(sample, name):
    with pytest.raises(ValueError, match=f"the name {name} belongs to a function of "):
        efi.register(name, lambda x: 100.0)
    with pytest.raises(ValueError):
        efi.register(name, None)
    # The loaded function is what native code reaches by the name: it
    # refuses the one number, where the lambda would have given 100.0.
    with pytest.raises(efi.WorksheetError):
        sample.sample_apply(name, 1)


@pytest.mark.parametrize("fn,wrapper,point,expected", [
    (lambda x: complex(2, 3), "dbl_to_dbl", 1.0, 2.0),
    (lambda x: complex(2, 3), "dbl_to_cplx", 1.0, 2 + 3j),
    (lambda z: z.conjugate() * 2, "cplx_to_cplx", 1 + 2j, 2 - 4j),
    (lambda x: "x", "dbl_to_obj", 1.0, "x"),
    (lambda x: x / 2, "dbl_to_dbl", 5.0, 2.5),
    # A value of each kind crosses to the host and back (arrays as their kind and elements).
    (lambda x: None, "dbl_to_obj", 1.0, None),
    (lambda x: [[x, 2]], "dbl_to_obj", 1.0, ("f", [[1.0, 2.0]])),
    (lambda x: [x * 1j], "dbl_to_obj", 2.0, ("c", [[2j]])),
    (lambda x: [[x, "a"], ["b", 2j]], "dbl_to_obj", 3.0, ("O", [[3.0, "a"], ["b", 2j]])),  # nested values
])
def test_host_wrappers_of_a_python_function(fn, wrapper, point, expected):
    f = efi.register("py_wrapped", fn)
    got = getattr(f, wrapper)(point)
    if isinstance(got, np.ndarray):
        got = (got.dtype.kind, got.tolist())
    assert got == expected


def test_wrapper_refuses_a_non_number():
    f = efi.register("py_wrapped", lambda x: "text")
    with pytest.raises(efi.WorksheetError) as e:
        f.dbl_to_dbl(1.0)
    assert (e.value.message, e.value.argument) == ("argument function error", 1)


def test_a_second_thread_waits_for_the_running_call(sample):
    # While a callback runs Python code, other threads get the GIL; their
    # bridge calls must wait until the running call has ended.
    events = []
    in_callback = threading.Event()

    def slow(x):
        in_callback.set()
        time.sleep(0.2)
        events.append("callback done")
        return x

    efi.register("py_slow", slow)
    outer = threading.Thread(target=lambda: events.append(sample.sample_apply("py_slow", 1)))
    outer.start()
    assert in_callback.wait(10)
    second = threading.Thread(target=lambda: events.append(sample.sample_add(2, 3)))
    second.start()
    outer.join(10)
    second.join(10)
    assert events[0] == "callback done"
    assert sorted(events[1:]) == [1.0, 5.0]
