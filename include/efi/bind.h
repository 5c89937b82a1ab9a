// Typed C++ functions as a module's worksheet functions (C++20, header only).
//
//     #include <efi/bind.h>
//
//     double my_beta(double a, double b) { return std::beta(a, b); }
//     efi::matrix my_grid(std::int32_t n) { ... }
//
//     EFI_BIND_MODULE(
//         efi::def<&my_beta>("my_beta", {"a", "b"}, "Beta function B(a, b).", efi::masked),
//         efi::def<&my_grid>("my_grid", {{"n", "points, at least 2"}}, "An n-by-1 grid on [0, 1].",
//                            efi::help("Longer text.\nMore lines."), efi::masked | efi::thread_safe));
//
// F is a function's address or a lambda without captures, made a function
// pointer by a unary plus: efi::def<+[](double x) { return x / 2; }>(...).
// One def per function: its worksheet name, one name per parameter (with
// optional help: {"name", "help"}), a one-line summary (or nullptr), then,
// in any order, efi::help("..."), efi::raises("message", ...) (the messages
// it raises, for the hosts' help) and flags (efi::masked, efi::thread_safe).
// The argument and return codes come from the C++ signature, and a list of
// names that does not match the parameters does not compile. The layer
// writes each function's native entry and the module's table (version 2).
//
// Parameters: double (a complex number is refused), std::complex<double>,
// integer types (a number that is no integer, or beyond the type, is
// refused), efi::real_matrix_view, efi::matrix_view (real or complex),
// std::string_view (text) and efi::path (a file name). Each is refused with
// the standard error that says why, marking that argument. A parameter may
// be declared by value or by const reference.
// Results: double, std::complex<double>, integers (as numbers), efi::matrix
// (made in call memory) and std::string (copied into call memory).
// efi::fail("must be positive", "x") raises a worksheet error marking the
// parameter named x; any other C++ exception reaches the host as a
// worksheet error with its what().
#pragma once

#if __cplusplus < 202002L
#error "<efi/bind.h> needs C++20"
#endif

#include <complex>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include <efi/call.h>
#include <efi/capi.h>
#include <efi/errors.h>
#include <efi/module.h>
#include <efi/standard_errors.h>

// The conversions are a few instructions each: inlined into the entry, a
// typed function costs what the same function written against the records
// does.
#define EFI_BIND_INLINE [[gnu::always_inline]] inline

