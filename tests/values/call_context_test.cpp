// The call context: complex-array records in call memory, the native-call
// scope and its floating-point words, and many calls in a row.
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <csignal>
#include <functional>
#include <stdexcept>

#include <efi/call.h>
#include <efi/host/bridge.h>
#include <efi/host/pinned.h>

#include "arena_support.h"
#include "bridge/call_scope.h"
#include "efi_test.h"

namespace {

using Efi::User::ComplexArray;
using Efi::User::QuilletArrayAllocate;

TEST(QuilletArrayAllocate, ShapesAndParts) {
    struct Case {
        std::uint32_t rows, cols;
        int real, imag;
        std::uint32_t storedRows, storedCols;
    };
    const Case cases[] = {
        {5, 7, 0, 0, 0, 0},  // no part: no counts either
        {2, 3, 0, 1, 2, 3},  // imaginary only
        {3, 2, 1, 0, 3, 2}, {1, 3, 1, 1, 1, 3}, {0, 2, 1, 0, 0, 2}, {4, 0, 1, 1, 4, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.rows << "x" << c.cols << " " << c.real << c.imag);
        Efi::EfiCallContext context;
        EXPECT_EQ(context.allocator, &context);
        ComplexArray m{99, 99, reinterpret_cast<double**>(1), reinterpret_cast<double**>(1)};
        ASSERT_TRUE(QuilletArrayAllocate(&m, c.rows, c.cols, c.real, c.imag));
        EXPECT_EQ(m.rows, c.storedRows);
        EXPECT_EQ(m.cols, c.storedCols);
        for (auto [part, wanted] : {std::pair{m.realCols, c.real}, std::pair{m.imagCols, c.imag}}) {
            ASSERT_EQ(part != nullptr, wanted != 0);
            if (!wanted) continue;
            for (std::uint32_t j = 0; j < c.cols; ++j) {
                EXPECT_EQ(part[j], part[0] + j * c.rows);
                for (std::uint32_t i = 0; i < c.rows; ++i) part[j][i] = 1.0;  // all of it is writable
            }
        }
    }
}

TEST(QuilletArrayAllocate, TakesOnePointerArrayAndOneElementBlockPerPart) {
    Efi::EfiCallContext context;
    ComplexArray m{};
    ASSERT_TRUE(QuilletArrayAllocate(&m, 3, 2, 1, 0));
    ASSERT_EQ(efitest::ChainLength(context), 2);
    EXPECT_EQ(context.m_blocks->size, 48u);        // 3 x 2 doubles
    EXPECT_EQ(context.m_blocks->next->size, 16u);  // two column pointers

    // With no columns there is nothing to point at: only an empty pointer array.
    Efi::EfiCallContext empty;
    ASSERT_TRUE(QuilletArrayAllocate(&m, 4, 0, 1, 0));
    ASSERT_EQ(efitest::ChainLength(empty), 1);
    EXPECT_EQ(empty.m_blocks->size, 0u);
}

TEST(QuilletArrayAllocate, LargePartsArePinnedAndFindable) {
    Efi::EfiCallContext context;
    ComplexArray m{};
    ASSERT_TRUE(QuilletArrayAllocate(&m, 20, 20, 1, 1));
    EXPECT_EQ(IqlAllocator::m_NextHandle, IqlAllocator::m_init_handle + 2);
    EXPECT_EQ(PinnedArrayMemory::lookup(m.realCols[0]).size(), 400u);
    EXPECT_EQ(PinnedArrayMemory::lookup(m.imagCols[0]).size(), 400u);
}

TEST(QuilletArrayAllocate, LargePartsAreZeroEvenInBlocksTheHostReuses) {
    // Native code gets these blocks unwritten, so stale values in a block the
    // host kept after an earlier array was released must not show through.
    constexpr std::size_t kCount = 300 * 200;
    Qlt::DoubleArray::release_spare_blocks();
    {
        Qlt::DoubleArray a = Qlt::DoubleArray::make_for_overwrite(kCount);
        Qlt::DoubleArray b = Qlt::DoubleArray::make_for_overwrite(kCount);
        std::fill_n(a.data(), kCount, 0.5);
        std::fill_n(b.data(), kCount, 0.5);
    }
    ASSERT_EQ(Qlt::DoubleArray::spare_block_count(), 2u);
    Efi::EfiCallContext context;
    ComplexArray m{};
    ASSERT_TRUE(QuilletArrayAllocate(&m, 300, 200, 1, 1));
    EXPECT_EQ(Qlt::DoubleArray::spare_block_count(), 0u) << "the kept blocks were not reused";
    EXPECT_EQ(std::count(m.realCols[0], m.realCols[0] + kCount, 0.0), static_cast<long>(kCount));
    EXPECT_EQ(std::count(m.imagCols[0], m.imagCols[0] + kCount, 0.0), static_cast<long>(kCount));
}

TEST(QuilletArrayAllocate, RefusesWithoutWritingOrWrappingSizes) {
    EXPECT_FALSE(QuilletArrayAllocate(nullptr, 2, 2, 1, 1));
    ComplexArray m{7, 8, nullptr, nullptr};
    // No call context: nothing to allocate from.
    ASSERT_EQ(IqlAllocator::m_current, nullptr);
    EXPECT_FALSE(QuilletArrayAllocate(&m, 2, 2, 1, 1));

    Efi::EfiCallContext context;
    // 65536 x 65536 doubles and 2^29 column pointers do not fit 32-bit sizes.
    EXPECT_APP_ERROR(QuilletArrayAllocate(&m, 65536, 65536, 1, 0), "out of memory", 4294967295u);
    EXPECT_APP_ERROR(QuilletArrayAllocate(&m, 0, 0x20000000u, 0, 1), "out of memory", 4294967295u);
    EXPECT_EQ(m.rows, 7u);
    EXPECT_EQ(m.cols, 8u);
    EXPECT_EQ(context.m_blocks, nullptr);
    EXPECT_EQ(IqlAllocator::m_NextHandle, IqlAllocator::m_init_handle);
}

// What the call word and a context inside it leave behind, read before the environment is
// restored so that test code never runs under a trapping word.
struct ScopeObservation {
    std::uint16_t insideWord = 0, afterWord = 0;
    std::uint32_t insideMxcsr = 0, afterMxcsr = 0;
    bool insideCurrent = false;
    int pendingAfter = -1;
    IqlAllocator* currentAfter = nullptr;
};

ScopeObservation RunScope(bool raise) {
    ScopeObservation seen;
    efitest::FpEnvGuard env;
    try {
        Efi::detail::FpuCallWord word(Efi::User::kCallControlWord);
        Efi::EfiCallContext scope;
        seen.insideWord = efitest::X87ControlWord();
        seen.insideMxcsr = efitest::Mxcsr();
        seen.insideCurrent = IqlAllocator::m_current == &scope;
        scope.allocate_array(64);
        scope.allocate_array(4096);
        string_val::mk(&scope, u"left behind");
        volatile double tiny = 1e-300;
        volatile double underflow = tiny * tiny;  // masked: leaves flags pending
        (void)underflow;
        if (raise) throw std::runtime_error("native failure");
    } catch (const std::runtime_error&) {
    }
    seen.afterWord = efitest::X87ControlWord();
    seen.afterMxcsr = efitest::Mxcsr();
    seen.pendingAfter = std::fetestexcept(FE_ALL_EXCEPT);
    seen.currentAfter = IqlAllocator::m_current;
    return seen;
}

TEST(FpuCallWord, LoadsTheCallWordAndRestoresTheHostWordOnEveryExit) {
    for (bool raise : {false, true}) {
        SCOPED_TRACE(raise ? "exception" : "return");
        IqlAllocator* const before = IqlAllocator::m_current;
        const int next = IqlAllocator::m_NextHandle;
        const ScopeObservation seen = RunScope(raise);
        EXPECT_EQ(seen.insideWord, 0x372);
        EXPECT_EQ((seen.insideMxcsr >> 7) & 0x3F, 0x32u);  // invalid, zero divide, overflow trap
        EXPECT_TRUE(seen.insideCurrent);
        EXPECT_EQ(seen.afterWord, 0x273);
        EXPECT_EQ((seen.afterMxcsr >> 7) & 0x3F, 0x33u);  // zero divide, overflow trap
        EXPECT_EQ(seen.afterMxcsr & 0x3F, 0u);
        EXPECT_EQ(seen.pendingAfter, 0);
        EXPECT_EQ(seen.currentAfter, before);
        EXPECT_EQ(IqlAllocator::m_NextHandle, next);
    }
}

TEST(FpuCallWord, EndsWithTheStateOfTheInnermostHostScope) {
    using Efi::User::HostFpScope;
    using Efi::User::HostFpState;
    // Exactly the given word and MXCSR, rounding mode and pending SSE flags
    // included, on both exits; x87 flags are cleared as after any call.
    const HostFpState states[] = {{0x037F, 0x1F80}, {0x027F, 0x7F80 | 0x20}, {0x0C7F, 0x1FBF}};
    for (const HostFpState& state : states) {
        for (bool raise : {false, true}) {
            SCOPED_TRACE(testing::Message() << std::hex << state.x87Control << " " << state.mxcsr << " " << raise);
            HostFpScope host(state);
            const ScopeObservation seen = RunScope(raise);
            EXPECT_EQ(seen.insideWord, 0x372);
            EXPECT_EQ(seen.afterWord, state.x87Control);
            EXPECT_EQ(seen.afterMxcsr, state.mxcsr);
            EXPECT_EQ(seen.pendingAfter & ~(state.mxcsr & FE_ALL_EXCEPT), 0);
        }
    }
    // Scopes nest; the worksheet host's word comes back after the last.
    EXPECT_EQ(HostFpScope::Current(), nullptr);
    {
        HostFpScope outer(states[0]);
        {
            HostFpScope inner(states[1]);
            EXPECT_EQ(RunScope(false).afterWord, states[1].x87Control);
        }
        EXPECT_EQ(RunScope(false).afterWord, states[0].x87Control);
    }
    EXPECT_EQ(HostFpScope::Current(), nullptr);
    EXPECT_EQ(RunScope(false).afterWord, Efi::User::kHostControlWord);
}

// The x87 control, status and tag words as fnstenv stores them.
struct X87State {
    std::uint16_t control, status, tags;
    bool operator==(const X87State&) const = default;
};
X87State ReadX87State() {
    std::uint32_t env[7];
    asm volatile("fnstenv %0" : "=m"(env)::"memory");
    asm volatile("fldcw %0" ::"m"(env[0]) : "memory");  // fnstenv masks everything
    return {static_cast<std::uint16_t>(env[0]), static_cast<std::uint16_t>(env[1]), static_cast<std::uint16_t>(env[2])};
}

TEST(FloatingPoint, CallScopeLeavesTheUnitsAsAResetAndALoadWould) {
    // A value left on the x87 stack and a flag raised before the call must
    // be gone, on the way in and on the way out, exactly as after init_fpu
    // and set_control_word.
    for (std::uint16_t cw : {Efi::User::kCallControlWord, Efi::User::kHostControlWord}) {
        SCOPED_TRACE(cw);
        efitest::FpEnvGuard env;
        Efi::User::init_fpu();
        Efi::User::set_control_word(cw);
        const X87State expected = ReadX87State();
        const std::uint32_t expectedMxcsr = efitest::Mxcsr();

        Efi::User::init_fpu();
        asm volatile("fld1\n\tfldz\n\tfdivp" ::: "memory", "st");  // masked: leaves inf and a flag
        Efi::detail::ResetUnitsTo(cw);
        EXPECT_EQ(ReadX87State(), expected);
        EXPECT_EQ(efitest::Mxcsr(), expectedMxcsr);
    }
}

TEST(FloatingPoint, SetControlWordReturnsThePreviousWord) {
    std::uint32_t first, second, third;
    {
        efitest::FpEnvGuard env;
        Efi::User::init_fpu();
        first = Efi::User::set_control_word(0x273);
        second = Efi::User::set_control_word(0x273);
        third = Efi::User::set_control_word(0x37F);
    }
    EXPECT_EQ(first, 0x37Fu);
    EXPECT_EQ(second, 0x273u);
    EXPECT_EQ(third, 0x273u);
}

// Runs `body` in a child process; true when the child took SIGFPE, false
// when it returned normally. The child's own handler reports the trap, so a
// sanitizer's handler does not get to turn it into an ordinary failure.
constexpr int kTrapped = 77;
bool TrapsInChild(const std::function<void()>& body) {
    const pid_t pid = fork();
    if (pid == 0) {
        struct sigaction action {};
        action.sa_handler = [](int) { _exit(kTrapped); };
        sigaction(SIGFPE, &action, nullptr);
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && (WEXITSTATUS(status) == 0 || WEXITSTATUS(status) == kTrapped))
        << "child status " << status;
    return WIFEXITED(status) && WEXITSTATUS(status) == kTrapped;
}

volatile double g_zero = 0.0, g_one = 1.0, g_minus_one = -1.0, g_inf = INFINITY;

void DivideByZero() { g_one = g_one / g_zero; }
void SquareRootOfMinusOne() { g_one = std::sqrt(g_minus_one); }
void ZeroTimesInfinity() { g_one = g_zero * g_inf; }
void LongDivideByZero() {
    volatile long double one = 1.0L, zero = 0.0L;
    one = one / zero;
}

TEST(FloatingPoint, WhichOperationsTrapUnderEachWord) {
    struct Case {
        std::uint16_t word;
        void (*operation)();
        const char* name;
        bool traps;
    };
    const Case cases[] = {
        {0x372, DivideByZero, "1/0", true},         {0x372, SquareRootOfMinusOne, "sqrt(-1)", true},
        {0x372, ZeroTimesInfinity, "0*inf", true},  {0x372, LongDivideByZero, "x87 1/0", true},
        {0x273, DivideByZero, "1/0", true},         {0x273, SquareRootOfMinusOne, "sqrt(-1)", false},
        {0x273, ZeroTimesInfinity, "0*inf", false}, {0x273, LongDivideByZero, "x87 1/0", true},
        {0x37F, DivideByZero, "1/0", false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TrapsInChild([&] {
                      Efi::User::init_fpu();
                      Efi::User::set_control_word(c.word);
                      c.operation();
                  }),
                  c.traps)
            << std::hex << c.word << " " << c.name;
    }
}

TEST(FloatingPoint, FlagsRaisedBeforeALoadDoNotSurviveIt) {
    // Pending x87 flags would fault at the next x87 instruction once unmasked.
    EXPECT_FALSE(TrapsInChild([] {
        Efi::User::init_fpu();
        DivideByZero();
        LongDivideByZero();
        Efi::detail::FpuCallWord word(Efi::User::kCallControlWord);
        volatile long double x = 2.0L;
        x = x * x;
        if (_clearfp() != 0) _exit(3);
    }));
}

// Many calls in a row, some nested, each with every kind of call memory.
TEST(CallContext, ManyNestedAndSequentialCallsLeaveNothingBehind) {
    IqlAllocator* const before = IqlAllocator::m_current;
    const int next = IqlAllocator::m_NextHandle;
    for (int call = 0; call < 100000; ++call) {
        Efi::EfiCallContext context;
        for (int i = 0; i < 5; ++i) new (context.allocator, gc::Value(1)) qlComplex{1.0 * i, 0.0};
        array_val* record = array_val::mk(context.allocator, 2, 4, nullptr, nullptr);
        record->m_re = static_cast<double*>(context.allocate_array(64));
        record->set_element(3, 1.0, 2.0);
        string_val::mk(context.allocator, u"text");
        const dblptr nested = dblptr::make(context.allocator, reinterpret_cast<sAnyval*>(record));
        if (nested.ptr != 1u) FAIL() << "nested-record table not emptied before call " << call;
        if (call % 64 == 0) context.allocate_array(2048);
        if (call % 8 == 0) {
            Efi::EfiCallContext inner;
            inner.allocate_array(16);
            sAnyval* copy = nullptr;
            inner.cp(reinterpret_cast<sAnyval*>(record), &copy, false, false);
            if (call % 128 == 0) inner.allocate_array(1500);
            PinnedArrayMemory::unref(IqlAllocator::m_init_handle);
        }
        PinnedArrayMemory::unref(IqlAllocator::m_init_handle);
    }
    EXPECT_EQ(IqlAllocator::m_current, before);
    EXPECT_EQ(IqlAllocator::m_NextHandle, next);
}

}  // namespace
