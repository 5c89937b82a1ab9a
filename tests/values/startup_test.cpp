// The process-wide state of the allocator and the pinned-array table as the
// library starts, and how the table grows from there.
#include <efi/allocator.h>
#include <efi/host/pinned.h>

#include "efi_test.h"

namespace {

TEST(StartUp, StaticsAndTableGrowth) {
    EXPECT_EQ(IqlAllocator::m_current, nullptr);
    EXPECT_EQ(IqlAllocator::m_NextHandle, -1);
    EXPECT_EQ(IqlAllocator::m_init_handle, -1);
    EXPECT_EQ(PinnedArrayMemory::Handles.size(), 8u);
    for (const auto& entry : PinnedArrayMemory::Handles) EXPECT_FALSE(entry.m_array || entry.m_handle);

    IqlAllocator a;
    for (int h = 0; h <= 7; ++h) a.allocate_array(1032);
    EXPECT_EQ(PinnedArrayMemory::Handles.size(), 8u);
    a.allocate_array(1032);  // handle 8
    EXPECT_EQ(PinnedArrayMemory::Handles.size(), 16u);
    for (int h = 9; h <= 15; ++h) a.allocate_array(1032);
    EXPECT_EQ(PinnedArrayMemory::Handles.size(), 16u);
    a.allocate_array(1032);  // handle 16
    EXPECT_EQ(PinnedArrayMemory::Handles.size(), 24u);
    EXPECT_EQ(IqlAllocator::m_NextHandle, 16);
    // Earlier entries carry over with their arrays still pinned.
    for (int h = 0; h <= 16; ++h) {
        const auto& entry = PinnedArrayMemory::Handles[h];
        EXPECT_EQ(entry.m_array.size(), 129u);
        EXPECT_EQ(entry.m_handle, entry.m_array);
    }
}

}  // namespace