namespace efi {

/// Flags of a function (EFI_FUNCTION_...); combine with |.
struct flags {
    std::uint32_t bits;
    friend constexpr flags operator|(flags a, flags b) noexcept { return {a.bits | b.bits}; }
};
/// Runs with every floating-point exception masked; a non-finite result no
/// argument explains is reported as the fault it stands for (<efi/module.h>).
inline constexpr flags masked{EFI_FUNCTION_MASKED};
/// May run on several threads at once.
inline constexpr flags thread_safe{EFI_FUNCTION_THREAD_SAFE};

/// A function's longer help: lines separated by '\n'.
struct help {
    const char* text;
    constexpr explicit help(const char* t) noexcept : text(t) {}
};

/// The messages a function raises itself (efi::fail, Efi::Throw), as the
/// hosts list them under its help (efi-call --help, Python's help()): at
/// most 16, each one line. Documentation only: the errors are raised as
/// they are, whatever is listed.
struct raises {
    static constexpr std::size_t most = 16;
    const char* texts[most] = {};
    std::size_t count = 0;
    constexpr raises() noexcept = default;
    template <class... T>
    requires(sizeof...(T) >= 1 && sizeof...(T) <= most &&
             (std::is_convertible_v<T, const char*> && ...)) constexpr explicit raises(T... t) noexcept
        : texts{t...}, count(sizeof...(T)) {}
};

/// One parameter's name (an identifier) and optional help.
struct param {
    const char* name;
    const char* help = nullptr;
    constexpr param(const char* n) noexcept : name(n) {}  // implicit: "x" in a list of names is param{"x"}
    constexpr param(const char* n, const char* h) noexcept : name(n), help(h) {}
};

/// What efi::fail throws: a message (or a standard error code) and the name
/// of the parameter to blame. The entry of a bound function raises it as
/// the worksheet error marking that parameter.
class parameter_error : public std::exception {
public:
    parameter_error(std::string message, const char* name) : m_message(std::move(message)), m_name(name) {}
    parameter_error(std::uint32_t code, const char* name) : m_code(code), m_coded(true), m_name(name) {}
    const char* what() const noexcept override { return m_coded ? "parameter error" : m_message.c_str(); }
    /// The parameter's name as the def lists it.
    const char* parameter() const noexcept { return m_name; }
    /// Raises it as the worksheet error marking `argument`.
    [[noreturn]] void raise(std::uint32_t argument) const {
        if (m_coded) Efi::Throw(m_code, argument);
        Efi::Throw(m_message.c_str(), argument);
    }

private:
    std::string m_message;
    std::uint32_t m_code = 0;
    bool m_coded = false;
    const char* m_name;
};

/// Raises the worksheet error `message` marking the parameter called
/// `name` (a literal; a name the function's def does not list marks none).
/// From a bound function, or code it calls: the entry finds the parameter.
[[noreturn]] inline void fail(std::string_view message, const char* name) {
    throw parameter_error(std::string(message), name);
}
/// The same with a standard error (Efi::StandardError::MustBePositive, ...).
[[noreturn]] inline void fail(std::uint32_t code, const char* name) { throw parameter_error(code, name); }
[[noreturn]] inline void fail(int code, const char* name) { fail(static_cast<std::uint32_t>(code), name); }
[[noreturn]] inline void fail(const char* message, const char* name) { fail(std::string_view(message), name); }

/// A file name argument: the full path, narrow and NUL-terminated.
class path {
public:
    explicit path(const char* p) noexcept : m_path(p) {}
    const char* c_str() const noexcept { return m_path; }
    std::string_view view() const noexcept { return m_path; }
    operator std::string_view() const noexcept { return m_path; }

private:
    const char* m_path;
};

/// A real matrix argument, read-only: a complex one (an imaginary part
/// other than 0) is refused with "must be a real matrix". Stored by
/// columns, each column contiguous and the columns one after another.
class real_matrix_view {
public:
    real_matrix_view(const Efi::User::ComplexArray& a) noexcept : m_cols(a.realCols), m_rows(a.rows), m_ncols(a.cols) {}
    std::uint32_t rows() const noexcept { return m_rows; }
    std::uint32_t cols() const noexcept { return m_ncols; }
    std::size_t size() const noexcept { return std::size_t{m_rows} * m_ncols; }
    double operator()(std::uint32_t r, std::uint32_t c) const noexcept { return m_cols[c][r]; }
    std::span<const double> col(std::uint32_t c) const noexcept { return {m_cols[c], m_rows}; }
    /// Every element, column by column.
    std::span<const double> values() const noexcept {
        return m_ncols ? std::span<const double>(m_cols[0], size()) : std::span<const double>();
    }

private:
    const double* const* m_cols;
    std::uint32_t m_rows, m_ncols;
};

/// A real or complex matrix argument, read-only.
class matrix_view {
public:
    matrix_view(const Efi::User::ComplexArray& a) noexcept
        : m_re(a.realCols), m_im(a.imagCols), m_rows(a.rows), m_ncols(a.cols) {}
    std::uint32_t rows() const noexcept { return m_rows; }
    std::uint32_t cols() const noexcept { return m_ncols; }
    std::size_t size() const noexcept { return std::size_t{m_rows} * m_ncols; }
    /// False when the matrix has an imaginary part (even one of zeros).
    bool is_real() const noexcept { return m_im == nullptr; }
    double real(std::uint32_t r, std::uint32_t c) const noexcept { return m_re[c][r]; }
    double imag(std::uint32_t r, std::uint32_t c) const noexcept { return m_im ? m_im[c][r] : 0.0; }
    std::complex<double> operator()(std::uint32_t r, std::uint32_t c) const noexcept {
        return {real(r, c), imag(r, c)};
    }
    /// Column c's real parts.
    std::span<const double> col(std::uint32_t c) const noexcept { return {m_re[c], m_rows}; }
    /// Column c's imaginary parts; empty for a real matrix.
    std::span<const double> imag_col(std::uint32_t c) const noexcept {
        return m_im ? std::span<const double>(m_im[c], m_rows) : std::span<const double>();
    }

private:
    const double* const* m_re;
    const double* const* m_im;
    std::uint32_t m_rows, m_ncols;
};

/// A matrix result, zero-filled, in call memory (so only inside a call):
/// nothing to free whichever way the call ends. The entry hands it to the
/// host after the function has returned. Stored by columns.
class matrix {
public:
    /// Raises "out of memory" when rows * cols numbers cannot be had.
    matrix(std::uint32_t rows, std::uint32_t cols, bool complex = false)
        : m_rows(rows), m_ncols(cols), m_re(block()), m_im(complex ? block() : nullptr) {}
    matrix(matrix&&) noexcept = default;
    matrix& operator=(matrix&&) noexcept = default;

