#include "temp_files.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>

#include <stdlib.h>
#include <unistd.h>

namespace Efi::detail {

namespace {

constexpr std::size_t kMaxExtension = 16;

/// The live temporary files, in slots a signal handler can read without a
/// lock: a slot's name is complete whenever its state is kReady. A process
/// with more live files than slots still works; the excess are not removed
/// on a signal.
constexpr int kSlots = 64;
enum SlotState : int { kFree = 0, kFilling = 1, kReady = 2 };
std::atomic<int> g_slotState[kSlots];
char g_slotName[kSlots][kTempNameSize];

void Remember(const char* name) noexcept {
    for (int i = 0; i < kSlots; ++i) {
        int expected = kFree;
        if (!g_slotState[i].compare_exchange_strong(expected, kFilling)) continue;
        std::memcpy(g_slotName[i], name, std::strlen(name) + 1);
        g_slotState[i].store(kReady);
        return;
    }
}

bool IsExtensionCharacter(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '-';
}

}  // namespace

std::string_view ExtensionOfUrl(std::string_view url) noexcept {
    url = url.substr(0, url.find_first_of("?#"));
    const std::size_t authority = url.find("://");
    if (authority == std::string_view::npos) return {};
    const std::size_t pathStart = url.find('/', authority + 3);
    if (pathStart == std::string_view::npos) return {};
    const std::string_view segment = url.substr(url.rfind('/') + 1);
    const std::size_t dot = segment.rfind('.');
    if (dot == std::string_view::npos || dot == 0) return {};
    const std::string_view extension = segment.substr(dot);
    if (extension.size() < 2 || extension.size() > kMaxExtension + 1) return {};
    for (char c : extension.substr(1)) {
        if (!IsExtensionCharacter(c)) return {};
    }
    return extension;
}

std::unique_ptr<char[]> CreateUniqueTempFile(std::string_view extension) {
    const char* dir = std::getenv("TMPDIR");
    // A relative directory is made absolute now: the name must still name
    // this file after the program changes its working directory.
    std::string pattern = std::filesystem::absolute(dir != nullptr && *dir != '\0' ? dir : "/tmp").string();
    if (!EndsWithSeparator(pattern)) pattern += '/';
    pattern += "QLXXXXXX";
    pattern += extension;
    if (pattern.size() >= kTempNameSize) {
        throw std::system_error(ENAMETOOLONG, std::generic_category(), "temporary directory name too long");
    }
    auto name = std::make_unique<char[]>(kTempNameSize);
    std::memcpy(name.get(), pattern.c_str(), pattern.size() + 1);
    int fd = ::mkstemps(name.get(), static_cast<int>(extension.size()));
    if (fd < 0) throw std::system_error(errno, std::generic_category(), "cannot create a temporary file");
    ::close(fd);
    Remember(name.get());
    return name;
}

void ForgetTempFile(const char* name) noexcept {
    for (int i = 0; i < kSlots; ++i) {
        if (g_slotState[i].load() == kReady && std::strcmp(g_slotName[i], name) == 0) {
            g_slotState[i].store(kFree);
            return;
        }
    }
}

void DeleteLiveTempFiles() noexcept {
    for (int i = 0; i < kSlots; ++i) {
        if (g_slotState[i].load() == kReady) ::unlink(g_slotName[i]);
    }
}

}  // namespace Efi::detail
