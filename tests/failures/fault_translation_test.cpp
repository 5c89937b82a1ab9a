#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <thread>

#include <efi/efi.h>
#include <vrnrun/faults.h>

#include "efi_test.h"

extern "C" double fault_divide(double a, double b);
extern "C" double fault_multiply(double a, double b);
extern "C" int fault_int_divide(int a, int b);
extern "C" long double fault_divide_long(long double a, long double b);

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

// The control word that traps just the one exception `unmasked` (x87 mask bit).
std::uint16_t TrapOnly(std::uint16_t mask_bit) { return static_cast<std::uint16_t>(0x37F & ~mask_bit); }

TEST_F(FaultTranslation, LessCommonTrapsMapToTheirClasses) {
    struct Case {
        const char* what;
        std::uint16_t mask_bit;
        double a, b;
        std::uint32_t code;
        int (SE_FPE_Exception::*predicate)() const noexcept;
        std::uint32_t status_bit;
    };
    const double denormal = 1e-310;
    const Case cases[] = {
        {"underflow", 0x10, 1e-300, 1e300, 0xC0000093, &SE_FPE_Exception::IsUnderflow, 0x2},
        {"denormal operand", 0x02, denormal, 1.0, 0xC000008D, &SE_FPE_Exception::IsDenormal, 0x80000},
        {"inexact", 0x20, 1.0, 3.0, 0xC000008F, &SE_FPE_Exception::IsInexact, 0x1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Efi::User::set_control_word(TrapOnly(c.mask_bit));
        try {
            fault_divide(c.a, c.b);
            ADD_FAILURE() << "no fault";
        } catch (const SE_FPE_Exception& e) {
            EXPECT_EQ(e.GetCode(), c.code);
            EXPECT_EQ((e.*c.predicate)(), 1);
            EXPECT_EQ(e.status() & c.status_bit, c.status_bit);
        }
        ExpectResetUnit();
    }
}

// A masked region gives every trapping operation its masked result in both
// units, then brings back the words as they were, with the flags that were
// pending before it and none of those raised inside: an x87 flag left
// pending under an unmasked word would fault at the next x87 instruction.
TEST_F(FaultTranslation, MaskedRegionsRestoreWordsAndEarlierFlagsOnly) {
    const double inf = std::numeric_limits<double>::infinity();
    for (std::uint16_t word : {Efi::User::kCallControlWord, Efi::User::kHostControlWord, TrapOnly(0x1F)}) {
        SCOPED_TRACE(word);
        Efi::User::set_control_word(word);
        const std::uint32_t mxcsr = efitest::Mxcsr();
        fault_divide(1.0, 3.0);  // inexact, masked under every word here
        {
            Efi::CMaskedTraps masked;
            EXPECT_EQ(fault_divide(1.0, 0.0), inf);
            EXPECT_EQ(fault_multiply(1e300, 1e300), inf);
            EXPECT_TRUE(std::isnan(fault_divide(0.0, 0.0)));
            EXPECT_EQ(fault_divide_long(1.0L, 0.0L), inf);
            EXPECT_TRUE(std::isnan(fault_divide_long(0.0L, 0.0L)));
        }
        EXPECT_EQ(efitest::X87ControlWord(), word);
        EXPECT_EQ(efitest::Mxcsr(), mxcsr | 0x20u) << "the SSE word with the earlier inexact flag";
        EXPECT_EQ(fault_divide_long(1.0L, 2.0L), 0.5L) << "nothing pending in x87";
        EXPECT_EQ(_clearfp(), 0x1u) << "only the earlier inexact flag";
        EXPECT_THROW(fault_divide(1.0, 0.0), SE_FPEDivByZero_Exception);
    }
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

TEST_F(FaultTranslation, EachThreadHasItsOwnRecord) {
    const EXCEPTION_POINTERS* here = nullptr;
    const EXCEPTION_POINTERS* there = nullptr;
    auto fault = [](const EXCEPTION_POINTERS*& record) {
        Efi::User::set_control_word(Efi::User::kCallControlWord);
        try {
            fault_divide(1.0, 0.0);
        } catch (const SE_FPEDivByZero_Exception& e) {
            record = e.GetRecord();
        }
    };
    fault(here);
    std::thread other([&] {
        Vrn::Run::InstallFaultTranslation();  // a thread of the host's own asks for it
        fault(there);
    });
    other.join();
    ASSERT_NE(here, nullptr);
    ASSERT_NE(there, nullptr);
    EXPECT_NE(here, there);
}

TEST(FaultTranslationDeathTest, SentSignalKeepsItsDefaultAction) {
    // raise() interrupts no faulting instruction; throwing there would unwind
    // from an arbitrary point, so the signal gets the action it had before
    // (here the default; a sanitizer would otherwise have its own).
    EXPECT_EXIT(
        {
            std::signal(SIGFPE, SIG_DFL);
            Vrn::Run::InstallFaultTranslation();
            std::raise(SIGFPE);
        },
        ::testing::KilledBySignal(SIGFPE), "");
}

volatile sig_atomic_t g_passed_on = 0;

// A sent signal goes to the action installed before the translation, as it
// was installed; the process goes on. Each row in a process of its own (the
// translation is installed once per process).
TEST(FaultTranslationDeathTest, SentSignalGoesToTheActionInstalledBefore) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    struct Row {
        const char* what;
        void (*install)();
        int calls;  // of the handler installed before, for one signal sent
    };
    const Row rows[] = {
        {"handler with information",
         [] {
             struct sigaction a {};
             a.sa_flags = SA_SIGINFO;
             a.sa_sigaction = [](int s, siginfo_t* info, void*) {
                 if (s == SIGFPE && info->si_code <= 0) g_passed_on = g_passed_on + 1;
             };
             sigaction(SIGFPE, &a, nullptr);
         },
         1},
        {"plain handler",
         [] {
             std::signal(SIGFPE, [](int s) {
                 if (s == SIGFPE) g_passed_on = g_passed_on + 1;
             });
         },
         1},
        {"ignored", [] { std::signal(SIGFPE, SIG_IGN); }, 0},
    };
    for (const Row& r : rows) {
        EXPECT_EXIT(
            {
                r.install();
                Vrn::Run::InstallFaultTranslation();
                std::raise(SIGFPE);
                std::exit(g_passed_on == r.calls ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << r.what;
    }
}

// A runtime that wraps the process's handlers may block every signal while
// its wrapper runs (the thread sanitizer's does). The throw leaves the
// wrapper without the kernel's return that would unblock them, so the
// translation puts back the mask the faulting code ran with: the next fault
// is translated again, and no signal stays blocked.
struct sigaction g_translation {};

TEST(FaultTranslationDeathTest, AWrappingHandlerLeavesNoSignalBlocked) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            Vrn::Run::InstallFaultTranslation();
            sigaction(SIGFPE, nullptr, &g_translation);
            struct sigaction wrapper {};
            wrapper.sa_flags = SA_SIGINFO;
            sigfillset(&wrapper.sa_mask);
            wrapper.sa_sigaction = [](int s, siginfo_t* info, void* context) {
                g_translation.sa_sigaction(s, info, context);
            };
            sigaction(SIGFPE, &wrapper, nullptr);
            int caught = 0;
            for (int round = 0; round < 2; ++round) {
                Efi::User::set_control_word(Efi::User::kCallControlWord);
                try {
                    fault_divide(1.0, 0.0);
                } catch (const SE_FPEDivByZero_Exception&) {
                    ++caught;
                }
            }
            sigset_t blocked;
            pthread_sigmask(SIG_SETMASK, nullptr, &blocked);
            std::exit(caught == 2 && !sigismember(&blocked, SIGUSR1) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
