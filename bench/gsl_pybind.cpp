// GSL's J0 bound with pybind11 the way its users bind such a function for
// threads: the GIL given up while GSL runs, for one number and over a numpy
// array. Beside them, GSL's J0 in a plain loop split over N threads of its
// own, the most the machine gives this work. The baselines of
// bench_parallel.py's rows; not shipped. Like examples/gsl, the error
// handler is off from the import on and a failing status is raised.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <gsl/gsl_errno.h>
#include <gsl/gsl_sf_bessel.h>

#include <cstddef>
#include <stdexcept>
#include <thread>
#include <vector>

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using Points = py::array_t<double, py::array::c_style | py::array::forcecast>;

double J0(double x) {
    gsl_sf_result j;
    const int status = gsl_sf_bessel_J0_e(x, &j);
    if (status != GSL_SUCCESS) throw std::domain_error(gsl_strerror(status));
    return j.val;
}

py::array_t<double> J0Map(const Points& x) {
    py::array_t<double> out(x.size());
    const double* in = x.data();
    double* r = out.mutable_data();
    const std::size_t n = static_cast<std::size_t>(x.size());
    {
        py::gil_scoped_release release;
        for (std::size_t i = 0; i < n; ++i) r[i] = J0(in[i]);
    }
    return out;
}

py::array_t<double> PlainLoop(const Points& x, int threads) {
    if (threads < 1) throw std::domain_error("threads must be at least 1");
    py::array_t<double> out(x.size());
    const double* in = x.data();
    double* r = out.mutable_data();
    const std::size_t n = static_cast<std::size_t>(x.size());
    {
        py::gil_scoped_release release;
        std::vector<std::thread> pool;
        for (std::size_t t = 0; t < static_cast<std::size_t>(threads); ++t)
            pool.emplace_back([=] {
                const std::size_t end = n * (t + 1) / static_cast<std::size_t>(threads);
                for (std::size_t i = n * t / static_cast<std::size_t>(threads); i < end; ++i)
                    r[i] = gsl_sf_bessel_J0(in[i]);
            });
        for (std::thread& t : pool) t.join();
    }
    return out;
}

}  // namespace

PYBIND11_MODULE(gsl_pybind, m) {
    gsl_set_error_handler_off();
    m.doc() = "GSL's Bessel function J0, giving up the GIL while it runs.";
    m.def("j0", &J0, py::call_guard<py::gil_scoped_release>(), "J0 of one number.", "x"_a);
    m.def("j0_map", &J0Map, "J0 of every element of a float64 array.", "x"_a);
    m.def("plain_loop", &PlainLoop, "J0 of every element in a plain loop split over `threads` threads.", "x"_a,
          "threads"_a);
}