    std::uint32_t rows() const noexcept { return m_rows; }
    std::uint32_t cols() const noexcept { return m_ncols; }
    std::size_t size() const noexcept { return std::size_t{m_rows} * m_ncols; }
    bool is_complex() const noexcept { return m_im != nullptr; }
    double& operator()(std::uint32_t r, std::uint32_t c) noexcept { return m_re[std::size_t{c} * m_rows + r]; }
    double operator()(std::uint32_t r, std::uint32_t c) const noexcept { return m_re[std::size_t{c} * m_rows + r]; }
    /// Imaginary part of element (r, c); only for a complex matrix.
    double& imag(std::uint32_t r, std::uint32_t c) noexcept { return m_im[std::size_t{c} * m_rows + r]; }
    std::span<double> col(std::uint32_t c) noexcept { return {m_re + std::size_t{c} * m_rows, m_rows}; }
    /// Every element's real part, column by column.
    std::span<double> values() noexcept { return {m_re, size()}; }
    /// Every element's imaginary part; empty for a real matrix.
    std::span<double> imag_values() noexcept { return m_im ? std::span<double>(m_im, size()) : std::span<double>(); }
    std::span<const double> values() const noexcept { return {m_re, size()}; }
    std::span<const double> imag_values() const noexcept {
        return m_im ? std::span<const double>(m_im, size()) : std::span<const double>();
    }

private:
    double* block() const {
        // efi_call_memory refuses 4 GiB or more, as does the host's matrix.
        if (std::uint64_t{m_rows} * m_ncols > std::numeric_limits<std::uint32_t>::max() / sizeof(double))
            Efi::Throw("out of memory", Efi::kNoArgument);
        return static_cast<double*>(efi_call_memory(size() * sizeof(double)));
    }

