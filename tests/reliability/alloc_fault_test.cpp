// Call memory under allocation failure: refusing each allocation of a call's
// worth of records and blocks in turn, the failure surfaces as an error, the
// call's memory is released, the process-wide state comes back, and the next
// call goes through.
#include <cstdio>
#include <new>
#include <string>

#include <efi/call.h>
#include <efi/errors.h>
#include <efi/records.h>

#include "efi_test.h"
#include "fault_plan.h"

namespace {

// Takes what one call with a few matrix arguments and a text would take:
// records past the first value buffer, small and large element blocks, a
// text copy, a nested element and a compact copy with an added imaginary part.
void UseCallMemory(IqlAllocator& a) {
    array_val* records[6];
    for (auto& r : records) r = array_val::mk(&a, 2, 2, static_cast<double*>(a.allocate_array(32)), nullptr);
    auto* big = static_cast<double*>(a.allocate_array(8 * 300));
    big[299] = 1.0;
    string_val* text = string_val::mk(&a, u"fault injection");
    (void)dblptr::make(&a, reinterpret_cast<sAnyval*>(text));
    sAnyval* copy = nullptr;
    a.cp(reinterpret_cast<sAnyval*>(records[5]), &copy, false, true);
    reinterpret_cast<array_val*>(copy)->set_element(3, 1.0, 2.0);
}

struct Outcome {
    bool raised = false;
    std::string what;
};

Outcome CallWithFault(int failAt) {
    Outcome out;
    efitest::FaultPlan plan(failAt);
    try {
        Efi::EfiCallContext call;
        UseCallMemory(call);
    } catch (const Vrn::Run::AppException& e) {
        out.raised = true;
        out.what = e.what();
        EXPECT_EQ(e.Argument(), Efi::kNoArgument);
    } catch (const std::bad_alloc&) {
        out.raised = true;
        out.what = "bad_alloc";
    }
    return out;
}

TEST(CallMemoryFaults, EveryAllocationRefusedInTurn) {
    int allocations = 0;
    {
        efitest::FaultPlan count(0);
        Efi::EfiCallContext call;
        UseCallMemory(call);
        allocations = efitest::FaultPlan::seen();
    }
    // Six small blocks, a value buffer, a pinned array, a text block and the
    // copy's planes: the walk must cover more than a handful of points.
    ASSERT_GE(allocations, 10);

    for (int failAt = 1; failAt <= allocations; ++failAt) {
        SCOPED_TRACE(testing::Message() << "allocation " << failAt << " of " << allocations);
        const Outcome out = CallWithFault(failAt);
        EXPECT_TRUE(out.raised);
        EXPECT_EQ(out.what, "out of memory");  // call memory fails as one error
        EXPECT_EQ(IqlAllocator::m_current, nullptr);
        EXPECT_EQ(IqlAllocator::m_NextHandle, -1);
        EXPECT_EQ(IqlAllocator::m_init_handle, -1);
        EXPECT_EQ((dblptr{1, dblptr::kMarker}.get()), nullptr);  // nested entries went with the call
        // The next call, with the heap back, succeeds.
        EXPECT_FALSE(CallWithFault(0).raised);
    }
    std::printf("fault injection: %d allocation points of call memory refused in turn\n", allocations);
}

TEST(CallMemoryFaults, FailureInsideANestedCallLeavesTheOuterIntact) {
    Efi::EfiCallContext outer;
    auto* kept = static_cast<double*>(outer.allocate_array(8 * 200));
    kept[0] = 42.0;
    const auto handleBefore = IqlAllocator::m_NextHandle;
    for (int failAt = 1; failAt <= 3; ++failAt) {
        efitest::FaultPlan plan(failAt);
        try {
            Efi::EfiCallContext inner;
            UseCallMemory(inner);
            ADD_FAILURE() << "allocation " << failAt << " was not refused";
        } catch (const Vrn::Run::AppException&) {
        } catch (const std::bad_alloc&) {
        }
        EXPECT_EQ(IqlAllocator::m_current, &outer);
        EXPECT_EQ(IqlAllocator::m_NextHandle, handleBefore);
        EXPECT_EQ(IqlAllocator::m_init_handle, -1);
    }
    EXPECT_EQ(kept[0], 42.0);
}

}  // namespace
