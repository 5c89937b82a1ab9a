// The call-scoped allocator: nesting, the value area, array blocks, the
// pinned-array table, exhaustion, and nested-record handles.
#include <algorithm>
#include <new>

#include <efi/allocator.h>
#include <efi/host/pinned.h>

#include "arena_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define EFI_TEST_ASAN 1
#include <sanitizer/asan_interface.h>
#endif
#include "efi_test.h"

namespace {

using efitest::ChainLength;

TEST(Allocator, NestedAllocatorsRestoreTheOuterStateAndHandleNumbers) {
    IqlAllocator* const before = IqlAllocator::m_current;
    const int nextBefore = IqlAllocator::m_NextHandle;
    const int initBefore = IqlAllocator::m_init_handle;
    {
        IqlAllocator outer;
        EXPECT_EQ(IqlAllocator::m_current, &outer);
        EXPECT_EQ(IqlAllocator::m_init_handle, nextBefore);
        outer.allocate_array(2000);
        const int outerNext = IqlAllocator::m_NextHandle;
        const int outerInit = IqlAllocator::m_init_handle;
        int firstInner = 0;
        {
            IqlAllocator inner;
            EXPECT_EQ(IqlAllocator::m_current, &inner);
            EXPECT_EQ(inner.m_prev_current, &outer);
            EXPECT_EQ(IqlAllocator::m_init_handle, outerNext);
            inner.allocate_array(2000);
            firstInner = IqlAllocator::m_NextHandle;
            EXPECT_EQ(firstInner, outerNext + 1);
            inner.allocate_array(3000);
            inner.allocate_array(16);
        }
        EXPECT_EQ(IqlAllocator::m_current, &outer);
        EXPECT_EQ(IqlAllocator::m_init_handle, outerInit);
        EXPECT_EQ(IqlAllocator::m_NextHandle, outerNext);
        outer.allocate_array(2000);
        EXPECT_EQ(IqlAllocator::m_NextHandle, firstInner);
    }
    EXPECT_EQ(IqlAllocator::m_current, before);
    EXPECT_EQ(IqlAllocator::m_NextHandle, nextBefore);
    EXPECT_EQ(IqlAllocator::m_init_handle, initBefore);
}

TEST(Allocator, ArrayBlocksUpTo1024BytesAreZeroFilledChainBlocks) {
    struct Case {
        unsigned request;
        std::size_t blockBytes;  // link + payload rounded up to 8
    };
    for (const Case c : {Case{0, 16}, Case{1, 24}, Case{8, 24}, Case{9, 32}, Case{1024, 1040}}) {
        SCOPED_TRACE(c.request);
        IqlAllocator a;
        const int next = IqlAllocator::m_NextHandle;
        efitest::RecordedSizes().clear();
        unsigned char* p;
        {
            efitest::BlockAllocHook hook(&efitest::RecordingMalloc);
            p = static_cast<unsigned char*>(a.allocate_array(c.request));
        }
        ASSERT_EQ(efitest::RecordedSizes().size(), 1u);
        EXPECT_EQ(efitest::RecordedSizes()[0], c.blockBytes);
        EXPECT_EQ(reinterpret_cast<IqlAllocator::link*>(p) - 1, a.m_blocks);
        EXPECT_EQ(a.m_blocks->size, c.request);
        EXPECT_TRUE(std::all_of(p, p + (c.blockBytes - 16), [](unsigned char b) { return b == 0; }));
        EXPECT_EQ(IqlAllocator::m_NextHandle, next);
    }
}

TEST(Allocator, ArrayBlocksAbove1024BytesArePinnedHostArrays) {
    IqlAllocator a;
    const int next = IqlAllocator::m_NextHandle;
    auto* p = static_cast<double*>(a.allocate_array(1025));
    ASSERT_EQ(IqlAllocator::m_NextHandle, next + 1);
    EXPECT_EQ(a.m_blocks, nullptr);
    const PinnedArrayMemory::handle& entry = PinnedArrayMemory::Handles[next + 1];
    EXPECT_EQ(entry.m_array.data(), p);
    EXPECT_EQ(entry.m_array.size(), 129u);
    EXPECT_EQ(entry.m_handle, entry.m_array);
    EXPECT_TRUE(std::all_of(p, p + 129, [](double d) { return efitest::SameBits(d, 0.0); }));

    EXPECT_EQ(PinnedArrayMemory::lookup(p), entry.m_array);
    EXPECT_FALSE(PinnedArrayMemory::lookup(p + 1));

    // Unpinning drops the pin but leaves the array findable until reuse.
    PinnedArrayMemory::unref(IqlAllocator::m_init_handle);
    EXPECT_FALSE(entry.m_handle);
    EXPECT_EQ(entry.m_array.use_count(), 1u);
    EXPECT_EQ(PinnedArrayMemory::lookup(p), entry.m_array);
}

TEST(Allocator, LookupSeesOuterArraysButNotThoseOfAFinishedAllocator) {
    IqlAllocator outer;
    auto* outerArray = static_cast<double*>(outer.allocate_array(4096));
    double* innerArray = nullptr;
    {
        IqlAllocator inner;
        innerArray = static_cast<double*>(inner.allocate_array(4096));
        EXPECT_TRUE(PinnedArrayMemory::lookup(outerArray));
        EXPECT_TRUE(PinnedArrayMemory::lookup(innerArray));
        // The inner call's results are released; the outer's stay pinned.
        PinnedArrayMemory::unref(IqlAllocator::m_init_handle);
        EXPECT_TRUE(PinnedArrayMemory::Handles[IqlAllocator::m_init_handle].m_handle);
    }
    EXPECT_TRUE(PinnedArrayMemory::lookup(outerArray));
    EXPECT_FALSE(PinnedArrayMemory::lookup(innerArray));
}

TEST(Allocator, AnEndingAllocatorDropsTheTablesReferencesToItsArrays) {
    // Held here as the host would hold a result it was handed: the table's
    // entry and pin are two more references while the allocator lives.
    Qlt::DoubleArray outerArray, innerArray;
    {
        IqlAllocator outer;
        outerArray = PinnedArrayMemory::lookup(static_cast<double*>(outer.allocate_array(2048)));
        {
            IqlAllocator inner;
            innerArray = PinnedArrayMemory::lookup(static_cast<double*>(inner.allocate_array(2048)));
            PinnedArrayMemory::unref(IqlAllocator::m_init_handle);
            EXPECT_EQ(innerArray.use_count(), 2u);
        }
        EXPECT_EQ(innerArray.use_count(), 1u);
        EXPECT_EQ(outerArray.use_count(), 3u) << "the outer allocator's arrays stay pinned";
    }
    EXPECT_EQ(outerArray.use_count(), 1u);
}

TEST(Allocator, TableGrowsToTheHandlePlusEight) {
    IqlAllocator a;
    const int size = static_cast<int>(PinnedArrayMemory::Handles.size());
    // Fill the table, then one more handle grows it by 8.
    while (IqlAllocator::m_NextHandle < size - 1) a.allocate_array(2048);
    EXPECT_EQ(PinnedArrayMemory::Handles.size(), static_cast<std::size_t>(size));
    double* kept = static_cast<double*>(a.allocate_array(2048));
    EXPECT_EQ(IqlAllocator::m_NextHandle, size);
    EXPECT_EQ(PinnedArrayMemory::Handles.size(), static_cast<std::size_t>(size + 8));
    EXPECT_EQ(PinnedArrayMemory::lookup(kept).data(), kept);
}

TEST(Allocator, ThreeArrayRecordsFillTheInlineBufferAndTheFourthStartsAnother) {
    // 32-byte records: three fill the 96 bytes exactly (m_top reaches m_limit).
    IqlAllocator a;
    for (int i = 1; i <= 3; ++i) {
        array_val* r = array_val::mk(&a, 1, 1, nullptr, nullptr);
        EXPECT_EQ(reinterpret_cast<unsigned char*>(r), a.m_buf + 96 - 32 * i);
    }
    EXPECT_EQ(a.m_top, a.m_limit);
    EXPECT_EQ(a.m_blocks, nullptr);

    array_val* fourth = array_val::mk(&a, 1, 1, nullptr, nullptr);
    ASSERT_EQ(ChainLength(a), 1);
    EXPECT_EQ(a.m_blocks->size, 12u);
    auto* buffer = reinterpret_cast<IqlAllocator::membuf*>(a.m_blocks);
    EXPECT_EQ(reinterpret_cast<unsigned char*>(fourth), buffer->buf() + 64);
    EXPECT_EQ(a.m_limit, buffer->buf());
}

TEST(Allocator, ARequestThatDoesNotFitAbandonsTheRestOfTheBuffer) {
    IqlAllocator a;
    for (int i = 0; i < 5; ++i) a.place(sizeof(qlComplex));  // 16 bytes left in m_buf
    a.place(sizeof(array_val));                              // does not fit: new buffer
    void* small = a.place(8);                                // would have fitted in m_buf
    auto* buffer = reinterpret_cast<IqlAllocator::membuf*>(a.m_blocks);
    EXPECT_EQ(ChainLength(a), 1);
    EXPECT_EQ(small, buffer->buf() + 96 - 32 - 8);
#if EFI_TEST_ASAN
    // The abandoned 16 bytes are off limits; the values around them are not.
    EXPECT_TRUE(__asan_address_is_poisoned(a.m_buf));
    EXPECT_TRUE(__asan_address_is_poisoned(a.m_buf + 15));
    EXPECT_FALSE(__asan_address_is_poisoned(a.m_buf + 16));
#endif
}

TEST(Allocator, AValueLargerThanABufferGetsABlockOfItsOwn) {
    IqlAllocator a;
    a.place(8);
    auto* big = static_cast<unsigned char*>(a.place(200));
    std::fill(big, big + 200, 0xAB);  // all of it is writable
    EXPECT_EQ(ChainLength(a), 1);
    EXPECT_EQ(big, reinterpret_cast<unsigned char*>(a.m_blocks + 1));
    // The big block is full: the next value starts a buffer of its own.
    void* next = a.place(16);
    EXPECT_EQ(ChainLength(a), 2);
    EXPECT_EQ(next, reinterpret_cast<IqlAllocator::membuf*>(a.m_blocks)->buf() + 80);
}

TEST(Allocator, ExhaustionRaisesOutOfMemoryAndKeepsTheChain) {
    IqlAllocator a;
    for (int i = 0; i < 3; ++i) array_val::mk(&a, 1, 1, nullptr, nullptr);  // m_buf is full
    a.allocate_array(64);
    IqlAllocator::link* const head = a.m_blocks;
    {
        efitest::BlockAllocHook hook(&efitest::NoMemory);
        EXPECT_APP_ERROR(array_val::mk(&a, 1, 1, nullptr, nullptr), "out of memory", 4294967295u);
        EXPECT_APP_ERROR(a.place(500), "out of memory", 4294967295u);
        // Array blocks fail as every call-memory request does.
        EXPECT_APP_ERROR(a.allocate_array(16), "out of memory", 4294967295u);
        EXPECT_APP_ERROR(string_val::mk(&a, u"text"), "out of memory", 4294967295u);
        IqlAllocator fresh;  // room for the record, none for its text
        EXPECT_APP_ERROR(string_val::mk(&fresh, u"text"), "out of memory", 4294967295u);
        EXPECT_EQ(fresh.m_blocks, nullptr);
    }
    EXPECT_EQ(a.m_blocks, head);
    EXPECT_EQ(ChainLength(a), 1);
    // With memory back, placing works again.
    EXPECT_NE(array_val::mk(&a, 1, 1, nullptr, nullptr), nullptr);
    EXPECT_EQ(ChainLength(a), 2);
}

TEST(NestedElement, HandlesGoWithTheAllocatorThatWasCurrent) {
    IqlAllocator outer;
    const dblptr none = dblptr::make(&outer, nullptr);
    EXPECT_EQ(none.ptr, 0u);
    EXPECT_EQ(none.marker, 0xFFFFFFFFu);
    EXPECT_EQ(none.get(), nullptr);

    auto* kept = reinterpret_cast<sAnyval*>(new (&outer, gc::Value(1)) qlComplex{1.0, 2.0});
    const dblptr d1 = dblptr::make(&outer, kept);
    EXPECT_NE(d1.ptr, 0u);
    EXPECT_EQ(d1.get(), kept);

    dblptr d2{};
    {
        IqlAllocator inner;
        auto* r2 = reinterpret_cast<sAnyval*>(array_val::mk(&inner, 1, 1, nullptr, nullptr));
        d2 = dblptr::make(&inner, r2);
        EXPECT_EQ(d2.get(), r2);
    }
    EXPECT_EQ(d2.get(), nullptr);
    EXPECT_EQ(d1.get(), kept);
    // Read as a double, the element is a NaN with the marker as high word.
    double asDouble;
    std::memcpy(&asDouble, &d1, 8);
    EXPECT_TRUE(std::isnan(asDouble));
    EXPECT_FALSE(Efi::IsArrayRecord(reinterpret_cast<const sAnyval*>(&d1)));
}

}  // namespace
