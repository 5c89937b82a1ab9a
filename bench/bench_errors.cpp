// Raising a worksheet error by code against raising the host's error directly.
#include <benchmark/benchmark.h>

#include <efi/efi.h>
#include <vrnrun/vrnrun.h>

static void BM_raise__baseline(benchmark::State& state) {
    for (auto _ : state) {
        try {
            Vrn::Run::AppException::Raise(u"must be a number", 1);
        } catch (const Vrn::Run::AppException& e) {
            benchmark::DoNotOptimize(e.Argument());
        }
    }
}
BENCHMARK(BM_raise__baseline);

static void BM_raise__throw_by_code(benchmark::State& state) {
    for (auto _ : state) {
        try {
            Efi::Throw(0, 1);
        } catch (const Vrn::Run::AppException& e) {
            benchmark::DoNotOptimize(e.Argument());
        }
    }
}
BENCHMARK(BM_raise__throw_by_code);

BENCHMARK_MAIN();
