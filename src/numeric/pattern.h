// Compiled text patterns with first-match-must-cover-the-text reading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

#define PCRE2_CODE_UNIT_WIDTH 8
#include <pcre2.h>

namespace Efi::detail {

/// One captured group: absent (did not take part) or the text it matched,
/// which may be empty.
struct Group {
    const char* data = nullptr;  // null when absent
    std::size_t size = 0;

    bool present() const noexcept { return data != nullptr; }
    std::string_view text() const noexcept { return {data, size}; }
};

/// A pattern compiled once and shared read-only by all threads. Matching
/// state lives in per-thread match data, so concurrent reads need no lock.
class Pattern {
public:
    /// Up to this many named groups can be asked for per pattern.
    static constexpr int kMaxGroups = 8;

    /// Compiles `source` (PCRE2 syntax, ASCII semantics) and resolves the
    /// given group names to numbers. Aborts on a malformed pattern: the
    /// patterns are fixed program text, so that is a build fault.
    Pattern(const char* source, std::initializer_list<const char*> group_names);
    ~Pattern();
    Pattern(const Pattern&) = delete;
    Pattern& operator=(const Pattern&) = delete;

    /// Reads `text` whole. The first match at the start of the text is taken
    /// (backtracking, greedy, alternatives in order); true only when it ends
    /// at the end of the text. The groups of an accepted match are written to
    /// `groups`, in the order the names were given. A match that exceeds the
    /// step limits counts as no match.
    bool ReadWhole(std::string_view text, Group* groups) const;

private:
    pcre2_code* m_code = nullptr;
    int m_group_count = 0;
    std::uint32_t m_numbers[kMaxGroups] = {};
    bool m_jit = false;
};

}  // namespace Efi::detail
