// Sweeps: one function called once per element of its argument columns,
// under one call scope and one recovery point, each element as its own call
// would run.
#include <efi/host/bridge.h>

#include <emmintrin.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "bridge/call_scope.h"
#include "bridge/native_call.h"
#include "bridge/recovery_point.h"
#include "values/chain.h"

namespace Efi::User {

namespace {

// An argument record from one element of a column: complex as it is, a
// real number with imaginary part 0. Both parts in one 16-byte store: a
// native function that loads them as one (compilers pair the real and
// imaginary parts so) gets them forwarded from the store, where two 8-byte
// stores would make it wait for them to reach the cache.
inline void FillRecord(Value& record, const qlComplex& z) { _mm_storeu_pd(&record.real, _mm_loadu_pd(&z.real)); }
inline void FillRecord(Value& record, double x) { _mm_storeu_pd(&record.real, _mm_set_sd(x)); }

// Where a sweep writes its results: every element's number as it is.
struct ComplexResults {
    std::span<qlComplex> out;
    std::size_t size() const { return out.size(); }
    // Whether the sweep goes on after element i.
    bool Keep(std::size_t i, const Value& result) {
        out[i] = {result.real, result.imag};
        return true;
    }
};

// Real parts only, up to the first result whose imaginary part is not
// zero, which is kept whole and ends the sweep. The test is on the bits,
// so that no comparison runs under the call word (a signalling NaN would
// trap): all bits but the sign clear is +0 or -0.
struct RealResults {
    std::span<double> out;
    RealSweepOutcome* outcome;
    std::size_t size() const { return out.size(); }
    bool Keep(std::size_t i, const Value& result) {
        out[i] = result.real;
        std::uint64_t imag;
        std::memcpy(&imag, &result.imag, sizeof imag);
        if ((imag << 1) == 0) return true;
        outcome->stoppedAtComplex = true;
        outcome->complexResult = {result.real, result.imag};
        return false;
    }
};

// What a sweep runs through: the columns, the step of each (0 for a column
// of one element, the same argument for every element), the results and
// the count of those written, which lives outside the sweep's frames so
// that it is still right when a fault ends the sweep from its recovery point.
template <std::size_t N, class T, class Results>
struct SweepWork {
    const std::span<const T>* columns;
    std::size_t step[N];
    Results results;
    std::size_t* done;
    std::optional<EfiCallContext>* context;
};

// Each element as its own call would run, in call memory of its own, with
// the units brought back to the call word's state only when the element
// before left them otherwise. A context that an element took nothing from
// is as new and serves the next one; one that was used is replaced.
template <std::size_t N, class T, class Results>
__attribute__((noinline)) void SweepElements(Function& f, SweepWork<N, T, Results>& work) {
    std::optional<EfiCallContext>& context = *work.context;
    const std::size_t count = work.results.size();
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) {
            detail::KeepUnitsAt(detail::CallWordOf(f));
            if (!detail::AllocatorUntouched(*context)) {
                context.reset();
                context.emplace();
            }
        }
        auto marshal = [&work, i](Value* record, int n) -> void* {
            FillRecord(*record, work.columns[n - 1][i * work.step[n - 1]]);
            return record;
        };
        auto keep = [&work, i](const Value* result) { return work.results.Keep(i, *result); };
        const bool more = detail::CallInContext<N, detail::DirectCall<std::make_index_sequence<N>>>(f, marshal, keep);
        *work.done = i + 1;
        if (!more) return;
    }
}

// The sweep's one recovery point: a fault in any element ends the sweep
// here, as it would end that element's call, and *done still counts the
// elements before it. Nothing else is read after the landing; the elements
// run in a frame of their own so that none of their values has to survive
// the landing. Registers are claimed as in NativeCall::Run, for the same
// reason.
template <std::size_t N, class T, class Results>
__attribute__((noinline)) void SweepUnderRecoveryPoint(Function& f, SweepWork<N, T, Results>& work) {
    asm volatile("" ::: "rbx", "r12", "r13", "r14", "r15");
    detail::RecoveryPoint point;
    detail::RecoveryLink link(point);
    if (__builtin_setjmp(point.jump)) detail::RaiseRecoveredFault(point);
    SweepElements(f, work);
}

// A sweep: the call scope and the recovery point once, then the elements.
// `done` counts the elements whose results are written.
template <std::size_t N, class T, class Results>
void SweepN(Function& f, const std::span<const T>* columns, Results results, std::size_t& done) {
    detail::CallScope scope(f);
    std::optional<EfiCallContext> context;
    context.emplace();
    SweepWork<N, T, Results> work{columns, {}, results, &done, &context};
    for (std::size_t k = 0; k < N; ++k) work.step[k] = columns[k].size() == 1 ? 0 : 1;
    SweepUnderRecoveryPoint(f, work);
}

template <class T, class Results, std::size_t... I>
constexpr auto MakeSweepTable(std::index_sequence<I...>) {
    using Sweep = void (*)(Function&, const std::span<const T>*, Results, std::size_t&);
    return std::array<Sweep, sizeof...(I)>{&SweepN<I + 1, T, Results>...};
}

constexpr auto kSweeps = MakeSweepTable<qlComplex, ComplexResults>(std::make_index_sequence<kMaxArgs>{});
constexpr auto kRealSweeps = MakeSweepTable<double, RealResults>(std::make_index_sequence<kMaxArgs>{});

// What both sweeps require of their columns; throws std::invalid_argument.
template <class T>
void CheckSweepColumns(const Function& f, std::span<const std::span<const T>> columns, std::size_t count,
                       const char* what) {
    if (!f.TakesAndReturnsNumbers() || columns.size() != f.m_args.size())
        throw std::invalid_argument(std::string(what) + ": the function does not take these numbers");
    for (const std::span<const T>& column : columns)
        if (column.size() != count && column.size() != 1)
            throw std::invalid_argument(std::string(what) + ": a column is neither one number nor one per result");
}

}  // namespace

SweepOutcome Function::SweepWithNumbers(std::span<const std::span<const qlComplex>> columns,
                                        std::span<qlComplex> results) {
    CheckSweepColumns(*this, columns, results.size(), "SweepWithNumbers");
    SweepOutcome outcome{0, nullptr};
    if (results.empty()) return outcome;
    try {
        kSweeps[columns.size() - 1](*this, columns.data(), ComplexResults{results}, outcome.done);
    } catch (...) {
        outcome.failure = std::current_exception();
    }
    return outcome;
}

RealSweepOutcome Function::SweepWithReals(std::span<const std::span<const double>> columns, std::span<double> results) {
    CheckSweepColumns(*this, columns, results.size(), "SweepWithReals");
    RealSweepOutcome outcome{0, nullptr, false, {0.0, 0.0}};
    if (results.empty()) return outcome;
    try {
        kRealSweeps[columns.size() - 1](*this, columns.data(), RealResults{results, &outcome}, outcome.done);
    } catch (...) {
        outcome.failure = std::current_exception();
    }
    return outcome;
}

}  // namespace Efi::User
