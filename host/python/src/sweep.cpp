// Function.map: numpy's broadcasting gives the arguments one shape; the
// bridge sweeps the function over them (SweepWithNumbers) with the GIL
// released, a block of elements at a time, so that Ctrl-C and other threads
// get their turn between blocks; the results fill one array of that shape.
#include "sweep.h"

#include <pybind11/complex.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <complex>
#include <cstddef>
#include <cstdlib>
#include <limits>
#include <new>
#include <span>
#include <thread>
#include <vector>

#include <efi/host/bridge.h>

#include <sched.h>

#include "call.h"
#include "function.h"
#include "map_pool.h"
#include "values.h"

namespace py = pybind11;

namespace efi_python {

const char* const kMapDoc =
    "map(*args, threads=None, **kwargs): the function at every element of its arguments, which numpy broadcasts to "
    "one shape (numbers and real or complex array-likes), given in order or by their parameters' names. Returns an "
    "array of that shape: float64 when every result's imaginary part is zero, else complex128. The sweep runs "
    "without the GIL and stops at the first failing element, raising its WorksheetError or ProcessorFault with "
    "`index`, the element's index tuple. Only for functions that take and return numbers.\n\n"
    "threads: how many threads sweep a function its module declares thread-safe (None: the environment variable "
    "EFI_NUM_THREADS, else the cores this process may use). The elements are split into contiguous parts; the "
    "results, and the failure raised (the failing element with the lowest index, every result before it written), "
    "are those of one thread. A map of fewer than 16384 elements, a map made inside a call (from a callback), and "
    "the map of a function not declared thread-safe run on the calling thread whatever threads says. "
    "(A parameter named threads is given by position.)";

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

/// Elements of a map, a block at a time, on one thread. On the real road
/// every argument is real and is read in place, and the results' real parts
/// go to `real` until a result is complex, which stops the sweep after that
/// element. On the complex road real arguments are gathered as numbers
/// (complex ones are read in place) and the results go to `complex`.
class ElementSweep {
public:
    ElementSweep(Efi::User::Function& f, const std::vector<Column>& columns)
        : m_f(f), m_columns(columns), m_gathered(columns.size()) {}

    /// Makes room to gather `n` elements on the complex road: the only
    /// step that can throw, taken before the block.
    void Reserve(std::size_t n) {
        for (std::size_t k = 0; k < m_columns.size(); ++k)
            if (!m_columns[k].isSingle && !m_columns[k].complex && m_gathered[k].size() < n) m_gathered[k].resize(n);
    }

    /// Elements [start, start + n) on the road `real` or `complex` (the
    /// other null), with `done` counted from `start`. Runs without the GIL:
    /// it touches no Python object's reference count. The sweeps throw only
    /// for columns they cannot sweep, which these never are.
    Outcome Block(std::size_t start, std::size_t n, double* real, qlComplex* complex) {
        return real ? SweepReals(start, n, real) : SweepNumbers(start, n, complex);
    }

private:
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
    std::vector<std::vector<qlComplex>> m_gathered;
};

/// Block sizes: each block is sized so that it takes a few milliseconds, so
/// a thread looks at its signals, or at a reason to stop, well within 0.1 s
/// whatever one element costs (unless one element alone costs more).
class BlockSize {
public:
    using Clock = std::chrono::steady_clock;
    std::size_t Next() const { return m_block; }
    void Took(Clock::duration took) {
        constexpr auto kTarget = std::chrono::milliseconds(5);
        if (took < kTarget / 2 && m_block < (std::size_t{1} << 20)) m_block *= 2;
        else if (took > kTarget * 4 && m_block > 1) m_block /= 2;
    }

private:
    std::size_t m_block = 16;
};

/// The sweep in blocks on the calling thread, from element `start`.
/// Between blocks the GIL is taken back to look for signals.
class BlockSweep {
public:
    BlockSweep(Efi::User::Function& f, const std::vector<Column>& columns, std::size_t count)
        : m_elements(f, columns), m_count(count) {}

