// Conversion between host values and native records for callers outside
// the call bridge. Matrices go to native code without a copy; result planes
// that are pinned arrays of the current call come back without one.
#pragma once

#include <efi/allocator.h>
#include <efi/export.h>
#include <efi/records.h>
#include <vrnrun/vrnrun.h>

namespace Efi {

/// Host values to records and back.
class EFI_API EfiMarshal {
public:
    /// A new record in `a` for a host number (complex scalar), matrix (array
    /// record pointing into the host's own arrays; nested elements become
    /// dblptr elements in place) or text (string record); null for anything
    /// else. A matrix is changed in place: Data.m_rv/m_iv get the plane
    /// addresses.
    static void* Marshal(IqlAllocator* a, const Vrn::Run::Object& value);
    /// A host number or matrix from a scalar or array record. Releases the
    /// pins of the current allocator's arrays before returning.
    static Vrn::Run::Object UnMarshal(void* record);
};

/// Marshals the nested elements of one host matrix into its array record.
class EFI_API MatrixPtrMarshaller {
public:
    /// Stores both; nested records are taken from `a`.
    MatrixPtrMarshaller(aMatrix* mat, IqlAllocator* a) noexcept : m_mat(mat), m_allocator(a) {}
    /// Marshals `value` and writes its dblptr at (row, col) of the real plane.
    void Func(int row, int col, const Vrn::Run::Object& value);

    aMatrix* m_mat;             ///< the array record being filled
    IqlAllocator* m_allocator;  ///< where nested records go
};

/// A new host array holding n doubles copied from p; null when p is null.
EFI_API Qlt::DoubleArray CopyToHeap(const double* p, unsigned n);
/// The pinned array whose first element is p when there is one in use,
/// else CopyToHeap(p, n).
EFI_API Qlt::DoubleArray UnMarshallVector(double* p, unsigned n);

}  // namespace Efi
