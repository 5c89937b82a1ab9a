// A sample extension module written to the raw calling contract, the layer
// every module comes down to. A new module in C++ is shorter written with
// the typed layer above it, <efi/bind.h> (examples/boost); this one shows
// what that layer writes for you, and what a module in any language does.
//
// Every function below follows the calling contract of registered native
// functions: a pointer to the result record, then one pointer per argument,
// and an unsigned result code, 0 for success, else (argument << 16) | index
// into the function's message table (index from 1). The table at the end
// lists the functions for the host under the symbol "efi_module", with a
// description of each that says whether it is thread-safe.
//
// What each argument pointer is, by the code the table declares:
//   0 or 1   const Efi::User::Value*  scalar view: real, imag
//   2        const Efi::User::Value*  array view: rows, cols, realCols, imagCols
//   8        const Efi::User::Value*  text view: narrow NUL-terminated text
//   13, 14   const char*              the full path of a file name
// Results, by the return code: 1 scalar view; 2 array view whose pointer
// arrays and blocks come from malloc (the host frees them, after a success
// only: a function that fails owns what it allocated, so hand them over
// last); 8 text view (the host only reads it: call memory is the right
// place for it).
#include <efi/efi.h>

#include <sys/stat.h>

#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

using Efi::User::ComplexArray;
using Efi::User::Value;

namespace {

/// Result code for message `index` of the table, marking `argument`.
constexpr std::uint32_t Error(std::uint32_t argument, std::uint32_t index) { return (argument << 16) | index; }

/// One part of a matrix result the way the host expects it: a pointer array
/// of `cols` entries and one block of rows x cols doubles at entry 0, filled
/// from `from` (column order). With no columns there is no entry 0, so no
/// block either. Null when the heap refuses; nothing is kept then.
double** NewPart(std::uint32_t rows, std::uint32_t cols, const double* from) {
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    auto** colsArray = static_cast<double**>(std::malloc(sizeof(double*) * (cols ? cols : 1)));
    auto* block = cols ? static_cast<double*>(std::malloc(sizeof(double) * (n ? n : 1))) : nullptr;
    if (!colsArray || (cols && !block)) {
        std::free(colsArray);
        std::free(block);
        return nullptr;
    }
    if (n) std::memcpy(block, from, sizeof(double) * n);
    for (std::uint32_t c = 0; c < cols; ++c) colsArray[c] = block + static_cast<std::size_t>(c) * rows;
    return colsArray;
}

void FreePart(double** part, std::uint32_t cols) {
    if (!part) return;
    if (cols) std::free(part[0]);
    std::free(part);
}

/// Hands finished planes over as the matrix result, the last step of a
/// function: the host frees a result's blocks only after a success, so a
/// function that fails owns what it allocated. Either every block is made
/// and stored in `out`, or none is kept and "out of memory" is raised.
void HandOver(ComplexArray& out, std::uint32_t rows, std::uint32_t cols, const double* re, const double* im) {
    double** realCols = NewPart(rows, cols, re);
    double** imagCols = realCols && im ? NewPart(rows, cols, im) : nullptr;
    if (!realCols || (im && !imagCols)) {
        FreePart(realCols, cols);
        Efi::Throw("out of memory", Efi::kNoArgument);
    }
    out = ComplexArray{rows, cols, realCols, imagCols};
}

/// A plane of n doubles in call memory, which the host releases however the
/// call ends (a trapped fault unwinds through the native frames).
double* CallPlane(std::size_t n) {
    return static_cast<double*>(IqlAllocator::m_current->allocate_array(static_cast<unsigned>(n * sizeof(double))));
}

}  // namespace

