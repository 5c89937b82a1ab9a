// Bridge calls run one at a time in the process. Nesting on one thread is
// the supported way for calls to overlap; a second thread that starts a call
// while another runs is refused with a worksheet error before it touches the
// running call's state, and the running call finishes as if it were alone.
#include <cstdint>
#include <functional>
#include <latch>
#include <stdexcept>
#include <string>
#include <thread>

#include <efi/call.h>
#include <efi/errors.h>
#include <efi/host/bridge.h>

#include "bridge_calls.h"

namespace {

using namespace efitest;
using namespace Efi::User;

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

// The running call parks inside its native function, holding call memory of
// both kinds, until the intruder has tried its luck.
std::latch* g_inside = nullptr;
std::latch* g_go_on = nullptr;

extern "C" std::uint32_t parked_add(Value* result, const Value* a, const Value* b) {
    IqlAllocator* mine = IqlAllocator::m_current;
    auto* block = static_cast<double*>(mine->allocate_array(8));
    auto* pinned = static_cast<double*>(mine->allocate_array(2048));
    const std::int32_t handle = IqlAllocator::m_NextHandle;
    block[0] = a->real;
    pinned[255] = b->real;
    g_inside->count_down();
    g_go_on->wait();
    // Whatever the intruder did, this call's allocator and handles stand.
    const bool untouched = IqlAllocator::m_current == mine && IqlAllocator::m_NextHandle == handle;
    result->real = untouched ? block[0] + pinned[255] : -1.0;
    result->imag = 0.0;
    return 0;
}

extern "C" std::uint32_t plain_add(Value* result, const Value* a, const Value* b) {
    result->real = a->real + b->real;
    result->imag = a->imag + b->imag;
    return 0;
}

extern "C" std::uint32_t path_of(Value* result, const char* path) {
    result->text = const_cast<char*>(path);
    return 0;
}

TEST(OneCallAtATime, SecondThreadIsRefusedWhileTheFirstCallRuns) {
    const Object parked = Register(u"parked_add", &parked_add, kRetScalar, {kArgScalar, kArgScalar});
    const Object add = Register(u"plain_add", &plain_add, kRetScalar, {kArgScalar, kArgScalar});
    const Object path = Register(u"path_of", &path_of, kRetText, {kArgFileIn});
    Call(path, {T(u"/before/"), T(u"f")});

    // Every way in for a second thread: an invoker and a file function's
    // invoker (whose directory is shared state too) are refused, and never
    // reach the floating-point set-up; a call context made directly is the
    // thread's own, beside the running call's.
    const auto ownContext = [] {
        Efi::EfiCallContext context;
        auto* block = context.allocate_array(2048);
        if (IqlAllocator::m_current != &context || IqlAllocator::m_NextHandle != 0 || !block)
            throw std::runtime_error("not the thread's own");
    };
    const struct {
        const char* what;
        std::function<void()> intrude;
        bool refused;
    } kIntruders[] = {
        {"invoker",
         [&] {
             Call(add, {N(1), N(2)}, false);
         },
         true},
        {"file function",
         [&] {
             Call(path, {T(u"/intruder/"), T(u"f")}, false);
         },
         true},
        {"call context", ownContext, false},
    };
    for (const auto& c : kIntruders) {
        SCOPED_TRACE(c.what);
        std::latch inside(1), go_on(1);
        g_inside = &inside;
        g_go_on = &go_on;
        Object sum;
        std::thread running([&] { sum = Call(parked, {N(40), N(2)}); });
        inside.wait();
        if (c.refused) EXPECT_APP_ERROR(c.intrude(), "a call is running on another thread", Efi::kNoArgument);
        else EXPECT_NO_THROW(c.intrude());
        go_on.count_down();
        running.join();
        ASSERT_TRUE(sum.is<Qlt::NumVal>());
        EXPECT_EQ(sum.as<Qlt::NumVal>()->Data.rp, 42.0);
        EXPECT_EQ(IqlAllocator::m_current, nullptr);
        EXPECT_EQ(IqlAllocator::m_NextHandle, -1);
        EXPECT_EQ(IqlAllocator::m_init_handle, -1);
        EXPECT_EQ(TextOf(Target(path).m_cwd), u"/before/");
        // The refusal held nothing back: this thread's next call runs.
        EXPECT_EQ(Call(add, {N(1), N(2)}).as<Qlt::NumVal>()->Data.rp, 3.0);
    }
}

}  // namespace
