// Reading text whole against a compiled pattern.
//
// The rule is: take the engine's first match (leftmost start, then the first
// successful backtracking path there) and accept it only when it is the whole
// text; no match at all counts as a match of the empty text. A first match
// that starts after the first character can never be the whole of a non-empty
// text, and the path tried at the first character does not depend on whether
// later starts are allowed. So the patterns are compiled anchored at the
// start: the answers are the same, and a rejected text no longer costs a scan
// from every position (quadratic on a long run of digits). The end is never
// anchored: that would make the engine backtrack into a different, longer
// match than the first one.
#include "pattern.h"

#include <cstdio>
#include <cstdlib>

namespace Efi::detail {

namespace {

// Far above what any accepted spelling needs at any length (each pattern is a
// straight sequence of repeats), low enough that a hostile text cannot hang a
// call.
constexpr std::uint32_t kMatchLimit = 10'000'000;
constexpr std::uint32_t kDepthLimit = 10'000'000;
constexpr std::uint32_t kHeapLimitKiB = 64 * 1024;

// Capture slots for the largest pattern (9 groups) plus the whole match.
constexpr std::uint32_t kOvectorPairs = 16;

pcre2_match_context* SharedMatchContext() {
    static pcre2_match_context* const context = [] {
        pcre2_match_context* c = pcre2_match_context_create(nullptr);
        if (!c) std::abort();
        pcre2_set_match_limit(c, kMatchLimit);
        pcre2_set_depth_limit(c, kDepthLimit);
        pcre2_set_heap_limit(c, kHeapLimitKiB);
        return c;
    }();
    return context;
}

// Match data is written by every match, so each thread has its own, made on
// the thread's first match and freed when the thread ends.
[[gnu::noinline]] pcre2_match_data* MakeThreadMatchData() {
    struct Holder {
        pcre2_match_data* data = pcre2_match_data_create(kOvectorPairs, nullptr);
        ~Holder() { pcre2_match_data_free(data); }
    };
    thread_local Holder holder;
    if (!holder.data) std::abort();
    return holder.data;
}

pcre2_match_data* ThreadMatchData() {
    // A plain pointer needs no per-access initialisation check.
    thread_local pcre2_match_data* data = nullptr;
    if (!data) [[unlikely]]
        data = MakeThreadMatchData();
    return data;
}

}  // namespace

Pattern::Pattern(const char* source, std::initializer_list<const char*> group_names) {
    int error = 0;
    PCRE2_SIZE offset = 0;
    m_code = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(source), PCRE2_ZERO_TERMINATED, PCRE2_ANCHORED, &error, &offset,
                           nullptr);
    if (!m_code) {
        std::fprintf(stderr, "efi: pattern does not compile at %zu: %s\n", static_cast<std::size_t>(offset), source);
        std::abort();
    }
    if (group_names.size() > kMaxGroups) std::abort();
    for (const char* name : group_names) {
        int number = pcre2_substring_number_from_name(m_code, reinterpret_cast<PCRE2_SPTR>(name));
        if (number <= 0 || static_cast<std::uint32_t>(number) >= kOvectorPairs) std::abort();
        m_numbers[m_group_count++] = static_cast<std::uint32_t>(number);
    }
    // Without JIT support (or when it fails) pcre2_match falls back to the
    // interpreter, which reads the same patterns, only slower.
    m_jit = pcre2_jit_compile(m_code, PCRE2_JIT_COMPLETE) == 0;
}

Pattern::~Pattern() { pcre2_code_free(m_code); }

bool Pattern::ReadWhole(std::string_view text, Group* groups) const {
    pcre2_match_data* data = ThreadMatchData();
    const auto subject = reinterpret_cast<PCRE2_SPTR>(text.data());
    // The compiled matcher's own entry skips the checks that pcre2_match makes
    // on every call; the patterns and options are fixed, so they always pass.
    int rc = m_jit ? pcre2_jit_match(m_code, subject, text.size(), 0, 0, data, SharedMatchContext())
                   : pcre2_match(m_code, subject, text.size(), 0, 0, data, SharedMatchContext());
    if (rc == PCRE2_ERROR_JIT_STACKLIMIT) {
        // The compiled matcher keeps its backtracking on a small fixed stack;
        // the interpreter keeps it on the heap, within the limits above.
        rc = pcre2_match(m_code, subject, text.size(), 0, PCRE2_NO_JIT, data, SharedMatchContext());
    }
    if (rc == PCRE2_ERROR_NOMATCH && text.empty()) {
        // No match at all is a match of the empty text, with every group absent.
        for (int i = 0; i < m_group_count; ++i) groups[i] = Group{};
        return true;
    }
    // No match, or a limit hit (a limit counts as no match).
    if (rc < 0) return false;
    const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(data);
    const char* base = text.data() ? text.data() : "";
    if (ov[0] != 0 || ov[1] != text.size()) return false;
    const auto pairs = static_cast<std::uint32_t>(rc);  // captures set: 1 + highest group that took part
    for (int i = 0; i < m_group_count; ++i) {
        const std::uint32_t n = m_numbers[i];
        if (n < pairs && ov[2 * n] != PCRE2_UNSET) {
            groups[i] = Group{base + ov[2 * n], ov[2 * n + 1] - ov[2 * n]};
        } else {
            groups[i] = Group{};
        }
    }
    return true;
}

}  // namespace Efi::detail
