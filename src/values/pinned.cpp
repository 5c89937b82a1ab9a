// The pinned-array table. A pin is a second reference to the host array,
// held from the allocation until unref releases it after the result has been
// read back; the entry's own reference lets lookup find it until the
// allocator that made it ends, which drops both.
#include <efi/host/pinned.h>

#include <stdexcept>

#include "values/chain.h"

thread_local std::vector<PinnedArrayMemory::handle> PinnedArrayMemory::Handles(8);

namespace {

// The highest entry a scan from m_NextHandle may touch.
int LastInUse() noexcept {
    const int last = static_cast<int>(PinnedArrayMemory::Handles.size()) - 1;
    return IqlAllocator::m_NextHandle < last ? IqlAllocator::m_NextHandle : last;
}

}  // namespace

void PinnedArrayMemory::alloc_handles(int h) { Handles.resize(static_cast<std::size_t>(h) + 8); }

void* PinnedArrayMemory::alloc(int h, unsigned bytes) { return Efi::detail::PinnedAlloc(h, bytes, true); }

void PinnedArrayMemory::unref(int h) {
    for (int i = LastInUse(); i > h && i >= 0; --i) Handles[static_cast<std::size_t>(i)].m_handle = nullptr;
}

void Efi::detail::PinnedRelease(int h) noexcept {
    for (int i = LastInUse(); i > h && i >= 0; --i)
        PinnedArrayMemory::Handles[static_cast<std::size_t>(i)] = PinnedArrayMemory::handle{};
}

Qlt::DoubleArray PinnedArrayMemory::lookup(const double* p) {
    for (int i = LastInUse(); i >= 0; --i) {
        const handle& entry = Handles[static_cast<std::size_t>(i)];
        if (entry.m_array && entry.m_array.data() == p) return entry.m_array;
    }
    return nullptr;
}

namespace Efi::detail {

void* PinnedAlloc(int h, unsigned bytes, bool zero) {
    if (h < 0) throw std::out_of_range("pinned array handle below 0");
    if (static_cast<std::size_t>(h) >= PinnedArrayMemory::Handles.size()) PinnedArrayMemory::alloc_handles(h);
    // In 64 bits: bytes + 7 must not wrap for the largest requests.
    const std::size_t n = (static_cast<std::uint64_t>(bytes) + 7) / 8;
    auto array = zero ? Qlt::DoubleArray::make(n) : Qlt::DoubleArray::make_for_overwrite(n);
    PinnedArrayMemory::handle& entry = PinnedArrayMemory::Handles[static_cast<std::size_t>(h)];
    entry.m_array = array;
    entry.m_handle = std::move(array);
    return entry.m_array.data();
}

}  // namespace Efi::detail

void* PinnedArrayMemoryAlloc(int handle, unsigned bytes) { return PinnedArrayMemory::alloc(handle, bytes); }
