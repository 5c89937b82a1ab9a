// Calls on two threads against one: a C++ host splitting a sweep of a
// thread-safe function (gsl_j0 of the GSL example) in halves, beside a plain
// loop calling the same GSL function on as many threads, the ceiling of the
// machine for this work. Each row is the time of the whole sweep, wall
// clock; its baseline is the same work on one thread, so the inverse of the
// ratio is the speed-up.
#include <benchmark/benchmark.h>

#ifdef EFI_GSL_MODULE
#include <efi/host/bridge.h>
#include <efi/host/module_loader.h>

#include <gsl/gsl_errno.h>
#include <gsl/gsl_sf_bessel.h>

#include <cfenv>
#include <cstddef>
#include <cstdlib>
#include <exception>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kPoints = 4'000'000;

// Restores the environment the benchmark framework computes in: a call
// leaves the host's trapping word in force.
struct FpRestore {
    std::fenv_t env;
    FpRestore() { std::fegetenv(&env); }
    ~FpRestore() { std::fesetenv(&env); }
};

Efi::User::Function& GslJ0() {
    static const std::vector<Efi::ModuleFunction> fns = Efi::LoadModule(EFI_GSL_MODULE);
    for (const Efi::ModuleFunction& f : fns)
        if (f.name == "gsl_j0") return *Efi::User::Function::Of(f.function);
    std::abort();
}

/// The sweep's points, [0, 1000) as the Python rows take them.
const std::vector<qlComplex>& Points() {
    static const std::vector<qlComplex> x = [] {
        std::vector<qlComplex> v(kPoints);
        for (std::size_t i = 0; i < kPoints; ++i) v[i] = {1000.0 * static_cast<double>(i) / kPoints, 0.0};
        return v;
    }();
    return x;
}

/// Runs `work(begin, end)` over [0, kPoints) split in `threads` equal parts,
/// each on a thread of its own, and waits for all; the text of the first
/// part that failed, or empty.
template <class Work>
std::string Split(int threads, Work work) {
    std::vector<std::string> failures(static_cast<std::size_t>(threads));
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t) {
        const std::size_t begin = kPoints * static_cast<std::size_t>(t) / static_cast<std::size_t>(threads);
        const std::size_t end = kPoints * static_cast<std::size_t>(t + 1) / static_cast<std::size_t>(threads);
        pool.emplace_back([&work, &failures, t, begin, end] {
            try {
                work(begin, end);
            } catch (const std::exception& e) {
                failures[static_cast<std::size_t>(t)] = e.what();
            }
        });
    }
    for (std::thread& t : pool) t.join();
    for (const std::string& f : failures)
        if (!f.empty()) return f;
    return {};
}

/// The sweep of gsl_j0 over the points, split over `threads` threads.
void SweepJ0(benchmark::State& state, int threads) {
    FpRestore restore;
    Efi::User::Function& fn = GslJ0();
    const std::vector<qlComplex>& x = Points();
    std::vector<qlComplex> out(kPoints);
    for (auto _ : state) {
        const std::string failed = Split(threads, [&](std::size_t begin, std::size_t end) {
            const std::span<const qlComplex> columns[] = {std::span(x).subspan(begin, end - begin)};
            Efi::User::SweepOutcome o = fn.SweepWithNumbers(columns, std::span(out).subspan(begin, end - begin));
            if (o.failure) std::rethrow_exception(o.failure);
        });
        if (!failed.empty()) {
            state.SkipWithError(failed.c_str());
            break;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPoints));
}

void BM_ParallelSweepJ0__baseline(benchmark::State& state) { SweepJ0(state, 1); }
BENCHMARK(BM_ParallelSweepJ0__baseline)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ParallelSweepJ0__two_threads(benchmark::State& state) { SweepJ0(state, 2); }
BENCHMARK(BM_ParallelSweepJ0__two_threads)->UseRealTime()->Unit(benchmark::kMillisecond);

/// The same points through GSL's own J0 in a plain loop, no bridge, split
/// over `threads` threads: what the machine gives this work.
void PlainJ0(benchmark::State& state, int threads) {
    gsl_set_error_handler_off();
    const std::vector<qlComplex>& x = Points();
    std::vector<double> out(kPoints);
    for (auto _ : state) {
        Split(threads, [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) out[i] = gsl_sf_bessel_J0(x[i].real);
        });
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kPoints));
}

void BM_ParallelPlainJ0__baseline(benchmark::State& state) { PlainJ0(state, 1); }
BENCHMARK(BM_ParallelPlainJ0__baseline)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_ParallelPlainJ0__two_threads(benchmark::State& state) { PlainJ0(state, 2); }
BENCHMARK(BM_ParallelPlainJ0__two_threads)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace
#endif

BENCHMARK_MAIN();
