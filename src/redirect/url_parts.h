// Splitting URLs into parts and combining a base URL with a reference.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace Efi::detail {

/// Scheme numbers of a split URL. Network schemes are positive.
enum InternetScheme : int {
    INTERNET_SCHEME_UNKNOWN = -1,
    INTERNET_SCHEME_DEFAULT = 0,
    INTERNET_SCHEME_FTP = 1,
    INTERNET_SCHEME_GOPHER = 2,
    INTERNET_SCHEME_HTTP = 3,
    INTERNET_SCHEME_HTTPS = 4,
    INTERNET_SCHEME_FILE = 5,
    INTERNET_SCHEME_NEWS = 6,
    INTERNET_SCHEME_MAILTO = 7,
};

/// Status of a CUrlParts before anything was parsed.
inline constexpr std::int32_t kNotParsed = static_cast<std::int32_t>(0x80004005u);
/// Status for a missing text.
inline constexpr std::int32_t kNoText = static_cast<std::int32_t>(0x80004003u);
/// Status for a text that is not a URL.
inline constexpr std::int32_t kInvalidUrl = static_cast<std::int32_t>(0x80072EE5u);

/// Longest URL a combination may produce, terminating NUL included.
inline constexpr std::size_t kMaxUrlLength = 2084;

/// Scratch record for one URL: its parts, each in a buffer of its own
/// (truncated to fit), the parse flags and the status: kNotParsed before
/// Crack, kNoText for a null text, 0 when the text was parsed and negative
/// when it was not.
struct CUrlParts {
    /// Where the parts are and what they are.
    struct Components {
        std::uint32_t size = sizeof(Components);
        InternetScheme nScheme = INTERNET_SCHEME_UNKNOWN;
        std::uint16_t nPort = 0;
    } components;
    char path[2048] = {};
    char host[256] = {};
    char scheme[32] = {};
    char extra[2048] = {};
    char user[128] = {};
    char password[128] = {};
    std::uint32_t flags = 0;
    std::int32_t status = kNotParsed;

    /// Splits `text` (may be null).
    void Crack(const char* text);
    bool Parsed() const noexcept { return status >= 0; }
    InternetScheme Scheme() const noexcept { return components.nScheme; }
};

/// The scheme number of a scheme name; a single letter is a drive letter,
/// not a scheme.
InternetScheme SchemeNumber(std::string_view name) noexcept;

/// `text` with the characters that cannot stand in a URL (controls, space,
/// quotes, angle brackets, bytes above 127) percent-encoded; existing
/// %-escapes are kept.
std::string EncodeUrl(std::string_view text);

/// Resolves `reference` against the absolute URL `base` as RFC 3986
/// section 5.2 does, then, unless `noEncode`, encodes it (EncodeUrl).
/// Raises _com_error (E_FAIL) when `base` has no scheme or the result needs
/// more than kMaxUrlLength characters.
std::string CombineUrl(std::string_view base, std::string_view reference, bool noEncode);

}  // namespace Efi::detail
