// An extension module over GSL, the GNU Scientific Library: how to call a
// third-party numeric library from typed C++ functions (<efi/bind.h>).
//
// Three things differ from code written for the worksheet alone:
// - A native call runs with invalid operation, zero divide and overflow
//   trapped. GSL is not written for that: J0(1e300) is -7.86e-151, but an
//   intermediate step overflows on the way, so under the call's traps it
//   would fail as "overflow". The functions that only call GSL and check
//   what it returns are flagged masked: they run with every trap masked.
//   gsl_det_ratio divides the two determinants itself and relies on the
//   trap of that division (a singular B is "singularity"), so it runs under
//   the traps and masks them only around its calls into GSL
//   (Efi::CMaskedTraps).
// - GSL's default error handler aborts the process. It is switched off
//   once, when the module is loaded, so failures come back as the status
//   codes of the _e functions, which become worksheet errors marking the
//   argument at fault (GSL's own frames are never unwound by an exception,
//   so it never leaves its workspaces behind). The handler is GSL's one
//   process-wide setting: swapping it around each call would let a call on
//   one thread put it back while another thread's call relies on it being
//   off, so no call touches it.
// - Every function is declared thread-safe: each works only on its
//   arguments, its own workspaces and call memory, and GSL's functions used
//   here keep no state between calls, so calls on several threads may run
//   at once.
// - A function that fails owns what it allocated: GSL workspaces are held
//   by owners that free them on every path out, an error or a processor
//   fault included; a matrix result is made in call memory and handed over
//   by the layer only once the function has returned.
#include <efi/bind.h>
#include <efi/masked_traps.h>

#include <gsl/gsl_errno.h>
#include <gsl/gsl_linalg.h>
#include <gsl/gsl_matrix.h>
#include <gsl/gsl_permutation.h>
#include <gsl/gsl_sf_bessel.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>

