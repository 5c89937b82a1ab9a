"""Python values the host reads less often: arrays of Python objects, arrays
whose columns lie apart, and text beyond the Basic Multilingual Plane."""
import numpy as np
import pytest

import efi
from conftest import SAMPLE


# An array of Python objects holding numbers is the matrix of those numbers;
# anything else in it is a nested value, which native code never takes.
@pytest.mark.parametrize("a,total", [
    (np.array([[1, 2], [3, 4]], dtype=object), 10.0),
    (np.array([1.5, 2, 3j], dtype=object), 3.5 + 3j),          # a column, one complex element
    (np.array([[np.float32(0.5), 2**40]], dtype=object), 0.5 + 2**40),
    (np.empty((0, 2), dtype=object), 0.0),
])
def test_object_arrays_of_numbers_are_matrices(sample, a, total):
    assert sample.sample_sum(a) == total
    scaled = sample.sample_scale(2, a)
    expected = 2 * np.asarray(a.tolist(), dtype=complex)
    np.testing.assert_array_equal(scaled, expected.reshape(scaled.shape))


@pytest.mark.parametrize("a", [
    np.array([[1, "two"]], dtype=object),
    np.array([1, None], dtype=object),
    [[1, 2], [3]],               # ragged: a column of two lists
    ["a", "b"],                  # text in a list stays text
], ids=["text", "None", "ragged", "texts"])
def test_object_arrays_of_other_values_are_nested(sample, a):
    with pytest.raises(efi.WorksheetError) as e:
        sample.sample_sum(a)
    assert (e.value.message, e.value.argument) == ("may not be nested", 1)


def test_object_scalar_is_no_value(sample):
    with pytest.raises(TypeError, match="argument 1: .* is not a worksheet value"):
        sample.sample_sum(np.array(object(), dtype=object))


# Whole columns apart (a slice of a Fortran-ordered array): each column is
# one block, the blocks not back to back.
@pytest.mark.parametrize("a", [
    np.asfortranarray(np.arange(24.0).reshape(4, 6))[:, ::2],
    np.asfortranarray(np.arange(24.0).reshape(4, 6))[1:3, 1:5],
    np.arange(10.0)[::3],                                        # a column of every third
    (np.arange(12.0) * (1 - 1j)).reshape(3, 4, order="F")[:, 1::2],
], ids=["every other column", "inner block", "1-D stride", "complex columns apart"])
def test_columns_apart_are_read_where_they_lie(sample, a):
    expected = np.asarray(a).reshape(a.shape[0], -1)
    np.testing.assert_array_equal(sample.sample_scale(1.0, a), expected)
    assert sample.sample_sum(a) == expected.sum()


# A character beyond U+FFFF is one character to Python and two units to the
# host: both the directory and the file name reach native code as the
# locale's encoding of the very characters (the file is found).
def test_file_names_beyond_the_basic_plane(tmp_path):
    folder = tmp_path / "d\U0001f600"
    folder.mkdir()
    (folder / "f\U00010348.bin").write_bytes(b"1234567")
    m = efi.load(SAMPLE, cwd=folder)
    assert m.cwd == str(folder)
    assert m.sample_file_size("f\U00010348.bin") == 7.0
    # The neighbouring character names another file, which is not there.
    with pytest.raises(efi.WorksheetError, match="file not found"):
        m.sample_file_size("f\U00010349.bin")


class _Unreadable:
    """A number that cannot be read: its conversion fails."""
    def __float__(self):
        raise ValueError("unreadable")


class _BytesPath:
    """A path whose file-system form is bytes, which are no text."""
    def __fspath__(self):
        return b"/x"


class _PathFails:
    """A path whose file-system form cannot be had."""
    def __fspath__(self):
        raise OSError("no path today")


class _ArrayFails:
    """An array-like whose conversion fails with an error of its own."""
    def __array__(self, dtype=None, copy=None):
        raise RuntimeError("no array today")


# A shape past the host's count is refused before anything is copied (a
# broadcast view holds one element, whatever its shape).
@pytest.mark.parametrize("arg,error,message", [
    (np.broadcast_to(np.float64(1.0), (2**31, 1)), ValueError, "argument 1: a matrix of at most 2147483647 rows"),
    (np.broadcast_to(np.float64(1.0), (1, 2**31)), ValueError, "argument 1: a matrix of at most 2147483647 rows"),
    (_Unreadable(), TypeError, "argument 1: _Unreadable is not a worksheet value"),
    (np.array([1, object()], dtype=object), TypeError, "object is not a worksheet value"),
    (_ArrayFails(), RuntimeError, "no array today"),  # passed on as it was raised
    (np.array([b"ab"]), TypeError, "bytes is not a worksheet value"),
    (_BytesPath(), TypeError, "argument 1: bytes is not a worksheet value"),
    (_PathFails(), OSError, "no path today"),
    (np.array([1], dtype="m8[s]"), TypeError, "argument 1: numpy.ndarray is not a worksheet value"),
], ids=["rows", "columns", "number unreadable", "element of no kind", "array-like fails", "array of bytes",
        "path of bytes", "path fails", "durations"])
def test_values_that_cannot_cross_raise_their_error(sample, arg, error, message):
    with pytest.raises(error) as e:
        sample.sample_sum(arg)
    assert str(e.value).startswith(message)
