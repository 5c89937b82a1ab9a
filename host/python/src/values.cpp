// Python values as host values and back: see values.h.
#include "values.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <climits>
#include <complex>
#include <cstring>
#include <vector>

namespace efi_python {

namespace py = pybind11;
using Vrn::Run::Object;

const py::module_& Numpy() {
    static py::module_* numpy = new py::module_(py::module_::import("numpy"));  // kept to the end
    return *numpy;
}

bool IsMaskedArray(PyObject* o) {
    static PyObject* masked = nullptr;  // numpy.ma.MaskedArray, kept to the end
    if (!masked) masked = py::object(Numpy().attr("ma").attr("MaskedArray")).release().ptr();
    return PyObject_IsInstance(o, masked) == 1;
}

/// A matrix has no masked elements: dropping the mask would compute with
/// the values it hides.
bool RefuseMasked(int argument) {
    PyErr_Format(PyExc_TypeError, "argument %d: a masked array is not a matrix (fill it or compress it first)",
                 argument);
    return false;
}

namespace {

/// numpy.generic when numpy has been imported by anyone, else null: without
/// numpy there are no numpy scalars to recognise.
PyObject* NumpyScalarType() {
    static PyObject* generic = nullptr;
    if (generic) return generic;
    PyObject* numpy = PyImport_GetModule(py::str("numpy").ptr());
    if (!numpy) return nullptr;
    generic = PyObject_GetAttrString(numpy, "generic");  // kept to the end
    Py_DECREF(numpy);
    if (!generic) PyErr_Clear();
    return generic;
}

bool SetTypeError(PyObject* o, int argument) {
    if (argument > 0)
        PyErr_Format(PyExc_TypeError, "argument %d: %.100s is not a worksheet value (a number, a matrix or text)",
                     argument, Py_TYPE(o)->tp_name);
    else
        PyErr_Format(PyExc_TypeError, "%.100s is not a worksheet value (a number, a matrix or text)",
                     Py_TYPE(o)->tp_name);
    return false;
}

bool MakeNumber(PyObject* o, Object& out) {
    Py_complex c = PyComplex_AsCComplex(o);
    if (c.real == -1.0 && PyErr_Occurred()) return false;
    out = Vrn::Run::Number(c.real, c.imag);
    return true;
}

/// True for what converts as a number but is not array-like: numpy
/// scalars and objects with a number protocol but no sequence one
/// (Fraction, Decimal).
bool IsScalarLike(PyObject* o) {
    if (PyObject* generic = NumpyScalarType();
        generic && PyObject_TypeCheck(o, reinterpret_cast<PyTypeObject*>(generic)))
        return true;
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    bool number = (nb && (nb->nb_float || nb->nb_index)) || PyObject_HasAttrString(o, "__complex__");
    return number && !PySequence_Check(o) && !PyObject_HasAttrString(o, "__array__");
}

// Copies a rows x cols view (byte strides s0 between rows, s1 between
// columns) into column-ordered storage with `put(index, element address)`.
// A source stored by rows is read in square tiles, so each cache line it
// brings in is used whole rather than once per column.
template <class Put>
void CopyByColumns(const char* base, py::ssize_t s0, py::ssize_t s1, std::size_t rows, std::size_t cols, Put put) {
    constexpr std::size_t kTile = 32;
    for (std::size_t c0 = 0; c0 < cols; c0 += kTile) {
        const std::size_t c1 = std::min(cols, c0 + kTile);
        for (std::size_t r0 = 0; r0 < rows; r0 += kTile) {
            const std::size_t r1 = std::min(rows, r0 + kTile);
            for (std::size_t c = c0; c < c1; ++c)
                for (std::size_t r = r0; r < r1; ++r)
                    put(r + c * rows, base + static_cast<py::ssize_t>(r) * s0 + static_cast<py::ssize_t>(c) * s1);
        }
    }
}

Object RealMatrix(const py::array& a, std::size_t rows, std::size_t cols, py::ssize_t s0, py::ssize_t s1) {
    const std::size_t n = rows * cols;
    Qlt::DoubleArray re = Qlt::DoubleArray::make_for_overwrite(n);
    double* out = re.data();
    const char* base = static_cast<const char*>(a.data());
    if (s0 == static_cast<py::ssize_t>(sizeof(double)) && (cols <= 1 || s1 == s0 * static_cast<py::ssize_t>(rows))) {
        if (n) std::memcpy(out, base, n * sizeof(double));  // already the host's layout
    } else if (s0 == static_cast<py::ssize_t>(sizeof(double))) {
        for (std::size_t c = 0; c < cols; ++c)
            std::memcpy(out + c * rows, base + static_cast<py::ssize_t>(c) * s1, rows * sizeof(double));
    } else {
        CopyByColumns(base, s0, s1, rows, cols,
                      [out](std::size_t i, const char* p) { std::memcpy(out + i, p, sizeof(double)); });
    }
    return Vrn::Run::make<Qlt::MatVal>(std::move(re), Qlt::DoubleArray(), static_cast<int>(rows),
                                       static_cast<int>(cols));
}

Object ComplexMatrix(const py::array& a, std::size_t rows, std::size_t cols, py::ssize_t s0, py::ssize_t s1) {
    const std::size_t n = rows * cols;
    Qlt::DoubleArray re = Qlt::DoubleArray::make_for_overwrite(n);
    Qlt::DoubleArray im = Qlt::DoubleArray::make_for_overwrite(n);
    double* pr = re.data();
    double* pi = im.data();
    CopyByColumns(static_cast<const char*>(a.data()), s0, s1, rows, cols, [pr, pi](std::size_t i, const char* p) {
        double z[2];
        std::memcpy(z, p, sizeof z);
        pr[i] = z[0];
        pi[i] = z[1];
    });
    return Vrn::Run::make<Qlt::MatVal>(std::move(re), std::move(im), static_cast<int>(rows), static_cast<int>(cols));
}

// A matrix of anything: numbers where the elements are numbers, nested
// host values elsewhere (the host's nested matrix, which the bridge refuses
// with "may not be nested").
bool NestedMatrix(const py::array& a, std::size_t rows, std::size_t cols, Object& out) {
    std::vector<Object> elements(rows * cols);
    bool complex = false;
    for (std::size_t c = 0; c < cols; ++c) {
        for (std::size_t r = 0; r < rows; ++r) {
            py::object item = a.ndim() == 2 ? a[py::make_tuple(r, c)] : a[py::int_(r)];
            Object& e = elements[r + c * rows];
            if (!ToHost(item.ptr(), e, 0)) return false;
            if (const Qlt::NumVal* num = e.as<Qlt::NumVal>()) complex = complex || num->Data.ip != 0.0;
        }
    }
    auto m = Vrn::Run::make<Qlt::MatVal>(static_cast<int>(rows), static_cast<int>(cols), complex);
    for (std::size_t c = 0; c < cols; ++c) {
        for (std::size_t r = 0; r < rows; ++r) {
            const Object& e = elements[r + c * rows];
            const int ri = static_cast<int>(r), ci = static_cast<int>(c);
            if (const Qlt::NumVal* num = e.as<Qlt::NumVal>()) m->set(ri, ci, num->Data.rp, num->Data.ip);
            else m->SetNested(ri, ci, e);
        }
    }
    out = std::move(m);
    return true;
}

bool ArrayToHost(PyObject* o, Object& out, int argument) {
    const py::module_& np = Numpy();
    if (IsMaskedArray(o)) return RefuseMasked(argument);
    py::array a;
    try {
        a = np.attr("asarray")(py::handle(o));
    } catch (py::error_already_set& e) {
        // Ragged lists are no numeric array, but still a matrix whose
        // elements are lists (nested values).
        if (!e.matches(PyExc_ValueError)) throw;
        a = np.attr("asarray")(py::handle(o), py::arg("dtype") = np.attr("object_"));
    }
    char kind = a.dtype().kind();
    // Text held by a list is kept as text elements, not read as numbers.
    if (kind == 'U' || kind == 'S' || kind == 'O') {
        a = np.attr("asarray")(py::handle(o), py::arg("dtype") = np.attr("object_"));
        kind = 'O';
    }
    if (a.ndim() == 0) {
        if (kind == 'O') return SetTypeError(o, argument);
        return MakeNumber(a.ptr(), out);
    }
    if (a.ndim() > 2) {
        PyErr_Format(PyExc_TypeError, "argument %d: a %d-dimensional array is not a matrix", argument,
                     static_cast<int>(a.ndim()));
        return false;
    }
    // The copies below read elements as this machine stores doubles: an
    // array in the other byte order is converted first, like any other type.
    const bool native = a.dtype().attr("isnative").cast<bool>();
    if (kind == 'b' || kind == 'i' || kind == 'u' || (kind == 'f' && (a.itemsize() != 8 || !native)))
        a = np.attr("asarray")(a, py::arg("dtype") = np.attr("float64"));
    else if (kind == 'c' && (a.itemsize() != 16 || !native))
        a = np.attr("asarray")(a, py::arg("dtype") = np.attr("complex128"));
    else if (kind != 'f' && kind != 'c' && kind != 'O') return SetTypeError(o, argument);
    const py::ssize_t rows = a.shape(0), cols = a.ndim() == 2 ? a.shape(1) : 1;
    if (rows > INT_MAX || cols > INT_MAX) {
        PyErr_Format(PyExc_ValueError, "argument %d: a matrix of at most %d rows and columns", argument, INT_MAX);
        return false;
    }
    const py::ssize_t s0 = a.strides(0), s1 = a.ndim() == 2 ? a.strides(1) : 0;
    const auto nr = static_cast<std::size_t>(rows), nc = static_cast<std::size_t>(cols);
    if (kind == 'O') return NestedMatrix(a, nr, nc, out);
    out = kind == 'c' ? ComplexMatrix(a, nr, nc, s0, s1) : RealMatrix(a, nr, nc, s0, s1);
    return true;
}

bool TextToHost(PyObject* o, Object& out) {
    out = Vrn::Run::Text(Utf16(o));
    return true;
}

// A file name given as a path object is its text.
bool PathToHost(PyObject* o, Object& out, int argument) {
    PyObject* path = PyOS_FSPath(o);
    if (!path) return false;
    bool ok = PyUnicode_Check(path) ? TextToHost(path, out) : SetTypeError(path, argument);
    Py_DECREF(path);
    return ok;
}

// A real matrix viewed in place: the array keeps the host matrix alive.
PyObject* RealArray(const Object& v, const Qlt::MatVal& m) {
    auto* keep = new Object(v);
    py::capsule owner(keep, [](void* p) { delete static_cast<Object*>(p); });
    const auto rows = static_cast<py::ssize_t>(m.Rows()), cols = static_cast<py::ssize_t>(m.Cols());
    const auto ld = static_cast<py::ssize_t>(m.Ld());
    const double* data = rows * cols != 0 ? m.m_rarr.data() + m.m_offset : nullptr;
    constexpr auto kElem = static_cast<py::ssize_t>(sizeof(double));
    py::array a(py::dtype::of<double>(), {rows, cols}, {kElem, kElem * ld}, data, owner);
    return a.release().ptr();
}

// numpy stores a complex element's parts side by side, the host in two
// planes: one pass interleaves them.
PyObject* ComplexArray(const Qlt::MatVal& m) {
    const auto rows = static_cast<py::ssize_t>(m.Rows()), cols = static_cast<py::ssize_t>(m.Cols());
    constexpr auto kElem = static_cast<py::ssize_t>(sizeof(std::complex<double>));
    py::array_t<std::complex<double>, py::array::f_style> a({rows, cols}, {kElem, kElem * rows});
    std::complex<double>* out = a.mutable_data();
    for (int c = 0; c < m.Cols(); ++c)
        for (int r = 0; r < m.Rows(); ++r) out[r + c * rows] = {m.re(r, c), m.im(r, c)};
    return a.release().ptr();
}

PyObject* NestedArray(const Qlt::MatVal& m) {
    py::array a = Numpy().attr("empty")(py::make_tuple(m.Rows(), m.Cols()), py::arg("dtype") = Numpy().attr("object_"));
    for (int c = 0; c < m.Cols(); ++c) {
        for (int r = 0; r < m.Rows(); ++r) {
            PyObject* e = FromHost(m.get_1(r + c * m.Rows()));
            if (!e) throw py::error_already_set();
            a[py::make_tuple(r, c)] = py::reinterpret_steal<py::object>(e);
        }
    }
    return a.release().ptr();
}

PyObject* MatrixFromHost(const Object& v, const Qlt::MatVal& m) {
    try {
        if (m.HasPtrs()) return NestedArray(m);
        return m.HasImag() ? ComplexArray(m) : RealArray(v, m);
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    }
}

}  // namespace

std::u16string Utf16(PyObject* str) {
    const Py_ssize_t n = PyUnicode_GET_LENGTH(str);
    const int kind = PyUnicode_KIND(str);
    const void* data = PyUnicode_DATA(str);
    std::u16string out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        Py_UCS4 c = PyUnicode_READ(kind, data, i);
        if (c < 0x10000) {
            out.push_back(static_cast<char16_t>(c));
        } else {
            c -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
        }
    }
    return out;
}