    std::uint32_t m_rows, m_ncols;
    double* m_re;
    double* m_im;
};

namespace detail {

using Efi::User::Value;

// The flags and help of a def, in any order after the summary.
struct options {
    std::uint32_t flags = 0;
    const char* help = nullptr;
    efi::raises messages{};
    constexpr void add(efi::flags f) noexcept { flags |= f.bits; }
    constexpr void add(efi::help h) noexcept { help = h.text; }
    constexpr void add(const efi::raises& r) noexcept { messages = r; }
};

// arg<T>: what a parameter of type T declares (its argument code), receives
// from the bridge (raw) and becomes (from: conversion or refusal, marking
// argument n).
template <class T>
struct arg {
    static_assert(sizeof(T) == 0,
                  "efi::def: unsupported parameter type (double, std::complex<double>, an integer, "
                  "efi::real_matrix_view, efi::matrix_view, std::string_view or efi::path)");
};

template <>
struct arg<double> {
    static constexpr std::int32_t code = 1;
    using raw = const Value*;
    EFI_BIND_INLINE static double from(raw v, std::uint32_t n) {
        // != compares quietly: a NaN imaginary part is refused, not trapped.
        if (v->imag != 0.0) [[unlikely]]
            Efi::Throw(Efi::StandardError::MustBeAReal, n);
        return v->real;
    }
};

template <>
struct arg<std::complex<double>> {
    static constexpr std::int32_t code = 1;
    using raw = const Value*;
    EFI_BIND_INLINE static std::complex<double> from(raw v, std::uint32_t) { return {v->real, v->imag}; }
};

template <class T>
requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) struct arg<T> {
    static constexpr std::int32_t code = 1;
    using raw = const Value*;
    // Bounds as doubles, both exact: the lowest value (0 or -2^k) and 2^k,
    // the first value beyond the type.
    static constexpr double kLow = static_cast<double>(std::numeric_limits<T>::min());
    static constexpr double kBeyond = 2.0 * static_cast<double>(std::numeric_limits<T>::max() / 2 + 1);

    [[noreturn, gnu::cold, gnu::noinline]] static void refuse(double x, double imag, std::uint32_t n) {
        if (imag != 0.0 || x != x) Efi::Throw(Efi::StandardError::MustBeAnInteger, n);
        if (x < 0.0 && kLow == 0.0) Efi::Throw(Efi::StandardError::MustBeNonNegative, n);
        if (x < kLow || x >= kBeyond) Efi::Throw(Efi::StandardError::InvalidRange, n);
        Efi::Throw(Efi::StandardError::MustBeAnInteger, n);
    }
    EFI_BIND_INLINE static T from(raw v, std::uint32_t n) {
        const double x = v->real;
        // The ordered comparisons would trap on a NaN under the call's
        // word, so the quiet one (x == x) goes first; the conversion would
        // trap beyond the type, so it comes after the range.
        if (v->imag != 0.0 || !(x == x && x >= kLow && x < kBeyond)) [[unlikely]]
            refuse(x, v->imag, n);
        const T t = static_cast<T>(x);
        if (static_cast<double>(t) != x) [[unlikely]]
            refuse(x, v->imag, n);
        return t;
    }
};

template <>
struct arg<real_matrix_view> {
    static constexpr std::int32_t code = 2;
    using raw = const Value*;
    // A complex matrix whose imaginary parts are all 0 is a real one, as a
    // complex number with 0 imaginary part is a real number.
    [[gnu::noinline]] static void check_imaginary_part(const Efi::User::ComplexArray& a, std::uint32_t n) {
        if (a.cols == 0) return;
        const double* im = a.imagCols[0];
        for (std::size_t k = 0, count = std::size_t{a.rows} * a.cols; k < count; ++k)
            if (im[k] != 0.0) Efi::Throw(Efi::StandardError::MustBeARealMatrix, n);
    }
    EFI_BIND_INLINE static real_matrix_view from(raw v, std::uint32_t n) {
        if (v->array.imagCols) [[unlikely]]
            check_imaginary_part(v->array, n);
        return real_matrix_view(v->array);
    }
};

template <>
struct arg<matrix_view> {
    static constexpr std::int32_t code = 2;
    using raw = const Value*;
    EFI_BIND_INLINE static matrix_view from(raw v, std::uint32_t) { return matrix_view(v->array); }
};

template <>
struct arg<std::string_view> {
    static constexpr std::int32_t code = 8;
    using raw = const Value*;
    EFI_BIND_INLINE static std::string_view from(raw v, std::uint32_t) { return v->text; }
};

template <>
struct arg<path> {
    static constexpr std::int32_t code = 13;
    using raw = const char*;  // a file name arrives as the path itself
    EFI_BIND_INLINE static path from(raw p, std::uint32_t) { return path(p); }
};

template <class T>
using arg_of = arg<std::remove_cvref_t<T>>;

// result<R>: the return code of R and how a value of it is stored in the
// result record. The record arrives zero-filled.
template <class R>
struct result {
    static_assert(sizeof(R) == 0,
                  "efi::def: unsupported result type (double, std::complex<double>, an integer, efi::matrix or "
                  "std::string)");
};

template <>
struct result<double> {
    static constexpr std::int32_t code = 1;
    EFI_BIND_INLINE static void store(Value* r, double x) { r->real = x; }
};

template <>
struct result<std::complex<double>> {
    static constexpr std::int32_t code = 1;
    EFI_BIND_INLINE static void store(Value* r, std::complex<double> z) {
        r->real = z.real();
        r->imag = z.imag();
    }
};

template <class T>
requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) struct result<T> {
    static constexpr std::int32_t code = 1;
    EFI_BIND_INLINE static void store(Value* r, T x) { r->real = static_cast<double>(x); }
};

