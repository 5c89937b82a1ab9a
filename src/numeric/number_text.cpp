// Locale-independent number reading and writing for the unit conversions.
#include "number_text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <system_error>

namespace Efi::detail {

namespace {

bool AppendNonFinite(std::string& out, double x) {
    if (std::isnan(x)) {
        out += "NaN";
    } else if (std::isinf(x)) {
        out += x < 0 ? "-Infinity" : "Infinity";
    } else {
        return false;
    }
    return true;
}

// Whether a digit text that overflowed or underflowed was large: a nonzero
// digit before the decimal point means at least 1.
bool HasNonzeroIntegerDigit(std::string_view digits) {
    for (char c : digits) {
        if (c == '.') return false;
        if (c != '0') return true;
    }
    return false;
}

constexpr double kPowersOfTen[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// The common short case without the general parser: with at most 15
// significant digits the digits form an integer below 2^53, and 10^k is exact
// for k <= 22, so one correctly rounded division is the correctly rounded
// value. False (value untouched) when the text is outside that case.
bool ParseShortDecimal(std::string_view digits, double& value) {
    if (digits.empty() || digits.size() > 16) return false;
    std::uint64_t mantissa = 0;
    int count = 0;
    int fraction_digits = -1;  // -1 until the "." is seen
    for (char c : digits) {
        if (c == '.') {
            if (fraction_digits >= 0) return false;
            fraction_digits = 0;
            continue;
        }
        if (c < '0' || c > '9') return false;
        mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
        ++count;
        if (fraction_digits >= 0) ++fraction_digits;
    }
    if (count == 0 || count > 15 || fraction_digits == 0) return false;
    const double m = static_cast<double>(mantissa);
    value = fraction_digits > 0 ? m / kPowersOfTen[fraction_digits] : m;
    return true;
}

}  // namespace

double ParseDecimal(std::string_view digits) {
    double value = 0.0;
    if (ParseShortDecimal(digits, value)) return value;
    const auto [end, ec] =
        std::from_chars(digits.data(), digits.data() + digits.size(), value, std::chars_format::fixed);
    (void)end;
    if (ec == std::errc::result_out_of_range) {
        return HasNonzeroIntegerDigit(digits) ? std::numeric_limits<double>::infinity() : 0.0;
    }
    // The patterns only capture digits and one ".", so nothing else can fail.
    return ec == std::errc() ? value : std::numeric_limits<double>::quiet_NaN();
}

std::int32_t TruncateToInt32(double x) noexcept {
    // -2^31 - 1 < x < 2^31 is exactly the range whose truncation fits.
    if (x > -2147483649.0 && x < 2147483648.0) return static_cast<std::int32_t>(x);
    return std::numeric_limits<std::int32_t>::min();
}

void AppendFixed0(std::string& out, double x) {
    if (AppendNonFinite(out, x)) return;
    char buf[400];  // the largest double has 309 integer digits
    const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::fixed, 0);
    out.append(buf, r.ptr);
}

void AppendInt(std::string& out, std::int32_t v) {
    char buf[16];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void AppendGeneral15(std::string& out, double x) {
    if (AppendNonFinite(out, x)) return;
    // 15 significant digits, correctly rounded: d.dddddddddddddde[+-]XX.
    char buf[48];
    const auto r = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific, 14);
    std::string_view sci(buf, static_cast<std::size_t>(r.ptr - buf));
    if (sci.front() == '-') {
        out += '-';
        sci.remove_prefix(1);
    }
    const std::size_t e = sci.find('e');
    const int exponent = std::atoi(std::string(sci.substr(e + 1)).c_str());
    std::string digits;
    digits += sci[0];
    digits += sci.substr(2, e - 2);
    while (digits.size() > 1 && digits.back() == '0') digits.pop_back();

    if (exponent > -5 && exponent < 15) {
        if (exponent < 0) {
            out += "0.";
            out.append(static_cast<std::size_t>(-exponent - 1), '0');
            out += digits;
            return;
        }
        const auto whole = static_cast<std::size_t>(exponent) + 1;
        if (digits.size() <= whole) {
            out += digits;
            out.append(whole - digits.size(), '0');
        } else {
            out.append(digits, 0, whole);
            out += '.';
            out.append(digits, whole);
        }
        return;
    }
    out += digits[0];
    if (digits.size() > 1) {
        out += '.';
        out.append(digits, 1);
    }
    out += exponent < 0 ? "E-" : "E+";
    const int magnitude = std::abs(exponent);
    if (magnitude < 10) out += '0';
    AppendInt(out, magnitude);
}

std::u16string WidenAscii(std::string_view s) { return std::u16string(s.begin(), s.end()); }

PatternText::PatternText(std::u16string_view text) : m_size(text.size()) {
    char* out = m_inline;
    if (text.size() > sizeof m_inline) {
        m_heap.resize(text.size());
        out = m_heap.data();
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        out[i] = c < 0x80 ? static_cast<char>(c) : static_cast<char>(0xFF);
    }
    m_data = out;
}

}  // namespace Efi::detail
