// Python values as host values and back.
//
// Python to host, by the Python value's own kind (the bridge then checks it
// against what the function declares, as for any host):
//   float, int, complex, numpy scalars, other numbers   a number
//   str, os.PathLike naming a str                       text
//   2-D array-like (numpy array, nested lists, ...)     a matrix; 1-D is a column
//   None                                                 the host's null
// A numeric array of float64 or complex128 is read in place, whatever its
// order or strides, into the host matrix: one copy. Other numeric types are
// converted by numpy first. An array of other things (text, objects) becomes
// a matrix with nested elements.
//
// Host to Python: a number is a float when its imaginary part is zero, else a
// complex; a real matrix is a float64 array over the host's own storage (no
// copy), a complex one a complex128 array (one copy, the planes
// interleaved); text is str; null is None.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <string>

#include <efi/records.h>
#include <vrnrun/vrnrun.h>

namespace efi_python {

/// numpy, imported on first use: numbers and text need none of it.
const pybind11::module_& Numpy();

/// Whether `o` is a numpy masked array.
bool IsMaskedArray(PyObject* o);

/// Raises the TypeError for a masked array given as argument `argument`:
/// a matrix has no masked elements, and dropping the mask would compute
/// with the values it hides. Returns false.
bool RefuseMasked(int argument);

/// Sets `out` to the host value of `o`. On failure sets a Python error
/// (TypeError naming `argument` when it is not 0) and returns false.
bool ToHost(PyObject* o, Vrn::Run::Object& out, int argument);

/// What of `o` a host number would hold when `o` is a float, a complex or
/// an int (the kinds ToHost reads first): true with `out` set; false, with
/// a Python error set when `o` is one of them but fails (an int too large).
/// A float is read inline: it is what most calls pass.
bool NumberOfOther(PyObject* o, qlComplex& out);
inline bool NumberOf(PyObject* o, qlComplex& out) {
    if (PyFloat_CheckExact(o)) {
        out = {PyFloat_AS_DOUBLE(o), 0.0};
        return true;
    }
    return NumberOfOther(o, out);
}

/// A new reference to the Python value of `v`, or null with an error set.
PyObject* FromHost(const Vrn::Run::Object& v);

/// A new reference to the Python value of a host number: a float when its
/// imaginary part is zero, else a complex.
PyObject* FromNumber(const qlComplex& z);

/// Host text from a Python str (every code point, lone surrogates kept).
std::u16string Utf16(PyObject* str);

/// A new Python str from host text, or null with an error set.
PyObject* FromUtf16(const std::u16string& s);

}  // namespace efi_python
