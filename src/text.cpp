#include "text.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <cwchar>

namespace Efi::detail {

namespace {

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
        out += static_cast<char16_t>(c);
    }
}

bool IsSurrogate(char32_t c) { return c >= 0xD800 && c < 0xE000; }

// The character at text[i], a surrogate pair joined into one; advances i
// past it. A lone surrogate comes back as itself.
char32_t NextChar(const char16_t* text, std::size_t n, std::size_t& i) {
    char32_t c = text[i++];
    if (c >= 0xD800 && c < 0xDC00 && i < n && text[i] >= 0xDC00 && text[i] < 0xE000)
        c = 0x10000 + ((c - 0xD800) << 10) + (text[i++] - 0xDC00);
    return c;
}

}  // namespace

std::u16string DecodeNarrow(const char* text) {
    std::u16string out;
    if (!text) return out;
    std::size_t left = std::strlen(text);
    out.reserve(left);
    std::mbstate_t state{};
    while (left > 0) {
        wchar_t wc = 0;
        std::size_t used = std::mbrtowc(&wc, text, left, &state);
        if (used == static_cast<std::size_t>(-1) || used == static_cast<std::size_t>(-2) || used == 0) {
            // Undecodable or cut short: keep the byte as Latin-1.
            out += static_cast<char16_t>(static_cast<unsigned char>(*text));
            state = std::mbstate_t{};
            ++text;
            --left;
            continue;
        }
        AppendUtf16(out, static_cast<char32_t>(wc));
        text += used;
        left -= used;
    }
    return out;
}

std::size_t EncodeNarrow(const char16_t* text, std::size_t n, char* out, std::size_t cap) {
    std::size_t written = 0;
    std::mbstate_t state{};
    char buf[MB_LEN_MAX];
    for (std::size_t i = 0; i < n;) {
        const char32_t c = NextChar(text, n, i);
        std::size_t len = std::wcrtomb(buf, static_cast<wchar_t>(c), &state);
        if (len == static_cast<std::size_t>(-1)) {
            // No narrow form in this locale: a Latin-1 character travels as its
            // own byte (the inverse of DecodeNarrow); anything else ends the text.
            if (c > 0xFF) break;
            buf[0] = static_cast<char>(c);
            len = 1;
            state = std::mbstate_t{};
        }
        if (written + len > cap) break;
        std::memcpy(out + written, buf, len);
        written += len;
    }
    return written;
}

std::size_t EncodeFileName(std::u16string_view text, char* out) {
    const std::size_t n = std::min(text.size(), text.find(u'\0'));
    std::size_t written = 0;
    std::mbstate_t state{};
    char buf[MB_LEN_MAX];
    auto put = [&](std::size_t len) {
        if (out) std::memcpy(out + written, buf, len);
        written += len;
    };
    for (std::size_t i = 0; i < n;) {
        const char32_t c = NextChar(text.data(), n, i);
        if (IsSurrogate(c)) return kNotEncodable;
        const std::size_t len = std::wcrtomb(buf, static_cast<wchar_t>(c), &state);
        if (len == static_cast<std::size_t>(-1)) return kNotEncodable;
        put(len);
    }
    // The NUL, after whatever returns a stateful encoding to its initial
    // shift state (nothing in UTF-8).
    const std::size_t len = std::wcrtomb(buf, L'\0', &state);
    if (len == static_cast<std::size_t>(-1)) return kNotEncodable;
    put(len);
    return written - 1;
}

}  // namespace Efi::detail
