#include "text.h"

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
        char32_t c = text[i];
        std::size_t units = 1;
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < n && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
            units = 2;
        }
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
        i += units;
    }
    return written;
}

}  // namespace Efi::detail
