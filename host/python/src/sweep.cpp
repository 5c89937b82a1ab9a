// Function.map: numpy's broadcasting gives the arguments one shape; the
// bridge sweeps the function over them (SweepWithNumbers) with the GIL
// released, a block of elements at a time, so that Ctrl-C and other threads
// get their turn between blocks; the results fill one array of that shape.
#include "sweep.h"

#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <chrono>
#include <complex>
#include <cstddef>
#include <span>
#include <vector>

#include <efi/host/bridge.h>

#include "call.h"
#include "function.h"
#include "values.h"

namespace py = pybind11;

namespace efi_python {

const char* const kMapDoc =
    "map(*args, **kwargs): the function at every element of its arguments, which numpy broadcasts to one shape "
    "(numbers and real or complex array-likes), given in order or by their parameters' names. Returns an array of that "
    "shape: float64 when every "
    "result's imaginary part is zero, else complex128. The sweep runs without the GIL and stops at the "
    "first failing element, raising its WorksheetError or ProcessorFault with `index`, the element's "
    "index tuple. Only for functions that take and return numbers.";

static_assert(sizeof(qlComplex) == sizeof(std::complex<double>) && alignof(qlComplex) <= alignof(std::complex<double>),
              "a complex128 element is read and written as a qlComplex");

namespace {

/// One argument, broadcast: a single number, or one element per result in
/// C order, real (float64) or complex (complex128).
struct Column {
    py::array values;  // keeps the data alive; unused for a single number
    qlComplex single{};
    bool isSingle = false;
    bool complex = false;

    const double* real() const { return static_cast<const double*>(values.data()); }
    const qlComplex* complexData() const { return static_cast<const qlComplex*>(values.data()); }
};

/// Whether `arg` holds numbers: booleans, integers, real or complex.
bool HoldsNumbers(const py::array& arg) {
    const char kind = arg.dtype().kind();
    return kind == 'b' || kind == 'i' || kind == 'u' || kind == 'f' || kind == 'c';
}

/// Sets the TypeError for argument `argument`, which holds no numbers, and
/// returns null.
PyObject* RefuseNonNumbers(const py::array& arg, std::size_t argument) {
    PyErr_Format(PyExc_TypeError, "map: argument %zu holds %S, not real or complex numbers", argument,
                 arg.dtype().ptr());
    return nullptr;
}

/// The column of `arg`, which holds numbers, broadcast to `shape`.
Column ColumnOf(const py::array& arg, const py::tuple& shape) {
    Column c;
    c.complex = arg.dtype().kind() == 'c';
    const py::object dtype = Numpy().attr(c.complex ? "complex128" : "float64");
    if (arg.size() == 1) {
        const std::complex<double> z = py::cast<std::complex<double>>(
            arg.attr("reshape")(-1).attr("astype")(Numpy().attr("complex128"))[py::int_(0)]);
        c.single = {z.real(), z.imag()};
        c.isSingle = true;
        return c;
    }
    // In place when it is already one element per result in C order and
    // aligned for its type (an array made from a pickled buffer, as a worker
    // process receives it, may not be).
    c.values = Numpy().attr("require")(Numpy().attr("broadcast_to")(arg, shape), dtype, py::make_tuple("C", "A"));
    return c;
}

/// Element `flat` of `shape` as the index tuple numpy would give it (a new
/// reference), or null with the Python error set.
PyObject* IndexOf(std::size_t flat, const std::vector<std::size_t>& shape) {
    PyObject* index = PyTuple_New(static_cast<Py_ssize_t>(shape.size()));
    for (std::size_t d = shape.size(); index && d-- > 0;) {
        PyObject* i = PyLong_FromSize_t(flat % shape[d]);
        if (!i) Py_CLEAR(index);
        else PyTuple_SET_ITEM(index, static_cast<Py_ssize_t>(d), i);
        flat /= shape[d];
    }
    return index;
}

/// Gives `error` the element's index as `index`. False with the Python
/// error set when that fails.
bool SetIndex(PyObject* error, std::size_t done, const std::vector<std::size_t>& shape) {
    PyObject* index = IndexOf(done, shape);
    const bool set = index && PyObject_SetAttrString(error, "index", index) == 0;
    Py_XDECREF(index);
    return set;
}

/// Sets the Python error for the element's failure and returns null: a
/// worksheet error or a processor fault gets the element's index as
/// `index`. Where the index cannot be given, the failure to give it is the
/// error set instead: an error without the element it names would mislead.
PyObject* RaiseAt(std::exception_ptr failure, std::size_t done, const std::vector<std::size_t>& shape) {
    RaiseFrom(std::move(failure));
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    const int worksheetError = value ? PyObject_IsInstance(value, Errors().worksheet_error) : 0;
    if (worksheetError < 0 || (worksheetError == 1 && !SetIndex(value, done, shape))) {
        Py_XDECREF(type);
        Py_XDECREF(value);
        Py_XDECREF(tb);
        return nullptr;
    }
    PyErr_Restore(type, value, tb);
    return nullptr;
}

/// How a block, or the whole sweep, ended: the elements done, the failure
/// that ended it, or (on the real road) the complex result that stopped it.
using Outcome = Efi::User::RealSweepOutcome;

/// The sweep in blocks, from element `start`. On the real road every
/// argument is real and is read in place, and the results' real parts go
/// to `real` until a result is complex, which stops the sweep after that
/// element. On the complex road real arguments are gathered as numbers
/// (complex ones are read in place) and the results go to `complex`.
/// Between blocks the GIL is taken back to look for signals; a block is
/// sized so that it takes a few milliseconds, so Ctrl-C is seen well within
/// 0.1 s whatever one element costs (unless one element alone costs more).
class BlockSweep {
public:
    BlockSweep(Efi::User::Function& f, const std::vector<Column>& columns, std::size_t count)
        : m_f(f), m_columns(columns), m_count(count), m_gathered(columns.size()) {}