extern "C" {

/// sample_add(a, b) = a + b, complex.
std::uint32_t sample_add(Value* result, const Value* a, const Value* b) {
    result->real = a->real + b->real;
    result->imag = a->imag + b->imag;
    return 0;
}

/// sample_scale(s, M) = s * M, complex: a matrix result allocated with malloc.
/// The product is computed in call memory first, since any element may trap
/// (0 * inf is an invalid operation); only a finished product is handed over.
std::uint32_t sample_scale(Value* result, const Value* s, const Value* m) {
    const ComplexArray& in = m->array;
    const bool complex = in.imagCols || s->imag != 0.0;
    // The host gave the argument one block per part of this size, so it fits.
    const std::size_t n = static_cast<std::size_t>(in.rows) * in.cols;
    double* re = CallPlane(n);
    double* im = complex ? CallPlane(n) : nullptr;
    for (std::uint32_t c = 0; c < in.cols; ++c) {
        for (std::uint32_t r = 0; r < in.rows; ++r) {
            const std::size_t k = static_cast<std::size_t>(c) * in.rows + r;
            const double x = in.realCols[c][r];
            const double y = in.imagCols ? in.imagCols[c][r] : 0.0;
            re[k] = s->real * x - s->imag * y;
            if (complex) im[k] = s->real * y + s->imag * x;
        }
    }
    HandOver(result->array, in.rows, in.cols, re, im);
    return 0;
}

/// sample_sum(M) = the sum of the elements of M.
std::uint32_t sample_sum(Value* result, const Value* m) {
    const ComplexArray& in = m->array;
    double re = 0.0, im = 0.0;
    for (std::uint32_t c = 0; c < in.cols; ++c) {
        for (std::uint32_t r = 0; r < in.rows; ++r) {
            re += in.realCols[c][r];
            if (in.imagCols) im += in.imagCols[c][r];
        }
    }
    result->real = re;
    result->imag = im;
    return 0;
}

/// sample_upper(text): the text in upper case, built in call memory, which
/// the host releases after it has read the result.
std::uint32_t sample_upper(Value* result, const Value* text) {
    std::size_t n = std::strlen(text->text);
    auto* out = static_cast<char*>(IqlAllocator::m_current->allocate_array(static_cast<unsigned>(n + 1)));
    for (std::size_t i = 0; i < n; ++i)
        out[i] = static_cast<char>(std::toupper(static_cast<unsigned char>(text->text[i])));
    out[n] = '\0';
    result->text = out;
    return 0;
}

/// sample_length(text): the number of bytes native code received.
std::uint32_t sample_length(Value* result, const Value* text) {
    result->real = static_cast<double>(std::strlen(text->text));
    return 0;
}

/// sample_path(file): the full path native code received for a file name
/// (relative names arrive prefixed with the host's directory).
std::uint32_t sample_path(Value* result, const char* path) {
    result->text = const_cast<char*>(path);
    return 0;
}

/// sample_file_size(file): the size in bytes of an existing file.
std::uint32_t sample_file_size(Value* result, const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return Error(1, 1);  // "file not found"
    if (!S_ISREG(st.st_mode)) return Error(1, 2);  // "not a regular file"
    result->real = static_cast<double>(st.st_size);
    return 0;
}

/// sample_sqrt(x): the square root of a non-negative real number; the
/// result code names argument 1 and the message. NaN is tested first: an
/// ordered comparison (<) of a NaN is an invalid operation, which traps
/// during a call and would be reported as "floating point error" with no
/// argument; std::isnan and != never trap.
std::uint32_t sample_sqrt(Value* result, const Value* x) {
    if (x->imag != 0.0) return Error(1, 1);       // "must be real"
    if (std::isnan(x->real)) return Error(1, 3);  // "must be a number"
    if (x->real < 0.0) return Error(1, 2);        // "must be non-negative"
    result->real = std::sqrt(x->real);
    return 0;
}

/// sample_throw(code): raises standard error `code` marking argument 1,
/// straight from native code (the host unwinds through this frame).
std::uint32_t sample_throw(Value*, const Value* code) {
    // Only a number a code can hold is converted (converting any other
    // double is undefined); the rest, NaN included, is an unknown code. The
    // comparisons are the quiet ones: >= and < of a NaN would trap.
    const double c = code->real;
    const bool fits = std::isgreaterequal(c, 0.0) && std::isless(c, 4294967296.0);
    Efi::Throw(fits ? static_cast<std::uint32_t>(c) : 0xFFFFFFFFu, 1);
}

/// sample_divide(a, b) = a / b in real arithmetic. A call runs with zero
/// divide and overflow trapped, so b = 0 or an overflowing quotient is a
/// processor fault that the host reports as an error.
std::uint32_t sample_divide(Value* result, const Value* a, const Value* b) {
    result->real = a->real / b->real;
    return 0;
}

/// sample_apply(name, x): the host function registered as `name`,
/// evaluated at x. The callback may call other registered functions.
std::uint32_t sample_apply(Value* result, const Value* name, const Value* x) {
    qlComplex arg{x->real, x->imag}, value{};
    Efi::call_host(name->text, arg, value, 1);
    result->real = value.real;
    result->imag = value.imag;
    return 0;
}

/// sample_nothing(x): a text function with nothing to say (null text: the
/// host shows the empty string).
std::uint32_t sample_nothing(Value* result, const Value*) {
    result->text = nullptr;
    return 0;
}

}  // extern "C"

