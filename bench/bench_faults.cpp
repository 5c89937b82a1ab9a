// A trapped division by zero caught as SE_FPEDivByZero_Exception, against
// throwing the same exception without a fault: the difference is the price
// of the signal delivery and the unwind through the signal frame.
#include <benchmark/benchmark.h>

#include <cfenv>

#include <efi/efi.h>
#include <vrnrun/faults.h>

namespace {

constexpr std::uint32_t kDivideByZero = 0xC000008E;

[[gnu::noinline]] double Divide(double a, double b) {
    volatile double x = a, y = b;
    return x / y;
}

}  // namespace

static void BM_fault__baseline(benchmark::State& state) {
    std::fenv_t env;
    std::fegetenv(&env);
    for (auto _ : state) {
        Efi::User::set_control_word(Efi::User::kCallControlWord);
        try {
            throw SE_FPEDivByZero_Exception(kDivideByZero, nullptr);
        } catch (const SE_FPE_Exception& e) {
            benchmark::DoNotOptimize(e.status());
        }
    }
    std::fesetenv(&env);
}
BENCHMARK(BM_fault__baseline);

static void BM_fault__trapped_division(benchmark::State& state) {
    Vrn::Run::InstallFaultTranslation();
    std::fenv_t env;
    std::fegetenv(&env);
    for (auto _ : state) {
        Efi::User::set_control_word(Efi::User::kCallControlWord);
        try {
            benchmark::DoNotOptimize(Divide(1.0, 0.0));
        } catch (const SE_FPE_Exception& e) {
            benchmark::DoNotOptimize(e.status());
        }
    }
    std::fesetenv(&env);
}
BENCHMARK(BM_fault__trapped_division);

BENCHMARK_MAIN();
