// The host's message library: the table of message texts the host can show
// in its own language. This stand-in knows exactly the texts that efi can
// raise, generated from the same lists the library raises from.
#include <cstring>
#include <iterator>

namespace {

constexpr const char* kMessages[] = {
#define EFI_STANDARD_ERROR(code, name, text) text,
#include "standard_errors.def"
#undef EFI_STANDARD_ERROR
#define EFI_LIBRARY_MESSAGE(text) text,
#include "library_messages.def"
#undef EFI_LIBRARY_MESSAGE
};

}  // namespace

/// Whether `message` is in the table (exact text). A null message is not.
extern "C" __attribute__((visibility("default"))) bool InTable(const char* message) {
    if (!message) return false;
    for (const char* known : kMessages)
        if (std::strcmp(known, message) == 0) return true;
    return false;
}

static_assert(sizeof(bool) == 1, "InTable answers with a one-byte boolean");