    /// The outcome from `start` on, or nothing with a Python error set by a
    /// signal handler (the results so far written).
    std::optional<Outcome> Run(std::size_t start, double* real, qlComplex* complex) {
        using Clock = std::chrono::steady_clock;
        constexpr auto kTarget = std::chrono::milliseconds(5);
        std::size_t block = 16;
        while (start < m_count) {
            const std::size_t n = std::min(block, m_count - start);
            const auto began = Clock::now();
            if (!real) Reserve(n);  // nothing that can throw runs without the GIL
            // Always without the GIL, unlike a single call: a sweep is long
            // enough for the hand-over to pay, and a thread made meanwhile
            // gets in. RestoreThread keeps an exiting interpreter safe.
            PyThreadState* saved = PyEval_SaveThread();
            Outcome outcome = real ? SweepReals(start, n, real) : SweepNumbers(start, n, complex);
            RestoreThread(saved);
            outcome.done += start;
            if (outcome.failure || outcome.stoppedAtComplex) return outcome;
            start += n;
            if (start < m_count && PyErr_CheckSignals() != 0) return std::nullopt;
            const auto took = Clock::now() - began;
            if (took < kTarget / 2 && block < (std::size_t{1} << 20)) block *= 2;
            else if (took > kTarget * 4 && block > 1) block /= 2;
        }
        return Outcome{m_count, nullptr, false, {}};
    }

private:
    void Reserve(std::size_t n) {
        for (std::size_t k = 0; k < m_columns.size(); ++k)
            if (!m_columns[k].isSingle && !m_columns[k].complex && m_gathered[k].size() < n) m_gathered[k].resize(n);
    }

    // These run without the GIL: they touch no Python object's reference
    // count. The sweeps throw only for columns they cannot sweep, which
    // these never are.
    Outcome SweepReals(std::size_t start, std::size_t n, double* out) {
        std::span<const double> spans[Efi::User::kMaxArgs];
        for (std::size_t k = 0; k < m_columns.size(); ++k) {
            const Column& c = m_columns[k];
            spans[k] = c.isSingle ? std::span<const double>(&c.single.real, 1) : std::span(c.real() + start, n);
        }
        return m_f.SweepWithReals(std::span(spans, m_columns.size()), std::span(out + start, n));
    }

    Outcome SweepNumbers(std::size_t start, std::size_t n, qlComplex* out) {
        std::span<const qlComplex> spans[Efi::User::kMaxArgs];
        for (std::size_t k = 0; k < m_columns.size(); ++k) spans[k] = Gather(k, start, n);
        const Efi::User::SweepOutcome outcome =
            m_f.SweepWithNumbers(std::span(spans, m_columns.size()), std::span(out + start, n));
        return Outcome{outcome.done, outcome.failure, false, {}};
    }

    std::span<const qlComplex> Gather(std::size_t k, std::size_t start, std::size_t n) {
        const Column& c = m_columns[k];
        if (c.isSingle) return {&c.single, 1};
        if (c.complex) return {c.complexData() + start, n};
        std::vector<qlComplex>& buffer = m_gathered[k];
        const double* real = c.real() + start;
        for (std::size_t i = 0; i < n; ++i) buffer[i] = {real[i], 0.0};
        return {buffer.data(), n};
    }

