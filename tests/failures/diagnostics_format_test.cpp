#include <cstdarg>
#include <string>

#include <efi/diagnostics.h>

#include <gtest/gtest.h>

namespace {

std::string ThroughVaList(unsigned cap, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = format_string(format, args, cap);
    va_end(args);
    return s;
}

TEST(FormatString, CutsAtTheCapNeverRejects) {
    EXPECT_EQ(format_string("%s-%d", 10u, "ab", 7), "ab-7");
    EXPECT_EQ(format_string("%s", 3u, "abcdef"), "abc");
    EXPECT_EQ(format_string("%s", 6u, "abcdef"), "abcdef");
    EXPECT_EQ(format_string("%s", 0u, "abcdef"), "");
    EXPECT_EQ(ThroughVaList(4, "%d%d", 123, 456), "1234");
    EXPECT_EQ(format_string("%s", 0xFFFFFFFFu, "no room is reserved for the cap"), "no room is reserved for the cap");
}

TEST(FormatString, FixedCapIs512) {
    const std::string long_text(1000, 'q');
    EXPECT_EQ(format_string("<%s>", long_text.c_str()), "<" + std::string(511, 'q'));
    EXPECT_EQ(format_string("<%s>", "short"), "<short>");
}

}  // namespace
