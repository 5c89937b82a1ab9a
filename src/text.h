// Narrow text (current C locale's multibyte encoding) to and from host text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace Efi::detail {

/// Decodes NUL-terminated narrow text with the current locale. A byte that
/// does not decode becomes the Latin-1 character of the same value, so no
/// text is lost and text made from low bytes comes back unchanged.
std::u16string DecodeNarrow(const char* text);

/// Encodes `n` UTF-16 code units into at most `cap` bytes of the current
/// locale's multibyte encoding, stopping after the last whole character that
/// fits (or at a unit that has no narrow form). Returns the bytes written;
/// writes no NUL.
std::size_t EncodeNarrow(const char16_t* text, std::size_t n, char* out, std::size_t cap);

/// What EncodeFileName answers for text with a character that has no form
/// in the current locale's encoding.
inline constexpr std::size_t kNotEncodable = static_cast<std::size_t>(-1);

/// Encodes host text as this platform names files: the current locale's
/// multibyte encoding, surrogate pairs joined into one character, cut at the
/// first NUL. Writes the bytes and a terminating NUL to `out` unless it is
/// null. Returns the number of bytes before the NUL, or kNotEncodable when a
/// character (a lone surrogate among them) has no form in the encoding.
std::size_t EncodeFileName(std::u16string_view text, char* out);

}  // namespace Efi::detail
