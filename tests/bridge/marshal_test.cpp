// Host values to records and back, for callers outside the call bridge.
#include <efi/host/marshal.h>

#include <cstring>

#include "bridge_calls.h"

namespace {

using namespace efitest;
using Efi::EfiMarshal;

TEST(Marshal, NumberRoundTrips) {
    IqlAllocator a;
    const auto handles = Allocators();
    auto* q = static_cast<qlComplex*>(EfiMarshal::Marshal(&a, N(2, -1)));
    ASSERT_NE(q, nullptr);
    EXPECT_FALSE(Efi::IsArrayRecord(reinterpret_cast<sAnyval*>(q)));
    EXPECT_EQ(q->real, 2.0);
    EXPECT_EQ(q->imag, -1.0);
    Object back = EfiMarshal::UnMarshal(q);
    EXPECT_EQ(back.as<Qlt::NumVal>()->Data.rp, 2.0);
    EXPECT_EQ(back.as<Qlt::NumVal>()->Data.ip, -1.0);
    EXPECT_TRUE(Allocators() == handles);
}

// A real part in the signalling-NaN family that tags array records would
// make the number read as an array record: it is stored as its quiet NaN,
// still a NaN, with its imaginary part as it was. Other NaNs keep their bits.
TEST(Marshal, NumbersThatLookLikeArrayRecordsStayNumbers) {
    struct Row {
        std::uint64_t bits, stored;
    };
    const Row rows[] = {
        {0x7FF4000000000001u, 0x7FFC000000000001u},
        {0xFFF7FFFF00000000u, 0xFFFFFFFF00000000u},  // the sign is not part of the tag
        {0x7FF8000000000000u, 0x7FF8000000000000u},  // a quiet NaN, not in the family
        {0x7FF0000000000001u, 0x7FF0000000000001u},  // a signalling NaN outside it
    };
    for (const Row& r : rows) {
        double re;
        std::memcpy(&re, &r.bits, sizeof re);
        IqlAllocator a;
        auto* q = static_cast<qlComplex*>(EfiMarshal::Marshal(&a, N(re, 3.0)));
        ASSERT_NE(q, nullptr);
        EXPECT_FALSE(Efi::IsArrayRecord(reinterpret_cast<sAnyval*>(q))) << std::hex << r.bits;
        std::uint64_t stored;
        std::memcpy(&stored, &q->real, sizeof stored);
        EXPECT_EQ(stored, r.stored) << std::hex << r.bits;
        EXPECT_EQ(q->imag, 3.0);
    }
}

TEST(Marshal, MatrixPointsIntoTheHostsArrays) {
    IqlAllocator a;
    auto re = Qlt::DoubleArray::make(20);
    auto m = Vrn::Run::make<Qlt::MatVal>(re, nullptr, 3, 2, 3, 5);
    auto* rec = static_cast<array_val*>(EfiMarshal::Marshal(&a, m));
    ASSERT_TRUE(Efi::IsArrayRecord(reinterpret_cast<sAnyval*>(rec)));
    EXPECT_EQ(rec->m_re, re.data() + 5);
    EXPECT_EQ(rec->m_im, nullptr);
    EXPECT_EQ(rec->m_anr, 3);
    EXPECT_EQ(rec->m_rows, 3);
    EXPECT_EQ(rec->m_cols, 2);
    EXPECT_EQ(m->Data.m_rv, reinterpret_cast<std::intptr_t>(re.data() + 5));
    EXPECT_EQ(m->Data.m_iv, 0);
}

TEST(Marshal, ViewOfALargerArrayKeepsItsColumnStride) {
    IqlAllocator a;
    auto re = Qlt::DoubleArray::make(12), im = Qlt::DoubleArray::make(12);
    for (int k = 0; k < 12; ++k) re[k] = k, im[k] = -k;
    auto m = Vrn::Run::make<Qlt::MatVal>(re, im, 2, 3, 4, 1);
    auto* rec = static_cast<array_val*>(EfiMarshal::Marshal(&a, m));
    EXPECT_EQ(rec->m_anr, 4);
    // Element (1, 2) through the record is the host's element (1, 2).
    EXPECT_EQ(rec->m_re[1 + 2 * rec->m_anr], m->re(1, 2));
    EXPECT_EQ(rec->m_im[1 + 2 * rec->m_anr], m->im(1, 2));
}

TEST(Marshal, NestedElementsBecomeHandlesInPlace) {
    IqlAllocator a;
    auto m = Vrn::Run::make<Qlt::MatVal>(2, 2, false);
    m->SetNested(1, 0, Vrn::Run::Matrix(2, 2, std::vector<double>{1, 2, 3, 4}));
    m->SetNested(0, 1, Vrn::Run::Func(1, [](auto a) { return a[0]; }));  // not marshallable
    auto* rec = static_cast<array_val*>(EfiMarshal::Marshal(&a, m));
    dblptr at10, at01;
    std::memcpy(&at10, &m->m_rarr[m->m_offset + 1], sizeof at10);
    std::memcpy(&at01, &m->m_rarr[m->m_offset + 2], sizeof at01);
    EXPECT_EQ(at10.marker, dblptr::kMarker);
    ASSERT_NE(at10.ptr, 0u);
    auto* inner = reinterpret_cast<array_val*>(at10.get());
    ASSERT_NE(inner, nullptr);
    ASSERT_TRUE(Efi::IsArrayRecord(at10.get()));
    EXPECT_EQ(inner->m_re[3], 4.0);
    EXPECT_EQ(at01.marker, dblptr::kMarker);
    EXPECT_EQ(at01.ptr, 0u) << "an unsupported nested value has no record";
    EXPECT_EQ(rec->m_re, m->m_rarr.data());
}

TEST(Marshal, NestedElementsLiveAsLongAsTheAllocatorGivenNotTheCurrentOne) {
    auto firstFreeHandle = [] {
        IqlAllocator probe;
        qlComplex q{0, 0};
        return dblptr::make(&probe, reinterpret_cast<sAnyval*>(&q)).ptr;
    };
    const std::uint32_t before = firstFreeHandle();
    auto m = Vrn::Run::make<Qlt::MatVal>(2, 1, false);
    m->SetNested(1, 0, N(3, 4));
    dblptr element{};
    {
        IqlAllocator outer;
        {
            IqlAllocator inner;
            qlComplex own{0, 0};
            (void)dblptr::make(&inner, reinterpret_cast<sAnyval*>(&own));  // an entry below the outer's
            EfiMarshal::Marshal(&outer, m);
        }
        std::memcpy(&element, &m->m_rarr[m->m_offset + 1], sizeof element);
        auto* q = reinterpret_cast<qlComplex*>(element.get());
        ASSERT_NE(q, nullptr) << "the element went with the inner allocator";
        EXPECT_EQ(q->real, 3.0);
        EXPECT_EQ(q->imag, 4.0);
        // A later call's entries get handles of their own.
        EXPECT_NE(firstFreeHandle(), element.ptr);
        EXPECT_EQ(element.get(), reinterpret_cast<sAnyval*>(q));
    }
    EXPECT_EQ(element.get(), nullptr);
    EXPECT_EQ(firstFreeHandle(), before) << "the table keeps entries of allocators that ended";
}

TEST(Marshal, TextAndUnsupportedValues) {
    IqlAllocator a;
    auto* s = static_cast<string_val*>(EfiMarshal::Marshal(&a, T(u"hello")));
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->m_text, "hello");
    EXPECT_EQ(s->m_length, 5u);
    EXPECT_EQ(EfiMarshal::Marshal(&a, nullptr), nullptr);
    EXPECT_EQ(EfiMarshal::Marshal(&a, Vrn::Run::Func(1, [](auto x) { return x[0]; })), nullptr);
}

