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
    // Numbers of our own for the secure transfers the transport offers
    // beyond the classic list; network schemes only when it offers them.
    INTERNET_SCHEME_FTPS = 101,
    INTERNET_SCHEME_SFTP = 102,
    INTERNET_SCHEME_SCP = 103,
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
/// not a scheme. ftps, sftp and scp are network schemes when the linked
/// transport offers them, unknown otherwise.
InternetScheme SchemeNumber(std::string_view name) noexcept;

/// Whether the text before the first colon of `name` is a scheme (a letter,
/// then letters, digits, '+', '-', '.'), a drive letter included: such a
/// name is absolute. A name without a colon has neither.
bool NamesASchemeOrDrive(std::string_view name) noexcept;

/// Whether `text` begins with a network scheme and "://": it means to be a
/// URL, parsed or not.
bool StartsLikeANetworkUrl(std::string_view text) noexcept;

/// A relative name that is no URL as one path reference: '#' and a '%'
/// that starts no escape are escaped, and a colon in the first segment is
/// kept from reading as a scheme. '?' still starts a query.
std::string AsRelativeReference(std::string_view name);

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
