// Defs the typed layer refuses at compile time, one per REFUSE_* case
// (tests/bind/CMakeLists.txt compiles each and expects its message); with
// no case defined the file compiles, so a case fails for its own reason.
#include <efi/bind.h>

#include <cstdint>
#include <string>

namespace {
[[maybe_unused]] double two(double a, double b) { return a + b; }
[[maybe_unused]] double by_pointer(const double* x) { return *x; }
[[maybe_unused]] bool flag(double x) { return x > 0; }
}  // namespace

#if defined(REFUSE_COUNT)
EFI_BIND_MODULE(efi::def<&two>("two", {"a"}, nullptr));
#elif defined(REFUSE_PARAMETER_TYPE)
EFI_BIND_MODULE(efi::def<&by_pointer>("by_pointer", {"x"}, nullptr));
#elif defined(REFUSE_RESULT_TYPE)
EFI_BIND_MODULE(efi::def<&flag>("flag", {"x"}, nullptr));
#elif defined(REFUSE_PARAMETER_NAME)
EFI_BIND_MODULE(efi::def<&two>("two", {"a", "2b"}, nullptr));
#elif defined(REFUSE_NAMED_TWICE)
EFI_BIND_MODULE(efi::def<&two>("two", {"a", "a"}, nullptr));
#elif defined(REFUSE_FUNCTION_NAME)
EFI_BIND_MODULE(efi::def<&two>("two words", {"a", "b"}, nullptr));
#elif defined(REFUSE_SUMMARY)
EFI_BIND_MODULE(efi::def<&two>("two", {"a", "b"}, "two\nlines"));
#else
EFI_BIND_MODULE(efi::def<&two>("two", {"a", "b"}, "a + b", efi::help("Sum."), efi::masked | efi::thread_safe));
#endif
