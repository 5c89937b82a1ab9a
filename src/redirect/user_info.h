// Cutting the user name and password out of URL text before it is shown.
// Header-only: the library's redirector and the host's transfer component
// (a library of its own) show URLs by the same rule.
#pragma once

#include <string>
#include <string_view>

namespace Efi::detail {

/// Whether `name` is a URL scheme: a letter, then letters, digits, '+',
/// '-' and '.'.
inline bool IsScheme(std::string_view name) noexcept {
    const auto letter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (name.empty() || !letter(name[0])) return false;
    for (char c : name)
        if (!letter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
    return true;
}

/// Whether `authority` reads as a host with an optional port of digits:
/// "example.com", "example.com:8080", "[::1]:8080", "" (a file URL's).
inline bool IsHostAndPort(std::string_view authority) noexcept {
    std::string_view port;
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) return false;
        const std::string_view rest = authority.substr(close + 1);
        if (rest.empty()) return true;
        if (rest[0] != ':') return false;
        port = rest.substr(1);
    } else {
        const std::size_t colon = authority.find(':');
        if (colon == std::string_view::npos) return true;
        port = authority.substr(colon + 1);
    }
    return !port.empty() && port.find_first_not_of("0123456789") == std::string_view::npos;
}

/// `text` without the user-info of its authority (user name, password,
/// login options, and the '@' that ends them) when it is an absolute URL of
/// any scheme ("scheme://..."); any other text is returned as it is.
///
/// The authority ends at the first '/', '?' or '#', as the transport reads
/// it, and its user-info at its last '@': a password may hold '@' and ':',
/// and a host may be an IPv6 address in brackets. A password may also hold
/// an unescaped '/', '?' or '#' where the user typed it so; the authority
/// then ends inside it and is no host and port ("alice:pa" of
/// "http://alice:pa/ss@host/"), and the user-info is taken to run to the
/// last '@' before the first '/' after an '@'. An '@' in the path, query or
/// fragment of a URL whose authority reads as a host is left alone.
inline std::string WithoutUserInfo(std::string_view text) {
    const std::size_t separator = text.find("://");
    if (separator == std::string_view::npos || !IsScheme(text.substr(0, separator))) return std::string(text);
    const std::size_t start = separator + 3;
    std::size_t end = text.find_first_of("/?#", start);
    if (end == std::string_view::npos) end = text.size();
    std::size_t userInfoEnd = text.substr(0, end).rfind('@');
    if (userInfoEnd == std::string_view::npos) {
        const std::size_t firstAt = text.find('@', end);
        if (IsHostAndPort(text.substr(start, end - start)) || firstAt == std::string_view::npos)
            return std::string(text);
        userInfoEnd = text.substr(0, text.find('/', firstAt)).rfind('@');
    }
    return std::string(text.substr(0, start)).append(text.substr(userInfoEnd + 1));
}

}  // namespace Efi::detail
