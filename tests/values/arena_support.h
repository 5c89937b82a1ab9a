// Helpers for driving the call-scoped allocator in tests.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <vector>

#include <efi/allocator.h>

#include "values/alloc_hook.h"

namespace efitest {

/// Replaces the allocator's heap hook for one scope.
class BlockAllocHook {
public:
    explicit BlockAllocHook(Efi::detail::BlockAllocFn fn) : m_saved(Efi::detail::g_block_alloc) {
        Efi::detail::g_block_alloc = fn;
    }
    ~BlockAllocHook() { Efi::detail::g_block_alloc = m_saved; }
    BlockAllocHook(const BlockAllocHook&) = delete;
    BlockAllocHook& operator=(const BlockAllocHook&) = delete;

private:
    Efi::detail::BlockAllocFn m_saved;
};

/// A heap that has run dry.
inline void* NoMemory(std::size_t) { return nullptr; }

/// The sizes of the blocks taken while RecordingMalloc is the hook.
inline std::vector<std::size_t>& RecordedSizes() {
    static std::vector<std::size_t> sizes;
    return sizes;
}
inline void* RecordingMalloc(std::size_t n) {
    RecordedSizes().push_back(n);
    return std::malloc(n);
}

/// Number of blocks on a's chain.
inline int ChainLength(const IqlAllocator& a) {
    int n = 0;
    for (const IqlAllocator::link* l = a.m_blocks; l != nullptr; l = l->next) ++n;
    return n;
}

}  // namespace efitest
