// Large matrices through a call when the host hands out memory it took back
// from earlier arrays: native code and the host see only what the call put
// there, never what a reused block held before.
#include <cstdlib>

#include <gmock/gmock.h>

#include <efi/host/pinned.h>

#include "bridge_calls.h"

namespace {

using namespace efitest;
using Efi::User::Value;

constexpr int kRows = 300, kCols = 200;  // 480000 bytes a part: pinned host arrays
constexpr std::size_t kCount = std::size_t{kRows} * kCols;
constexpr double kStale = 0.5;  // never one of the values the tests expect

// Leaves the host's kept blocks holding stale values, in exactly the size a
// part of a kRows x kCols matrix takes.
void LeaveStaleBlocks() {
    Qlt::DoubleArray::release_spare_blocks();
    std::vector<Qlt::DoubleArray> arrays;
    for (int i = 0; i < 4; ++i) {
        arrays.push_back(Qlt::DoubleArray::make_for_overwrite(kCount));
        std::fill_n(arrays.back().data(), kCount, kStale);
    }
    arrays.clear();
    ASSERT_EQ(Qlt::DoubleArray::spare_block_count(), 4u);
}

// A kRows x kCols result with an imaginary part only: element k is -(k + 1).
extern "C" std::uint32_t imaginary_only(Value* result, const Value*) {
    auto** cols = static_cast<double**>(std::malloc(sizeof(double*) * kCols));
    auto* block = static_cast<double*>(std::malloc(sizeof(double) * kCount));
    for (std::size_t k = 0; k < kCount; ++k) block[k] = -static_cast<double>(k + 1);
    for (int c = 0; c < kCols; ++c) cols[c] = block + std::size_t{kRows} * c;
    result->array = {kRows, kCols, nullptr, cols};
    return 0;
}

// The pinned arrays that hold a matrix argument's parts, as the table has them.
Qlt::DoubleArray g_seen_parts[2];

extern "C" std::uint32_t see_parts(Value* result, const Value* m) {
    g_seen_parts[0] = PinnedArrayMemory::lookup(m->array.realCols[0]);
    g_seen_parts[1] = PinnedArrayMemory::lookup(m->array.imagCols[0]);
    result->real = result->imag = 0.0;
    return 0;
}

TEST(LargeMatrix, PartsOfAnArgumentAreReleasedWhenTheCallEnds) {
    Object f = Register(u"see_parts", &see_parts, 1, {2});
    Call(f, {Vrn::Run::make<Qlt::MatVal>(20, 20, true)});  // 3200 bytes a part: pinned host arrays
    for (Qlt::DoubleArray& part : g_seen_parts) {
        ASSERT_TRUE(part);
        EXPECT_EQ(part.use_count(), 1u) << "the table still holds a part of a finished call";
        part = nullptr;
    }
}

TEST(LargeMatrix, ArgumentAndResultCarryEveryElementThroughReusedBlocks) {
    // Both layouts: columns back to back, and columns inside a taller array.
    for (int ld : {kRows, kRows + 3}) {
        const std::size_t n = static_cast<std::size_t>(ld) * kCols;
        auto re = Qlt::DoubleArray::make(n), im = Qlt::DoubleArray::make(n);
        for (std::size_t k = 0; k < n; ++k) re[k] = static_cast<double>(k), im[k] = -static_cast<double>(k);
        Object m = Vrn::Run::make<Qlt::MatVal>(re, im, kRows, kCols, ld);
        LeaveStaleBlocks();
        Object r = Call(Sample("sample_scale"), {N(1), m});
        const auto* out = r.as<Qlt::MatVal>();
        ASSERT_NE(out, nullptr);
        ASSERT_TRUE(out->HasImag());
        int wrong = 0;
        for (int c = 0; c < kCols; ++c)
            for (int i = 0; i < kRows; ++i) {
                const double want = static_cast<double>(i + c * ld);
                wrong += out->re(i, c) != want || out->im(i, c) != -want;
            }
        EXPECT_EQ(wrong, 0) << "leading dimension " << ld;
    }
}

TEST(LargeMatrix, MissingRealPartOfAResultIsZeroNotStale) {
    Object f = Register(u"imaginary_only", &imaginary_only, 2, {1});
    LeaveStaleBlocks();
    Object r = Call(f, {N(0)});
    const auto* out = r.as<Qlt::MatVal>();
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(out->m_rarr.size(), kCount);
    int wrong = 0;
    for (std::size_t k = 0; k < kCount; ++k)
        wrong += out->m_rarr[k] != 0.0 || out->m_iarr[k] != -static_cast<double>(k + 1);
    EXPECT_EQ(wrong, 0);
}

}  // namespace
