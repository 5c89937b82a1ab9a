// What a function's description must be: see description_rules.h.
#include "bridge/description_rules.h"

#include <cstddef>
#include <cstdint>

namespace Efi::detail {

namespace {

bool IsNameStart(char c) noexcept { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }

}  // namespace

bool IsValidUtf8(std::string_view s) noexcept {
    for (std::size_t i = 0; i < s.size();) {
        const auto b = static_cast<unsigned char>(s[i]);
        std::size_t extra;  // the continuation bytes the first announces
        if (b < 0x80) extra = 0;
        else if (b >= 0xC2 && b <= 0xDF) extra = 1;
        else if (b >= 0xE0 && b <= 0xEF) extra = 2;
        else if (b >= 0xF0 && b <= 0xF4) extra = 3;
        else return false;
        if (s.size() - i <= extra) return false;
        std::uint32_t cp = extra == 0 ? b : b & (0x3Fu >> extra);
        for (std::size_t k = 1; k <= extra; ++k) {
            const auto c = static_cast<unsigned char>(s[i + k]);
            if ((c & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (c & 0x3Fu);
        }
        static constexpr std::uint32_t kLeast[] = {0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        i += extra + 1;
    }
    return true;
}

bool IsOneLine(std::string_view s) noexcept { return s.find_first_of("\r\n") == std::string_view::npos; }

bool IsParameterName(std::string_view s) noexcept {
    if (s.empty() || !IsNameStart(s[0])) return false;
    for (char c : s)
        if (!IsNameStart(c) && !(c >= '0' && c <= '9')) return false;
    return true;
}

}  // namespace Efi::detail
