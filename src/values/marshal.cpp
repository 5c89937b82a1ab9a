// Host values to native records and back.
#include <efi/host/marshal.h>
#include <efi/host/pinned.h>

#include <climits>
#include <cstdint>
#include <cstring>
#include <new>

#include <efi/errors.h>

#include "values/chain.h"

namespace Efi {

namespace {

double* PlaneStart(const Qlt::DoubleArray& arr, int offset) { return arr ? arr.data() + offset : nullptr; }

// Pins of the current allocator go when its result has been handed over:
// after this, native pointers into them must not be used.
void ReleaseCurrentPins() {
    if (IqlAllocator::m_init_handle != IqlAllocator::m_NextHandle)
        PinnedArrayMemory::unref(IqlAllocator::m_init_handle);
}

Vrn::Run::Object ArrayToHost(const array_val& rec) {
    const int rows = rec.m_rows, cols = rec.m_cols;
    detail::CheckLeadingDimension(rec);
    // Without stored elements there is no first element to copy from: the
    // host gets an empty matrix of the record's shape.
    if (rows <= 0 || cols <= 0)
        return Vrn::Run::make<Qlt::MatVal>(rows > 0 ? rows : 0, cols > 0 ? cols : 0, rec.m_im != nullptr);
    // The host indexes a matrix's elements with an int: a plane it cannot
    // address is refused, not cut to what 32 bits make of it.
    const std::int64_t stored = std::int64_t{rec.m_anr} * cols;
    if (stored > INT_MAX) Throw("invalid matrix size", kNoArgument);
    const auto n = static_cast<unsigned>(stored);
    // A record without a real plane is all zeros there, never a null array
    // for the host to index.
    Qlt::DoubleArray re = rec.m_re ? UnMarshallVector(rec.m_re, n) : Qlt::DoubleArray::make(n);
    Qlt::DoubleArray im = rec.m_im ? UnMarshallVector(rec.m_im, n) : Qlt::DoubleArray();
    return Vrn::Run::make<Qlt::MatVal>(std::move(re), std::move(im), rows, cols, rec.m_anr);
}

// A real part whose high word carries the array tag (a family of signalling
// NaNs) would make the scalar read as an array record, and its imaginary
// part be followed as a plane pointer. Such a NaN is stored in its quiet
// form, which is outside the family and still the same NaN to arithmetic.
double ScalarRealPart(double re) noexcept {
    std::uint64_t bits;
    std::memcpy(&bits, &re, sizeof bits);
    if (((bits >> 32) & 0x7FFC0000u) != array_val::kTag) return re;
    bits |= std::uint64_t{1} << 51;
    std::memcpy(&re, &bits, sizeof bits);
    return re;
}

}  // namespace

void* EfiMarshal::Marshal(IqlAllocator* a, const Vrn::Run::Object& value) {
    if (Qlt::NumVal* num = value.as<Qlt::NumVal>()) {
        auto* q = new (a, gc::Value{}) qlComplex{ScalarRealPart(num->Data.rp), num->Data.ip};
        return q;
    }
    if (Qlt::MatVal* m = value.as<Qlt::MatVal>()) {
        double* re = PlaneStart(m->m_rarr, m->m_offset);
        double* im = PlaneStart(m->m_iarr, m->m_offset);
        m->Data.m_rv = reinterpret_cast<std::intptr_t>(re);
        m->Data.m_iv = reinterpret_cast<std::intptr_t>(im);
        aMatrix* rec = array_val::mk(a, static_cast<unsigned>(m->Rows()), static_cast<unsigned>(m->Cols()), re, im);
        // The record indexes the host's arrays in place, so it must use the
        // host's column stride; for a matrix that views part of a larger
        // array that stride exceeds the row count.
        rec->m_anr = m->Ld();
        if (m->HasPtrs()) {
            MatrixPtrMarshaller marshaller(rec, a);
            m->IteratePtrs([&marshaller](int row, int col, const Vrn::Run::Object& element) {
                marshaller.Func(row, col, element);
            });
        }
        return rec;
    }
    if (const Vrn::Run::String* s = value.as<Vrn::Run::String>()) return string_val::mk(a, s->str().c_str());
    return nullptr;
}

void MatrixPtrMarshaller::Func(int row, int col, const Vrn::Run::Object& value) {
    void* p = EfiMarshal::Marshal(m_allocator, value);
    dblptr element = dblptr::make(m_allocator, static_cast<sAnyval*>(p));
    std::memcpy(&m_mat->m_re[row + col * m_mat->m_anr], &element, sizeof element);
}

Vrn::Run::Object EfiMarshal::UnMarshal(void* record) {
    Vrn::Run::Object out;
    if (IsArrayRecord(static_cast<const sAnyval*>(record))) {
        out = ArrayToHost(*static_cast<const array_val*>(record));
    } else {
        const auto* q = static_cast<const qlComplex*>(record);
        out = Vrn::Run::make<Qlt::NumVal>(q->real, q->imag);
    }
    ReleaseCurrentPins();
    return out;
}

Qlt::DoubleArray CopyToHeap(const double* p, unsigned n) {
    if (!p) return nullptr;
    Qlt::DoubleArray arr = Qlt::DoubleArray::make(n);
    if (n > 0) std::memcpy(arr.data(), p, n * sizeof(double));
    return arr;
}

Qlt::DoubleArray UnMarshallVector(double* p, unsigned n) {
    Qlt::DoubleArray pinned = PinnedArrayMemory::lookup(p);
    if (!pinned) return CopyToHeap(p, n);
    if (pinned.size() >= n) return pinned;
    // A pinned array shorter than the plane the record claims: the host gets
    // a copy of what is there, zero beyond, never a read past the array.
    Qlt::DoubleArray arr = Qlt::DoubleArray::make(n);
    std::memcpy(arr.data(), p, pinned.size() * sizeof(double));
    return arr;
}

}  // namespace Efi
