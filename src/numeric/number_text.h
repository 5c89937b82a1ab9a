// Reading digit groups as doubles and writing numbers in the fixed formats of
// the unit conversions. Locale-independent: the decimal separator is ".".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Efi::detail {

/// The nearest double to a decimal text of digits with an optional "." and
/// fraction digits (what the conversion patterns capture). A value too large
/// for a double reads as +infinity, one too small as 0.
double ParseDecimal(std::string_view digits);

/// x converted to a 32-bit integer by truncation toward zero. NaN and values
/// outside the range give -2147483648, the processor's "integer indefinite",
/// instead of undefined behaviour.
std::int32_t TruncateToInt32(double x) noexcept;

/// Appends x as a fixed-point number with no decimals, every integer digit
/// exact (the conversions only write whole values). Non-finite values as `NaN`, `Infinity`,
/// `-Infinity`.
void AppendFixed0(std::string& out, double x);

/// Appends a 32-bit integer in decimal, with a leading "-" when negative.
void AppendInt(std::string& out, std::int32_t v);

/// Appends x in general format: at most 15 significant digits, no trailing
/// zeros, no decimal point for a whole value; exponent form (`1.5E+16`,
/// `1E-05`, at least two exponent digits) when the decimal exponent is 15 or
/// more, or -5 or less. Non-finite values as AppendFixed0.
void AppendGeneral15(std::string& out, double x);

/// Host text (UTF-16) from ASCII text.
std::u16string WidenAscii(std::string_view s);

/// Host text as bytes for the patterns: ASCII code units unchanged, every
/// other code unit as 0xFF, which no pattern element matches. Embedded NULs
/// are kept. Short texts (all that people type) stay on the stack.
class PatternText {
public:
    explicit PatternText(std::u16string_view text);
    std::string_view view() const noexcept { return {m_data, m_size}; }

private:
    char m_inline[64];
    std::string m_heap;
    const char* m_data;
    std::size_t m_size;
};

}  // namespace Efi::detail