    /// The outcome from `start` on, or nothing with a Python error set by a
    /// signal handler (the results so far written).
    std::optional<Outcome> Run(std::size_t start, double* real, qlComplex* complex) {
        BlockSize block;
        while (start < m_count) {
            const std::size_t n = std::min(block.Next(), m_count - start);
            const auto began = BlockSize::Clock::now();
            if (!real) m_elements.Reserve(n);  // nothing that can throw runs without the GIL
            // Always without the GIL, unlike a single call: a sweep is long
            // enough for the hand-over to pay, and a thread made meanwhile
            // gets in. RestoreThread keeps an exiting interpreter safe.
            PyThreadState* saved = PyEval_SaveThread();
            Outcome outcome = m_elements.Block(start, n, real, complex);
            RestoreThread(saved);
            outcome.done += start;
            if (outcome.failure || outcome.stoppedAtComplex) return outcome;
            start += n;
            if (start < m_count && PyErr_CheckSignals() != 0) return std::nullopt;
            block.Took(BlockSize::Clock::now() - began);
        }
        return Outcome{m_count, nullptr, false, {}};
    }

private:
    ElementSweep m_elements;
    std::size_t m_count;
};

bool AllReal(const qlComplex* z, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (z[i].imag != 0.0) return false;
    return true;
}

/// A map shared among threads: its elements in contiguous parts, which
/// the calling thread and helpers of the pool take in order, each part in
/// blocks as one thread sweeps them. A failure at element i stops every
/// part past i at its next block, and the parts before i run to their end,
/// so that the failure reported is the one a single thread meets first,
/// with every result before it written. The calling thread holds the turn
/// (a share) for all of them and looks at its signals between its blocks
/// and while it waits for the helpers: Ctrl-C stops every part at its next
/// block.
class SharedSweep final : public PoolJob {
public:
    struct Part {
        std::size_t begin, end;
        Outcome outcome{};
    };

    /// The parts (each non-empty) on the road `real` or `complex` (the
    /// other null); no part runs past `failedAt`, a failure known already.
    SharedSweep(Efi::User::Function& f, const std::vector<Column>& columns, std::vector<Part> parts, double* real,
                qlComplex* complex, std::size_t failedAt)
        : m_f(f),
          m_columns(columns),
          m_parts(std::move(parts)),
          m_real(real),
          m_complex(complex),
          m_failedAt(failedAt) {}

    /// Runs the parts on this thread (which holds the GIL and the turn) and
    /// on up to `helpers` threads of the pool. False with the Python error
    /// set when a signal handler raised; no part runs once it returns.
    bool Run(unsigned helpers) {
        Share(*this, helpers);
        ElementSweep elements(m_f, m_columns);
        BlockSize block;
        bool interrupted = false;
        while (Part* part = Claim())
            if (!RunPart(*part, elements, block, true)) {
                interrupted = true;
                break;
            }
        Withdraw(*this);
        for (;;) {
            PyThreadState* saved = PyEval_SaveThread();
            const bool done = WaitForHelpers(*this, std::chrono::milliseconds(20));
            RestoreThread(saved);
            if (done) break;
            if (!interrupted && PyErr_CheckSignals() != 0) {
                interrupted = true;
                m_stop.store(true, std::memory_order_relaxed);
            }
        }
        return !interrupted;
    }

    /// After Run: the parts as they ended.
    const std::vector<Part>& Parts() const { return m_parts; }
    /// The first failing element, or past every element.
    std::size_t FailedAt() const { return m_failedAt.load(std::memory_order_relaxed); }
    /// The outcome of the part that failed first, if one did.
    std::optional<Outcome> FirstFailure() const {
        for (const Part& part : m_parts)
            if (part.outcome.failure && part.outcome.done == FailedAt()) return part.outcome;
        return std::nullopt;
    }

    void Work() noexcept override {
        // A helper runs native calls as the calling thread would: in
        // Python's environment, and within the share of the turn the
        // calling thread holds, so that a callback's nested call passes
        // through as there.
        FpGuard guard;
        BorrowedTurn turn;
        try {
            ElementSweep elements(m_f, m_columns);
            BlockSize block;
            while (Part* part = Claim()) RunPart(*part, elements, block, false);
        } catch (const std::bad_alloc&) {
            // Only making `elements` allocates before a part is claimed:
            // the parts are left to the other threads.
        }
    }

private:
    Part* Claim() {
        const std::size_t k = m_next.fetch_add(1, std::memory_order_relaxed);
        if (k >= m_parts.size()) return nullptr;
        m_parts[k].outcome = Outcome{m_parts[k].begin, nullptr, false, {}};
        return &m_parts[k];
    }

    /// Runs `part` until it ends, fails, meets a complex result, or is
    /// stopped; on the calling thread (`caller`) each block without the
    /// GIL, and false when a signal handler raised between them.
    bool RunPart(Part& part, ElementSweep& elements, BlockSize& block, bool caller) {
        std::size_t start = part.begin;
        while (start < part.end) {
            if (m_stop.load(std::memory_order_relaxed) || m_failedAt.load(std::memory_order_relaxed) < start) break;
            const std::size_t n = std::min(block.Next(), part.end - start);
            const auto began = BlockSize::Clock::now();
            if (!m_real && !Reserve(part, elements, start, n)) return true;
            PyThreadState* saved = caller ? PyEval_SaveThread() : nullptr;
            Outcome outcome = elements.Block(start, n, m_real, m_complex);
            if (caller) RestoreThread(saved);
            outcome.done += start;
            if (outcome.failure || outcome.stoppedAtComplex) {
                part.outcome = std::move(outcome);
                if (part.outcome.failure) LowerFailedAt(part.outcome.done);
                return true;
            }
            start += n;
            part.outcome.done = start;
            if (caller && PyErr_CheckSignals() != 0) {
                m_stop.store(true, std::memory_order_relaxed);
                return false;
            }
            block.Took(BlockSize::Clock::now() - began);
        }
        return true;
    }

