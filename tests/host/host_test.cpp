#include <algorithm>
#include <cstdint>
#include <vector>

#include <vrnrun/vrnrun.h>

#include "efi_test.h"

using namespace Vrn::Run;

namespace {

TEST(MatVal, ShapeConstructorIsContiguousFromElementZero) {
    Qlt::MatVal m(3, 2, true);
    EXPECT_EQ(m.m_offset, 0);
    EXPECT_EQ(m.m_rarr.size(), 6u);
    EXPECT_EQ(m.m_iarr.size(), 6u);
    for (int c = 0; c < 2; ++c)
        for (int r = 0; r < 3; ++r) EXPECT_EQ(m.Index(r, c), r + 3 * c);
    EXPECT_TRUE(m.HasImag());
    EXPECT_FALSE(m.IsRealMatrix());
    EXPECT_FALSE(m.HasPtrs());
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(m.m_rarr[i], 0.0);
}

TEST(MatVal, IndexHonoursOffsetAndLeadingDimension) {
    // A 2x3 view into a 4-row array, starting at element 5 (row 1, col 1).
    Qlt::DoubleArray re = Qlt::DoubleArray::make(20);
    for (std::size_t i = 0; i < 20; ++i) re[i] = static_cast<double>(i);
    Qlt::MatVal m(re, nullptr, 2, 3, 4, 5);
    EXPECT_EQ(m.Index(0, 0), 5);
    EXPECT_EQ(m.Index(1, 0), 6);
    EXPECT_EQ(m.Index(0, 1), 9);
    EXPECT_EQ(m.Index(1, 2), 14);
    EXPECT_EQ(m.re(1, 2), 14.0);
    EXPECT_TRUE(m.IsRealMatrix());
    EXPECT_EQ(m.im(1, 2), 0.0);
    // The view shares the array; it does not copy it.
    EXPECT_EQ(m.m_rarr.data(), re.data());
    EXPECT_EQ(re.use_count(), 2u);
}

TEST(MatVal, Get1ReadsLinearColumnOrder) {
    Object o = Matrix(2, 2, std::vector<double>{1, 2, 3, 4}, std::vector<double>{0, 0, -1, 0});
    auto* m = o.as<Qlt::MatVal>();
    ASSERT_NE(m, nullptr);
    Object o2 = m->get_1(2);
    auto* e2 = o2.as<Qlt::NumVal>();
    ASSERT_NE(e2, nullptr);
    EXPECT_EQ(e2->Data.rp, 3.0);  // row 0, column 1
    EXPECT_EQ(e2->Data.ip, -1.0);
    EXPECT_FALSE(e2->IsReal());
    Object o1 = m->get_1(1);
    auto* e1 = o1.as<Qlt::NumVal>();
    EXPECT_EQ(e1->asReal(), 2.0);
    EXPECT_TRUE(e1->IsReal());
}

TEST(MatVal, NestedElementsAreVisitedInColumnOrder) {
    auto m = make<Qlt::MatVal>(2, 2, false);
    m->SetNested(1, 1, TextUtf8("b"));
    m->SetNested(1, 0, Number(7));
    EXPECT_TRUE(m->HasPtrs());
    std::vector<std::pair<int, int>> seen;
    m->IteratePtrs([&](int r, int c, const Object& v) {
        seen.emplace_back(r, c);
        EXPECT_FALSE(v.is_null());
    });
    EXPECT_EQ(seen, (std::vector<std::pair<int, int>>{{1, 0}, {1, 1}}));
    EXPECT_TRUE(m->get_1(3).is<String>());
    EXPECT_EQ(m->get_1(1).as<Qlt::NumVal>()->asReal(), 7.0);  // the handle lives to the end of the statement
    EXPECT_TRUE(m->get_1(0).is<Qlt::NumVal>());               // plain elements read as numbers
}

TEST(Handles, KindsAndNull) {
    Object n = Number(1, 2);
    EXPECT_TRUE(n.is<Qlt::NumVal>());
    EXPECT_FALSE(n.is<Qlt::MatVal>());
    EXPECT_EQ(n.as<String>(), nullptr);
    Object none;
    EXPECT_TRUE(none.is_null());
    EXPECT_FALSE(none.is<Qlt::NumVal>());
    // Numbers are reference objects: a change through one handle shows in all.
    Object alias = n;
    n.as<Qlt::NumVal>()->Data.rp = 9;
    EXPECT_EQ(alias.as<Qlt::NumVal>()->Data.rp, 9.0);
    EXPECT_EQ(n->use_count(), 2u);
}

TEST(AppException, RaiseNeverReturns) {
    volatile bool after = false;
    try {
        AppException::Raise(u"must be scalar", 2);
        after = true;
    } catch (const AppException& e) {
        EXPECT_EQ(e.Message(), u"must be scalar");
        EXPECT_EQ(e.Argument(), 2u);
        EXPECT_STREQ(e.what(), "must be scalar");
    }
    EXPECT_FALSE(after);
}

TEST(Functions, CallChecksArityAndPassesArguments) {
    Object twice = Func(1, [](std::span<const Object> a) { return Number(2 * a[0].as<Qlt::NumVal>()->asReal()); });
    EXPECT_EQ(Vrn::Invoke::Call(twice, Number(21)).as<Qlt::NumVal>()->asReal(), 42.0);
    Object args[2] = {Number(1), Number(2)};
    EXPECT_APP_ERROR(twice.as<Function>()->Call(args), "too many parameters", 4294967295u);
    EXPECT_APP_ERROR(Vrn::Invoke::Call(Number(1), Number(2)), "must be a function", 1);
}

TEST(Text, Utf8RoundTrip) {
    const std::string s = "a\xC3\xA9\xE2\x82\xAC\xF0\x9F\x99\x82";
    EXPECT_EQ(FromUtf8(s), u"a\u00E9\u20AC\U0001F642");
    EXPECT_EQ(ToUtf8(FromUtf8(s)), s);
    EXPECT_EQ(FromUtf8("\xFF"), u"\uFFFD");
    EXPECT_EQ(FromUtf8("\xE2\x82"), u"\uFFFD\uFFFD");  // truncated sequence
    // What has no form on the other side is one replacement character a unit or byte.
    const std::u16string loneHigh{u'a', char16_t(0xD800), u'b'}, loneLow{char16_t(0xDC00)}, endsHigh{char16_t(0xD83D)};
    EXPECT_EQ(ToUtf8(loneHigh),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(ToUtf8(loneLow), "\xEF\xBF\xBD");
    EXPECT_EQ(ToUtf8(endsHigh), "\xEF\xBF\xBD");
    EXPECT_EQ(FromUtf8("\xED\xA0\x80"), u"\uFFFD\uFFFD\uFFFD");            // an encoded surrogate
    EXPECT_EQ(FromUtf8("\xC0\x80"), u"\uFFFD\uFFFD");                      // an overlong form
    EXPECT_EQ(FromUtf8("\xF4\x90\x80\x80"), u"\uFFFD\uFFFD\uFFFD\uFFFD");  // past U+10FFFF
}

// Freed large arrays are kept for reuse: what comes back, and when.
constexpr std::size_t kLarge = 64 * 1024;  // 512 KiB of elements

std::uintptr_t Address(const Qlt::DoubleArray& a) { return reinterpret_cast<std::uintptr_t>(a.data()); }

// Releases one array of n doubles filled with a stale value; its address.
std::uintptr_t ReleaseStale(std::size_t n) {
    Qlt::DoubleArray a = Qlt::DoubleArray::make_for_overwrite(n);
    std::fill_n(a.data(), n, 0.5);
    return Address(a);
}

TEST(SpareBlocks, AReusedBlockIsZeroFilledByMake) {
    Qlt::DoubleArray::release_spare_blocks();
    const std::uintptr_t old = ReleaseStale(kLarge);
    ASSERT_EQ(Qlt::DoubleArray::spare_block_count(), 1u);
    Qlt::DoubleArray a = Qlt::DoubleArray::make(kLarge);
    EXPECT_EQ(Address(a), old) << "the kept block was not reused";
    EXPECT_EQ(a.size(), kLarge);
    EXPECT_EQ(std::count(a.data(), a.data() + kLarge, 0.0), static_cast<long>(kLarge));
    EXPECT_EQ(Qlt::DoubleArray::spare_block_count(), 0u);
}

TEST(SpareBlocks, OnlyCloseSizesReuseABlock) {
    struct Case {
        std::size_t request;
        bool reused;
    };
    const Case cases[] = {
        {kLarge, true},
        {kLarge - kLarge / 8, true},  // a little slack is worth the saved pages
        {kLarge / 2, false},          // half the block would sit idle
        {kLarge + 1, false},          // the block is too small
    };
    for (const Case& c : cases) {
        Qlt::DoubleArray::release_spare_blocks();
        const std::uintptr_t old = ReleaseStale(kLarge);
        Qlt::DoubleArray a = Qlt::DoubleArray::make_for_overwrite(c.request);
        EXPECT_EQ(Address(a) == old, c.reused) << c.request;
        EXPECT_EQ(a.size(), c.request);
    }
}

TEST(SpareBlocks, KeepsFewLargeBlocksAndFreesThemOnRequest) {
    Qlt::DoubleArray::release_spare_blocks();
    ReleaseStale(1000);  // small arrays go straight back to the heap
    EXPECT_EQ(Qlt::DoubleArray::spare_block_count(), 0u);
    {
        std::vector<Qlt::DoubleArray> live;
        for (int i = 0; i < 6; ++i) live.push_back(Qlt::DoubleArray::make_for_overwrite(kLarge));
    }
    EXPECT_EQ(Qlt::DoubleArray::spare_block_count(), 4u);
    // A block past the byte bound is not kept, and does not evict the others.
    { Qlt::DoubleArray huge = Qlt::DoubleArray::make_for_overwrite(std::size_t{9} << 20); }
    EXPECT_EQ(Qlt::DoubleArray::spare_block_count(), 4u);
    EXPECT_EQ(Qlt::DoubleArray::release_spare_blocks(), 4u);
    EXPECT_EQ(Qlt::DoubleArray::spare_block_count(), 0u);
}

// Blocks of 24, 25.5 and 27 MB: the third passes the byte bound and drops
// the oldest; a request then takes the smallest kept block that fits it.
TEST(SpareBlocks, TheByteBoundDropsTheOldestAndTheClosestBlockIsTaken) {
    Qlt::DoubleArray::release_spare_blocks();
    const std::size_t n = (std::size_t{24} << 20) / sizeof(double);
    ReleaseStale(n);
    const std::uintptr_t closer = ReleaseStale(n + n / 16);
    const std::uintptr_t wider = ReleaseStale(n + n / 8);
    EXPECT_EQ(Qlt::DoubleArray::spare_block_count(), 2u);
    Qlt::DoubleArray a = Qlt::DoubleArray::make_for_overwrite(n);
    EXPECT_EQ(Address(a), closer);
    Qlt::DoubleArray b = Qlt::DoubleArray::make_for_overwrite(n);
    EXPECT_EQ(Address(b), wider);
    EXPECT_EQ(Qlt::DoubleArray::spare_block_count(), 0u);
}

}  // namespace