TEST(UnMarshal, PinnedPlanesGoToTheHostWithoutACopy) {
    IqlAllocator a;
    auto* big = static_cast<double*>(a.allocate_array(8 * 200));    // pinned host array
    auto* small = static_cast<double*>(a.allocate_array(8 * 100));  // heap block: copied
    for (int k = 0; k < 100; ++k) big[k] = k, small[k] = -k;
    array_val* rec = array_val::mk(&a, 10, 20, big, nullptr);
    Object m = EfiMarshal::UnMarshal(rec);
    EXPECT_EQ(m.as<Qlt::MatVal>()->m_rarr.data(), big);

    array_val* rec2 = array_val::mk(&a, 10, 10, small, nullptr);
    Object m2 = EfiMarshal::UnMarshal(rec2);
    EXPECT_NE(m2.as<Qlt::MatVal>()->m_rarr.data(), small);
    EXPECT_EQ(m2.as<Qlt::MatVal>()->re(9, 9), -99.0);

    // A record claiming more elements than its pinned array holds: a copy
    // of what is there, zero beyond, never a read past the array.
    for (int k = 100; k < 200; ++k) big[k] = k;
    array_val* rec3 = array_val::mk(&a, 10, 30, big, nullptr);
    Object m3 = EfiMarshal::UnMarshal(rec3);
    const auto* claimed = m3.as<Qlt::MatVal>();
    EXPECT_NE(claimed->m_rarr.data(), big);
    EXPECT_EQ(claimed->re(9, 19), 199.0);
    EXPECT_EQ(claimed->re(0, 20), 0.0);
    EXPECT_EQ(claimed->re(9, 29), 0.0);
}

