// Many calls in one process: memory stays flat, every clean-up runs, and a
// processor fault in native code is an error like any other.
#include <unistd.h>

#include <fstream>

#include "bridge_support.h"

namespace {

using namespace bridgetest;

#if defined(__SANITIZE_ADDRESS__)
constexpr int kScale = 100;  // the sanitizer makes each call far slower
// Freed blocks sit in the sanitizer's quarantine, so resident memory grows
// whatever the bridge does; its leak check stands in for the measure.
constexpr long kGrowthAllowedKiB = 1L << 30;
#else
constexpr int kScale = 1;
constexpr long kGrowthAllowedKiB = 0;
#endif

long ResidentKiB() {
    std::ifstream statm("/proc/self/statm");
    long size = 0, resident = 0;
    statm >> size >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

TEST(Soak, ScalarCallsKeepMemoryFlat) {
    const Object f = Sample("sample_add");
    auto* fn = f.as<Vrn::Run::Function>();
    const Object args[] = {N(1, 2), N(3, 4)};
    const int n = 1000000 / kScale;
    efitest::FpEnvGuard guard;
    const auto before = Allocators();
    long warm = 0;
    double sum = 0;
    for (int i = 0; i < n; ++i) {
        if (i == n / 10) warm = ResidentKiB();
        sum += fn->Call(args).as<Qlt::NumVal>()->Data.rp;
    }
    EXPECT_EQ(sum, 4.0 * n);
    EXPECT_TRUE(Allocators() == before);
    EXPECT_LT(ResidentKiB() - warm, 2048 + kGrowthAllowedKiB) << "resident memory grew";
}

TEST(Soak, MatrixCallsMixedWithFailuresKeepMemoryFlat) {
    const Object scale = Sample("sample_scale");
    const Object sqrt = Sample("sample_sqrt");
    std::vector<double> re(100 * 100), im(100 * 100);
    for (std::size_t k = 0; k < re.size(); ++k) re[k] = static_cast<double>(k), im[k] = -1.0;
    const Object m = Vrn::Run::Matrix(100, 100, re, im);
    const int n = 10000 / kScale;
    efitest::FpEnvGuard guard;
    const auto before = Allocators();
    long warm = 0;
    int failures = 0;
    for (int i = 0; i < n; ++i) {
        if (i == n / 10) warm = ResidentKiB();
        Object r = scale.as<Vrn::Run::Function>()->Call(std::vector<Object>{N(0, 1), m});
        ASSERT_EQ(r.as<Qlt::MatVal>()->im(99, 99), 9999.0);
        try {
            sqrt.as<Vrn::Run::Function>()->Call(std::vector<Object>{N(-1)});
        } catch (const Vrn::Run::AppException&) {
            ++failures;
        }
        try {
            scale.as<Vrn::Run::Function>()->Call(std::vector<Object>{N(1), N(1)});
        } catch (const Vrn::Run::AppException&) {
            ++failures;
        }
    }
    EXPECT_EQ(failures, 2 * n);
    EXPECT_TRUE(Allocators() == before);
    EXPECT_LT(ResidentKiB() - warm, 4096 + kGrowthAllowedKiB) << "resident memory grew";
}

}  // namespace

#include <efi/se_exception.h>
#include <vrnrun/faults.h>

namespace {

using namespace bridgetest;

TEST(Faults, ProcessorFaultsLeaveThroughTheCleanUp) {
    Vrn::Run::InstallFaultTranslation();
    const Object divide = Sample("sample_divide");
    EXPECT_THROW(Call(divide, {N(1), N(0)}), SE_FPEDivByZero_Exception);
    EXPECT_THROW(Call(divide, {N(1e300), N(1e-300)}), SE_FPEOverflow_Exception);
    EXPECT_THROW(Call(divide, {N(0), N(0)}), SE_FPEInvalidOperation_Exception);
    // Underflow and inexact results are masked while native code runs.
    EXPECT_EQ(Call(divide, {N(1e-300), N(1e300)}).as<Qlt::NumVal>()->Data.rp, 0.0);
    EXPECT_EQ(Call(divide, {N(1), N(3)}).as<Qlt::NumVal>()->Data.rp, 1.0 / 3.0);
}

TEST(Faults, AThousandDivisionsByZeroInOneProcess) {
    Vrn::Run::InstallFaultTranslation();
    const Object divide = Sample("sample_divide");
    auto* fn = divide.as<Vrn::Run::Function>();
    const Object zero[] = {N(1), N(0)};
    const Object four[] = {N(1), N(4)};
    efitest::FpEnvGuard guard;
    const auto before = Allocators();
    int faults = 0;
    for (int i = 0; i < 1000; ++i) {
        try {
            fn->Call(zero);
        } catch (const SE_FPEDivByZero_Exception& e) {
            ++faults;
            EXPECT_STREQ(SE_Exception::ExceptionStringFromCode(e.GetCode()), "singularity");
        }
        ASSERT_EQ(efitest::X87ControlWord(), Efi::User::kHostControlWord);
    }
    EXPECT_EQ(faults, 1000);
    EXPECT_TRUE(Allocators() == before);
    EXPECT_EQ(fn->Call(four).as<Qlt::NumVal>()->Data.rp, 0.25);
}

}  // namespace
