// An extension module over GSL, the GNU Scientific Library: how to call a
// third-party numeric library from a native function.
//
// Three things differ from code written for the worksheet alone:
// - A native call runs with invalid operation, zero divide and overflow
//   trapped. GSL is not written for that: J0(1e300) is -7.86e-151, but an
//   intermediate step overflows on the way, so under the call's traps it
//   would fail as "overflow". Every call into GSL runs in a masked region
//   (Efi::CMaskedTraps); its results are checked afterwards, where the
//   traps are back for this module's own arithmetic.
// - GSL's default error handler aborts the process. It is switched off for
//   the length of each call into GSL, so failures come back as status codes,
//   which become messages of the function's table (GSL's own frames are never
//   unwound by an exception, so it never leaves its workspaces behind).
// - A function that fails owns what it allocated: GSL workspaces and the
//   blocks of a matrix result are held by owners that free them on every
//   path out, an error or a processor fault included; only a successful
//   result is handed to the host.
#include <efi/efi.h>

#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_matrix.h>
#include <gsl/gsl_permutation.h>
#include <gsl/gsl_sf_bessel.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

using Efi::User::ComplexArray;
using Efi::User::Value;

namespace {

// The message table every function of this module shares; a result code
// names index k (from 1) for message k - 1.
const char* const kMessages[] = {"domain error", "overflow", "singularity", "must be a non-empty square matrix"};
constexpr std::uint32_t kDomain = 1, kOverflow = 2, kSingular = 3, kNotSquare = 4;

// Standard error codes raised with Efi::Throw.
constexpr std::uint32_t kMustBeReal = 1, kMustBeInteger = 2, kMustBeRealMatrix = 12, kNoMemory = 28;

constexpr std::uint32_t Error(std::uint32_t argument, std::uint32_t index) { return (argument << 16) | index; }

/// The message for a GSL status other than success (0: "unknown error").
std::uint32_t MessageOf(int status) {
    switch (status) {
        case GSL_EDOM: return kDomain;
        case GSL_EOVRFLW: return kOverflow;
        case GSL_ESING:
        case GSL_EZERODIV: return kSingular;
        default: return 0;
    }
}

/// The message for a number GSL computed without complaint: NaN is a
/// domain error, an infinity an overflow.
std::uint32_t CheckFinite(double v) { return std::isnan(v) ? kDomain : std::isinf(v) ? kOverflow : 0; }

/// A region for calling GSL: every trap masked, GSL's error handler off.
/// Both come back as they were however the region ends.
class GslRegion {
public:
    GslRegion() : m_handler(gsl_set_error_handler_off()) {}
    ~GslRegion() { gsl_set_error_handler(m_handler); }
    GslRegion(const GslRegion&) = delete;
    GslRegion& operator=(const GslRegion&) = delete;

private:
    Efi::CMaskedTraps m_masked;
    gsl_error_handler_t* m_handler;
};

struct GslFree {
    void operator()(gsl_matrix* m) const { gsl_matrix_free(m); }
    void operator()(gsl_permutation* p) const { gsl_permutation_free(p); }
};
struct HeapFree {
    void operator()(void* p) const { std::free(p); }
};

double RealArgument(const Value* x, std::uint32_t argument) {
    if (x->imag != 0.0) Efi::Throw(kMustBeReal, argument);
    return x->real;
}

/// The order of a square real matrix argument; 0 when it is not square or empty.
std::size_t SquareOrder(const ComplexArray& m, std::uint32_t argument) {
    if (m.imagCols) Efi::Throw(kMustBeRealMatrix, argument);
    return m.rows == m.cols ? m.rows : 0;
}

/// An LU decomposition in GSL's workspaces, freed with this object.
struct Lu {
    std::unique_ptr<gsl_matrix, GslFree> lu;
    std::unique_ptr<gsl_permutation, GslFree> perm;
    int sign = 0;
};

// GSL stores matrices by rows and the host by columns, so the host's block
// read by GSL is the transpose. That changes neither the determinant nor
// the layout of the inverse (the inverse of the transpose, read by columns,
// is the inverse), so the elements are copied as one block.
Lu Decompose(const ComplexArray& m, std::size_t n) {
    GslRegion region;
    Lu d{std::unique_ptr<gsl_matrix, GslFree>(gsl_matrix_alloc(n, n)),
         std::unique_ptr<gsl_permutation, GslFree>(gsl_permutation_alloc(n))};
    if (!d.lu || !d.perm) Efi::Throw(kNoMemory, Efi::kNoArgument);  // what was allocated is freed
    std::memcpy(d.lu->data, m.realCols[0], n * n * sizeof(double));
    gsl_linalg_LU_decomp(d.lu.get(), d.perm.get(), &d.sign);
    return d;
}

// Not inlined on purpose: the compiler does not follow the floating-point
// environment, so arithmetic of the caller could otherwise be moved into the
// masked region and escape the traps meant for it.
[[gnu::noinline]] double Determinant(const ComplexArray& m, std::size_t n) {
    Lu d = Decompose(m, n);
    GslRegion region;
    return gsl_linalg_LU_det(d.lu.get(), d.sign);
}

}  // namespace