namespace {

using Efi::StandardError::InsufficientMemory;
using Efi::StandardError::MustBeAnInteger;

/// The message for a GSL status other than success: the host's words for
/// the statuses these functions return (listed in kGslErrors below), GSL's
/// own text for any other, never a message that says nothing.
const char* MessageOf(int status) {
    switch (status) {
        case GSL_EDOM: return "domain error";
        case GSL_EOVRFLW: return "overflow";
        case GSL_EUNDRFLW: return "underflow";
        case GSL_ESING:
        case GSL_EZERODIV: return "singularity";
        default: return gsl_strerror(status);
    }
}

/// Raises GSL's failure as the worksheet error marking `parameter`.
void Check(int status, const char* parameter) {
    if (status != GSL_SUCCESS) efi::fail(MessageOf(status), parameter);
}

/// Refuses a number GSL computed without complaint that is NaN (a domain
/// error) or infinite (an overflow), marking `parameter`.
double Finite(double v, const char* parameter) {
    if (std::isnan(v)) efi::fail("domain error", parameter);
    if (std::isinf(v)) efi::fail("overflow", parameter);
    return v;
}

/// GSL's error handler off from the module's load on: run by the loader,
/// before any function of the module can be called. A program that loads
/// this module and sets a handler of its own afterwards gets that handler
/// called on this module's failures too (the status is still returned).
const struct HandlerOffAtLoad {
    HandlerOffAtLoad() { gsl_set_error_handler_off(); }
} kHandlerOffAtLoad;

struct GslFree {
    void operator()(gsl_matrix* m) const { gsl_matrix_free(m); }
    void operator()(gsl_permutation* p) const { gsl_permutation_free(p); }
};

/// The order of a square matrix, refused when it is not square or empty.
std::uint32_t SquareOrder(const efi::real_matrix_view& m, const char* parameter) {
    if (m.rows() != m.cols() || m.rows() == 0) efi::fail("must be a non-empty square matrix", parameter);
    return m.rows();
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
Lu Decompose(const efi::real_matrix_view& m, std::size_t n) {
    Lu d{std::unique_ptr<gsl_matrix, GslFree>(gsl_matrix_alloc(n, n)),
         std::unique_ptr<gsl_permutation, GslFree>(gsl_permutation_alloc(n))};
    if (!d.lu || !d.perm) Efi::Throw(InsufficientMemory, Efi::kNoArgument);  // what was allocated is freed
    std::memcpy(d.lu->data, m.values().data(), n * n * sizeof(double));
    gsl_linalg_LU_decomp(d.lu.get(), d.perm.get(), &d.sign);
    return d;
}

double Determinant(const efi::real_matrix_view& m, const char* parameter) {
    Lu d = Decompose(m, SquareOrder(m, parameter));
    return gsl_linalg_LU_det(d.lu.get(), d.sign);
}

// For gsl_det_ratio, which runs under the traps. Not inlined on purpose:
// the compiler does not follow the floating-point environment, so
// arithmetic of the caller could otherwise be moved into the masked region
// and escape the traps meant for it.
[[gnu::noinline]] double MaskedDeterminant(const efi::real_matrix_view& m, const char* parameter) {
    Efi::CMaskedTraps masked;
    return Determinant(m, parameter);
}

double J0(double x) {
    gsl_sf_result j;
    Check(gsl_sf_bessel_J0_e(x, &j), "x");
    return j.val;
}

double Jn(double n, double x) {
    // Orders of at most a million, which GSL's int holds; one message for
    // any other, a NaN included.
    if (!(std::fabs(n) <= 1e6) || n != std::trunc(n)) efi::fail(MustBeAnInteger, "n");
    gsl_sf_result j;
    Check(gsl_sf_bessel_Jn_e(static_cast<int>(n), x, &j), "x");
    return j.val;
}

double Y0(double x) {
    // NaN and +inf give NaN, as gsl_j0 and gsl_jn give for them: GSL's Y0
    // would call them an underflow, which it reports for an x past
    // 1/DBL_EPSILON, where it no longer knows the phase.
    if (std::isnan(x) || x == HUGE_VAL) return std::nan("");
    gsl_sf_result y;
    Check(gsl_sf_bessel_Y0_e(x, &y), "x");  // x <= 0 is GSL's domain error
    return y.val;
}

double Det(efi::real_matrix_view m) { return Finite(Determinant(m, "M"), "M"); }

// The division is this function's own, under the traps: a singular B is a
// division by zero, which the host reports as "singularity".
double DetRatio(efi::real_matrix_view a, efi::real_matrix_view b) {
    const double da = MaskedDeterminant(a, "A");
    const double db = MaskedDeterminant(b, "B");
    return da / db;
}

efi::matrix Inverse(efi::real_matrix_view m) {
    const std::uint32_t n = SquareOrder(m, "M");
    efi::matrix inverse(n, n);
    Lu d = Decompose(m, n);
    gsl_matrix_view v = gsl_matrix_view_array(inverse.values().data(), n, n);
    int status;
    { status = gsl_linalg_LU_invert(d.lu.get(), d.perm.get(), &v.matrix); }
    // GSL reports a zero pivot of the decomposition as a domain error.
    if (status == GSL_EDOM) efi::fail("singularity", "M");
    Check(status, "M");
    for (double x : inverse.values()) Finite(x, "M");
    return inverse;
}

}  // namespace

// The messages the functions raise (MessageOf, Finite, SquareOrder), which
// the hosts' help lists.
constexpr efi::raises kGslErrors("domain error", "overflow", "underflow", "singularity");
constexpr efi::raises kGslMatrixErrors("domain error", "overflow", "singularity", "must be a non-empty square matrix");

EFI_BIND_MODULE(efi::def<&J0>("gsl_j0", {"x"}, "The Bessel function J0 of a real x.", efi::masked | efi::thread_safe,
                              kGslErrors),
                efi::def<&Jn>("gsl_jn", {"n", "x"}, "The Bessel function Jn of integer order n and real x.",
                              efi::masked | efi::thread_safe, kGslErrors),
                efi::def<&Y0>("gsl_y0", {"x"}, "The Bessel function Y0 of a positive real x.",
                              efi::masked | efi::thread_safe, kGslErrors),
                efi::def<&Det>("gsl_det", {"M"}, "The determinant of a square real matrix, through LU.",
                               efi::masked | efi::thread_safe, kGslMatrixErrors),
                efi::def<&DetRatio>("gsl_det_ratio", {"A", "B"}, "det(A) / det(B), as Cramer's rule takes it.",
                                    efi::thread_safe, kGslMatrixErrors),
                efi::def<&Inverse>("gsl_inverse", {"M"}, "The inverse of a square real matrix, through LU.",
                                   efi::masked | efi::thread_safe, kGslMatrixErrors));
