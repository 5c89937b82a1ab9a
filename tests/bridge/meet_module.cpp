// A module built twice, as two modules (EFI_MEET names the one function of
// each), whose calls show that two isolated modules' calls run at once: a
// call leaves its mark and waits for the other module's call to leave its.
#include <efi/module.h>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>

#define EFI_MEET_TEXT_(name) #name
#define EFI_MEET_TEXT(name) EFI_MEET_TEXT_(name)

namespace {

struct Number {
    double real, imag;
};

std::string Mark(double id) {
    const char* dir = std::getenv("EFI_MEET_DIR");
    return std::string(dir ? dir : ".") + "/" + std::to_string(static_cast<int>(id));
}

}  // namespace

/// meet(mine, theirs): makes the file named `mine` in $EFI_MEET_DIR and
/// waits ten seconds at most for the one named `theirs`: 1 when it came,
/// else 0.
extern "C" std::uint32_t EFI_MEET(Number* r, const Number* mine, const Number* theirs) {
    const int fd = ::open(Mark(mine->real).c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
    const std::string other = Mark(theirs->real);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool came = false;
    while (!(came = ::access(other.c_str(), F_OK) == 0) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    r->real = came ? 1.0 : 0.0;
    return 0;
}

namespace {
const std::int32_t kTwo[] = {1, 1};
const efi_function_entry kFunctions[] = {
    {EFI_MEET_TEXT(EFI_MEET), reinterpret_cast<efi_entry_fn>(&EFI_MEET), 1, 2, kTwo, 0, nullptr},
};
}  // namespace

EFI_MODULE_TABLE(kFunctions);
