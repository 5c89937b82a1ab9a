"""The six unit conversions from Python: values, the host's errors, and
round trips."""
import math

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import efi

ROUND_TRIPS = settings(derandomize=True, max_examples=150, deadline=None)
REVOLUTION = 2 * math.pi


@pytest.mark.parametrize("fn,arg,expected", [
    (efi.fif, "5' 3-1/2\"", 5 * 0.3048 + 3.5 / (12 * 3.280839895013123)),
    (efi.fif, "3/4", 0.75 / (12 * 3.280839895013123)),
    (efi.fif_inv, 1.0, "3' 3-47/127\""),
    (efi.fif_inv, float("nan"), "NaN"),
    (efi.hhmmss, "1:01:01.5", 3661.5),
    (efi.hhmmss_inv, 59.9996, "0:0:60"),
    (efi.hhmmss_inv, -3661.5, "-1:1:1.5"),
    (efi.dms, [12, -30, 0], math.radians(11.5)),
])
def test_values(fn, arg, expected):
    result = fn(arg)
    assert type(result) is type(expected)
    assert result == (pytest.approx(expected, rel=1e-15) if isinstance(expected, float) else expected)


def test_dms_inv_is_a_column():
    v = efi.dms_inv(math.radians(30.5))
    assert v.shape == (3, 1) and v.dtype == np.float64
    np.testing.assert_allclose(v[:, 0], [30, 30, 0], atol=1e-9)


@pytest.mark.parametrize("fn,arg,message,argument", [
    (efi.fif, 1, "must be string", 1),
    (efi.fif, "abc", "bad_fif_string", 1),
    (efi.fif_inv, "x", "must be real", 1),
    (efi.fif_inv, 1j, "must be real", 1),
    (efi.dms, 1, "must be real vector", 1),
    (efi.dms, [[1, 2, 3]], "must be real vector", 1),
    (efi.dms, [1, 2], "must be a 3 element vector", 1),
    (efi.dms, [1, "a", 3], "must be real", None),
    (efi.dms_inv, None, "must be real", 1),
    (efi.hhmmss, "1:2", "bad_hhmmss_string", 1),
    (efi.hhmmss_inv, "x", "must be real", 1),
])
def test_errors(fn, arg, message, argument):
    with pytest.raises(efi.WorksheetError) as e:
        fn(arg)
    assert (e.value.message, e.value.argument) == (message, argument)


@ROUND_TRIPS
@given(st.floats(-1e6, 1e6))
def test_hhmmss_round_trip(t):
    # Seconds are written to the millisecond.
    assert abs(efi.hhmmss(efi.hhmmss_inv(t)) - t) <= 0.0005 + 1e-9 * abs(t)


@ROUND_TRIPS
@given(st.floats(-3 * REVOLUTION, 3 * REVOLUTION))
def test_dms_round_trip_drops_whole_turns(x):
    expected = math.copysign(math.fmod(abs(x), REVOLUTION), x)
    back = efi.dms(efi.dms_inv(x))
    assert abs(back - expected) <= 1e-12 or abs(abs(back - expected) - REVOLUTION) <= 1e-12


@ROUND_TRIPS
@given(st.floats(-1000, 1000))
def test_fif_round_trip_within_a_256th_inch(x):
    assert abs(efi.fif(efi.fif_inv(x)) - x) <= 0.0254 / 256 + 1e-12 * abs(x)


@ROUND_TRIPS
@given(st.integers(0, 10 ** 6), st.integers(0, 59), st.integers(0, 59999))
def test_hhmmss_text_round_trip(h, m, ms):
    text = f"{h}:{m}:{ms / 1000:g}"
    assert efi.hhmmss_inv(efi.hhmmss(text)) == text
