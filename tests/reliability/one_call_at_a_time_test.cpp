// Bridge calls run one at a time in the process. Nesting on one thread is
// the supported way for calls to overlap; a second thread that starts a call
// while another runs is stopped in debug builds before it can chain its
// allocator onto the running call's.
#include <thread>

#include <efi/call.h>

#include "efi_test.h"

namespace {

TEST(OneCallAtATime, NestedCallsOnOneThreadStack) {
    Efi::EfiCallContext outer;
    {
        Efi::EfiCallContext inner;
        EXPECT_EQ(IqlAllocator::m_current, &inner);
        EXPECT_EQ(inner.m_prev_current, &outer);
    }
    EXPECT_EQ(IqlAllocator::m_current, &outer);
}

TEST(OneCallAtATime, CallsTakeTurnsAcrossThreads) {
    // Any thread may run a call while no other call is running.
    for (int round = 0; round < 3; ++round) {
        std::thread worker([] {
            Efi::EfiCallContext call;
            Efi::EfiCallContext nested;
            EXPECT_EQ(IqlAllocator::m_current, &nested);
        });
        worker.join();
        EXPECT_EQ(IqlAllocator::m_current, nullptr);
        Efi::EfiCallContext here;
        EXPECT_EQ(IqlAllocator::m_current, &here);
    }
    EXPECT_EQ(IqlAllocator::m_current, nullptr);
}

TEST(OneCallAtATimeDeathTest, SecondThreadStartingACallStopsLoudly) {
#ifdef NDEBUG
    GTEST_SKIP() << "the check is compiled into debug builds only";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            Efi::EfiCallContext running;
            std::thread second([] { Efi::EfiCallContext intruder; });
            second.join();
        },
        "bridge calls must run one at a time in the process");
#endif
}

}  // namespace
