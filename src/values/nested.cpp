// The nested-record table, one per thread: a nested element of a real plane holds a 32-bit
// handle (1 + index here), since a 64-bit address does not fit beside the
// marker word. An entry lives exactly as long as the allocator the record
// was made in, which need not be the current one: a matrix marshalled into
// an outer allocator while an inner call runs keeps its elements after the
// inner call ends.
#include <vector>

#include <efi/allocator.h>
#include <efi/errors.h>
#include <efi/records.h>

#include "values/chain.h"

namespace Efi::detail {

constinit thread_local std::vector<NestedEntry> t_nested_records;
constinit thread_local std::uint32_t t_nested_size = 0;

void ReleaseNestedEntries(const IqlAllocator* owner, std::uint32_t from) noexcept {
    auto& table = t_nested_records;
    for (std::size_t i = table.size(); i > from; --i)
        if (table[i - 1].owner == owner) table[i - 1] = NestedEntry{nullptr, nullptr};
    // Free entries at the end are handed out again; one below an outer
    // allocator's live entry waits until that allocator ends.
    std::size_t size = table.size();
    while (size > from && table[size - 1].record == nullptr) --size;
    table.resize(size);
    t_nested_size = static_cast<std::uint32_t>(size);
}

}  // namespace Efi::detail

dblptr dblptr::make(IqlAllocator* a, sAnyval* record) {
    if (record == nullptr) return dblptr{0, kMarker};
    auto& table = Efi::detail::t_nested_records;
    if (table.size() >= 0xFFFFFFFEu) Efi::Throw("out of memory", Efi::kNoArgument);
    table.push_back(Efi::detail::NestedEntry{record, a != nullptr ? a : IqlAllocator::m_current});
    Efi::detail::t_nested_size = static_cast<std::uint32_t>(table.size());
    return dblptr{Efi::detail::t_nested_size, kMarker};
}

sAnyval* dblptr::get() const noexcept {
    const auto& table = Efi::detail::t_nested_records;
    if (ptr == 0 || ptr > table.size()) return nullptr;
    return table[ptr - 1].record;
}
