// Whether the address sanitizer instruments this build, and its manual
// poisoning interface when it does: call memory and abandoned native frames
// are marked by hand, as the sanitizer cannot see either go.
#pragma once

#if defined(__SANITIZE_ADDRESS__)
#define EFI_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define EFI_ASAN 1
#endif
#endif
#ifdef EFI_ASAN
#include <sanitizer/asan_interface.h>
#endif
