// An extension module over Boost.Math's special functions, written as plain
// typed C++ functions with <efi/bind.h>: the layer converts and checks the
// arguments, makes the table and hands the matrix results over.
//
// Every function is flagged masked: Boost computes some finite results
// through an intermediate overflow it handles itself (zeta(-260.16), about
// -1.6e308; J of order -20.5 at 50, about -0.0776), which the trapping call
// word would report as "overflow". Masked, a finite result is returned and
// an infinite or NaN one the arguments do not explain is reported as the
// fault it stands for ("overflow" for tgamma(200)).
//
// Boost's policy here: an overflow gives an infinity (the masked rule above
// reports it), a pole or a point outside a function's domain throws
// std::domain_error, which Refused below shows marking the parameter at
// fault. Doubles are computed in long double, as by default: without that,
// zeta(-260.16) overflows in double.
//
// Every function is declared thread-safe as well: Boost.Math's functions
// keep no state between calls (their constant tables are initialised once,
// safely, on first use), the policy is fixed when this file is compiled,
// and a matrix result is made in call memory, so calls on several threads
// may run at once.
#define BOOST_MATH_OVERFLOW_ERROR_POLICY ignore_error
#include <efi/bind.h>

#include <boost/math/special_functions.hpp>

#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <string_view>

namespace bm = boost::math;

namespace {

// Boost's text without its "Error in function boost::math::...: " prefix,
// as the worksheet error marking `parameter`.
[[noreturn]] void Refuse(const std::domain_error& e, const char* parameter) {
    const std::string_view text = e.what();
    const std::size_t colon = text.find(": ");
    efi::fail(colon == text.npos ? text : text.substr(colon + 2), parameter);
}

// Calls Boost; its domain or pole error marks `parameter`.
template <class F>
double Boost(const char* parameter, F f) {
    try {
        return f();
    } catch (const std::domain_error& e) {
        Refuse(e, parameter);
    }
}

double Tgamma(double x) {
    return Boost("x", [x] { return bm::tgamma(x); });
}
double Lgamma(double x) {
    return Boost("x", [x] { return bm::lgamma(x); });
}
double Digamma(double x) {
    return Boost("x", [x] { return bm::digamma(x); });
}
double Beta(double a, double b) {
    return Boost(a <= 0 ? "a" : "b", [=] { return bm::beta(a, b); });
}
double Ibeta(double a, double b, double x) {
    return Boost(a < 0 ? "a" : b < 0 ? "b" : "x", [=] { return bm::ibeta(a, b, x); });
}
double GammaP(double a, double x) {
    return Boost(a <= 0 ? "a" : "x", [=] { return bm::gamma_p(a, x); });
}
double CylBesselJ(double nu, double x) {
    // Boost rounds a NaN order to an integer (an error) and asserts x >= 0.
    if (std::isnan(nu) || std::isnan(x)) return nu + x;
    return Boost("x", [=] { return bm::cyl_bessel_j(nu, x); });
}
double ErfInv(double p) {
    return Boost("p", [p] { return bm::erf_inv(p); });
}
double Zeta(double s) {
    if (std::isnan(s)) return s;  // Boost's zeta(NaN) is 1
    return Boost("s", [s] { return bm::zeta(s); });
}
double Expint(double x) {
    return Boost("x", [x] { return bm::expint(x); });
}

efi::matrix TgammaM(efi::real_matrix_view m) {
    efi::matrix r(m.rows(), m.cols());
    std::span<const double> in = m.values();
    for (std::size_t k = 0; k < in.size(); ++k) r.values()[k] = Boost("M", [x = in[k]] { return bm::tgamma(x); });
    return r;
}

efi::matrix Linspace(double a, double b, std::int32_t n) {
    if (n < 1) efi::fail(Efi::StandardError::MustBePositive, "n");
    efi::matrix r(static_cast<std::uint32_t>(n), 1);
    const double step = n > 1 ? (b - a) / (n - 1) : 0.0;
    for (std::int32_t k = 0; k < n; ++k) r(k, 0) = k > 0 && k == n - 1 ? b : a + k * step;
    return r;
}

}  // namespace

constexpr efi::flags kMaskedThreadSafe = efi::masked | efi::thread_safe;

EFI_BIND_MODULE(efi::def<&Tgamma>("bm_tgamma", {"x"}, "The gamma function.", kMaskedThreadSafe),
                efi::def<&Lgamma>("bm_lgamma", {"x"}, "The logarithm of the absolute value of the gamma function.",
                                  kMaskedThreadSafe),
                efi::def<&Digamma>("bm_digamma", {"x"}, "The digamma function, the derivative of lgamma.",
                                   kMaskedThreadSafe),
                efi::def<&Beta>("bm_beta", {"a", "b"}, "The beta function B(a, b).", kMaskedThreadSafe),
                efi::def<&Ibeta>("bm_ibeta", {"a", "b", "x"}, "The regularised incomplete beta function I_x(a, b).",
                                 kMaskedThreadSafe),
                efi::def<&GammaP>("bm_gamma_p", {"a", "x"}, "The regularised lower incomplete gamma function P(a, x).",
                                  kMaskedThreadSafe),
                efi::def<&CylBesselJ>("bm_cyl_bessel_j", {"nu", "x"}, "The Bessel function of the first kind J_nu(x).",
                                      kMaskedThreadSafe),
                efi::def<&ErfInv>("bm_erf_inv", {"p"}, "The inverse of the error function.", kMaskedThreadSafe),
                efi::def<&Zeta>("bm_zeta", {"s"}, "The Riemann zeta function.", kMaskedThreadSafe),
                efi::def<&Expint>("bm_expint", {"x"}, "The exponential integral Ei(x).", kMaskedThreadSafe),
                efi::def<&TgammaM>("bm_tgamma_m", {"M"}, "The gamma function of each element of a real matrix.",
                                   kMaskedThreadSafe),
                efi::def<&Linspace>("bm_linspace", {"a", "b", "n"},
                                    "n points evenly spaced from a to b, as an n-by-1 column.", kMaskedThreadSafe));
