#include <cfenv>
#include <cstdint>
#include <string>
#include <utility>

#include <efi/efi.h>
#include <efi/host/fault_recovery.h>

#include "efi_test.h"

namespace {

TEST(ExceptionStringFromCode, EveryCodeOfTheTableAndUnknown) {
    struct Case {
        std::uint32_t code;
        const char* text;
    };
    const Case cases[] = {
        {0x80000001, "EXCEPTION_GUARD_PAGE"},
        {0x80000002, "EXCEPTION_DATATYPE_MISALIGNMENT"},
        {0x80000003, "EXCEPTION_BREAKPOINT"},
        {0x80000004, "EXCEPTION_SINGLE_STEP"},
        {0xC0000005, "EXCEPTION_ACCESS_VIOLATION"},
        {0xC0000006, "EXCEPTION_IN_PAGE_ERROR"},
        {0xC000001D, "EXCEPTION_ILLEGAL_INSTRUCTION"},
        {0xC0000025, "EXCEPTION_NONCONTINUABLE_EXCEPTION"},
        {0xC0000026, "EXCEPTION_INVALID_DISPOSITION"},
        {0xC000008C, "index out of bounds"},
        {0xC000008D, "EXCEPTION_FLT_DENORMAL_OPERAND"},
        {0xC000008E, "singularity"},
        {0xC000008F, "EXCEPTION_FLT_INEXACT_RESULT"},
        {0xC0000090, "floating point error"},
        {0xC0000091, "overflow"},
        {0xC0000092, "EXCEPTION_FLT_STACK_CHECK"},
        {0xC0000093, "EXCEPTION_FLT_UNDERFLOW"},
        {0xC0000094, "EXCEPTION_INT_DIVIDE_BY_ZERO"},
        {0xC0000095, "EXCEPTION_INT_OVERFLOW"},
        {0xC0000096, "EXCEPTION_PRIV_INSTRUCTION"},
        {0xC00000FD, "EXCEPTION_STACK_OVERFLOW"},
        // Codes outside the table, next to codes in it.
        {0, "EXCEPTION_UNKNOWN_EXCEPTION"},
        {0x80000005, "EXCEPTION_UNKNOWN_EXCEPTION"},
        {0xC0000097, "EXCEPTION_UNKNOWN_EXCEPTION"},
        {0x40000005, "EXCEPTION_UNKNOWN_EXCEPTION"},
        {0xFFFFFFFF, "EXCEPTION_UNKNOWN_EXCEPTION"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        const char* text = SE_Exception::ExceptionStringFromCode(c.code);
        ASSERT_NE(text, nullptr);
        EXPECT_STREQ(text, c.text);
    }
}

// The seven predicates of one object, in declaration order.
std::string Predicates(const SE_FPE_Exception& e) {
    std::string bits;
    for (int v : {e.IsOverflow(), e.IsDenormal(), e.IsDivByZero(), e.IsInexact(), e.IsInvalid(), e.IsStackCheck(),
                  e.IsUnderflow()})
        bits += static_cast<char>('0' + v);
    return bits;
}

TEST(FpeException, EachClassAnswersOnlyItsOwnPredicateThroughTheBase) {
    efitest::FpEnvGuard guard;
    EXPECT_EQ(Predicates(SE_FPE_Exception()), "0000000");
    EXPECT_EQ(Predicates(SE_FPEOverflow_Exception()), "1000000");
    EXPECT_EQ(Predicates(SE_FPEDenormal_Exception()), "0100000");
    EXPECT_EQ(Predicates(SE_FPEDivByZero_Exception()), "0010000");
    EXPECT_EQ(Predicates(SE_FPEInexactResult_Exception()), "0001000");
    EXPECT_EQ(Predicates(SE_FPEInvalidOperation_Exception()), "0000100");
    EXPECT_EQ(Predicates(SE_FPEStackCheck_Exception()), "0000010");
    EXPECT_EQ(Predicates(SE_FPEUnderflow_Exception()), "0000001");
}

TEST(FpeException, PredicatesIgnoreTheStatusWord) {
    efitest::FpEnvGuard guard;
    std::feraiseexcept(FE_DIVBYZERO | FE_INVALID);
    const std::uint32_t code = 0xC0000091;
    SE_FPEOverflow_Exception e(code, nullptr);
    EXPECT_EQ(e.status() & 0x18u, 0x18u);
    EXPECT_EQ(Predicates(e), "1000000");
    EXPECT_EQ(e.GetCode(), code);
}

double Divide(double a, double b) {
    volatile double x = a, y = b;
    return x / y;
}

TEST(FpeException, ConstructionCapturesAndClearsPendingFlagsCopyLeavesTheUnit) {
    efitest::FpEnvGuard guard;
    Efi::User::init_fpu();  // everything masked: the division only sets the flag
    EXPECT_TRUE(std::isinf(Divide(1.0, 0.0)));
    SE_FPEDivByZero_Exception first;
    EXPECT_EQ(first.status() & 0x8u, 0x8u);
    EXPECT_EQ(std::fetestexcept(FE_DIVBYZERO), 0);

    SE_FPEDivByZero_Exception second;
    EXPECT_EQ(second.status() & 0x8u, 0u);

    std::feraiseexcept(FE_OVERFLOW);
    SE_FPEDivByZero_Exception copy(first);
    EXPECT_EQ(copy.status(), first.status());
    EXPECT_NE(std::fetestexcept(FE_OVERFLOW), 0) << "a copy must not clear the unit";
}

TEST(FpeException, FlagsOfBothUnitsAreCaptured) {
    efitest::FpEnvGuard guard;
    Efi::User::init_fpu();
    volatile long double big = 1e4000L;
    volatile long double product = big * big;  // x87 overflow, SSE untouched
    (void)product;
    SE_FPE_Exception e;
    EXPECT_EQ(e.status() & 0x4u, 0x4u);
    EXPECT_EQ(_clearfp(), 0u);
}

TEST(MemoryException, CastToAccessExceptionThroughABaseReference) {
    SE_Access_Exception access;
    SE_ArrayBounds_Exception bounds;
    SE_DataMisalignment_Exception misaligned;
    SE_Memory_Exception plain;
    SE_Memory_Exception& as_memory = access;
    EXPECT_EQ(as_memory.cast_to_Access_Exception(), &access);
    EXPECT_EQ(static_cast<SE_Memory_Exception&>(bounds).cast_to_Access_Exception(), nullptr);
    EXPECT_EQ(static_cast<SE_Memory_Exception&>(misaligned).cast_to_Access_Exception(), nullptr);
    EXPECT_EQ(plain.cast_to_Access_Exception(), nullptr);
}

// A record as a hook would make it for an access violation.
struct AccessFault {
    EXCEPTION_RECORD record{};
    EXCEPTION_POINTERS pointers{&record, nullptr};
    AccessFault(std::uintptr_t flag, void* address) {
        record.ExceptionCode = 0xC0000005;
        record.NumberParameters = 2;
        record.ExceptionInformation[0] = flag;
        record.ExceptionInformation[1] = reinterpret_cast<std::uintptr_t>(address);
    }
};

TEST(AccessException, ReadWriteAndExecutionFlags) {
    int target = 0;
    struct Case {
        std::uintptr_t flag;
        int reading, writing;
    };
    for (const Case& c : {Case{0, 1, 0}, Case{1, 0, 1}, Case{8, 0, 0}}) {
        SCOPED_TRACE(c.flag);
        AccessFault fault(c.flag, &target);
        const std::uint32_t code = fault.record.ExceptionCode;
        SE_Access_Exception e(code, &fault.pointers);
        EXPECT_EQ(e.WasReading(), c.reading);
        EXPECT_EQ(e.WasWriting(), c.writing);
        EXPECT_EQ(e.VirtualAddress(), &target);
        EXPECT_EQ(e.GetRecord(), &fault.pointers);
        SE_Access_Exception copy(e);
        EXPECT_EQ(copy.GetRecord(), &fault.pointers);
        EXPECT_EQ(copy.GetCode(), 0xC0000005u);
    }
}

TEST(AccessException, WithoutARecordTheQueriesAnswerNothing) {
    SE_Access_Exception e;
    EXPECT_EQ(e.WasReading(), 0);
    EXPECT_EQ(e.WasWriting(), 0);
    EXPECT_EQ(e.VirtualAddress(), nullptr);
}

TEST(OtherFaults, DefaultBuiltHasCodeZeroAndNoRecord) {
    SE_Breakpoint_Exception e;
    EXPECT_EQ(e.GetCode(), 0u);
    EXPECT_EQ(e.GetRecord(), nullptr);
}

// Each fault class keeps the code and record it is made with, through a
// copy; `Thrown` says how a throw of `throwIt` was caught.
template <class Fault, class Throw>
std::string Thrown(std::uint32_t code, const EXCEPTION_POINTERS* record, Throw throwIt) {
    try {
        throwIt();
    } catch (const Fault& e) {
        if (e.GetCode() != code) return "code " + std::to_string(e.GetCode());
        if (e.GetRecord() != record) return "another record";
        return "as its class";
    } catch (const SE_Exception&) {
        return "as another class";
    }
    return "not thrown";
}

template <class Fault>
std::string MadeAndCopied(std::uint32_t code) {
    EXCEPTION_POINTERS pointers{};
    return Thrown<Fault>(code, &pointers, [&] {
        const Fault made(code, &pointers);
        throw Fault(made);
    });
}

TEST(OtherFaults, EachKeepsItsCodeAndRecord) {
    const std::pair<const char*, std::string> rows[] = {
        {"breakpoint", MadeAndCopied<SE_Breakpoint_Exception>(0x80000003)},
        {"guard page", MadeAndCopied<SE_GuardPage_Exception>(0x80000001)},
        {"integer division", MadeAndCopied<SE_INTDivByZero_Exception>(0xC0000094)},
        {"integer overflow", MadeAndCopied<SE_INTOverflow_Exception>(0xC0000095)},
        {"illegal instruction", MadeAndCopied<SE_IllegalInstruction_Exception>(0xC000001D)},
        {"in-page error", MadeAndCopied<SE_InPageError_Exception>(0xC0000006)},
        {"invalid disposition", MadeAndCopied<SE_InvalidDisposition_Exception>(0xC0000026)},
        {"non-continuable", MadeAndCopied<SE_NonContinuable_Exception>(0xC0000025)},
        {"privileged instruction", MadeAndCopied<SE_PrivInstruction_Exception>(0xC0000096)},
        {"single step", MadeAndCopied<SE_SingleStep_Exception>(0x80000004)},
        {"stack overflow", MadeAndCopied<SE_StackOverflow_Exception>(0xC00000FD)},
        {"access", MadeAndCopied<SE_Access_Exception>(0xC0000005)},
        {"data misalignment", MadeAndCopied<SE_DataMisalignment_Exception>(0x80000002)},
        {"array bounds", MadeAndCopied<SE_ArrayBounds_Exception>(0xC000008C)},
        {"denormal", MadeAndCopied<SE_FPEDenormal_Exception>(0xC000008D)},
        {"division by zero", MadeAndCopied<SE_FPEDivByZero_Exception>(0xC000008E)},
        {"inexact", MadeAndCopied<SE_FPEInexactResult_Exception>(0xC000008F)},
        {"invalid operation", MadeAndCopied<SE_FPEInvalidOperation_Exception>(0xC0000090)},
        {"overflow", MadeAndCopied<SE_FPEOverflow_Exception>(0xC0000091)},
        {"stack check", MadeAndCopied<SE_FPEStackCheck_Exception>(0xC0000092)},
        {"underflow", MadeAndCopied<SE_FPEUnderflow_Exception>(0xC0000093)},
    };
    for (const auto& [what, outcome] : rows) EXPECT_EQ(outcome, "as its class") << what;
}

template <class Fault>
std::string ByCode(std::uint32_t code) {
    efitest::FpEnvGuard env;
    EXCEPTION_POINTERS pointers{};
    return Thrown<Fault>(code, &pointers, [&] { Efi::User::ThrowProcessorFault(code, &pointers); });
}

// A fault thrown by its code is of the class for that code; a code of no
// arithmetic fault is the general arithmetic one.
TEST(OtherFaults, ThrownByCodeAsItsClass) {
    const std::pair<std::uint32_t, std::string> rows[] = {
        {0xC000008D, ByCode<SE_FPEDenormal_Exception>(0xC000008D)},
        {0xC000008E, ByCode<SE_FPEDivByZero_Exception>(0xC000008E)},
        {0xC0000091, ByCode<SE_FPEOverflow_Exception>(0xC0000091)},
        {0xC0000090, ByCode<SE_FPEInvalidOperation_Exception>(0xC0000090)},
        {0xC0000093, ByCode<SE_FPEUnderflow_Exception>(0xC0000093)},
        {0xC000008F, ByCode<SE_FPEInexactResult_Exception>(0xC000008F)},
        {0xC0000094, ByCode<SE_INTDivByZero_Exception>(0xC0000094)},
        {0xC0000095, ByCode<SE_INTOverflow_Exception>(0xC0000095)},
        {0xC0000005, ByCode<SE_FPE_Exception>(0xC0000005)},
        {0, ByCode<SE_FPE_Exception>(0)},
    };
    for (const auto& [code, outcome] : rows) EXPECT_EQ(outcome, "as its class") << std::hex << code;
}

}  // namespace
