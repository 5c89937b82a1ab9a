// Complex-array records for native arguments and results, in call memory.
#include <efi/call.h>
#include <efi/errors.h>

#include "bridge/complex_array.h"
#include "values/chain.h"

namespace {

// One part: a column-pointer array and one contiguous column-ordered block.
// With no columns the part is an empty pointer array (nothing to point at).
// Every pointer is written here, so that array is never cleared first; the
// block is cleared unless the caller fills all of it.
double** AllocatePart(IqlAllocator& a, std::uint32_t rows, std::uint32_t cols, unsigned elementBytes,
                      bool callerFills) {
    const unsigned pointerBytes = Efi::detail::PlaneBytes(cols, 1);  // a pointer is 8 bytes here
    auto** columns = static_cast<double**>(Efi::detail::AllocateArrayForOverwrite(a, pointerBytes));
    if (columns == nullptr || cols == 0) return columns;
    auto* block = static_cast<double*>(callerFills ? Efi::detail::AllocateArrayForOverwrite(a, elementBytes)
                                                   : a.allocate_array(elementBytes));
    for (std::uint32_t c = 0; c < cols; ++c) columns[c] = block + static_cast<std::size_t>(c) * rows;
    return columns;
}

}  // namespace

namespace Efi::detail {

static_assert(sizeof(double*) == 8, "column-pointer arrays are sized as planes of 8-byte entries");

bool AllocateComplexArray(User::ComplexArray* m, std::uint32_t rows, std::uint32_t cols, int allocateReal,
                          int allocateImag, bool callerFills) {
    if (m == nullptr) return false;
    IqlAllocator* a = IqlAllocator::m_current;
    if (a == nullptr) return false;
    // Checked before anything is taken or written: a size that does not fit
    // the allocator's 32-bit counts raises "out of memory" (never wraps).
    const unsigned elementBytes = (allocateReal || allocateImag) ? Efi::detail::PlaneBytes(rows, cols) : 0;
    if (allocateReal) {
        m->realCols = AllocatePart(*a, rows, cols, elementBytes, callerFills);
        if (m->realCols == nullptr) return false;
    } else {
        m->realCols = nullptr;
    }
    m->imagCols = allocateImag ? AllocatePart(*a, rows, cols, elementBytes, callerFills) : nullptr;
    if (m->realCols == nullptr && m->imagCols == nullptr) {
        m->rows = 0;
        m->cols = 0;
    } else {
        m->rows = rows;
        m->cols = cols;
    }
    return true;
}

}  // namespace Efi::detail

namespace Efi::User {

bool QuilletArrayAllocate(ComplexArray* m, std::uint32_t rows, std::uint32_t cols, int allocateReal, int allocateImag) {
    return detail::AllocateComplexArray(m, rows, cols, allocateReal, allocateImag, false);
}

}  // namespace Efi::User
