// Developer diagnostics: the level from KS_DEBUG, capped formatting, and the
// single write per report.
#include <efi/diagnostics.h>

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

constexpr std::size_t kReportRoom = 4095;
constexpr unsigned kFixedCap = 512;

std::uint32_t ReadLevel() noexcept {
    const char* value = std::getenv("KS_DEBUG");
    unsigned level = 0;
    if (!value || std::sscanf(value, "%u", &level) != 1) return 0;
    return level;
}

// Read among the static initialisers, before any report can be made.
const std::uint32_t g_level = ReadLevel();

// Standard error, in one write, so that reports of several threads never
// interleave within a line. The result is not looked at: a report that
// cannot be written is dropped.
void WriteReport(const std::string& text) noexcept {
    ssize_t written;
    do {
        written = ::write(STDERR_FILENO, text.data(), text.size());
    } while (written < 0 && errno == EINTR);
}

// Measures first, so the buffer is as long as the kept text and a large cap
// costs nothing. A formatting failure (negative count) keeps nothing.
std::string FormatCapped(const char* format, std::va_list args, std::size_t cap) {
    std::va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed <= 0) return {};
    std::string text(std::min(static_cast<std::size_t>(needed), cap), '\0');
    std::va_list fill;
    va_copy(fill, args);
    std::vsnprintf(text.data(), text.size() + 1, format, fill);
    va_end(fill);
    return text;
}

std::string FormatCappedValues(std::size_t cap, const char* format, ...) __attribute__((format(printf, 2, 3)));
std::string FormatCappedValues(std::size_t cap, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::string text = FormatCapped(format, args, cap);
    va_end(args);
    return text;
}

}  // namespace

std::uint32_t diagnostic_level() noexcept { return g_level; }

std::string format_string(const char* format, std::va_list args, unsigned cap) {
    return FormatCapped(format, args, cap);
}

std::string format_string(const char* format, unsigned cap, ...) {
    std::va_list args;
    va_start(args, cap);
    std::string text = FormatCapped(format, args, cap);
    va_end(args);
    return text;
}

std::string format_string(const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    std::string text = FormatCapped(format, args, kFixedCap);
    va_end(args);
    return text;
}

void kstracer::trace(const char* format, ...) const {
    std::va_list args;
    va_start(args, format);
    vtrace(format, args);
    va_end(args);
}

void kstracer::vtrace(const char* format, std::va_list args) const {
    if (g_level == 0) return;
    std::string out;
    out.reserve(kReportRoom + 1);
    if (g_level != 1)
        out += FormatCappedValues(kReportRoom, "%s(%u) : ", file ? file : "(null)", line & ~kstracer_newline);
    out += FormatCapped(format, args, kReportRoom - out.size());
    if (line & kstracer_newline) out += '\n';
    WriteReport(out);
}

bool kstracer::assertion_failed(const char* text) const {
    if (g_level == 0) return false;
    trace("ks: assertion '%s' failed.", text ? text : "(null)");
    return true;
}
