// Where the call-scoped allocator takes its heap blocks from. The shipped
// library takes them straight from std::malloc. The test build of the
// library (efi_testing, compiled with EFI_TESTING) goes through a hook that
// tests swap to drive the failure paths; blocks are returned with std::free,
// so a replacement must hand out malloc memory (or null to simulate
// exhaustion).
#pragma once

#include <cstddef>
#include <cstdlib>

#include <efi/export.h>

namespace Efi::detail {

#ifdef EFI_TESTING
using BlockAllocFn = void* (*)(std::size_t bytes);

/// The allocation hook; std::malloc unless a test replaced it.
EFI_API extern BlockAllocFn g_block_alloc;

inline void* AllocBlock(std::size_t bytes) { return g_block_alloc(bytes); }
#else
inline void* AllocBlock(std::size_t bytes) { return std::malloc(bytes); }
#endif

}  // namespace Efi::detail
