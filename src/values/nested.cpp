// The nested-record table: a nested element of a real plane holds a 32-bit
// handle (1 + index here), since a 64-bit address does not fit beside the
// marker word. Entries go with the allocator that was current when they were
// added: each allocator truncates the table back to its size at creation.
#include <vector>

#include <efi/allocator.h>
#include <efi/errors.h>
#include <efi/records.h>

#include "values/chain.h"

namespace Efi::detail {

std::vector<sAnyval*> g_nested_records;

}  // namespace Efi::detail

dblptr dblptr::make(IqlAllocator* /*a: the current allocator, owner of the entry*/, sAnyval* record) {
    if (record == nullptr) return dblptr{0, kMarker};
    auto& table = Efi::detail::g_nested_records;
    if (table.size() >= 0xFFFFFFFEu) Efi::Throw("out of memory", Efi::kNoArgument);
    table.push_back(record);
    return dblptr{static_cast<std::uint32_t>(table.size()), kMarker};
}

sAnyval* dblptr::get() const noexcept {
    const auto& table = Efi::detail::g_nested_records;
    if (ptr == 0 || ptr > table.size()) return nullptr;
    return table[ptr - 1];
}
