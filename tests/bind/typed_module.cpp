// A module written with the typed layer, loaded by the tests as any module
// is: one function per parameter and result kind, the ways a typed
// function fails, and a masked function that overflows on the way to a
// finite result.
#include <efi/bind.h>

#include <cctype>
#include <cmath>
#include <complex>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace {

double b_half(double x) { return x / 2.0; }

std::complex<double> b_times_i(std::complex<double> z) { return z * std::complex<double>(0.0, 1.0); }

// Each integer kind in its own argument, so that a refusal's argument
// number shows which conversion refused.
double b_integers(std::int32_t i, std::uint32_t u, std::int64_t l, const std::uint64_t& ul) {
    return static_cast<double>(i) + static_cast<double>(u) + static_cast<double>(l) + static_cast<double>(ul);
}

// sum of (c + 1) * m(r, c) over the elements, read through the columns'
// spans and checked against element access and the block of values.
double b_weighted(efi::real_matrix_view m) {
    double sum = 0.0, byElement = 0.0, byValues = 0.0;
    for (std::uint32_t c = 0; c < m.cols(); ++c)
        for (std::uint32_t r = 0; r < m.rows(); ++r) {
            sum += (c + 1) * m.col(c)[r];
            byElement += (c + 1) * m(r, c);
            byValues += (c + 1) * m.values()[std::size_t{c} * m.rows() + r];
        }
    if (sum != byElement || sum != byValues) throw std::logic_error("views disagree");
    return sum;
}

std::complex<double> b_sum(const efi::matrix_view& m) {
    std::complex<double> sum;
    for (std::uint32_t c = 0; c < m.cols(); ++c)
        for (std::uint32_t r = 0; r < m.rows(); ++r) sum += m(r, c);
    return sum;
}

std::string b_upper(std::string_view s) {
    std::string out(s);
    for (char& ch : out) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return out;
}

std::string b_path(efi::path p, std::string_view suffix) { return std::string(p.view()) + std::string(suffix); }

// An n-by-1 column from a to b.
efi::matrix b_linspace(double a, double b, std::int32_t n) {
    if (n < 2) efi::fail(Efi::StandardError::MustBePositive, "n");
    efi::matrix m(static_cast<std::uint32_t>(n), 1);
    for (std::int32_t k = 0; k < n; ++k) m(static_cast<std::uint32_t>(k), 0) = a + (b - a) * k / (n - 1);
    return m;
}

// rows x cols, element (r, c) = r + c i.
efi::matrix b_complex_grid(std::uint32_t rows, std::uint32_t cols) {
    efi::matrix m(rows, cols, true);
    for (std::uint32_t c = 0; c < cols; ++c)
        for (std::uint32_t r = 0; r < rows; ++r) m(r, c) = r, m.imag(r, c) = c;
    return m;
}

// Builds a large matrix, then fails: nothing of it may outlive the call.
efi::matrix b_build_then_throw(std::uint32_t side) {
    efi::matrix m(side, side);
    for (double& x : m.values()) x = 1.0;
    throw std::domain_error("b_build_then_throw: gave up after building");
}

double b_domain(double x) {
    if (x < 0) throw std::domain_error("b_domain: x must be non-negative");
    return std::sqrt(x);
}

double b_blame(double a, double x, double mode) {
    if (mode == 1) efi::fail("must be positive", "x");
    if (mode == 2) efi::fail(Efi::StandardError::MustBeBetween0And1, "a");
    if (mode == 3) efi::fail("unnamed failure", "nobody");
    return a + x;
}

// |(a, b)| the way numeric libraries compute it: the plain formula, and
// when its squares overflowed, the same scaled down.
double b_norm(double a, double b) {
    const double plain = std::sqrt(a * a + b * b);
    if (!std::isinf(plain)) return plain;
    const double s = std::max(std::fabs(a), std::fabs(b));
    return s * std::sqrt((a / s) * (a / s) + (b / s) * (b / s));
}

double b_exp(double x) { return std::exp(x); }

}  // namespace

EFI_BIND_MODULE(efi::def<&b_half>("b_half", {"x"}, "x / 2."), efi::def<&b_times_i>("b_times_i", {"z"}, "z times i."),
                efi::def<&b_integers>("b_integers", {"i", "u", "l", "ul"}, "Sum of four integers."),
                efi::def<+[](std::int64_t n) { return 2 * n; }>("b_twice", {"n"}, nullptr),
                efi::def<&b_weighted>("b_weighted", {"m"}, "Column-weighted sum."),
                efi::def<&b_sum>("b_sum", {"m"}, "Sum of the elements."),
                efi::def<&b_upper>("b_upper", {"s"}, "Upper case."),
                efi::def<&b_path>("b_path", {"file", "suffix"}, "The full path, suffixed."),
                efi::def<&b_linspace>("b_linspace", {"a", "b", {"n", "number of points, at least 2"}},
                                      "n points from a to b.", efi::help("A column.\nEnds included."), efi::masked,
                                      efi::raises("must be at least 2")),
                efi::def<&b_complex_grid>("b_complex_grid", {"rows", "cols"}, "r + c i."),
                efi::def<&b_build_then_throw>("b_build_then_throw", {"side"}, "Fails after building."),
                efi::def<&b_domain>("b_domain", {"x"}, "sqrt(x), refusing x < 0 by exception."),
                efi::def<&b_blame>("b_blame", {"a", "x", "mode"}, "Blames a parameter by name."),
                efi::def<&b_norm>("b_norm", {"a", "b"}, "|(a, b)|.", efi::masked | efi::thread_safe),
                efi::def<&b_norm>("b_norm_trapping", {"a", "b"}, "|(a, b)| under the trapping word."),
                efi::def<&b_exp>("b_exp", {"x"}, "e^x.", efi::masked));
