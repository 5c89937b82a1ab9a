// The road by which failures reach the worksheet user.
#include <efi/errors.h>
#include <efi/host/error_text.h>
#include <efi/se_exception.h>
#include <efi/standard_errors.h>
#include <vrnrun/vrnrun.h>

#include <dlfcn.h>

#include <atomic>
#include <iterator>
#include <string>
#include <string_view>

#include <efi/diagnostics.h>

#include "text.h"

namespace Efi {

namespace {

// The standard texts as host text, made when the library is compiled: a
// raise by code hands one straight to the host with nothing to decode.
constexpr std::u16string_view kStandardErrors[] = {
#define EFI_STANDARD_ERROR(code, name, text) u"" text,
#include "standard_errors.def"
#undef EFI_STANDARD_ERROR
};
static_assert(std::size(kStandardErrors) == kStandardErrorCount);

// Decoding plain ASCII gives the same characters in every locale, so a
// standard text reads the same as it would through the narrow road.
constexpr bool AllAscii() {
    for (std::u16string_view text : kStandardErrors)
        for (char16_t c : text)
            if (c > 0x7F) return false;
    return true;
}
static_assert(AllAscii(), "standard texts must be ASCII");

constexpr std::uint32_t kUnknownError = StandardError::UnknownError;

}  // namespace

void Throw(const char* message, std::uint32_t argument) {
    if (!message) Throw(kUnknownError, argument);
    Vrn::Run::AppException::Raise(detail::DecodeNarrow(message), argument);
}

void Throw(std::uint32_t code, std::uint32_t argument) {
    // The table is the whole vocabulary: an unlisted code is an unknown error,
    // never a read past the table.
    Vrn::Run::AppException::Raise(kStandardErrors[code < kStandardErrorCount ? code : kUnknownError], argument);
}

std::string ErrorText(std::string_view message, std::uint32_t argument) {
    std::string text(message);
    if (argument != kNoArgument) text += " (argument " + std::to_string(argument) + ")";
    return text;
}

std::string ErrorText(const Vrn::Run::AppException& error) { return ErrorText(error.what(), error.Argument()); }

std::string ThrownText(std::exception_ptr thrown) {
    if (!thrown) return "unknown error";
    try {
        std::rethrow_exception(thrown);
    } catch (const SE_Exception& e) {
        return SE_Exception::ExceptionStringFromCode(e.GetCode());
    } catch (const std::exception& e) {
        return e.what();
    } catch (...) {
        return "unknown error";
    }
}

// ---- The host's message table ---------------------------------------------

namespace {

using InTableEntry = bool (*)(const char*);

// The InTable entry once found. No lock: two threads that look it up
// together load the same library and store the same entry. Atomic only so
// that the race is well defined; relaxed order suffices, since the entry is
// the same whoever stores it.
std::atomic<InTableEntry> g_in_table{nullptr};

// Loads the message library while the entry is unknown. A library that
// cannot be loaded is tried again next time; one that loads but lacks the
// entry is loaded again per call (the loader only counts the extra
// reference). The library is never unloaded: the entry must stay valid.
InTableEntry FindInTable() {
    InTableEntry entry = g_in_table.load(std::memory_order_relaxed);
    if (!entry) {
        void* library = ::dlopen("libnewmsg.so", RTLD_NOW);
        if (!library) return nullptr;
        entry = reinterpret_cast<InTableEntry>(::dlsym(library, "InTable"));
        g_in_table.store(entry, std::memory_order_relaxed);
    }
    return entry;
}

}  // namespace

bool IsValidError(const char* message) {
    if (!message) return false;
    InTableEntry in_table = FindInTable();
    return in_table && in_table(message);
}

void AssertValidError(const char* message) {
    if (IsValidError(message)) return;
    if (diagnostic_level() == 0) return;  // the report would not be written
    const std::string text =
        format_string("The error message: \"%s\" doesn't exist in the message table!  It might not be localized.",
                      message ? message : "(null)");
    kstracer{__FILE__, __LINE__ | kstracer_newline}.assertion_failed(text.c_str());
}

}  // namespace Efi
