// How a host shows a worksheet error to people.
#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include <efi/export.h>
#include <vrnrun/vrnrun.h>

namespace Efi {

/// A worksheet error as hosts show it: `message`, then " (argument N)"
/// naming the argument to blame (from 1; 0 is the call's directory, which a
/// function with file-name arguments is given before them), or nothing more
/// when the argument is Efi::kNoArgument (4294967295).
EFI_API std::string ErrorText(std::string_view message, std::uint32_t argument);

/// The same for a raised worksheet error: its message in UTF-8 and its
/// argument.
EFI_API std::string ErrorText(const Vrn::Run::AppException& error);

/// The text of anything native code threw, as a call's error shows it: a
/// processor fault's worksheet wording ("overflow"), what() of a standard
/// exception (a worksheet error's message alone among them), else
/// "unknown error", as for a null `thrown`.
EFI_API std::string ThrownText(std::exception_ptr thrown);

}  // namespace Efi