template <>
struct result<matrix> {
    static constexpr std::int32_t code = 2;
    // The host's arrays are made only now, after the function has returned,
    // and filled by copies that cannot fail; should making them fail, the
    // matrix is call memory and goes with the call.
    static void store(Value* r, const matrix& m) {
        efi_complex_array* a = efi_matrix_result(reinterpret_cast<efi_value*>(r), m.rows(), m.cols(), m.is_complex());
        if (m.cols() == 0) return;
        std::memcpy(a->realCols[0], m.values().data(), m.size() * sizeof(double));
        if (m.is_complex()) std::memcpy(a->imagCols[0], m.imag_values().data(), m.size() * sizeof(double));
    }
};

template <>
struct result<std::string> {
    static constexpr std::int32_t code = 8;
    // The host never frees a text result: it lives in call memory.
    static void store(Value* r, const std::string& s) {
        auto* text = static_cast<char*>(efi_call_memory(s.size() + 1));  // zero-filled: NUL-terminated
        std::memcpy(text, s.data(), s.size());
        r->text = text;
    }
};

// The signature of a bound function.
template <class F>
struct signature {
    static_assert(sizeof(F) == 0, "efi::def<F>: F must be the address of a function");
};
template <class R, class... A>
struct signature<R (*)(A...)> {
    using type = R(A...);
};
template <class R, class... A>
struct signature<R (*)(A...) noexcept> {
    using type = R(A...);
};

template <class Sig>
struct codes;
template <class R, class... A>
struct codes<R(A...)> {
    using type = R(A...);
    static constexpr std::size_t arity = sizeof...(A);
    static constexpr std::int32_t ret = result<std::remove_cvref_t<R>>::code;
    static constexpr std::int32_t args[] = {arg_of<A>::code...};
};

// The loader's rules for names, checked at compile time: a parameter's is
// an identifier of at most 64 bytes, a function's may also hold '.'.
constexpr bool is_name(const char* s, bool dots, std::size_t most) noexcept {
    if (!s || !*s || (*s >= '0' && *s <= '9')) return false;
    std::size_t n = 0;
    for (; s[n]; ++n) {
        const char c = s[n];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!letter && !(dots && c == '.')) return false;
    }
    return n <= most;
}

constexpr bool is_one_line(const char* s) noexcept {
    for (; s && *s; ++s)
        if (*s == '\n' || *s == '\r') return false;
    return true;
}

constexpr bool same_text(const char* a, const char* b) noexcept {
    for (; *a && *a == *b; ++a) ++b;
    return *a == *b;
}

// One def: a function and what the table says of it.
template <auto F, std::size_t N>
struct function_def {
    static constexpr auto function = F;
    using sig = codes<typename signature<decltype(F)>::type>;

    const char* name;
    efi_parameter params[N];
    const char* summary;
    options opts;

    efi_function_entry entry(efi_entry_fn fn) const noexcept {
        const auto count = static_cast<std::int32_t>(opts.messages.count);
        return {
            name, fn, sig::ret, static_cast<std::int32_t>(N), sig::args, count, count ? opts.messages.texts : nullptr};
    }
    constexpr efi_function_info info() const noexcept { return {params, summary, opts.help, opts.flags}; }
};

template <class... Defs>
constexpr std::tuple<Defs...> functions(Defs... defs) {
    return {defs...};
}

// The native entry of def I of the module's defs: the calling contract's
// signature, each argument converted in order (a refusal marks the first
// argument at fault), the function called and its result stored.
template <const auto& Defs, std::size_t I>
using def_at = std::remove_cvref_t<decltype(std::get<I>(Defs))>;

template <const auto& Defs, std::size_t I, class Sig = typename def_at<Defs, I>::sig::type,
          class Seq = std::make_index_sequence<codes<Sig>::arity>>
struct entry_of;

template <const auto& Defs, std::size_t I, class R, class... A, std::size_t... K>
struct entry_of<Defs, I, R(A...), std::index_sequence<K...>> {
    [[noreturn, gnu::cold, gnu::noinline]] static void raise(const parameter_error& e) {
        const auto& params = std::get<I>(Defs).params;
        for (std::uint32_t k = 0; k < sizeof...(A); ++k)
            if (e.parameter() && same_text(params[k].name, e.parameter())) e.raise(k + 1);
        e.raise(Efi::kNoArgument);
    }

