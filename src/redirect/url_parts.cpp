#include "url_parts.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include <curl/curl.h>

#include <efi/redirector.h>

namespace Efi::detail {

namespace {

char AsciiLower(char c) noexcept { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + ('a' - 'A')) : c; }

bool EqualsIgnoreCase(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return AsciiLower(x) == AsciiLower(y); });
}

bool StartsWithIgnoreCase(std::string_view text, std::string_view prefix) noexcept {
    return text.size() >= prefix.size() && EqualsIgnoreCase(text.substr(0, prefix.size()), prefix);
}

/// Copies `text` into `buffer`, cut to fit, always terminated.
template <std::size_t N>
void CopyPart(char (&buffer)[N], const char* text) noexcept {
    if (text == nullptr) return;
    std::size_t n = std::min(std::strlen(text), N - 1);
    std::memcpy(buffer, text, n);
    buffer[n] = '\0';
}

struct CurlUrlDeleter {
    void operator()(CURLU* h) const noexcept { curl_url_cleanup(h); }
};
using CurlUrl = std::unique_ptr<CURLU, CurlUrlDeleter>;

/// Copies one part of a parsed URL into `buffer` (left empty when absent).
template <std::size_t N>
void GetPart(CURLU* url, CURLUPart part, char (&buffer)[N]) noexcept {
    char* text = nullptr;
    if (curl_url_get(url, part, &text, 0) == CURLUE_OK) CopyPart(buffer, text);
    curl_free(text);
}

}  // namespace

