// Where the call-scoped allocator takes its heap blocks from. Blocks are
// returned with std::free, so a replacement must hand out malloc memory (or
// null to simulate exhaustion). Tests swap it to drive the failure paths.
#pragma once

#include <cstddef>

#include <efi/export.h>

namespace Efi::detail {

using BlockAllocFn = void* (*)(std::size_t bytes);

/// The allocation hook; std::malloc unless a test replaced it.
EFI_API extern BlockAllocFn g_block_alloc;

}  // namespace Efi::detail
