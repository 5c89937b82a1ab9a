#pragma once

/// Marks the host runtime's exported surface (the library is built hidden).
#if defined(__GNUC__) || defined(__clang__)
#define VRN_API __attribute__((visibility("default")))
#else
#define VRN_API
#endif
