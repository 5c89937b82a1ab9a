// What a function's description must be: the loader holds a module's table
// to these rules, and the channel holds a worker's reply to the same ones.
#pragma once

#include <string_view>

namespace Efi::detail {

/// Well-formed UTF-8: no stray continuation byte, no overlong form, no
/// surrogate, nothing above U+10FFFF. Hosts decode descriptions as UTF-8
/// to show them to people.
bool IsValidUtf8(std::string_view s) noexcept;

/// One line: no line feed or carriage return (a summary, a name).
bool IsOneLine(std::string_view s) noexcept;

/// A parameter's name: ASCII letters, digits and '_', not starting with a
/// digit (every host can take it as a keyword).
bool IsParameterName(std::string_view s) noexcept;

}  // namespace Efi::detail