    void LowerFailedAt(std::size_t at) {
        std::size_t seen = m_failedAt.load(std::memory_order_relaxed);
        while (at < seen && !m_failedAt.compare_exchange_weak(seen, at, std::memory_order_relaxed)) {
        }
    }

    /// Room to gather the block's arguments; without it (out of memory)
    /// the part fails at `start` with that failure, as one thread would.
    bool Reserve(Part& part, ElementSweep& elements, std::size_t start, std::size_t n) {
        try {
            elements.Reserve(n);
            return true;
        } catch (...) {
            part.outcome = Outcome{start, std::current_exception(), false, {}};
            LowerFailedAt(start);
            return false;
        }
    }

    Efi::User::Function& m_f;
    const std::vector<Column>& m_columns;
    std::vector<Part> m_parts;
    double* m_real;
    qlComplex* m_complex;
    std::atomic<std::size_t> m_next{0};
    std::atomic<std::size_t> m_failedAt;
    std::atomic<bool> m_stop{false};
};

/// Maps of fewer elements than this run on one thread whatever `threads`
/// says: below it, handing parts to other threads costs more than it saves
/// for the cheapest functions (see kMapDoc).
constexpr std::size_t kThreadedMapMinimum = 1 << 14;
/// Parts a thread gets, on average: more than one, so that a thread slowed
/// by other work on its core leaves its share to the others.
constexpr std::size_t kPartsPerThread = 4;

/// `count` elements in contiguous parts for `threads` threads, none
/// smaller than half the threaded minimum.
std::vector<SharedSweep::Part> Split(std::size_t count, unsigned threads) {
    const std::size_t parts =
        std::max<std::size_t>(1, std::min(threads * kPartsPerThread, count / (kThreadedMapMinimum / 2)));
    std::vector<SharedSweep::Part> out;
    for (std::size_t k = 0; k < parts; ++k) out.push_back({count * k / parts, count * (k + 1) / parts});
    return out;
}

/// Sweep on `threads` threads (a thread-safe function, at least the
/// threaded minimum of elements): the same results, and the same failure,
/// as on one. Parts of a real sweep that meet a complex result go on from
/// there on the complex road, in a second round, once the array of
/// results has become complex.
std::optional<Outcome> SweepOnThreads(Efi::User::Function& f, const std::vector<Column>& columns, std::size_t count,
                                      py::array& out, unsigned threads) {
    BridgeEntry entry(TurnKind::kShared);
    std::vector<SharedSweep::Part> parts = Split(count, threads);
    const auto helpers = [&](std::size_t n) {
        return static_cast<unsigned>(std::min<std::size_t>(threads - 1, n - 1));
    };
    constexpr std::size_t kNone = std::numeric_limits<std::size_t>::max();
    const Outcome allDone{count, nullptr, false, {}};
    if (out.dtype().kind() == 'f') {
        SharedSweep reals(f, columns, std::move(parts), static_cast<double*>(out.mutable_data()), nullptr, kNone);
        if (!reals.Run(helpers(reals.Parts().size()))) return std::nullopt;
        std::vector<SharedSweep::Part> rest;
        for (const SharedSweep::Part& p : reals.Parts())
            if (p.outcome.stoppedAtComplex && p.outcome.done - 1 < reals.FailedAt())
                rest.push_back({p.outcome.done, p.end});
        if (rest.empty()) return reals.FirstFailure().value_or(allDone);
        out = out.attr("astype")(Numpy().attr("complex128"));
        auto* complex = static_cast<qlComplex*>(out.mutable_data());
        for (const SharedSweep::Part& p : reals.Parts())
            if (p.outcome.stoppedAtComplex && p.outcome.done - 1 < reals.FailedAt())
                complex[p.outcome.done - 1] = p.outcome.complexResult;
        std::erase_if(rest, [](const SharedSweep::Part& p) { return p.begin == p.end; });
        if (rest.empty()) return reals.FirstFailure().value_or(allDone);
        const std::size_t restCount = rest.size();
        SharedSweep numbers(f, columns, std::move(rest), nullptr, complex, reals.FailedAt());
        if (!numbers.Run(helpers(restCount))) return std::nullopt;
        if (numbers.FailedAt() < reals.FailedAt()) return numbers.FirstFailure();
        return reals.FirstFailure().value_or(allDone);
    }
    auto* results = static_cast<qlComplex*>(out.mutable_data());
    SharedSweep numbers(f, columns, std::move(parts), nullptr, results, kNone);
    if (!numbers.Run(helpers(numbers.Parts().size()))) return std::nullopt;
    if (std::optional<Outcome> failed = numbers.FirstFailure()) return failed;
    if (AllReal(results, count)) out = Numpy().attr("array")(out.attr("real"));
    return allDone;
}

/// The sweep into `out` (float64 when every argument is real, else
/// complex128), and the array of results by the scalar rule: float64 when
/// every imaginary part is zero. The real road writes real parts straight
/// into a float64 array; the first complex result moves what is done into
/// a complex128 array, which the complex road fills from the next element.
std::optional<Outcome> Sweep(Efi::User::Function& f, TurnKind turn, const std::vector<Column>& columns,
                             std::size_t count, py::array& out) {
    BlockSweep sweep(f, columns, count);
    BridgeEntry entry(turn);
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

/// The threads of a map that asks for none: EFI_NUM_THREADS, else the
/// cores this process could run on when it first asked. 0 with a Python error set for a
/// variable that is no positive whole number.
unsigned DefaultThreads() {
    if (const char* env = std::getenv("EFI_NUM_THREADS"); env && *env) {
        char* end = nullptr;
        errno = 0;
        const long n = std::strtol(env, &end, 10);
        if (*end != '\0' || errno != 0 || n < 1) {
            PyErr_Format(PyExc_ValueError, "map: EFI_NUM_THREADS must be a positive whole number, not '%s'", env);
            return 0;
        }
        return static_cast<unsigned>(std::min<long>(n, kMaxHelpers + 1));
    }
    // Counted once: asking costs a system call, a good part of a small map.
    static const unsigned cores = [] {
        cpu_set_t set;
        if (sched_getaffinity(0, sizeof set, &set) == 0) return static_cast<unsigned>(std::max(1, CPU_COUNT(&set)));
        return std::max(1u, std::thread::hardware_concurrency());
    }();
    return std::min(cores, kMaxHelpers + 1);
}

/// The `threads=` of a map: None for the default, else a whole number from
/// 1 (more than the pool's threads and one are as many). 0 with a Python
/// error set for anything else.
unsigned ThreadsOf(PyObject* threads) {
    if (!threads || threads == Py_None) return DefaultThreads();
    if (!PyLong_Check(threads) || PyBool_Check(threads)) {
        PyErr_Format(PyExc_TypeError, "map: threads must be an int or None, not %.200s", Py_TYPE(threads)->tp_name);
        return 0;
    }
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(threads, &overflow);
    if (n == -1 && PyErr_Occurred()) return 0;
    if (overflow < 0 || (overflow == 0 && n < 1)) {
        PyErr_Format(PyExc_ValueError, "map: threads must be at least 1, not %S", threads);
        return 0;
    }
    return overflow > 0 ? kMaxHelpers + 1 : static_cast<unsigned>(std::min<long long>(n, kMaxHelpers + 1));
}

PyObject* MapUnguarded(PyObject* self, PyObject* const* args, Py_ssize_t nargs, unsigned threads) {
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
        // One thread for a function not declared thread-safe, a small map,
        // or a map inside a call (from a callback), which keeps the threads
        // of the call it is in.
        const bool threaded =
            threads > 1 && c->turn == TurnKind::kShared && count >= kThreadedMapMinimum && !BridgeTurn::Held();
        const std::optional<Outcome> outcome = threaded ? SweepOnThreads(*c->fn.numbers, columns, count, out, threads)
                                                        : Sweep(*c->fn.numbers, c->turn, columns, count, out);
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
        const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
        if (keywords == 0) {
            const unsigned threads = ThreadsOf(nullptr);
            return threads == 0 ? nullptr : MapUnguarded(self, args, nargs, threads);
        }
        // threads= is the map's own; the other keywords name columns.
        PyObject* threadsArg = nullptr;
        std::vector<PyObject*> values(args, args + nargs);
        py::list names;
        for (Py_ssize_t k = 0; k < keywords; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            if (PyUnicode_CompareWithASCIIString(key, "threads") == 0) {
                threadsArg = args[nargs + k];
                continue;
            }
            values.push_back(args[nargs + k]);
            names.append(key);
        }
        const unsigned threads = ThreadsOf(threadsArg);
        if (threads == 0) return nullptr;
        if (names.empty()) return MapUnguarded(self, args, nargs, threads);
        // Each column by its parameter's name, as a call takes its arguments.
        std::vector<PyObject*> bound;
        const py::tuple columnNames(names);
        if (!CallableOf(self) || !BindKeywords(self, values.data(), nargs, columnNames.ptr(), ".map", bound)) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "map: not an efi.Function");
            return nullptr;
        }
        return MapUnguarded(self, bound.data(), static_cast<Py_ssize_t>(bound.size()), threads);
    });
}

}  // namespace efi_python