TEST(UnMarshal, LeadingDimensionAndEmptyRecords) {
    IqlAllocator a;
    auto* re = static_cast<double*>(a.allocate_array(8 * 8));
    auto* im = static_cast<double*>(a.allocate_array(8 * 8));
    for (int k = 0; k < 8; ++k) re[k] = k, im[k] = 10 + k;
    array_val* rec = array_val::mk(&a, 3, 2, re, im);
    rec->m_anr = 4;
    Object held = EfiMarshal::UnMarshal(rec);
    auto* m = held.as<Qlt::MatVal>();
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->Rows(), 3);
    EXPECT_EQ(m->Ld(), 4);
    EXPECT_EQ(m->m_rarr.size(), 8u);
    EXPECT_EQ(m->re(2, 1), 6.0);
    EXPECT_EQ(m->im(0, 1), 14.0);

    for (auto [rows, cols] : {std::pair{0u, 3u}, {3u, 0u}, {0u, 0u}}) {
        Object e = EfiMarshal::UnMarshal(array_val::mk(&a, rows, cols, nullptr, nullptr));
        ASSERT_TRUE(e.is<Qlt::MatVal>());
        EXPECT_EQ(e.as<Qlt::MatVal>()->Rows(), static_cast<int>(rows));
        EXPECT_EQ(e.as<Qlt::MatVal>()->Cols(), static_cast<int>(cols));
    }
}

TEST(UnMarshal, RefusesARecordWhosePlanesCannotHoldItsCounts) {
    IqlAllocator a;
    auto plane = Qlt::DoubleArray::make(131073);
    struct Case {
        std::int32_t anr, rows, cols;
    };
    // A leading dimension below the row count, not positive with rows, and
    // one whose plane (65537 x 65537) the host cannot index, which 32 bits
    // would make 131073 elements.
    for (const Case c : {Case{1, 3, 2}, Case{2, 3, 0}, Case{0, 3, 2}, Case{-4, 3, 2}, Case{65537, 1, 65537}}) {
        SCOPED_TRACE(testing::Message() << c.anr << " " << c.rows << "x" << c.cols);
        for (double* im : {static_cast<double*>(nullptr), plane.data()}) {
            array_val* rec = array_val::mk(&a, 1, 1, plane.data(), im);
            rec->m_anr = c.anr;
            rec->m_rows = c.rows;
            rec->m_cols = c.cols;
            EXPECT_APP_ERROR(EfiMarshal::UnMarshal(rec), "invalid matrix size", Efi::kNoArgument);
        }
    }
}

TEST(UnMarshal, CopyHelpers) {
    EXPECT_FALSE(static_cast<bool>(Efi::CopyToHeap(nullptr, 4)));
    double v[] = {1, 2, 3};
    auto copy = Efi::CopyToHeap(v, 3);
    ASSERT_EQ(copy.size(), 3u);
    EXPECT_NE(copy.data(), v);
    EXPECT_EQ(copy[2], 3.0);
    EXPECT_EQ(Efi::UnMarshallVector(v, 3)[1], 2.0);
}

}  // namespace
