// Worksheet literals on the command line: reading host values from text and
// writing them back in the same syntax.
//
// Accepted spellings:
//   numbers   2   -1.5e3   .5   3-4i   2i   -i   1e-3+2.5i   inf   -inf   nan
//             (no spaces inside a number; "1e400" is out of range, not inf)
//   text      "abc"   "say \"hi\""   "tab\there"   "\u00e9"   ""
//             escapes: \" \\ \n \t \r \0 \uXXXX (four hex digits)
//   matrices  [1, 2; 3, 4]   [1+2i, 3]   [1; 2; 3]   []
//             rows separated by ';', elements by ','; every row as long as
//             the first; elements are numbers
// Rejected, with the column (from 1) where reading stopped:
//   1.2.3   3-4   "open   [1, 2; 3]   [1,, 2]   [[1]]   abc   0x10
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include <vrnrun/vrnrun.h>

namespace efi_call {

/// A literal that does not read; `column` counts bytes from 1.
class LiteralError : public std::runtime_error {
public:
    LiteralError(std::size_t column, const std::string& what) : std::runtime_error(what), m_column(column) {}
    std::size_t column() const noexcept { return m_column; }

private:
    std::size_t m_column;
};

/// The host value `text` spells, which must be one whole literal (blanks
/// around it allowed). Throws LiteralError.
Vrn::Run::Object ParseLiteral(std::string_view text);

/// A number in the shortest form that reads back to the same double.
std::string FormatReal(double v);
/// A host value in literal syntax; null prints as "null", a function as
/// "<function>".
std::string FormatValue(const Vrn::Run::Object& value);

}  // namespace efi_call
