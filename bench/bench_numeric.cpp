// The numeric API against the standard library's nearest equivalents.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include <hwy/contrib/sort/vqsort.h>

#include <efi/numeric.h>

namespace {

std::vector<double> Uniform(std::size_t n, double lo, double hi, unsigned seed) {
    std::mt19937_64 gen(seed);
    std::uniform_real_distribution<double> dist(lo, hi);
    std::vector<double> v(n);
    for (double& x : v) x = dist(gen);
    return v;
}

// Arguments over all three ranges of the erf/erfc approximations.
const std::vector<double>& ErfArguments() {
    static const std::vector<double> v = Uniform(4096, -6, 6, 1);
    return v;
}

template <double (*F)(double)>
void ApplyToAll(benchmark::State& state, const std::vector<double>& xs) {
    for (auto _ : state) {
        double sum = 0;
        for (double x : xs) sum += F(x);
        benchmark::DoNotOptimize(sum);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(xs.size()));
}

double StdErf(double x) { return std::erf(x); }
double StdErfc(double x) { return std::erfc(x); }
double StdNearbyint(double x) { return std::nearbyint(x); }

void BM_erf__baseline(benchmark::State& s) { ApplyToAll<StdErf>(s, ErfArguments()); }
void BM_erf__efi(benchmark::State& s) { ApplyToAll<Efi::erf>(s, ErfArguments()); }
void BM_erfc__baseline(benchmark::State& s) { ApplyToAll<StdErfc>(s, ErfArguments()); }
void BM_erfc__efi(benchmark::State& s) { ApplyToAll<Efi::erfc>(s, ErfArguments()); }
BENCHMARK(BM_erf__baseline);
BENCHMARK(BM_erf__efi);
BENCHMARK(BM_erfc__baseline);
BENCHMARK(BM_erfc__efi);

const std::vector<double>& RoundArguments() {
    static const std::vector<double> v = Uniform(4096, -1e6, 1e6, 2);
    return v;
}
void BM_round__baseline(benchmark::State& s) { ApplyToAll<StdNearbyint>(s, RoundArguments()); }
void BM_round__efi(benchmark::State& s) { ApplyToAll<Efi::round>(s, RoundArguments()); }
BENCHMARK(BM_round__baseline);
BENCHMARK(BM_round__efi);

// Each iteration sorts a fresh copy of the same random values; the copy is
// part of both measurements.
template <class Median>
void MedianOfFresh(benchmark::State& state, Median median) {
    static const std::vector<double> source = Uniform(1'000'000, -1000, 1000, 3);
    std::vector<double> work(source.size());
    for (auto _ : state) {
        std::memcpy(work.data(), source.data(), source.size() * sizeof(double));
        benchmark::DoNotOptimize(median(work.data(), static_cast<int>(work.size())));
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(source.size()));
}
void BM_median__baseline(benchmark::State& s) {
    MedianOfFresh(s, [](double* v, int n) {
        std::sort(v, v + n);
        const int upper = (n + 2) / 2 - 1, lower = (n + 1) / 2 - 1;
        return static_cast<double>((static_cast<long double>(v[upper]) + v[lower]) * 0.5L);
    });
}
void BM_median__efi(benchmark::State& s) { MedianOfFresh(s, Efi::median); }
BENCHMARK(BM_median__baseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_median__efi)->Unit(benchmark::kMillisecond);

// The same against the vectorized sort the library sorts with, sorting the
// same doubles as they are: what the median adds to that sort (its NaN
// scan, the middle) is the difference.
void BM_median_sort__baseline(benchmark::State& s) {
    static const hwy::Sorter sorter;
    MedianOfFresh(s, [](double* v, int n) {
        sorter(v, static_cast<std::size_t>(n), hwy::SortAscending());
        const int upper = (n + 2) / 2 - 1, lower = (n + 1) / 2 - 1;
        return static_cast<double>((static_cast<long double>(v[upper]) + v[lower]) * 0.5L);
    });
}
void BM_median_sort__efi(benchmark::State& s) { MedianOfFresh(s, Efi::median); }
BENCHMARK(BM_median_sort__baseline)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_median_sort__efi)->Unit(benchmark::kMillisecond);

void BM_rand__baseline(benchmark::State& state) {
    std::minstd_rand gen(1);
    for (auto _ : state) benchmark::DoNotOptimize(gen());
}
void BM_rand__efi(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(Efi::rand());
}
BENCHMARK(BM_rand__baseline);
BENCHMARK(BM_rand__efi);

}  // namespace

BENCHMARK_MAIN();
