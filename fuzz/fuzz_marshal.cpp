// Marshalling over well-formed records and host values of random shapes and
// contents. A record made in call memory comes back to the host element for
// element, bit for bit (nested-element NaNs included), with a pinned plane
// of the call handed over as the very same array; a host value marshalled
// and read back is the value it was, and each nested element resolves to a
// record of its own value.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <efi/call.h>
#include <efi/host/marshal.h>
#include <efi/records.h>
#include <vrnrun/vrnrun.h>

#include "fuzz_support.h"

namespace {

using Vrn::Run::Object;

bool SameBits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

// A scalar's real part: bit for bit, except that a NaN of the array tag's
// family may come back as its quiet form.
bool SameReal(double got, double wanted) {
    if (SameBits(got, wanted)) return true;
    std::uint64_t g, w;
    std::memcpy(&g, &got, 8);
    std::memcpy(&w, &wanted, 8);
    return std::isnan(wanted) && (w >> 32 & 0x7FFC0000u) == array_val::kTag && g == (w | std::uint64_t{1} << 51);
}

struct Shape {
    std::uint32_t rows, cols, ld, offset;
    bool complex;
};

Shape TakeShape(efifuzz::ByteReader& in) {
    Shape s{};
    s.rows = in.below(24);
    s.cols = in.below(24);
    s.ld = s.rows + in.below(3);
    s.offset = in.below(4);
    s.complex = in.take<std::uint8_t>() & 1;
    return s;
}

// The host matrix must hold element (i, j) at ld * j + i of what the record
// points at.
void CheckSameElements(const Qlt::MatVal& m, const double* re, const double* im, std::uint32_t ld) {
    for (int j = 0; j < m.Cols(); ++j)
        for (int i = 0; i < m.Rows(); ++i) {
            const std::size_t k = static_cast<std::size_t>(i) + static_cast<std::size_t>(j) * ld;
            REQUIRE(SameBits(m.re(i, j), re[k]));
            REQUIRE(SameBits(m.im(i, j), im ? im[k] : 0.0));
        }
}

// A record built the way native code builds one: planes from call memory
// (chain blocks, or pinned host arrays above 1024 bytes), any bits in them.
void NativeRecordToHost(efifuzz::ByteReader& in) {
    Efi::EfiCallContext call;
    if (in.take<std::uint8_t>() & 1) {
        const qlComplex q{in.take<double>(), in.take<double>()};
        auto* record = new (call.allocator, gc::Value(1)) qlComplex(q);
        if (Efi::IsArrayRecord(reinterpret_cast<sAnyval*>(record))) return;  // a NaN that reads as a tag
        const Object v = Efi::EfiMarshal::UnMarshal(record);
        const auto* n = v.as<Qlt::NumVal>();
        REQUIRE(n && SameBits(n->Data.rp, q.real) && SameBits(n->Data.ip, q.imag));
        return;
    }
    const Shape s = TakeShape(in);
    const std::uint32_t n = s.ld * s.cols;
    auto plane = [&] {
        auto* p = static_cast<double*>(call.allocate_array(n * 8));
        for (std::uint32_t k = 0; k < n; ++k) p[k] = in.take<double>();
        return p;
    };
    double* re = plane();
    double* im = s.complex ? plane() : nullptr;
    array_val* record = array_val::mk(call.allocator, s.rows, s.cols, re, im);
    record->m_anr = static_cast<std::int32_t>(s.ld);
    const Object v = Efi::EfiMarshal::UnMarshal(record);
    const auto* m = v.as<Qlt::MatVal>();
    REQUIRE(m && m->Rows() == static_cast<int>(s.rows) && m->Cols() == static_cast<int>(s.cols));
    REQUIRE(m->HasImag() == s.complex);
    if (n == 0) return;
    CheckSameElements(*m, re, im, s.ld);
    // Above 1024 bytes the plane was a pinned host array: handed over, not copied.
    if (n * 8 > 1024) REQUIRE(m->m_rarr.data() == re && (!im || m->m_iarr.data() == im));
}

Object TakeNested(efifuzz::ByteReader& in, int depth);

Object TakeMatrix(efifuzz::ByteReader& in, int depth) {
    const Shape s = TakeShape(in);
    const std::size_t size = s.offset + static_cast<std::size_t>(s.ld) * s.cols;
    auto array = [&] {
        Qlt::DoubleArray a = Qlt::DoubleArray::make(size);
        for (std::size_t k = 0; k < size; ++k) a[k] = in.take<double>();
        return a;
    };
    Qlt::DoubleArray re = array();
    Qlt::DoubleArray im = s.complex ? array() : Qlt::DoubleArray();
    Object m =
        Vrn::Run::make<Qlt::MatVal>(std::move(re), std::move(im), static_cast<int>(s.rows), static_cast<int>(s.cols),
                                    static_cast<int>(s.ld), static_cast<int>(s.offset));
    const std::uint32_t nested = s.rows > 0 && s.cols > 0 ? in.below(3) : 0;
    for (std::uint32_t k = 0; k < nested; ++k)
        m.as<Qlt::MatVal>()->SetNested(static_cast<int>(in.below(s.rows)), static_cast<int>(in.below(s.cols)),
                                       TakeNested(in, depth + 1));
    return m;
}

Object TakeNested(efifuzz::ByteReader& in, int depth) {
    switch (in.below(depth < 2 ? 5 : 4)) {
        case 0: return Vrn::Run::Number(in.take<double>(), in.take<double>());
        case 1: return Vrn::Run::Text(efifuzz::Utf16Of(in.bytes(in.below(16))));
        case 2: return Object();
        case 3: return Vrn::Run::Func(1, [](std::span<const Object>) { return Object(); });  // not marshalled
        default: return TakeMatrix(in, depth);
    }
}

// A marshalled record holds the value of the host value it came from.
void CheckRecordOf(const Object& value, void* record);

void CheckNestedElements(const Qlt::MatVal& m, const array_val& rec) {
    m.IteratePtrs([&](int row, int col, const Object& element) {
        dblptr p;
        std::memcpy(&p, &rec.m_re[row + col * rec.m_anr], sizeof p);
        REQUIRE(p.marker == dblptr::kMarker);
        CheckRecordOf(element, p.get());
    });
}

void CheckRecordOf(const Object& value, void* record) {
    if (const auto* n = value.as<Qlt::NumVal>()) {
        const auto* q = static_cast<const qlComplex*>(record);
        REQUIRE(q && SameReal(q->real, n->Data.rp) && SameBits(q->imag, n->Data.ip));
    } else if (const auto* m = value.as<Qlt::MatVal>()) {
        const auto* rec = static_cast<const array_val*>(record);
        REQUIRE(rec && Efi::IsArrayRecord(static_cast<const sAnyval*>(record)));
        REQUIRE(rec->m_rows == m->Rows() && rec->m_cols == m->Cols() && rec->m_anr == m->Ld());
        REQUIRE(rec->m_re == m->m_rarr.data() + m->m_offset);
        REQUIRE(rec->m_im == (m->HasImag() ? m->m_iarr.data() + m->m_offset : nullptr));
        CheckNestedElements(*m, *rec);
    } else if (const auto* t = value.as<Vrn::Run::String>()) {
        // Text reaches native code NUL-terminated: an embedded NUL ends it.
        const auto* rec = static_cast<const string_val*>(record);
        const std::size_t units = std::u16string_view(t->str().c_str()).size();
        REQUIRE(rec && rec->m_length == units && std::strlen(rec->m_text) <= rec->m_length);
    } else {
        REQUIRE(record == nullptr);
    }
}

void HostValueRoundTrip(efifuzz::ByteReader& in) {
    Efi::EfiCallContext call;
    const Object value = TakeNested(in, 0);
    void* record = Efi::EfiMarshal::Marshal(call.allocator, value);
    CheckRecordOf(value, record);
    // Every marshalled number reads as a scalar, whatever NaN its real part is.
    if (value.is<Qlt::NumVal>()) REQUIRE(!Efi::IsArrayRecord(static_cast<sAnyval*>(record)));
    const auto* m = value.as<Qlt::MatVal>();
    if (value.is<Qlt::NumVal>() || m) {
        const Object back = Efi::EfiMarshal::UnMarshal(record);
        if (const auto* n = value.as<Qlt::NumVal>()) {
            const auto* b = back.as<Qlt::NumVal>();
            REQUIRE(b && SameReal(b->Data.rp, n->Data.rp) && SameBits(b->Data.ip, n->Data.ip));
        } else {
            const auto* b = back.as<Qlt::MatVal>();
            REQUIRE(b && b->Rows() == m->Rows() && b->Cols() == m->Cols());
            // Nested positions come back as the dblptr bits written in place.
            if (m->Rows() * m->Cols() > 0)
                CheckSameElements(*b, m->m_rarr.data() + m->m_offset,
                                  m->HasImag() ? m->m_iarr.data() + m->m_offset : nullptr,
                                  static_cast<std::uint32_t>(m->Ld()));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    efifuzz::ByteReader in(data, size);
    if (in.take<std::uint8_t>() & 1) NativeRecordToHost(in);
    else HostValueRoundTrip(in);
    return 0;
}
