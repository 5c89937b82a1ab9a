// Raising worksheet errors: the one road by which a failure reaches the user.
#pragma once

#include <cstdint>

#include <efi/export.h>

namespace Efi {

/// Argument number meaning "no particular argument is to blame".
inline constexpr std::uint32_t kNoArgument = 0xFFFFFFFFu;
/// Number of entries in the standard error table (codes 0 to 75).
inline constexpr std::uint32_t kStandardErrorCount = 76;

/// Raises the worksheet error `message` (narrow text, current locale) marking
/// argument `argument` (from 1; kNoArgument for none). Never returns: the
/// host's application error unwinds through the caller. A null message
/// raises "unknown error".
[[noreturn]] EFI_API void Throw(const char* message, std::uint32_t argument);

/// Raises entry `code` of the standard error table ("must be a number" is 0,
/// "unknown error" 29, "vector must be sorted" 75). A code above 75 raises
/// "unknown error" with the same argument.
[[noreturn]] EFI_API void Throw(std::uint32_t code, std::uint32_t argument);

/// Keeps `Throw(0, 1)` unambiguous: a literal 0 would otherwise convert to
/// the message pointer as readily as to the code.
[[noreturn]] inline void Throw(int code, std::uint32_t argument) { Throw(static_cast<std::uint32_t>(code), argument); }

/// True when the host's message library (libnewmsg.so, found by the loader's
/// default search) is present and its `InTable` entry knows `message`, the
/// text that will be shown to the user in the host's language. False for a
/// null message, and whenever the library or its entry cannot be found; a
/// missing library is looked for again on the next call. Never raises.
EFI_API bool IsValidError(const char* message);

/// Developer check before raising `message`: when IsValidError would answer
/// false, writes "ks: assertion 'The error message: "<message>" doesn't exist
/// in the message table!  It might not be localized.' failed." (the quoted
/// part cut to 512 characters) as a diagnostic, if KS_DEBUG enables them.
/// Never raises, never stops the program.
EFI_API void AssertValidError(const char* message);

}  // namespace Efi
