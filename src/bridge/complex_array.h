// Complex-array records in call memory, for the bridge's own use.
#pragma once

#include <cstdint>

#include <efi/call.h>

namespace Efi::detail {

/// QuilletArrayAllocate with a choice: when `callerFills` is set the element
/// blocks are not cleared, and the caller must write every element of every
/// part it asked for before native code sees the record.
bool AllocateComplexArray(User::ComplexArray* m, std::uint32_t rows, std::uint32_t cols, int allocateReal,
                          int allocateImag, bool callerFills);

}  // namespace Efi::detail