extern "C" {

/// gsl_j0(x): the Bessel function J0 of a real x.
std::uint32_t gsl_j0(Value* r, const Value* x) {
    const double v = RealArgument(x, 1);
    gsl_sf_result j;
    int status;
    {
        GslRegion region;  // J0 of a large x overflows inside GSL
        status = gsl_sf_bessel_J0_e(v, &j);
    }
    if (status != GSL_SUCCESS) return Error(1, MessageOf(status));
    r->real = j.val;
    return 0;
}

/// gsl_jn(n, x): the Bessel function Jn of integer order n and real x.
std::uint32_t gsl_jn(Value* r, const Value* n, const Value* x) {
    const double order = RealArgument(n, 1);
    // isnan first: <= of a NaN is an invalid operation, which traps here.
    if (std::isnan(order) || std::fabs(order) > 1e6 || order != std::trunc(order)) Efi::Throw(kMustBeInteger, 1);
    const double v = RealArgument(x, 2);
    gsl_sf_result j;
    int status;
    {
        GslRegion region;
        status = gsl_sf_bessel_Jn_e(static_cast<int>(order), v, &j);
    }
    if (status != GSL_SUCCESS) return Error(2, MessageOf(status));
    r->real = j.val;
    return 0;
}

/// gsl_y0(x): the Bessel function Y0 of a positive real x; x <= 0 is a
/// domain error of GSL, reported as the table's "domain error".
std::uint32_t gsl_y0(Value* r, const Value* x) {
    const double v = RealArgument(x, 1);
    gsl_sf_result y;
    int status;
    {
        GslRegion region;  // GSL computes the NaN it returns for x <= 0
        status = gsl_sf_bessel_Y0_e(v, &y);
    }
    if (status != GSL_SUCCESS) return Error(1, MessageOf(status));
    r->real = y.val;
    return 0;
}

/// gsl_det(M): the determinant of a square real matrix, through LU.
std::uint32_t gsl_det(Value* r, const Value* m) {
    const std::size_t n = SquareOrder(m->array, 1);
    if (n == 0) return Error(1, kNotSquare);
    const double det = Determinant(m->array, n);
    if (std::uint32_t e = CheckFinite(det)) return Error(1, e);
    r->real = det;
    return 0;
}

/// gsl_det_ratio(A, B) = det(A) / det(B), as Cramer's rule takes it. The
/// division is this module's own, after the masked regions: a singular B
/// is a division by zero, which the host reports as "singularity".
std::uint32_t gsl_det_ratio(Value* r, const Value* a, const Value* b) {
    const std::size_t na = SquareOrder(a->array, 1), nb = SquareOrder(b->array, 2);
    if (na == 0) return Error(1, kNotSquare);
    if (nb == 0) return Error(2, kNotSquare);
    const double da = Determinant(a->array, na);
    const double db = Determinant(b->array, nb);
    r->real = da / db;
    return 0;
}

/// gsl_inverse(M): the inverse of a square real matrix, through LU; a
/// singular matrix is the table's "singularity".
std::uint32_t gsl_inverse(Value* r, const Value* m) {
    const std::size_t n = SquareOrder(m->array, 1);
    if (n == 0) return Error(1, kNotSquare);
    // The result as the host takes it: a pointer array and one block, both
    // from malloc, owned here until the result is complete.
    std::unique_ptr<double*[], HeapFree> cols(static_cast<double**>(std::malloc(n * sizeof(double*))));
    std::unique_ptr<double[], HeapFree> block(static_cast<double*>(std::malloc(n * n * sizeof(double))));
    if (!cols || !block) Efi::Throw(kNoMemory, Efi::kNoArgument);
    Lu d = Decompose(m->array, n);
    gsl_matrix_view inverse = gsl_matrix_view_array(block.get(), n, n);
    int status;
    {
        GslRegion region;
        status = gsl_linalg_LU_invert(d.lu.get(), d.perm.get(), &inverse.matrix);
    }
    // GSL reports a zero pivot of the decomposition as a domain error.
    if (status == GSL_EDOM) return Error(1, kSingular);
    if (status != GSL_SUCCESS) return Error(1, MessageOf(status));
    for (std::size_t k = 0; k < n * n; ++k)
        if (std::uint32_t e = CheckFinite(block[k])) return Error(1, e);
    for (std::size_t c = 0; c < n; ++c) cols[c] = block.get() + c * n;
    r->array.rows = r->array.cols = static_cast<std::uint32_t>(n);
    r->array.imagCols = nullptr;
    block.release();
    r->array.realCols = cols.release();
    return 0;
}

}  // extern "C"

namespace {

template <class F>
efi_entry_fn Entry(F* f) {
    return reinterpret_cast<efi_entry_fn>(f);
}

const std::int32_t kScalar[] = {1};
const std::int32_t kTwoScalars[] = {1, 1};
const std::int32_t kMatrix[] = {2};
const std::int32_t kTwoMatrices[] = {2, 2};
constexpr std::int32_t kMessageCount = sizeof kMessages / sizeof kMessages[0];

const efi_function_entry kFunctions[] = {
    {"gsl_j0", Entry(gsl_j0), 1, 1, kScalar, kMessageCount, kMessages},
    {"gsl_jn", Entry(gsl_jn), 1, 2, kTwoScalars, kMessageCount, kMessages},
    {"gsl_y0", Entry(gsl_y0), 1, 1, kScalar, kMessageCount, kMessages},
    {"gsl_det", Entry(gsl_det), 1, 1, kMatrix, kMessageCount, kMessages},
    {"gsl_det_ratio", Entry(gsl_det_ratio), 1, 2, kTwoMatrices, kMessageCount, kMessages},
    {"gsl_inverse", Entry(gsl_inverse), 2, 1, kMatrix, kMessageCount, kMessages},
};

}  // namespace

EFI_MODULE_TABLE(kFunctions);
