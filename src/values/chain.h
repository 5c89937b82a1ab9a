// Blocks on an allocator's chain, and the table of nested-record addresses
// that lives with the allocators.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include <efi/allocator.h>

namespace Efi::detail {

/// A block of `payload` bytes (rounded up to 8) pushed on a's chain with
/// `size` in its link; zero-filled when asked. Throws std::bad_alloc when
/// the heap refuses, leaving the chain as it was.
void* ChainBlock(IqlAllocator& a, std::size_t payload, std::uint32_t size, bool zero);

/// A pinned host array of ceil(bytes / 8) doubles under handle h, as
/// PinnedArrayMemory::alloc gives, zero-filled only when `zero` is set.
void* PinnedAlloc(int h, unsigned bytes, bool zero);

/// Drops the pinned-array table's references (pin and array) of every
/// handle in use above h: the arrays of an allocator that ends. Where the
/// host still uses one (a result handed over) it holds its own reference.
void PinnedRelease(int h) noexcept;

/// An array block of at least n bytes from a, as allocate_array gives but
/// with its contents left unspecified: only for a caller that writes all n
/// bytes (n a multiple of 8) before native code or the host can see them.
void* AllocateArrayForOverwrite(IqlAllocator& a, unsigned n);

/// Bytes of a rows x cols plane of doubles; raises "out of memory" when the
/// count does not fit the 32-bit sizes of the allocator (negative counts
/// count as 0).
unsigned PlaneBytes(std::int64_t rows, std::int64_t cols);

/// Raises "invalid matrix size" for a record that stores fewer rows per
/// column than it has (a leading dimension below m_rows, or not positive
/// while there are rows): reading it by its own counts would leave its planes.
void CheckLeadingDimension(const array_val& record);

/// One entry of the nested-record table: the record and the allocator it
/// lives as long as (the one given to dblptr::make). A freed entry has a
/// null record.
struct NestedEntry {
    sAnyval* record;
    const IqlAllocator* owner;
};

/// The nested-record table of this thread: entry i is the record of
/// handle i + 1.
extern constinit thread_local std::vector<NestedEntry> t_nested_records;
/// Its size, kept beside it: every allocator reads it when made and ended,
/// and a thread-local of a type with a destructor costs a call to reach
/// (its first use registers the destructor); this one costs a load.
extern constinit thread_local std::uint32_t t_nested_size [[gnu::tls_model("initial-exec")]];

/// Current size of the nested-record table.
inline std::uint32_t NestedTableSize() noexcept { return t_nested_size; }

/// True when `a`, the current allocator, is as its construction left it:
/// nothing placed, no block on its chain, no handle taken, no nested record
/// added. Destroying it and making another in its place would then change
/// nothing, which lets a sweep keep one context for elements that take no
/// call memory. Inline: a sweep asks between every two elements.
inline bool AllocatorUntouched(const IqlAllocator& a) noexcept {
    return IqlAllocator::m_current == &a && a.m_blocks == nullptr && a.m_top == a.m_buf + sizeof a.m_buf &&
           IqlAllocator::m_NextHandle == IqlAllocator::m_init_handle && NestedTableSize() == a.m_prev_nested;
}

/// Frees the entries that `owner` took, from index `from` on (the table's
/// size when owner was made: all of its entries lie above), then drops the
/// free entries at the end, never below `from`. Entries of outer allocators
/// made while owner was current stay, under the same handles.
void ReleaseNestedEntries(const IqlAllocator* owner, std::uint32_t from) noexcept;
inline void NestedTableRelease(const IqlAllocator* owner, std::uint32_t from) noexcept {
    if (t_nested_size > from) ReleaseNestedEntries(owner, from);
}

}  // namespace Efi::detail