PyObject* FromUtf16(const std::u16string& s) {
    int order = -1;  // little-endian, the host's units as they lie in memory
    return PyUnicode_DecodeUTF16(reinterpret_cast<const char*>(s.data()),
                                 static_cast<Py_ssize_t>(s.size() * sizeof(char16_t)), "surrogatepass", &order);
}

bool NumberOfOther(PyObject* o, qlComplex& out) {
    if (PyFloat_Check(o)) {
        out = {PyFloat_AS_DOUBLE(o), 0.0};
        return true;
    }
    if (PyComplex_Check(o)) {
        Py_complex c = PyComplex_AsCComplex(o);
        out = {c.real, c.imag};
        return true;
    }
    if (PyLong_Check(o)) {
        double d = PyLong_AsDouble(o);
        if (d == -1.0 && PyErr_Occurred()) return false;
        out = {d, 0.0};
        return true;
    }
    return false;
}

bool ToHost(PyObject* o, Object& out, int argument) {
    // The common cases first, without a look at numpy.
    if (qlComplex z; NumberOf(o, z)) {
        out = Vrn::Run::Number(z.real, z.imag);
        return true;
    }
    if (PyErr_Occurred()) return false;  // a number that cannot be read (an int too large)
    if (PyUnicode_Check(o)) return TextToHost(o, out);
    // Bytes are no text and no matrix (a bytearray would read as a column
    // of its byte values).
    if (PyBytes_Check(o) || PyByteArray_Check(o)) return SetTypeError(o, argument);
    if (o == Py_None) {
        out = nullptr;
        return true;
    }
    try {
        if (IsScalarLike(o)) {
            if (MakeNumber(o, out)) return true;
            PyErr_Clear();
            return SetTypeError(o, argument);
        }
        if (PyObject_HasAttrString(o, "__fspath__")) return PathToHost(o, out, argument);
        return ArrayToHost(o, out, argument);
    } catch (py::error_already_set& e) {
        e.restore();
        return false;
    }
}

PyObject* FromNumber(const qlComplex& z) {
    if (z.imag == 0.0) return PyFloat_FromDouble(z.real);
    return PyComplex_FromDoubles(z.real, z.imag);
}

PyObject* FromHost(const Object& v) {
    if (const Qlt::NumVal* num = v.as<Qlt::NumVal>()) return FromNumber({num->Data.rp, num->Data.ip});
    if (const Vrn::Run::String* s = v.as<Vrn::Run::String>()) return FromUtf16(s->str());
    if (const Qlt::MatVal* m = v.as<Qlt::MatVal>()) return MatrixFromHost(v, *m);
    if (v.is_null()) Py_RETURN_NONE;
    PyErr_SetString(PyExc_TypeError, "a host function value cannot be handed to Python");
    return nullptr;
}

}  // namespace efi_python
