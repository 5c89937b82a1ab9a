#include <cstdint>

#include <efi/efi.h>
#include <vrnrun/faults.h>

#include "efi_test.h"

extern "C" double fault_divide(double a, double b);
extern "C" double fault_multiply(double a, double b);
extern "C" int fault_int_divide(int a, int b);

namespace {

constexpr int kRounds = 1000;

class FaultTranslation : public ::testing::Test {
protected:
    void SetUp() override { Vrn::Run::InstallFaultTranslation(); }
    efitest::FpEnvGuard guard_;

    // The handler is left by the exception, so the reset state it ran with stays.
    static void ExpectResetUnit() {
        EXPECT_EQ(efitest::X87ControlWord(), 0x37F);
        EXPECT_EQ(efitest::Mxcsr(), 0x1F80u);
    }
};

TEST_F(FaultTranslation, DivisionByZeroIsCaughtAsItsClassAgainAndAgain) {
    int caught = 0;
    for (int i = 0; i < kRounds; ++i) {
        Efi::User::set_control_word(Efi::User::kCallControlWord);
        try {
            fault_divide(1.0, 0.0);
        } catch (const SE_FPEDivByZero_Exception& e) {
            ++caught;
            if (e.GetCode() != 0xC000008E || !(e.status() & 0x8u) || !e.GetRecord() ||
                e.GetRecord()->ExceptionRecord->ExceptionCode != 0xC000008E)
                ADD_FAILURE() << "round " << i << ": code " << std::hex << e.GetCode() << " status " << e.status();
        }
    }
    EXPECT_EQ(caught, kRounds);
    ExpectResetUnit();
    EXPECT_EQ(_clearfp(), 0u) << "the exception took the pending flags";
}

TEST_F(FaultTranslation, OverflowIsCaughtThroughTheFpeBase) {
    int caught = 0;
    for (int i = 0; i < kRounds; ++i) {
        Efi::User::set_control_word(Efi::User::kCallControlWord);
        try {
            fault_multiply(1e300, 1e300);
        } catch (SE_FPE_Exception& e) {
            if (e.IsOverflow() && e.GetCode() == 0xC0000091 && (e.status() & 0x4u)) ++caught;
        }
    }
    EXPECT_EQ(caught, kRounds);
    ExpectResetUnit();
}

TEST_F(FaultTranslation, InvalidOperationIsCaughtAsFloatingPointError) {
    int caught = 0;
    for (int i = 0; i < kRounds; ++i) {
        Efi::User::set_control_word(Efi::User::kCallControlWord);
        try {
            fault_divide(0.0, 0.0);
        } catch (const SE_FPE_Exception& e) {
            const auto* fpe = dynamic_cast<const SE_FPEInvalidOperation_Exception*>(&e);
            if (fpe && fpe->IsInvalid() && (fpe->status() & 0x10u) &&
                std::string(SE_Exception::ExceptionStringFromCode(e.GetCode())) == "floating point error")
                ++caught;
        }
    }
    EXPECT_EQ(caught, kRounds);
    ExpectResetUnit();
}

TEST_F(FaultTranslation, IntegerDivisionByZero) {
    try {
        fault_int_divide(1, 0);
        ADD_FAILURE() << "no fault";
    } catch (const SE_INTDivByZero_Exception& e) {
        EXPECT_EQ(e.GetCode(), 0xC0000094u);
        EXPECT_NE(e.GetRecord()->ExceptionRecord->ExceptionAddress, nullptr);
    }
}

}  // namespace
