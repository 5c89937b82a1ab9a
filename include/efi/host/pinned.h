// Each thread's table of pinned host arrays: element blocks above 1024
// bytes live in host arrays so that a result can become a host matrix
// without a copy. Host arrays never move, so a pin is a second reference
// that keeps the array alive while the call that made it needs it.
#pragma once

#include <cstdint>
#include <vector>

#include <efi/allocator.h>
#include <efi/export.h>
#include <vrnrun/vrnrun.h>

/// Only static state: entries are indexed by the handle numbers the
/// allocators issue (IqlAllocator::m_NextHandle is the highest in use).
class EFI_API PinnedArrayMemory {
public:
    /// One table entry.
    struct handle {
        Qlt::DoubleArray m_array;   ///< the array given to this entry, or null once
                                    ///< the allocator that made it has ended
        Qlt::DoubleArray m_handle;  ///< the pin: the same array while pinned, else null
    };

    /// The calling thread's table (handle numbers are its allocators');
    /// starts with 8 entries on every thread and only ever grows.
    static thread_local std::vector<handle> Handles;

    /// A new pinned, zero-filled host array of ceil(bytes / 8) doubles under
    /// handle h (growing the table when h is beyond it); the address of its
    /// first element. Unpins whatever the entry held before.
    static void* alloc(int h, unsigned bytes);
    /// Grows the table to h + 8 entries, keeping the existing ones.
    static void alloc_handles(int h);
    /// Unpins every entry above h, from the highest handle in use down. The
    /// arrays stay in their entries until their allocator ends.
    static void unref(int h);
    /// The in-use array (newest first, outer allocators' too) whose first
    /// element is at p, or null.
    static Qlt::DoubleArray lookup(const double* p);
};
