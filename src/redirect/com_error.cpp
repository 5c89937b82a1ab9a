#include <cstdio>

#include <efi/redirector.h>

namespace {

/// A text for a code that came without a description.
std::string DescribeCode(std::int32_t hr) {
    switch (hr) {
        case _com_error::kFail: return "unspecified error";
        case _com_error::kPointer: return "invalid pointer";
        case _com_error::kNoInterface: return "no such interface supported";
        default: break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "error 0x%08X", static_cast<unsigned>(hr));
    return text;
}

}  // namespace

_com_error::_com_error(std::int32_t hr, std::string description)
    : m_hr(hr),
      m_description(std::move(description)),
      m_message(m_description.empty() ? DescribeCode(hr) : m_description) {}