    static std::uint32_t call(Value* r, typename arg_of<A>::raw... raw) {
        try {
            // A braced list converts left to right.
            std::tuple<std::remove_cvref_t<A>...> args{arg_of<A>::from(raw, K + 1)...};
            result<std::remove_cvref_t<R>>::store(r, std::apply(def_at<Defs, I>::function, std::move(args)));
        } catch (const parameter_error& e) {
            raise(e);
        }
        return 0;
    }
};

template <std::size_t N>
struct tables {
    efi_function_entry entries[N];
    efi_function_info info[N];
};

template <const auto& Defs>
tables<std::tuple_size_v<std::remove_cvref_t<decltype(Defs)>>> make_tables() {
    return []<std::size_t... I>(std::index_sequence<I...>) {
        return tables<sizeof...(I)>{
            {std::get<I>(Defs).entry(reinterpret_cast<efi_entry_fn>(&entry_of<Defs, I>::call))...},
            {std::get<I>(Defs).info()...}};
    }
    (std::make_index_sequence<std::tuple_size_v<std::remove_cvref_t<decltype(Defs)>>>{});
}

}  // namespace detail

/// One function of the module: F's worksheet `name`, one name per
/// parameter, a one-line `summary` (or nullptr), then efi::help(...),
/// efi::raises(...) and flags in any order. Mistakes the loader would refuse that can be seen
/// here (a name it would not take, a parameter named twice, a summary of
/// several lines) stop the compilation, as does a count of names other
/// than the function's parameters.
template <auto F, std::size_t N, class... Options>
constexpr detail::function_def<F, N> def(const char* name, const param (&params)[N], const char* summary,
                                         Options... options) {
    using sig = typename detail::function_def<F, N>::sig;
    static_assert(N == sig::arity, "efi::def: give one parameter name per parameter of the function");
    static_assert(N >= 1 && N <= 10, "efi::def: a worksheet function takes 1 to 10 arguments");
    // A throw here is no constant expression: the def does not compile,
    // and the compiler shows the text.
    if (!detail::is_name(name, true, EFI_MODULE_MAX_NAME))
        throw "efi::def: a function name is letters, digits, '_' and '.', not starting with a digit";
    if (!detail::is_one_line(summary)) throw "efi::def: the summary must be one line";
    detail::function_def<F, N> d{name, {}, summary, {}};
    for (std::size_t k = 0; k < N; ++k) {
        if (!detail::is_name(params[k].name, false, EFI_MODULE_MAX_PARAM_NAME))
            throw "efi::def: a parameter name must be an identifier (letters, digits and '_')";
        for (std::size_t j = 0; j < k; ++j)
            if (detail::same_text(params[j].name, params[k].name)) throw "efi::def: a parameter name listed twice";
        d.params[k] = {params[k].name, params[k].help};
    }
    (d.opts.add(options), ...);
    for (std::size_t k = 0; k < d.opts.messages.count; ++k)
        if (!d.opts.messages.texts[k] || !detail::is_one_line(d.opts.messages.texts[k]))
            throw "efi::def: a message it raises is one line of text";
    return d;
}

}  // namespace efi

/// Defines the module's table (version 2) from its defs:
///     EFI_BIND_MODULE(efi::def<&f>(...), efi::def<&g>(...));
/// Once per module, at namespace scope. The defs are constants; the
/// entries hold the entry addresses cast to efi_entry_fn, which no constant
/// expression may do, so a compiler may fill them as the module is opened,
/// always before the host reads the table.
#define EFI_BIND_MODULE(...)                                                                        \
    namespace {                                                                                     \
    constexpr auto efi_bind_defs = ::efi::detail::functions(__VA_ARGS__);                           \
    const auto efi_bind_tables = ::efi::detail::make_tables<efi_bind_defs>();                       \
    }                                                                                               \
    extern "C" EFI_MODULE_EXPORT const efi_module_table efi_module = {                              \
        EFI_MODULE_VERSION, static_cast<std::uint32_t>(std::tuple_size_v<decltype(efi_bind_defs)>), \
        efi_bind_tables.entries, efi_bind_tables.info}
