// Export and platform switches of the native API, in one place.
#pragma once

/// Marks a declaration as part of the exported native API. The library is
/// built with hidden visibility, so whatever lacks this mark stays private.
#if defined(__GNUC__) || defined(__clang__)
#define EFI_API __attribute__((visibility("default")))
#else
#define EFI_API
#endif

/// Marks a function that never returns to its caller.
#define EFI_NORETURN [[noreturn]]