namespace {

/// Whether the linked transport lists `protocol` among those it speaks.
bool TransportSpeaks(std::string_view protocol) noexcept {
    const curl_version_info_data* info = curl_version_info(CURLVERSION_NOW);
    for (const char* const* p = info != nullptr ? info->protocols : nullptr; p != nullptr && *p != nullptr; ++p) {
        if (EqualsIgnoreCase(*p, protocol)) return true;
    }
    return false;
}

bool IsAsciiLetter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool IsHexDigit(char c) noexcept { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

}  // namespace

InternetScheme SchemeNumber(std::string_view name) noexcept {
    struct Known {
        std::string_view name;
        InternetScheme number;
        bool ifSpoken;  // a network scheme only when the transport speaks it
    };
    static constexpr Known kKnown[] = {
        {"ftp", INTERNET_SCHEME_FTP, false},       {"gopher", INTERNET_SCHEME_GOPHER, false},
        {"http", INTERNET_SCHEME_HTTP, false},     {"https", INTERNET_SCHEME_HTTPS, false},
        {"file", INTERNET_SCHEME_FILE, false},     {"news", INTERNET_SCHEME_NEWS, false},
        {"mailto", INTERNET_SCHEME_MAILTO, false}, {"ftps", INTERNET_SCHEME_FTPS, true},
        {"sftp", INTERNET_SCHEME_SFTP, true},      {"scp", INTERNET_SCHEME_SCP, true},
    };
    for (const Known& k : kKnown) {
        if (!EqualsIgnoreCase(name, k.name)) continue;
        return !k.ifSpoken || TransportSpeaks(k.name) ? k.number : INTERNET_SCHEME_UNKNOWN;
    }
    return INTERNET_SCHEME_UNKNOWN;
}

bool NamesASchemeOrDrive(std::string_view name) noexcept {
    const std::size_t colon = name.find(':');
    if (colon == std::string_view::npos || colon == 0 || !IsAsciiLetter(name[0])) return false;
    for (char c : name.substr(1, colon - 1)) {
        if (!IsAsciiLetter(c) && !(c >= '0' && c <= '9') && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

bool StartsLikeANetworkUrl(std::string_view text) noexcept {
    const std::size_t colon = text.find("://");
    return colon != std::string_view::npos && NamesASchemeOrDrive(text.substr(0, colon + 1)) &&
           SchemeNumber(text.substr(0, colon)) > INTERNET_SCHEME_DEFAULT &&
           SchemeNumber(text.substr(0, colon)) != INTERNET_SCHEME_FILE;
}

std::string AsRelativeReference(std::string_view name) {
    std::string out;
    out.reserve(name.size() + 2);
    // "10:30 notes.txt" would read as the scheme "10"; "./" keeps it a path.
    const std::size_t firstEnd = name.find_first_of("/?");
    if (name.substr(0, firstEnd).find(':') != std::string_view::npos) out = "./";
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '#') {
            out += "%23";
        } else if (c == '%' && !(i + 2 < name.size() && IsHexDigit(name[i + 1]) && IsHexDigit(name[i + 2]))) {
            out += "%25";
        } else {
            out += c;
        }
    }
    return out;
}

void CUrlParts::Crack(const char* text) {
    if (text == nullptr) {
        status = kNoText;
        return;
    }
    CurlUrl url(curl_url());
    if (!url) throw std::bad_alloc();
    const unsigned parseFlags = CURLU_NON_SUPPORT_SCHEME | CURLU_ALLOW_SPACE | CURLU_PATH_AS_IS;
    if (curl_url_set(url.get(), CURLUPART_URL, text, parseFlags) == CURLUE_OK) {
        GetPart(url.get(), CURLUPART_SCHEME, scheme);
        GetPart(url.get(), CURLUPART_HOST, host);
        GetPart(url.get(), CURLUPART_USER, user);
        GetPart(url.get(), CURLUPART_PASSWORD, password);
        GetPart(url.get(), CURLUPART_PATH, path);
        char port[8] = {};
        GetPart(url.get(), CURLUPART_PORT, port);
        components.nPort = static_cast<std::uint16_t>(std::strtoul(port, nullptr, 10));
        std::string rest;
        char* query = nullptr;
        if (curl_url_get(url.get(), CURLUPART_QUERY, &query, 0) == CURLUE_OK) rest = std::string("?") + query;
        curl_free(query);
        char* fragment = nullptr;
        if (curl_url_get(url.get(), CURLUPART_FRAGMENT, &fragment, 0) == CURLUE_OK) rest += std::string("#") + fragment;
        curl_free(fragment);
        CopyPart(extra, rest.c_str());
        components.nScheme = SchemeNumber(scheme);
        status = 0;
        return;
    }
    // A file URL names a local path, whatever its host part holds (a drive
    // letter, a server name); the transport's parser only takes an empty
    // host or "localhost", so such URLs are split here.
    if (StartsWithIgnoreCase(text, "file:")) {
        CopyPart(scheme, "file");
        CopyPart(path, text + 5);
        components.nScheme = INTERNET_SCHEME_FILE;
        status = 0;
        return;
    }
    status = kInvalidUrl;
}

namespace {

/// A URI reference split as RFC 3986 appendix B does; absent components are
/// empty optionals, present ones may be empty.
struct Reference {
    std::optional<std::string_view> scheme;
    std::optional<std::string_view> authority;
    std::string_view path;
    std::optional<std::string_view> query;
    std::optional<std::string_view> fragment;
};

Reference Split(std::string_view text) {
    Reference r;
    std::size_t colon = text.find_first_of(":/?#");
    if (colon != std::string_view::npos && colon > 0 && text[colon] == ':') {
        r.scheme = text.substr(0, colon);
        text.remove_prefix(colon + 1);
    }
    if (text.starts_with("//")) {
        text.remove_prefix(2);
        std::size_t end = text.find_first_of("/?#");
        if (end == std::string_view::npos) end = text.size();
        r.authority = text.substr(0, end);
        text.remove_prefix(end);
    }
    std::size_t end = text.find_first_of("?#");
    if (end == std::string_view::npos) end = text.size();
    r.path = text.substr(0, end);
    text.remove_prefix(end);
    if (text.starts_with('?')) {
        end = text.find('#');
        if (end == std::string_view::npos) end = text.size();
        r.query = text.substr(1, end - 1);
        text.remove_prefix(end);
    }
    if (text.starts_with('#')) r.fragment = text.substr(1);
    return r;
}

/// RFC 3986 section 5.2.4.
std::string RemoveDotSegments(std::string_view in) {
    std::string out;
    while (!in.empty()) {
        if (in.starts_with("../")) {
            in.remove_prefix(3);
        } else if (in.starts_with("./")) {
            in.remove_prefix(2);
        } else if (in.starts_with("/./")) {
            in.remove_prefix(2);
        } else if (in == "/.") {
            in = "/";
        } else if (in.starts_with("/../") || in == "/..") {
            in = in.size() == 3 ? std::string_view("/") : in.substr(3);
            std::size_t last = out.rfind('/');
            out.erase(last == std::string::npos ? 0 : last);
        } else if (in == "." || in == "..") {
            in = {};
        } else {
            std::size_t next = in.find('/', 1);
            if (next == std::string_view::npos) next = in.size();
            out.append(in.substr(0, next));
            in.remove_prefix(next);
        }
    }
    return out;
}

/// RFC 3986 section 5.2.3.
std::string Merge(const Reference& base, std::string_view path) {
    // Built by appending: GCC 12 sees a false overlap in `"/" + std::string`.
    std::string merged;
    if (base.authority && base.path.empty()) {
        merged = "/";
    } else if (std::size_t last = base.path.rfind('/'); last != std::string_view::npos) {
        merged = base.path.substr(0, last + 1);
    }
    return merged.append(path);
}

std::string Recompose(std::string_view scheme, const std::optional<std::string_view>& authority, std::string_view path,
                      const std::optional<std::string_view>& query, const std::optional<std::string_view>& fragment) {
    std::string out(scheme);
    out += ':';
    if (authority) out.append("//").append(*authority);
    out.append(path);
    if (query) out.append("?").append(*query);
    if (fragment) out.append("#").append(*fragment);
    return out;
}

bool NeedsEncoding(unsigned char c) noexcept { return c <= 0x20 || c >= 0x7F || c == '"' || c == '<' || c == '>'; }

}  // namespace

std::string EncodeUrl(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (NeedsEncoding(c)) {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

namespace {

[[noreturn]] void CannotCombine(const char* why) { throw _com_error(_com_error::kFail, why); }

}  // namespace

std::string CombineUrl(std::string_view baseText, std::string_view referenceText, bool noEncode) {
    Reference base = Split(baseText);
    if (!base.scheme) CannotCombine("the base location is not an absolute URL");
    // Strings owning any re-written path must outlive the views into them.
    Reference ref = Split(referenceText);
    std::string path;
    std::optional<std::string_view> authority, query;
    std::string_view scheme;
    if (ref.scheme) {
        scheme = *ref.scheme;
        authority = ref.authority;
        path = RemoveDotSegments(ref.path);
        query = ref.query;
    } else {
        scheme = *base.scheme;
        if (ref.authority) {
            authority = ref.authority;
            path = RemoveDotSegments(ref.path);
            query = ref.query;
        } else {
            authority = base.authority;
            if (ref.path.empty()) {
                path = base.path;
                query = ref.query ? ref.query : base.query;
            } else {
                path = RemoveDotSegments(ref.path.starts_with('/') ? std::string(ref.path) : Merge(base, ref.path));
                query = ref.query;
            }
        }
    }
    std::string combined = Recompose(scheme, authority, path, query, ref.fragment);
    if (!noEncode) combined = EncodeUrl(combined);
    if (combined.size() + 1 > kMaxUrlLength) CannotCombine("the combined URL is longer than 2083 characters");
    return combined;
}

}  // namespace Efi::detail