    Efi::User::Function& m_f;
    const std::vector<Column>& m_columns;
    std::size_t m_count;
    std::vector<std::vector<qlComplex>> m_gathered;
};

bool AllReal(const qlComplex* z, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (z[i].imag != 0.0) return false;
    return true;
}

/// The sweep into `out` (float64 when every argument is real, else
/// complex128), and the array of results by the scalar rule: float64 when
/// every imaginary part is zero. The real road writes real parts straight
/// into a float64 array; the first complex result moves what is done into
/// a complex128 array, which the complex road fills from the next element.
std::optional<Outcome> Sweep(Efi::User::Function& f, const std::vector<Column>& columns, std::size_t count,
                             py::array& out) {
    BlockSweep sweep(f, columns, count);
    BridgeEntry entry;
    if (out.dtype().kind() == 'f') {
        std::optional<Outcome> outcome = sweep.Run(0, static_cast<double*>(out.mutable_data()), nullptr);
        if (!outcome || !outcome->stoppedAtComplex) return outcome;
        out = out.attr("astype")(Numpy().attr("complex128"));
        auto* complex = static_cast<qlComplex*>(out.mutable_data());
        complex[outcome->done - 1] = outcome->complexResult;
        return sweep.Run(outcome->done, nullptr, complex);
    }
    auto* results = static_cast<qlComplex*>(out.mutable_data());
    std::optional<Outcome> outcome = sweep.Run(0, nullptr, results);
    if (outcome && !outcome->failure && AllReal(results, count)) out = Numpy().attr("array")(out.attr("real"));
    return outcome;
}

PyObject* MapUnguarded(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    const Callable* c = CallableOf(self);
    if (!c) {
        PyErr_SetString(PyExc_TypeError, "map: not an efi.Function");
        return nullptr;
    }
    if (c->fn.isolated) {
        PyErr_Format(PyExc_TypeError, "%s.map: the functions of an isolated module are called one at a time, not swept",
                     c->fn.name.c_str());
        return nullptr;
    }
    if (!c->fn.numbers) {
        PyErr_Format(PyExc_TypeError,
                     "%s.map: map sweeps functions that take and return numbers only, and this one is %s",
                     c->fn.name.c_str(), c->fn.Signature().c_str());
        return nullptr;
    }
    if (static_cast<std::size_t>(nargs) != c->fn.args.size()) return RaiseWrongCount(self, nargs, ".map");
    try {
        std::vector<py::array> arrays;
        py::tuple shapes(static_cast<std::size_t>(nargs));
        for (Py_ssize_t k = 0; k < nargs; ++k) {
            if (IsMaskedArray(args[k])) {
                RefuseMasked(static_cast<int>(k + 1));
                return nullptr;
            }
            arrays.push_back(Numpy().attr("asarray")(py::handle(args[k])));
            shapes[static_cast<std::size_t>(k)] = arrays.back().attr("shape");
        }
        const py::tuple shape = Numpy().attr("broadcast_shapes")(*shapes);
        std::vector<std::size_t> dims;
        std::size_t count = 1;
        for (py::handle d : shape) {
            dims.push_back(d.cast<std::size_t>());
            count *= dims.back();
        }
        std::vector<Column> columns;
        for (std::size_t k = 0; k < arrays.size(); ++k) {
            if (!HoldsNumbers(arrays[k])) return RefuseNonNumbers(arrays[k], k + 1);
            columns.push_back(ColumnOf(arrays[k], shape));
        }
        bool real = true;
        for (const Column& column : columns) real = real && !column.complex;
        py::array out = Numpy().attr("empty")(shape, Numpy().attr(real ? "float64" : "complex128"));
        const std::optional<Outcome> outcome = Sweep(*c->fn.numbers, columns, count, out);
        if (!outcome) return nullptr;
        if (outcome->failure) return RaiseAt(outcome->failure, outcome->done, dims);
        return out.release().ptr();
    } catch (py::error_already_set& e) {
        e.restore();
        return nullptr;
    }
}

}  // namespace

PyObject* Map(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return GuardEntry([&]() -> PyObject* {
        if (!kwnames || PyTuple_GET_SIZE(kwnames) == 0) return MapUnguarded(self, args, nargs);
        // Each column by its parameter's name, as a call takes its arguments.
        std::vector<PyObject*> bound;
        if (!CallableOf(self) || !BindKeywords(self, args, nargs, kwnames, ".map", bound)) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "map: not an efi.Function");
            return nullptr;
        }
        return MapUnguarded(self, bound.data(), static_cast<Py_ssize_t>(bound.size()));
    });
}

}  // namespace efi_python
