// Allocation failure at every allocation point of a bridge call, in turn:
// the value buffers and array blocks of call memory, the pinned arrays, and
// the host values of the arguments' copies and of the result. Each time the
// failure must reach the host as an error, with call memory released, the
// allocator's statics and the host's control word restored, and the same
// call must then go through.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>
#include <string>
#include <thread>

#include <efi/call.h>
#include <efi/errors.h>
#include <efi/records.h>

#include "bridge_calls.h"
#include "efi_test.h"
#include "fault_plan.h"

namespace {

using Efi::User::ComplexArray;
using Efi::User::Value;
using efitest::Call;
using efitest::N;
using efitest::T;
using Vrn::Run::Object;

// Takes call memory of every kind while it runs: array records past the
// first value buffer, a small block and a pinned block, and a nested
// element; returns the matrix argument plus its text argument's length, as
// a malloc'ed matrix result the bridge copies into a host matrix.
extern "C" std::uint32_t fault_all_memory(Value* result, const Value* m, const Value* text) {
    IqlAllocator* a = IqlAllocator::m_current;
    for (int k = 0; k < 6; ++k) (void)array_val::mk(a, 1, 1, static_cast<double*>(a->allocate_array(8)), nullptr);
    auto* big = static_cast<double*>(a->allocate_array(8 * 300));
    big[299] = static_cast<double>(std::strlen(text->text));
    (void)dblptr::make(a, reinterpret_cast<sAnyval*>(array_val::mk(a, 1, 1, big + 299, nullptr)));

    const ComplexArray& in = m->array;
    ComplexArray& out = result->array;
    const std::size_t n = static_cast<std::size_t>(in.rows) * in.cols;
    auto** cols = static_cast<double**>(std::malloc(sizeof(double*) * in.cols));
    auto* block = static_cast<double*>(std::malloc(sizeof(double) * n));
    for (std::uint32_t c = 0; c < in.cols; ++c) cols[c] = block + static_cast<std::size_t>(c) * in.rows;
    for (std::size_t k = 0; k < n; ++k) block[k] = in.realCols[0][k] + big[299];
    out.rows = in.rows;
    out.cols = in.cols;
    out.realCols = cols;
    out.imagCols = nullptr;
    return 0;
}

struct Outcome {
    bool failed = false;
    std::string error;
    Object value;
};

// Call checks the control word and the allocator's statics on the way out.
Outcome CallUnderPlan(const Object& f, const std::vector<Object>& args, int failAt) {
    Outcome out;
    efitest::FaultPlan plan(failAt);
    try {
        out.value = Call(f, args);
    } catch (const Vrn::Run::AppException& e) {
        out.failed = true;
        out.error = e.what();
    } catch (const std::bad_alloc&) {
        out.failed = true;
        out.error = "bad_alloc";
    }
    return out;
}

// Refuses allocation 1, 2, ... of the call in turn, until the call no longer
// reaches the refused one; returns how many points were visited.
int FailEachAllocationInTurn(const Object& f, const std::vector<Object>& args,
                             const std::function<void(const Object&)>& checkResult) {
    const Outcome clean = CallUnderPlan(f, args, 0);
    EXPECT_FALSE(clean.failed) << clean.error;
    const int points = efitest::FaultPlan::seen();
    for (int failAt = 1; failAt <= points; ++failAt) {
        SCOPED_TRACE(testing::Message() << "allocation " << failAt << " of " << points);
        const Outcome out = CallUnderPlan(f, args, failAt);
        EXPECT_TRUE(out.failed);
        EXPECT_TRUE(out.error == "out of memory" || out.error == "bad_alloc") << out.error;
        EXPECT_EQ(IqlAllocator::m_current, nullptr);
        EXPECT_EQ(IqlAllocator::m_NextHandle, -1);
        EXPECT_EQ(IqlAllocator::m_init_handle, -1);
        const Outcome again = CallUnderPlan(f, args, 0);
        EXPECT_FALSE(again.failed) << again.error;
        if (!again.failed) checkResult(again.value);
    }
    std::printf("fault injection: %d allocation points refused in turn\n", points);
    return points;
}

TEST(BridgeCallFaults, EveryAllocationOfACallUsingAllCallMemory) {
    const Object f = efitest::Register(u"fault_all_memory", &fault_all_memory, 2, {2, 8});
    const Object m = efitest::Matrix(20, 20, 0.0, false);  // 3200 bytes: a pinned copy
    const int points = FailEachAllocationInTurn(f, {m, T(u"four")}, [](const Object& r) {
        const auto* out = r.as<Qlt::MatVal>();
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(out->re(19, 19), 399.0 + 4.0);
    });
    // Value buffer, seven small blocks, the pinned block, the argument's
    // column array and pinned plane, the text copy, the host result.
    EXPECT_GE(points, 12);
}

TEST(BridgeCallFaults, EveryAllocationOfTheSampleFunctions) {
    const Object complex = efitest::Matrix(20, 20, 1.0, true);
    FailEachAllocationInTurn(efitest::Sample("sample_scale"), {N(0, 1), complex},
                             [](const Object& r) { EXPECT_EQ(r.as<Qlt::MatVal>()->im(0, 0), 1.0); });
    FailEachAllocationInTurn(efitest::Sample("sample_upper"), {T(std::u16string(2000, u'a'))}, [](const Object& r) {
        EXPECT_EQ(r.as<Vrn::Run::String>()->str(), std::u16string(2000, u'A'));
    });
    FailEachAllocationInTurn(efitest::Sample("sample_add"), {N(1), N(2)},
                             [](const Object& r) { EXPECT_EQ(r.as<Qlt::NumVal>()->Data.rp, 3.0); });
}

// A native function that starts a bridge call on a second thread while its
// own call runs: the second thread is refused with a worksheet error, and
// the first call goes on to its result.
extern "C" std::uint32_t start_call_on_second_thread(Value* result, const Value*) {
    std::string refusal;
    std::thread second([&refusal] {
        try {
            Call(efitest::Sample("sample_add"), {N(1), N(2)}, false);  // refused before the set-up
        } catch (const Vrn::Run::AppException& e) {
            refusal = e.what();
        }
    });
    second.join();
    result->real = refusal == "a call is running on another thread" ? 1.0 : 0.0;
    return 0;
}

TEST(OneCallAtATime, ABridgeCallFromASecondThreadIsRefused) {
    const Object f = efitest::Register(u"start_call_on_second_thread", &start_call_on_second_thread, 1, {1});
    efitest::Sample("sample_add");  // the module is loaded before the second thread starts
    EXPECT_EQ(Call(f, {N(0)}).as<Qlt::NumVal>()->Data.rp, 1.0);
    EXPECT_EQ(IqlAllocator::m_current, nullptr);
}

}  // namespace
