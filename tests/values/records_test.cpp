// Native value records: the tag rule, compact copies, element stores and
// narrow strings.
#include <clocale>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include <efi/allocator.h>
#include <efi/errors.h>
#include <efi/records.h>

#include "arena_support.h"
#include "efi_test.h"

namespace {

qlComplex ScalarWithWords(std::uint32_t high, std::uint32_t low) {
    const std::uint64_t bits = (static_cast<std::uint64_t>(high) << 32) | low;
    qlComplex z{};
    std::memcpy(&z.real, &bits, 8);
    return z;
}

TEST(TagRule, SignallingNanFamilyReadsAsArrayEverythingElseAsScalar) {
    struct Case {
        std::uint32_t high;
        bool array;
    };
    const Case cases[] = {
        {0x7FF40000, true},  {0x7FF4FFFF, true},  {0x7FF5ABCD, true},  {0x7FF7FFFF, true},
        {0xFFF40000, true},  {0xFFF7FFFF, true},  {0x7FF3FFFF, false}, {0x7FF80000, false},  // quiet NaN
        {0xFFF80000, false}, {0x7FFC0000, false}, {0x7FF00000, false},                       // +inf
        {0xFFF00000, false},                                                                 // -inf
        {0x3FF00000, false},                                                                 // 1.0
        {0x00000000, false}, {0xFFFFFFFF, false},                                            // marker word
    };
    for (const Case& c : cases) {
        for (std::uint32_t low : {0u, 1u, 0xFFFFFFFFu}) {
            const qlComplex z = ScalarWithWords(c.high, low);
            EXPECT_EQ(Efi::IsArrayRecord(reinterpret_cast<const sAnyval*>(&z)), c.array)
                << std::hex << c.high << ":" << low;
        }
    }
    IqlAllocator a;
    const array_val* record = array_val::mk(&a, 2, 3, nullptr, nullptr);
    EXPECT_TRUE(Efi::IsArrayRecord(reinterpret_cast<const sAnyval*>(record)));
}

TEST(ArrayRecord, MkRefersToTheGivenPlanes) {
    IqlAllocator a;
    double re[6] = {}, im[6] = {};
    const array_val* r = array_val::mk(&a, 3, 2, re, im);
    EXPECT_EQ(r->m_anr, 3);
    EXPECT_EQ(r->m_tag, 0x7FF40000u);
    EXPECT_EQ(r->m_rows, 3);
    EXPECT_EQ(r->m_cols, 2);
    EXPECT_EQ(r->m_re, re);
    EXPECT_EQ(r->m_im, im);
}

TEST(ArrayRecord, CopyPacksRowsOfALargerLeadingDimension) {
    IqlAllocator a;
    std::vector<double> re(20), im(20);
    for (int k = 0; k < 20; ++k) {
        re[k] = k;
        im[k] = -k;
    }
    array_val src = *array_val::mk(&a, 3, 2, re.data(), nullptr);
    src.m_anr = 10;
    const std::vector<double> packed = {0, 1, 2, 10, 11, 12};

    const array_val real(&a, &src);
    EXPECT_EQ(real.m_anr, 3);
    EXPECT_EQ(real.m_tag, array_val::kTag);
    EXPECT_EQ(real.m_rows, 3);
    EXPECT_EQ(real.m_cols, 2);
    EXPECT_EQ(std::vector<double>(real.m_re, real.m_re + 6), packed);
    EXPECT_EQ(real.m_im, nullptr);

    src.m_im = im.data();
    const array_val complex(&a, &src);
    EXPECT_EQ(std::vector<double>(complex.m_re, complex.m_re + 6), packed);
    EXPECT_EQ(std::vector<double>(complex.m_im, complex.m_im + 6), (std::vector<double>{0, -1, -2, -10, -11, -12}));
}

TEST(ArrayRecord, CopyOfAnEmptyRecordKeepsItsZeroDimension) {
    IqlAllocator a;
    for (auto [rows, cols] : {std::pair{0u, 4u}, std::pair{4u, 0u}}) {
        const array_val* src = array_val::mk(&a, rows, cols, nullptr, nullptr);
        const array_val copy(&a, const_cast<array_val*>(src));
        EXPECT_EQ(copy.m_rows, static_cast<int>(rows));
        EXPECT_EQ(copy.m_cols, static_cast<int>(cols));
        EXPECT_NE(copy.m_re, nullptr);
        EXPECT_EQ(a.m_blocks->size, 0u);  // a block of no elements
    }
}

TEST(ArrayRecord, SetElementCreatesTheImaginaryPlaneOnlyForANonzeroPart) {
    struct Case {
        double im;
        bool plane;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (const Case c : {Case{0.0, false}, Case{-0.0, false}, Case{nan, true}, Case{1.0, true}}) {
        SCOPED_TRACE(c.im);
        IqlAllocator holder;
        double re[8] = {};
        array_val* r = array_val::mk(&holder, 3, 2, re, nullptr);
        r->m_anr = 4;          // made elsewhere, with a larger leading dimension
        IqlAllocator current;  // the plane comes from the current allocator
        r->set_element(5, 7.5, c.im);
        EXPECT_EQ(re[5], 7.5);
        EXPECT_EQ(holder.m_blocks, nullptr);
        ASSERT_EQ(r->m_im != nullptr, c.plane);
        EXPECT_EQ(r->isRealMatrix(), !c.plane);
        if (!c.plane) continue;
        ASSERT_EQ(efitest::ChainLength(current), 1);
        EXPECT_EQ(current.m_blocks->size, 4u * 2u * 8u);
        for (int k = 0; k < 8; ++k) EXPECT_TRUE(efitest::SameBits(r->m_im[k], k == 5 ? c.im : 0.0)) << k;
    }
}

TEST(ArrayRecord, RealnessIsTheAbsenceOfAPlaneNotItsValues) {
    IqlAllocator a;
    double re[2] = {}, im[2] = {};
    array_val* r = array_val::mk(&a, 2, 1, re, nullptr);
    EXPECT_TRUE(r->isRealMatrix());
    r->set_imag_vec(im);
    EXPECT_FALSE(r->isRealMatrix());
    EXPECT_EQ(r->cols(), 1);
    EXPECT_EQ(r->anr(), 2);
    EXPECT_EQ(array_val::m_zero, 0.0);
}

TEST(ArrayRecord, CpCopiesAndAddsAZeroImaginaryPlaneOnlyWhenAsked) {
    struct Case {
        bool complexSource;
        bool addImag;
        bool complexCopy;
    };
    for (const Case c :
         {Case{true, true, true}, Case{false, true, true}, Case{false, false, false}, Case{true, false, true}}) {
        SCOPED_TRACE(testing::Message() << c.complexSource << c.addImag);
        IqlAllocator a;
        double re[6] = {1, 2, 99, 3, 4, 99}, im[6] = {5, 6, 99, 7, 8, 99};
        array_val* src = array_val::mk(&a, 2, 2, re, c.complexSource ? im : nullptr);
        src->m_anr = 3;
        sAnyval* out = nullptr;
        a.cp(reinterpret_cast<sAnyval*>(src), &out, false, c.addImag);
        auto* copy = reinterpret_cast<array_val*>(out);
        ASSERT_NE(copy, nullptr);
        EXPECT_NE(copy, src);
        EXPECT_EQ(copy->m_anr, 2);
        EXPECT_EQ(std::vector<double>(copy->m_re, copy->m_re + 4), (std::vector<double>{1, 2, 3, 4}));
        ASSERT_EQ(!copy->isRealMatrix(), c.complexCopy);
        if (!c.complexCopy) continue;
        const std::vector<double> expected =
            c.complexSource ? std::vector<double>{5, 6, 7, 8} : std::vector<double>{0, 0, 0, 0};
        EXPECT_EQ(std::vector<double>(copy->m_im, copy->m_im + 4), expected);
    }
}

TEST(ArrayRecord, CpTakesTheAddedPlaneFromTheAllocatorThatHoldsTheCopy) {
    // Small and large planes alike must outlive a newer allocator that was
    // current during the copy.
    for (const unsigned n : {2u, 12u}) {
        SCOPED_TRACE(n);
        IqlAllocator outer;
        std::vector<double> re(n * n, 1.0);
        array_val* src = array_val::mk(&outer, n, n, re.data(), nullptr);
        sAnyval* out = nullptr;
        {
            IqlAllocator inner;
            outer.cp(reinterpret_cast<sAnyval*>(src), &out, false, true);
        }
        auto* copy = reinterpret_cast<array_val*>(out);
        ASSERT_FALSE(copy->isRealMatrix());
        EXPECT_EQ(reinterpret_cast<IqlAllocator::link*>(copy->m_im) - 1, outer.m_blocks)
            << "the plane is not the outer's";
        outer.allocate_array(16);
        outer.allocate_array(2048);
        EXPECT_EQ(std::vector<double>(copy->m_im, copy->m_im + n * n), std::vector<double>(n * n, 0.0));
    }
}

TEST(ArrayRecord, CopiesRefuseALeadingDimensionBelowTheRowCount) {
    IqlAllocator a;
    double re[6] = {1, 2, 3, 4, 5, 6};
    for (const std::int32_t anr : {2, 0, -1}) {
        SCOPED_TRACE(anr);
        array_val* src = array_val::mk(&a, 3, 2, re, nullptr);
        src->m_anr = anr;
        sAnyval* out = nullptr;
        EXPECT_APP_ERROR(a.cp(reinterpret_cast<sAnyval*>(src), &out, false, false), "invalid matrix size",
                         Efi::kNoArgument);
        EXPECT_EQ(out, nullptr);
        EXPECT_APP_ERROR(src->Pack(&a, re), "invalid matrix size", Efi::kNoArgument);
    }
}

class StringRecord : public testing::Test {
protected:
    void SetUp() override {
        m_saved = std::setlocale(LC_ALL, nullptr);
        ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    }
    void TearDown() override { std::setlocale(LC_ALL, m_saved.c_str()); }

private:
    std::string m_saved;
};

TEST_F(StringRecord, NarrowTextIsCutAfterTheLastWholeCharacterThatFitsTheUnitCount) {
    struct Case {
        const char16_t* text;
        std::uint32_t length;
        const char* narrow;
    };
    const Case cases[] = {
        {u"", 0, ""},
        {u"hello", 5, "hello"},
        {u"\u00E9", 1, ""},                  // two bytes do not fit one
        {u"a\u00E9\u20AC", 3, "a\xC3\xA9"},  // a + é (3 bytes); € would need 3 more
        {u"\U0001F600x", 3, ""},             // four bytes do not fit three
        {u"ab\u00E9cd", 5,
         "ab\xC3\xA9"
         "c"},
    };
    IqlAllocator a;
    for (const Case& c : cases) {
        const string_val* s = string_val::mk(&a, c.text);
        EXPECT_EQ(s->m_length, c.length);
        ASSERT_NE(s->m_text, nullptr);
        EXPECT_LE(std::strlen(s->m_text), s->m_length);
        EXPECT_STREQ(s->m_text, c.narrow) << s->m_text;
    }
}

TEST_F(StringRecord, TheTextGoesWithTheAllocatorThatHoldsTheRecord) {
    IqlAllocator holder;
    IqlAllocator current;
    const string_val* s = string_val::mk(&holder, u"abc");
    EXPECT_EQ(current.m_blocks, nullptr);
    ASSERT_EQ(efitest::ChainLength(holder), 1);
    EXPECT_EQ(reinterpret_cast<const char*>(holder.m_blocks + 1), s->m_text);
    EXPECT_EQ(holder.m_blocks->size, 7u);  // two bytes a unit and the NUL
}

}  // namespace
