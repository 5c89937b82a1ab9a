// The call bridge against the floor of the same work done by hand.
#include <benchmark/benchmark.h>

#include <efi/bind.h>
#include <efi/errors.h>
#include <efi/host/bridge.h>
#include <efi/host/delegates.h>
#include <efi/host/marshal.h>
#include <efi/host/module_loader.h>

#include "bridge/call_scope.h"

#include <cfenv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <vector>

using Efi::User::Value;
using Vrn::Run::Object;

namespace {

// The native functions, kept out of line so the floor calls them as the
// bridge does.
extern "C" __attribute__((noinline)) std::uint32_t bench_add(Value* r, const Value* a, const Value* b) {
    r->real = a->real + b->real;
    r->imag = a->imag + b->imag;
    return 0;
}

// Returns a copy of M in malloc'ed blocks, as a matrix function must: the
// least work a native function returning a matrix can do.
extern "C" __attribute__((noinline)) std::uint32_t bench_copy(Value* r, const Value* m) {
    const std::uint32_t rows = m->array.rows, cols = m->array.cols;
    const std::size_t n = static_cast<std::size_t>(rows) * cols;
    auto** p = static_cast<double**>(std::malloc(sizeof(double*) * cols));
    auto* block = static_cast<double*>(std::malloc(sizeof(double) * n));
    std::memcpy(block, m->array.realCols[0], sizeof(double) * n);
    for (std::uint32_t c = 0; c < cols; ++c) p[c] = block + c * rows;
    r->array = {rows, cols, p, nullptr};
    return 0;
}

// Restores the environment the benchmark framework computes in: a call
// leaves the host's trapping word in force.
struct FpRestore {
    std::fenv_t env;
    FpRestore() { std::fegetenv(&env); }
    ~FpRestore() { std::fesetenv(&env); }
};

void BM_ScalarCall__baseline(benchmark::State& state) {
    FpRestore restore;
    Object a = Vrn::Run::Number(1, 2), b = Vrn::Run::Number(3, 4);
    for (auto _ : state) {
        // The cheapest form of the reset and word load the bridge must make.
        Efi::detail::ResetUnitsTo(Efi::User::kCallControlWord);
        Value r{}, x, y;
        x.real = a.as<Qlt::NumVal>()->Data.rp, x.imag = a.as<Qlt::NumVal>()->Data.ip;
        y.real = b.as<Qlt::NumVal>()->Data.rp, y.imag = b.as<Qlt::NumVal>()->Data.ip;
        bench_add(&r, &x, &y);
        Object out = Vrn::Run::make<Qlt::NumVal>(r.real, r.imag);
        Efi::detail::ResetUnitsTo(Efi::User::kHostControlWord);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_ScalarCall__baseline);

void BM_ScalarCall__invoke2(benchmark::State& state) {
    FpRestore restore;
    Object f = Efi::User::Function::Thunk(u"add", reinterpret_cast<std::intptr_t>(&bench_add), 1, {1, 1}, std::nullopt);
    const auto* fn = f.as<Vrn::Run::Function>();
    const Object args[] = {Vrn::Run::Number(1, 2), Vrn::Run::Number(3, 4)};
    for (auto _ : state) {
        Object out = fn->Call(args);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_ScalarCall__invoke2);

// A call with numbers and no host values (CallWithNumbers), against the
// same floor without the host values.
void BM_NumberCall__baseline(benchmark::State& state) {
    FpRestore restore;
    const qlComplex a{1, 2}, b{3, 4};
    for (auto _ : state) {
        Efi::detail::ResetUnitsTo(Efi::User::kCallControlWord);
        Value r{}, x, y;
        x.real = a.real, x.imag = a.imag;
        y.real = b.real, y.imag = b.imag;
        bench_add(&r, &x, &y);
        qlComplex out{r.real, r.imag};
        Efi::detail::ResetUnitsTo(Efi::User::kHostControlWord);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_NumberCall__baseline);

void BM_NumberCall__call_with_numbers(benchmark::State& state) {
    FpRestore restore;
    Object f = Efi::User::Function::Thunk(u"add", reinterpret_cast<std::intptr_t>(&bench_add), 1, {1, 1}, std::nullopt);
    Efi::User::Function* fn = Efi::User::Function::Of(f);
    const qlComplex args[] = {{1, 2}, {3, 4}};
    for (auto _ : state) {
        qlComplex out = fn->CallWithNumbers(args);
        benchmark::DoNotOptimize(out);
    }
}
BENCHMARK(BM_NumberCall__call_with_numbers);

// A typed function (<efi/bind.h>) against its twin written against the
// records by hand, doing the same work with the same checks (a real x, an
// integral n within 32 bits), both called by CallWithNumbers: the row is
// what the layer's generated entry adds to a call.
extern "C" __attribute__((noinline)) std::uint32_t bench_scale_raw(Value* r, const Value* x, const Value* n) {
    if (x->imag != 0.0) Efi::Throw(Efi::StandardError::MustBeAReal, 1);
    const double k = n->real;
    if (n->imag != 0.0 || !(k == k && k >= -2147483648.0 && k < 2147483648.0))
        Efi::Throw(Efi::StandardError::MustBeAnInteger, 2);
    const auto i = static_cast<std::int32_t>(k);
    if (static_cast<double>(i) != k) Efi::Throw(Efi::StandardError::MustBeAnInteger, 2);
    r->real = x->real * i;
    return 0;
}

double bench_scale(double x, std::int32_t n) { return x * n; }

}  // namespace

EFI_BIND_MODULE(efi::def<&bench_scale>("bench_scale", {"x", "n"}, "x * n."));

namespace {

void TypedCall(benchmark::State& state, efi_entry_fn entry) {
    FpRestore restore;
    Object f = Efi::User::Function::Thunk(u"scale", reinterpret_cast<std::intptr_t>(entry), 1, {1, 1}, std::nullopt);
    Efi::User::Function* fn = Efi::User::Function::Of(f);
    const qlComplex args[] = {{1.5, 0}, {3, 0}};
    for (auto _ : state) {
        qlComplex out = fn->CallWithNumbers(args);
        benchmark::DoNotOptimize(out);
    }
}

void BM_TypedCall__baseline(benchmark::State& state) {
    TypedCall(state, reinterpret_cast<efi_entry_fn>(&bench_scale_raw));
}
BENCHMARK(BM_TypedCall__baseline);

void BM_TypedCall__bind(benchmark::State& state) { TypedCall(state, efi_module.functions[0].entry); }
BENCHMARK(BM_TypedCall__bind);

// A sweep of a two-number function over columns (SweepWithNumbers),
// against its floor: a hand-written loop that calls the same native entry
// with the same records under one floating-point set-up. The sums are
// inexact, as most arithmetic is, so every element leaves a flag behind.
constexpr std::size_t kSweep = 4096;

struct SweepColumns {
    std::vector<qlComplex> a, b, out;
    SweepColumns() : a(kSweep), b(kSweep), out(kSweep) {
        for (std::size_t i = 0; i < kSweep; ++i)
            a[i] = {0.1 * static_cast<double>(i), 1.0 / 3.0}, b[i] = {1.0 / 7.0, 0.3};
    }
};

// A floor: `element(i)` (the records of element i filled, the entry
// called, its result) for every element, under one floating-point set-up.
template <class Element>
void UnderOneSetUp(benchmark::State& state, std::vector<qlComplex>& out, Element element) {
    FpRestore restore;
    for (auto _ : state) {
        Efi::detail::ResetUnitsTo(Efi::User::kCallControlWord);
        for (std::size_t i = 0; i < kSweep; ++i) out[i] = element(i);
        Efi::detail::ResetUnitsTo(Efi::User::kHostControlWord);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSweep));
}

// The sweep of `fn` over `columns` into `out`, the row measured against a floor.
void Sweep(benchmark::State& state, Efi::User::Function& fn, std::span<const std::span<const qlComplex>> columns,
           std::vector<qlComplex>& out) {
    FpRestore restore;
    for (auto _ : state) {
        if (fn.SweepWithNumbers(columns, out).failure) std::abort();
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * kSweep));
}

void BM_Sweep__baseline(benchmark::State& state) {
    SweepColumns c;
    // Called through a pointer the compiler cannot see through, as the
    // bridge calls a module's entry.
    std::uint32_t (*volatile entry)(Value*, const Value*, const Value*) = &bench_add;
    UnderOneSetUp(state, c.out, [&](std::size_t i) {
        Value r, x, y;
        std::memset(&r, 0, sizeof r);
        // Each record in one 16-byte store, as the sweep fills them: the
        // native function loads both parts at once, which two 8-byte
        // stores would make wait.
        std::memcpy(&x, &c.a[i], sizeof c.a[i]);
        std::memcpy(&y, &c.b[i], sizeof c.b[i]);
        if (entry(&r, &x, &y) != 0) std::abort();
        return qlComplex{r.real, r.imag};
    });
}
BENCHMARK(BM_Sweep__baseline);

void BM_Sweep__sweep_with_numbers(benchmark::State& state) {
    SweepColumns c;
    Object f = Efi::User::Function::Thunk(u"add", reinterpret_cast<std::intptr_t>(&bench_add), 1, {1, 1}, std::nullopt);
    const std::span<const qlComplex> columns[] = {c.a, c.b};
    Sweep(state, *Efi::User::Function::Of(f), columns, c.out);
}
BENCHMARK(BM_Sweep__sweep_with_numbers);

// The typed function and its raw twin swept over 4096 pairs: per element
// a call costs least, so the layer's share of it is largest.
void TypedSweep(benchmark::State& state, efi_entry_fn entry) {
    std::vector<qlComplex> x(kSweep), n(kSweep), out(kSweep);
    for (std::size_t i = 0; i < kSweep; ++i)
        x[i] = {0.1 * static_cast<double>(i), 0.0}, n[i] = {static_cast<double>(i % 100), 0.0};
    Object f = Efi::User::Function::Thunk(u"scale", reinterpret_cast<std::intptr_t>(entry), 1, {1, 1}, std::nullopt);
    const std::span<const qlComplex> columns[] = {x, n};
    Sweep(state, *Efi::User::Function::Of(f), columns, out);
}

void BM_TypedSweep__baseline(benchmark::State& state) {
    TypedSweep(state, reinterpret_cast<efi_entry_fn>(&bench_scale_raw));
}
BENCHMARK(BM_TypedSweep__baseline);

void BM_TypedSweep__bind(benchmark::State& state) { TypedSweep(state, efi_module.functions[0].entry); }
BENCHMARK(BM_TypedSweep__bind);

#ifdef EFI_GSL_MODULE
// The same over a function of a real module: gsl_j0 of the GSL example,
// loaded as a host loads it, over 4096 arguments in [0, 20). Its entry does
// what such functions do (reads its argument, calls the library with its
// error handler off; the function is flagged masked, and these arguments
// raise no flag that a trap would take), so the row shows what the sweep
// adds to real work.
Efi::User::Function& GslJ0() {
    static const std::vector<Efi::ModuleFunction> fns = Efi::LoadModule(EFI_GSL_MODULE);
    for (const Efi::ModuleFunction& f : fns)
        if (f.name == "gsl_j0") return *Efi::User::Function::Of(f.function);
    std::abort();
}

std::vector<qlComplex> J0Arguments() {
    std::vector<qlComplex> x(kSweep);
    for (std::size_t i = 0; i < kSweep; ++i) x[i] = {20.0 * static_cast<double>(i) / kSweep, 0.0};
    return x;
}

void BM_SweepJ0__baseline(benchmark::State& state) {
    const std::vector<qlComplex> x = J0Arguments();
    std::vector<qlComplex> out(kSweep);
    auto* entry = reinterpret_cast<std::uint32_t (*)(Value*, const Value*)>(GslJ0().m_fptr);
    UnderOneSetUp(state, out, [&](std::size_t i) {
        Value r, a;
        std::memset(&r, 0, sizeof r);
        std::memcpy(&a, &x[i], sizeof x[i]);
        if (entry(&r, &a) != 0) std::abort();
        return qlComplex{r.real, r.imag};
    });
}
BENCHMARK(BM_SweepJ0__baseline);

void BM_SweepJ0__sweep_with_numbers(benchmark::State& state) {
    const std::vector<qlComplex> x = J0Arguments();
    std::vector<qlComplex> out(kSweep);
    const std::span<const qlComplex> columns[] = {x};
    Sweep(state, GslJ0(), columns, out);
}
BENCHMARK(BM_SweepJ0__sweep_with_numbers);
#endif

constexpr int kSide = 1000;
constexpr std::size_t kBytes = sizeof(double) * kSide * kSide;

// The bytes a matrix call must move, by memcpy between buffers that exist
// already: the argument into call memory, the native function's copy, the
// result into the host matrix.
void BM_MatrixCall__baseline(benchmark::State& state) {
    std::vector<double> host(kSide * kSide), call(kSide * kSide), native(kSide * kSide), result(kSide * kSide);
    for (auto _ : state) {
        std::memcpy(call.data(), host.data(), kBytes);
        std::memcpy(native.data(), call.data(), kBytes);
        std::memcpy(result.data(), native.data(), kBytes);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 3 * kBytes);
}
BENCHMARK(BM_MatrixCall__baseline)->Unit(benchmark::kMillisecond);

// The same moves by hand with the allocations a call makes: a host array
// for the argument, malloc'ed blocks in the native function, a new host
// matrix for the result (host arrays not cleared, as each is overwritten).
void BM_MatrixCall__by_hand(benchmark::State& state) {
    FpRestore restore;
    Object m = Vrn::Run::make<Qlt::MatVal>(kSide, kSide, false);
    std::vector<double*> cols(kSide);
    for (auto _ : state) {
        Qlt::DoubleArray in = Qlt::DoubleArray::make_for_overwrite(static_cast<std::size_t>(kSide) * kSide);
        std::memcpy(in.data(), m.as<Qlt::MatVal>()->m_rarr.data(), kBytes);
        for (int c = 0; c < kSide; ++c) cols[c] = in.data() + static_cast<std::size_t>(c) * kSide;
        Value arg, r{};
        arg.array = {kSide, kSide, cols.data(), nullptr};
        bench_copy(&r, &arg);
        auto out = Vrn::Run::make<Qlt::MatVal>(
            Qlt::DoubleArray::make_for_overwrite(static_cast<std::size_t>(kSide) * kSide), nullptr, kSide, kSide);
        std::memcpy(out->m_rarr.data(), r.array.realCols[0], kBytes);
        std::free(r.array.realCols[0]);
        std::free(r.array.realCols);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 3 * kBytes);
}
BENCHMARK(BM_MatrixCall__by_hand)->Unit(benchmark::kMillisecond);

void BM_MatrixCall__invoke1(benchmark::State& state) {
    FpRestore restore;
    Object f = Efi::User::Function::Thunk(u"copy", reinterpret_cast<std::intptr_t>(&bench_copy), 2, {2}, std::nullopt);
    const auto* fn = f.as<Vrn::Run::Function>();
    const Object args[] = {Vrn::Run::make<Qlt::MatVal>(kSide, kSide, false)};
    for (auto _ : state) {
        Object out = fn->Call(args);
        benchmark::DoNotOptimize(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * 3 * kBytes);
}
BENCHMARK(BM_MatrixCall__invoke1)->Unit(benchmark::kMillisecond);

// Marshalling a matrix copies no element: 1000x1000 costs what 10x10 does.
void MarshalSide(benchmark::State& state, int side) {
    Object m = Vrn::Run::make<Qlt::MatVal>(side, side, true);
    for (auto _ : state) {
        IqlAllocator a;
        benchmark::DoNotOptimize(Efi::EfiMarshal::Marshal(&a, m));
    }
}
void BM_Marshal__baseline(benchmark::State& state) { MarshalSide(state, 10); }
void BM_Marshal__side1000(benchmark::State& state) { MarshalSide(state, 1000); }
BENCHMARK(BM_Marshal__baseline);
BENCHMARK(BM_Marshal__side1000);

Object Twice() {
    return Vrn::Run::Func(
        1, [](std::span<const Object> a) { return Vrn::Run::Number(2 * a[0].as<Qlt::NumVal>()->Data.rp); });
}

// A direct host call with a number made per point, as code without the
// delegate would do it.
void BM_Delegate__baseline(benchmark::State& state) {
    Object f = Twice();
    const auto* fn = f.as<Vrn::Run::Function>();
    double x = 0;
    for (auto _ : state) {
        Object arg = Vrn::Run::Number(x);
        Object r = fn->Call(std::span<const Object>(&arg, 1));
        x = r.as<Qlt::NumVal>()->Data.rp * 0.5 + 1;
    }
    benchmark::DoNotOptimize(x);
}
BENCHMARK(BM_Delegate__baseline);

void BM_Delegate__dbl_to_dbl(benchmark::State& state) {
    auto d = Efi::Fdelegate::dbl_to_dbl(Twice());
    double x = 0;
    for (auto _ : state) x = d(x) * 0.5 + 1;
    benchmark::DoNotOptimize(x);
}
BENCHMARK(BM_Delegate__dbl_to_dbl);

}  // namespace

BENCHMARK_MAIN();
