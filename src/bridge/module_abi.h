// Modules built against headers older than this library's: what they may
// no longer do.
#pragma once

#include <optional>
#include <string>

namespace Efi::detail {

/// The first variable the module loaded as `handle` (by dlopen) reads in a
/// way this library no longer defines, by its C++ name, or nothing. Since
/// 0.2 the call allocator's statics (IqlAllocator::m_current, m_NextHandle,
/// m_init_handle) and the pinned-array table are each thread's own; a
/// module compiled when they were the process's reads them as plain
/// variables, which the dynamic linker binds without complaint to the wrong
/// address. Read from the module's own file, its dynamic symbol table.
std::optional<std::string> OutdatedReference(void* handle);

/// Why a module with such a reference is refused, after "module "...": ".
std::string OutdatedModuleText(const std::string& variable);

}  // namespace Efi::detail