namespace {

template <class F>
efi_entry_fn Entry(F* f) {
    return reinterpret_cast<efi_entry_fn>(f);
}

const std::int32_t kScalar[] = {1};
const std::int32_t kScalarScalar[] = {1, 1};
const std::int32_t kScalarMatrix[] = {0, 2};
const std::int32_t kMatrix[] = {2};
const std::int32_t kText[] = {8};
const std::int32_t kTextScalar[] = {8, 1};
const std::int32_t kFileIn[] = {13};
const std::int32_t kFileOut[] = {14};

const char* const kFileMessages[] = {"file not found", "not a regular file"};
const char* const kSqrtMessages[] = {"must be real", "must be non-negative", "must be a number"};

const efi_function_entry kFunctions[] = {
    {"sample_add", Entry(sample_add), 1, 2, kScalarScalar, 0, nullptr},
    {"sample_scale", Entry(sample_scale), 2, 2, kScalarMatrix, 0, nullptr},
    {"sample_sum", Entry(sample_sum), 1, 1, kMatrix, 0, nullptr},
    {"sample_upper", Entry(sample_upper), 8, 1, kText, 0, nullptr},
    {"sample_length", Entry(sample_length), 1, 1, kText, 0, nullptr},
    {"sample_path", Entry(sample_path), 8, 1, kFileIn, 0, nullptr},
    {"sample_file_size", Entry(sample_file_size), 1, 1, kFileOut, 2, kFileMessages},
    {"sample_sqrt", Entry(sample_sqrt), 1, 1, kScalar, 3, kSqrtMessages},
    {"sample_throw", Entry(sample_throw), 1, 1, kScalar, 0, nullptr},
    {"sample_divide", Entry(sample_divide), 1, 2, kScalarScalar, 0, nullptr},
    {"sample_apply", Entry(sample_apply), 1, 2, kTextScalar, 0, nullptr},
    {"sample_nothing", Entry(sample_nothing), 8, 1, kScalar, 0, nullptr},
};

// Descriptions, one per entry: only the flags (a module may also name its
// parameters and give help: docs/modules.md). These functions keep to their
// arguments, their result and their own allocations, so calls on several
// threads may run at once. sample_apply runs alone: it runs whichever host
// function it is named, and a module cannot promise that every host
// function is safe on several threads at once.
constexpr efi_function_info kThreadSafe = {nullptr, nullptr, nullptr, EFI_FUNCTION_THREAD_SAFE};
constexpr efi_function_info kRunsAlone = {nullptr, nullptr, nullptr, 0};
const efi_function_info kInfo[] = {kThreadSafe, kThreadSafe, kThreadSafe, kThreadSafe, kThreadSafe, kThreadSafe,
                                   kThreadSafe, kThreadSafe, kThreadSafe, kThreadSafe, kRunsAlone,  kThreadSafe};

}  // namespace

EFI_MODULE_TABLE_WITH_INFO(kFunctions, kInfo);
