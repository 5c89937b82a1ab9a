// Developer diagnostics: reports of internal inconsistencies, written to
// standard error (the debugger-output channel of this platform) when the
// environment variable "KS_DEBUG" asks for them. Nothing here raises, stops
// the program or is shown to the worksheet user.
//
// KS_DEBUG is read once, while the library is loaded, as by "%u": "2" and
// "7abc" give 2 and 7; unset, empty or "abc" give 0.
//   0   nothing is written; assertion reports answer false
//   1   each report is written as formatted
//   2+  each report is preceded by "file(line) : "
#pragma once

#include <cstdarg>
#include <cstdint>
#include <string>

#include <efi/export.h>

/// The line flag asking for a line feed after the report.
inline constexpr std::uint32_t kstracer_newline = 0x80000000u;

/// The source location of one report, built on the spot:
///   kstracer{__FILE__, __LINE__ | kstracer_newline}.trace("x is %d", x);
struct EFI_API kstracer {
    const char* file;    ///< source file of the reporting code
    std::uint32_t line;  ///< bits 0-30 the line; bit 31 appends a line feed

    /// Writes one report in a single write, cut to 4095 characters before
    /// the optional line feed. Does nothing (not even format) at level 0.
    void trace(const char* format, ...) const __attribute__((format(printf, 2, 3)));
    /// As `trace`, with the values in a va_list.
    void vtrace(const char* format, std::va_list args) const __attribute__((format(printf, 2, 0)));
    /// Reports "ks: assertion '<text>' failed." through `trace`; false (and
    /// nothing written) when diagnostics are off.
    bool assertion_failed(const char* text) const;
};

/// The diagnostic level read from KS_DEBUG at load time.
EFI_API std::uint32_t diagnostic_level() noexcept;

/// `format` filled with `args`, cut to at most `cap` characters.
EFI_API std::string format_string(const char* format, std::va_list args, unsigned cap)
    __attribute__((format(printf, 1, 0)));
/// `format` filled with the values after `cap`, cut to at most `cap` characters.
/// Note: with a fixed cap (below) an unsigned first value would be taken as
/// the cap; the format check warns when that happens.
EFI_API std::string format_string(const char* format, unsigned cap, ...) __attribute__((format(printf, 1, 3)));
/// `format` filled with the values, cut to at most 512 characters.
EFI_API std::string format_string(const char* format, ...) __attribute__((format(printf, 1, 2)));
