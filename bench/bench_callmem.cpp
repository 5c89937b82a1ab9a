// Call memory against the general heap: placing a record, taking element
// blocks, making a call context; and the floating-point set-up around a
// native call against an empty call.
#include <cfenv>
#include <cstdlib>

#include <benchmark/benchmark.h>

#include <efi/efi.h>

#include "bridge/call_scope.h"

// One record placed in the value area. The inline buffer holds three
// records; it is rewound when full so that the loop measures placement, not
// the growth of the chain.
static void BM_place_record__arena(benchmark::State& state) {
    IqlAllocator a;
    double plane[1] = {};
    for (auto _ : state) {
        benchmark::DoNotOptimize(array_val::mk(&a, 1, 1, plane, nullptr));
        if (a.m_top == a.m_limit) a.m_top = a.m_limit + sizeof a.m_buf;
    }
}
BENCHMARK(BM_place_record__arena);

static void BM_place_record__baseline(benchmark::State& state) {
    for (auto _ : state) {
        void* p = std::malloc(sizeof(array_val));
        benchmark::DoNotOptimize(p);
        std::free(p);
    }
}
BENCHMARK(BM_place_record__baseline);

// One element block taken and released with its allocator (zero-filled; above
// 1024 bytes a pinned host array).
static void BM_allocate_array__arena(benchmark::State& state) {
    const auto n = static_cast<unsigned>(state.range(0));
    for (auto _ : state) {
        IqlAllocator a;
        benchmark::DoNotOptimize(a.allocate_array(n));
    }
}
BENCHMARK(BM_allocate_array__arena)->Arg(64)->Arg(4096);

static void BM_allocate_array__baseline(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    for (auto _ : state) {
        void* p = std::malloc(n);
        benchmark::DoNotOptimize(p);
        std::free(p);
    }
}
BENCHMARK(BM_allocate_array__baseline)->Arg(64)->Arg(4096);

// A context made outside any call: the process's turn is claimed and given
// back each time, as an invoker does on entry.
static void BM_call_context__arena(benchmark::State& state) {
    for (auto _ : state) {
        Efi::EfiCallContext context;
        benchmark::DoNotOptimize(context.allocator);
    }
}
BENCHMARK(BM_call_context__arena);

static void BM_call_context__baseline(benchmark::State& state) {
    for (auto _ : state) {
        void* p = std::malloc(sizeof(Efi::EfiCallContext));
        benchmark::DoNotOptimize(p);
        std::free(p);
    }
}
BENCHMARK(BM_call_context__baseline);

// A context made inside a running call, as a nested call makes it: the
// thread already holds the turn, so checking it is one comparison.
static void BM_call_context_nested__arena(benchmark::State& state) {
    Efi::EfiCallContext running;
    for (auto _ : state) {
        Efi::EfiCallContext context;
        benchmark::DoNotOptimize(context.allocator);
    }
}
BENCHMARK(BM_call_context_nested__arena);

static void BM_call_context_nested__baseline(benchmark::State& state) { BM_call_context__baseline(state); }
BENCHMARK(BM_call_context_nested__baseline);

// Reset and load of the call word, then reset and load of the host word.
static void BM_fpu_call_word__scope(benchmark::State& state) {
    std::fenv_t env;
    std::fegetenv(&env);
    for (auto _ : state) {
        Efi::detail::FpuCallWord word(Efi::User::kCallControlWord);
        benchmark::ClobberMemory();
    }
    std::fesetenv(&env);
}
BENCHMARK(BM_fpu_call_word__scope);

[[gnu::noinline]] static void EmptyCall() { asm volatile(""); }

static void BM_fpu_call_word__baseline(benchmark::State& state) {
    for (auto _ : state) {
        EmptyCall();
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_fpu_call_word__baseline);

BENCHMARK_MAIN();
