// The Boost.Math example module's twelve functions bound with pybind11, the
// way its users bind such functions (py::vectorize over numpy arrays): the
// baseline of bench_python.py's Boost rows and of the example's length.
// Not shipped. Same policy and guards as examples/boost, so that both call
// the same Boost code on the same points.
#define BOOST_MATH_OVERFLOW_ERROR_POLICY ignore_error
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <boost/math/special_functions.hpp>

#include <cmath>
#include <limits>
#include <stdexcept>

namespace py = pybind11;
namespace bm = boost::math;
using namespace pybind11::literals;

PYBIND11_MODULE(boost_pybind, m) {
    m.doc() = "Special functions of Boost.Math.";
    m.def("bm_tgamma", py::vectorize([](double x) { return bm::tgamma(x); }), "The gamma function.", "x"_a);
    m.def("bm_lgamma", py::vectorize([](double x) { return bm::lgamma(x); }),
          "The logarithm of the absolute value of the gamma function.", "x"_a);
    m.def("bm_digamma", py::vectorize([](double x) { return bm::digamma(x); }),
          "The digamma function, the derivative of lgamma.", "x"_a);
    m.def("bm_beta", py::vectorize([](double a, double b) { return bm::beta(a, b); }), "The beta function B(a, b).",
          "a"_a, "b"_a);
    m.def("bm_ibeta", py::vectorize([](double a, double b, double x) { return bm::ibeta(a, b, x); }),
          "The regularised incomplete beta function I_x(a, b).", "a"_a, "b"_a, "x"_a);
    m.def("bm_gamma_p", py::vectorize([](double a, double x) { return bm::gamma_p(a, x); }),
          "The regularised lower incomplete gamma function P(a, x).", "a"_a, "x"_a);
    m.def("bm_cyl_bessel_j", py::vectorize([](double nu, double x) {
              // Boost rounds a NaN order to an integer and asserts on a NaN x.
              return std::isnan(nu) || std::isnan(x) ? nu + x : bm::cyl_bessel_j(nu, x);
          }),
          "The Bessel function of the first kind J_nu(x).", "nu"_a, "x"_a);
    m.def("bm_erf_inv", py::vectorize([](double p) { return bm::erf_inv(p); }), "The inverse of the error function.",
          "p"_a);
    m.def("bm_zeta", py::vectorize([](double s) { return std::isnan(s) ? s : bm::zeta(s); }),  // zeta(NaN) is 1
          "The Riemann zeta function.", "s"_a);
    m.def("bm_expint", py::vectorize([](double x) { return bm::expint(x); }), "The exponential integral Ei(x).", "x"_a);
    m.def(
        "bm_tgamma_m",
        [](py::array_t<double, py::array::f_style | py::array::forcecast> a) {
            if (a.ndim() != 2) throw std::domain_error("M must be a matrix");
            py::array_t<double, py::array::f_style> r({a.shape(0), a.shape(1)});
            const double* in = a.data();
            double* out = r.mutable_data();
            for (py::ssize_t k = 0; k < a.size(); ++k) out[k] = bm::tgamma(in[k]);
            return r;
        },
        "The gamma function of each element of a real matrix.", "M"_a);
    m.def(
        "bm_linspace",
        [](double a, double b, int n) {
            if (n < 1) throw std::domain_error("n must be at least 1");
            py::array_t<double, py::array::f_style> r({py::ssize_t(n), py::ssize_t(1)});
            double* out = r.mutable_data();
            const double step = n > 1 ? (b - a) / (n - 1) : 0.0;
            for (int k = 0; k < n; ++k) out[k] = k == n - 1 && n > 1 ? b : a + k * step;
            return r;
        },
        "n points evenly spaced from a to b, as an n-by-1 column.", "a"_a, "b"_a, "n"_a);
}
