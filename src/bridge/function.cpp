// Registration and the invokers: one call of a registered native function.
#include <efi/errors.h>
#include <efi/host/bridge.h>

#include <emmintrin.h>

#include <array>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "bridge/call_scope.h"
#include "bridge/call_turn.h"
#include "bridge/complex_array.h"
#include "bridge/recovery_point.h"
#include "text.h"
#include "values/chain.h"

namespace Efi::User {

using Vrn::Run::HostValue;
using Vrn::Run::Object;

namespace {

// Calls the native entry with the result record and exactly N argument
// pointers, cdecl, through a function-pointer type built for that N.
//
// The call has a recovery point: a fault that unwinding cannot carry out of
// the native code (code without unwind entries, as assembly kernels and C
// built without them are) resumes here instead, and the fault is raised
// from this frame, so the call ends as from any other error. Setting it is
// three stores, a link and the saving of five registers; __builtin_setjmp
// keeps no signal mask, which the return from the handler restores by
// itself. A function using it is never inlined.
template <class Indices>
struct NativeCall;

template <std::size_t... I>
struct NativeCall<std::index_sequence<I...>> {
    template <std::size_t>
    using Pointer = void*;
    using Entry = std::uint32_t (*)(Value*, Pointer<I>...);

    static std::uint32_t Run(std::intptr_t fptr, Value* result, void* const* args) {
        // Resumed, this frame finds the registers a callee must preserve as
        // the abandoned native code left them; the fault's exception then
        // unwinds into the caller, which expects its own. Claiming them here
        // makes this frame save them on entry, where unwinding restores
        // them from.
        asm volatile("" ::: "rbx", "r12", "r13", "r14", "r15");
        detail::RecoveryPoint point;
        detail::RecoveryLink link(point);
        if (__builtin_setjmp(point.jump)) detail::RaiseRecoveredFault(point);
        return reinterpret_cast<Entry>(fptr)(result, args[I]...);
    }
};

// The host's entry points, one per invoker: the target is always the
// Function that Thunk made, so the downcast is safe.
template <std::size_t N>
Object InvokeEntry(HostValue& target, const Object* args) {
    return static_cast<Function&>(target).InvokeN<N>(args);
}

template <std::size_t N>
Object HiddenEntry(HostValue& target, const Object* args) {
    return static_cast<Function&>(target).HiddenN<N>(args);
}

Object TooManyArgsEntry(HostValue& target, const Object* args) { static_cast<Function&>(target).TooManyArgs(args[0]); }

struct Invoker {
    std::string_view name;
    Vrn::Run::EntryPoint entry;
    int arity;
};

// The name-to-member table that registration looks invokers up in. The
// names are the interface; a call never comes back here.
template <std::size_t... I>
constexpr std::array<Invoker, 2 * sizeof...(I) + 1> MakeInvokerTable(std::index_sequence<I...>) {
    constexpr const char* kInvokeNames[] = {"Invoke1", "Invoke2", "Invoke3", "Invoke4", "Invoke5",
                                            "Invoke6", "Invoke7", "Invoke8", "Invoke9", "Invoke10"};
    constexpr const char* kHiddenNames[] = {"Hidden1", "Hidden2", "Hidden3", "Hidden4", "Hidden5",
                                            "Hidden6", "Hidden7", "Hidden8", "Hidden9", "Hidden10"};
    return {Invoker{kInvokeNames[I], &InvokeEntry<I + 1>, static_cast<int>(I + 1)}...,
            Invoker{kHiddenNames[I], &HiddenEntry<I + 1>, static_cast<int>(I + 2)}...,
            Invoker{"TooManyArgs", &TooManyArgsEntry, 1}};
}

constexpr auto kInvokers = MakeInvokerTable(std::make_index_sequence<kMaxArgs>{});

const Invoker& FindInvoker(std::string_view name) {
    for (const Invoker& inv : kInvokers)
        if (inv.name == name) return inv;
    // Unreachable: InvokerName only names members of the table.
    return kInvokers.back();
}

// A buffer for narrow text of `len` bytes and its NUL from the current
// call's memory: the next multiple of 8 above the length.
char* NarrowBuffer(std::size_t len) {
    if (len > UINT_MAX - 8) Throw("out of memory", kNoArgument);
    unsigned bytes = static_cast<unsigned>((len + 8) / 8 * 8);
    return static_cast<char*>(IqlAllocator::m_current->allocate_array(bytes));
}

// Narrow copy of host text for native code: the low byte of each code unit,
// cut at the first NUL, in a buffer sized from the length in characters.
char* NarrowCopy(std::u16string_view text) {
    char* out = NarrowBuffer(text.size());
    std::size_t i = 0;
    for (; i < text.size() && text[i] != u'\0'; ++i) out[i] = static_cast<char>(text[i] & 0xFF);
    out[i] = '\0';
    return out;
}

// A file name for native code. Files on this platform are named by bytes in
// the locale's multibyte encoding (UTF-8 as a rule), which is what every
// other program writes, so a file name is converted with that encoding and
// not by low bytes: "café.txt" must reach the file that a directory listing
// shows under that name, never a file named by the Latin-1 byte 0xE9. The
// buffer follows the text rule applied to the converted length in bytes.
// Null when the name has a character the locale cannot encode.
char* FileNameCopy(std::u16string_view path) {
    const std::size_t len = detail::EncodeFileName(path, nullptr);
    if (len == detail::kNotEncodable) return nullptr;
    char* out = NarrowBuffer(len);
    detail::EncodeFileName(path, out);
    return out;
}

// A file name is absolute when its first ":\" lies after its first
// character (a drive path) or, on this platform, when it starts with '/'.
bool IsAbsolutePath(std::u16string_view name) {
    std::size_t drive = name.find(u":\\");
    if (drive != std::u16string_view::npos && drive > 0) return true;
    return !name.empty() && name[0] == u'/';
}

// Frees what a native function handed over for one part of a matrix result:
// the block (entry 0 of the pointer array, when there is an entry) and the
// pointer array itself.
void FreePart(double** cols, std::uint32_t ncols) {
    if (!cols) return;
    if (ncols > 0) std::free(cols[0]);
    std::free(cols);
}

}  // namespace

Function::Function(std::u16string fname, std::intptr_t f, std::int32_t retType, std::vector<std::int32_t> argType,
                   ErrorTable errTbl)
    : HostValue(Kind::Other),
      m_fname(std::move(fname)),
      m_fptr(f),
      m_ret(retType),
      m_args(std::move(argType)),
      m_errmsg(std::move(errTbl)) {}

bool Function::InOrOutArgs(const std::vector<std::int32_t>& argType) {
    for (std::int32_t code : argType)
        if (code >= kArgFileIn && code <= kArgFileOut) return true;
    return false;
}

const char* Function::InvokerName(const std::vector<std::int32_t>& argType) {
    std::size_t count = argType.size();
    if (count < 1 || count > static_cast<std::size_t>(kMaxArgs)) return "TooManyArgs";
    std::size_t first = InOrOutArgs(argType) ? kMaxArgs : 0;
    return kInvokers[first + count - 1].name.data();
}

Object Function::Thunk(std::u16string fname, std::intptr_t fptr, std::int32_t retType,
                       std::vector<std::int32_t> argType, ErrorTable errTbl) {
    const Invoker& inv = FindInvoker(InvokerName(argType));
    Object target = Vrn::Run::make<Function>(std::move(fname), fptr, retType, std::move(argType), std::move(errTbl));
    return Vrn::Run::make<Vrn::Run::CloObjFunction>(inv.entry, inv.arity, inv.name.data(), std::move(target));
}

namespace {

// The native entry called with N argument pointers, as NativeCall does but
// without a recovery point of its own: a sweep has one for all elements.
template <class Indices>
struct DirectCall;

template <std::size_t... I>
struct DirectCall<std::index_sequence<I...>> {
    static std::uint32_t Run(std::intptr_t fptr, Value* result, void* const* args) {
        using Entry = typename NativeCall<std::index_sequence<I...>>::Entry;
        return reinterpret_cast<Entry>(fptr)(result, args[I]...);
    }
};

// What one call does under its floating-point set-up and in the call memory
// made current for it, and what each element of a sweep does: the records,
// the native call (through `Entry`), its error and its result.
// `marshal(record, n)` fills the record of argument n (from 1) and returns
// what the native function receives for it; `finish(result)` turns the
// result record into what the caller gets.
template <std::size_t N, class Entry = NativeCall<std::make_index_sequence<N>>, class Marshal, class Finish>
auto CallInContext(Function& f, Marshal& marshal, Finish& finish) {
    Value result;
    std::memset(&result, 0, sizeof result);
    Value records[N];
    void* pointers[N];
    for (std::size_t n = 0; n < N; ++n) pointers[n] = marshal(&records[n], static_cast<int>(n + 1));
    const std::uint32_t code = Entry::Run(f.m_fptr, &result, pointers);
    f.CheckError(code);
    return finish(&result);
}

// One call of `f` with N arguments.
template <std::size_t N, class Marshal, class Finish>
auto CallNative(Function& f, Marshal marshal, Finish finish) {
    // The process's turn first (a refused call leaves no trace), then the
    // nesting level, then step 1: FP reset + call word. All are undone in
    // reverse order however this frame is left, after the context.
    detail::CallTurn turn;
    detail::NestingLevel level;
    detail::FpuCallWord word;
    // Step 2: the context, current while it lives; everything allocated
    // during the call goes with it.
    EfiCallContext context;
    return CallInContext<N>(f, marshal, finish);
}

// Numbers in, a number out: the records of CallWithNumbers and of a sweep.
struct NumberArguments {
    const qlComplex* args;
    void* operator()(Value* loc, int n) const {
        loc->real = args[n - 1].real;
        loc->imag = args[n - 1].imag;
        return loc;
    }
};

struct NumberResult {
    qlComplex operator()(const Value* result) const { return {result->real, result->imag}; }
};

template <std::size_t N>
qlComplex CallWithNumbersN(Function& f, const qlComplex* args) {
    return CallNative<N>(f, NumberArguments{args}, NumberResult{});
}

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
            detail::KeepUnitsAt(kCallControlWord);
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
        const bool more = CallInContext<N, DirectCall<std::make_index_sequence<N>>>(f, marshal, keep);
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

// A sweep: the turn, the nesting level, the call word and the recovery
// point once, then the elements. `done` counts the elements whose results
// are written.
template <std::size_t N, class T, class Results>
void SweepN(Function& f, const std::span<const T>* columns, Results results, std::size_t& done) {
    detail::CallTurn turn;
    detail::NestingLevel level;
    detail::FpuCallWord word;
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

template <std::size_t... I>
constexpr auto MakeNumberCallTable(std::index_sequence<I...>) {
    return std::array<qlComplex (*)(Function&, const qlComplex*), sizeof...(I)>{&CallWithNumbersN<I + 1>...};
}

constexpr auto kNumberCalls = MakeNumberCallTable(std::make_index_sequence<kMaxArgs>{});

}  // namespace

template <std::size_t N>
Object Function::InvokeN(const Object* args) {
    return CallNative<N>(
        *this, [this, args](Value* loc, int n) { return MarshalArg(loc, n, args[n - 1]); },
        [this](Value* result) { return MarshalRet(result); });
}

Function* Function::Of(const Object& hostFunction) noexcept {
    const auto* bound = dynamic_cast<const Vrn::Run::CloObjFunction*>(hostFunction.get());
    if (!bound) return nullptr;
    return dynamic_cast<Function*>(bound->Target().get());
}

bool Function::TakesAndReturnsNumbers() const noexcept {
    if (m_ret != kRetScalar || m_args.empty() || m_args.size() > static_cast<std::size_t>(kMaxArgs)) return false;
    for (std::int32_t code : m_args)
        if (code != kArgScalar0 && code != kArgScalar) return false;
    return true;
}

qlComplex Function::CallWithNumbers(std::span<const qlComplex> args) {
    if (!TakesAndReturnsNumbers() || args.size() != m_args.size())
        throw std::invalid_argument("CallWithNumbers: the function does not take these numbers");
    return kNumberCalls[args.size() - 1](*this, args.data());
}

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

template <std::size_t N>
Object Function::HiddenN(const Object* args) {
    // m_cwd is shared by every thread that calls this function: it is
    // written only once this thread holds the turn.
    detail::CallTurn turn;
    m_cwd = args[0];
    return InvokeN<N>(args + 1);
}

// The twenty invokers the table hands out, instantiated once each.
#define EFI_INSTANTIATE_INVOKER(N)                       \
    template Object Function::InvokeN<N>(const Object*); \
    template Object Function::HiddenN<N>(const Object*);
EFI_INSTANTIATE_INVOKER(1)
EFI_INSTANTIATE_INVOKER(2)
EFI_INSTANTIATE_INVOKER(3)
EFI_INSTANTIATE_INVOKER(4)
EFI_INSTANTIATE_INVOKER(5)
EFI_INSTANTIATE_INVOKER(6)
EFI_INSTANTIATE_INVOKER(7)
EFI_INSTANTIATE_INVOKER(8)
EFI_INSTANTIATE_INVOKER(9)
EFI_INSTANTIATE_INVOKER(10)
#undef EFI_INSTANTIATE_INVOKER

Object Function::Invoke1(const Object& a1) {
    const Object a[] = {a1};
    return InvokeN<1>(a);
}
Object Function::Invoke2(const Object& a1, const Object& a2) {
    const Object a[] = {a1, a2};
    return InvokeN<2>(a);
}
Object Function::Invoke3(const Object& a1, const Object& a2, const Object& a3) {
    const Object a[] = {a1, a2, a3};
    return InvokeN<3>(a);
}
Object Function::Invoke4(const Object& a1, const Object& a2, const Object& a3, const Object& a4) {
    const Object a[] = {a1, a2, a3, a4};
    return InvokeN<4>(a);
}
Object Function::Invoke5(const Object& a1, const Object& a2, const Object& a3, const Object& a4, const Object& a5) {
    const Object a[] = {a1, a2, a3, a4, a5};
    return InvokeN<5>(a);
}
Object Function::Invoke6(const Object& a1, const Object& a2, const Object& a3, const Object& a4, const Object& a5,
                         const Object& a6) {
    const Object a[] = {a1, a2, a3, a4, a5, a6};
    return InvokeN<6>(a);
}
Object Function::Invoke7(const Object& a1, const Object& a2, const Object& a3, const Object& a4, const Object& a5,
                         const Object& a6, const Object& a7) {
    const Object a[] = {a1, a2, a3, a4, a5, a6, a7};
    return InvokeN<7>(a);
}
Object Function::Invoke8(const Object& a1, const Object& a2, const Object& a3, const Object& a4, const Object& a5,
                         const Object& a6, const Object& a7, const Object& a8) {
    const Object a[] = {a1, a2, a3, a4, a5, a6, a7, a8};
    return InvokeN<8>(a);
}
Object Function::Invoke9(const Object& a1, const Object& a2, const Object& a3, const Object& a4, const Object& a5,
                         const Object& a6, const Object& a7, const Object& a8, const Object& a9) {
    const Object a[] = {a1, a2, a3, a4, a5, a6, a7, a8, a9};
    return InvokeN<9>(a);
}
Object Function::Invoke10(const Object& a1, const Object& a2, const Object& a3, const Object& a4, const Object& a5,
                          const Object& a6, const Object& a7, const Object& a8, const Object& a9, const Object& a10) {
    const Object a[] = {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10};
    return InvokeN<10>(a);
}

Object Function::Hidden1(const Object& cwd, const Object& a1) {
    const Object a[] = {cwd, a1};
    return HiddenN<1>(a);
}
Object Function::Hidden2(const Object& cwd, const Object& a1, const Object& a2) {
    const Object a[] = {cwd, a1, a2};
    return HiddenN<2>(a);
}
Object Function::Hidden3(const Object& cwd, const Object& a1, const Object& a2, const Object& a3) {
    const Object a[] = {cwd, a1, a2, a3};
    return HiddenN<3>(a);
}
Object Function::Hidden4(const Object& cwd, const Object& a1, const Object& a2, const Object& a3, const Object& a4) {
    const Object a[] = {cwd, a1, a2, a3, a4};
    return HiddenN<4>(a);
}
Object Function::Hidden5(const Object& cwd, const Object& a1, const Object& a2, const Object& a3, const Object& a4,
                         const Object& a5) {
    const Object a[] = {cwd, a1, a2, a3, a4, a5};
    return HiddenN<5>(a);
}
Object Function::Hidden6(const Object& cwd, const Object& a1, const Object& a2, const Object& a3, const Object& a4,
                         const Object& a5, const Object& a6) {
    const Object a[] = {cwd, a1, a2, a3, a4, a5, a6};
    return HiddenN<6>(a);
}
Object Function::Hidden7(const Object& cwd, const Object& a1, const Object& a2, const Object& a3, const Object& a4,
                         const Object& a5, const Object& a6, const Object& a7) {
    const Object a[] = {cwd, a1, a2, a3, a4, a5, a6, a7};
    return HiddenN<7>(a);
}
Object Function::Hidden8(const Object& cwd, const Object& a1, const Object& a2, const Object& a3, const Object& a4,
                         const Object& a5, const Object& a6, const Object& a7, const Object& a8) {
    const Object a[] = {cwd, a1, a2, a3, a4, a5, a6, a7, a8};
    return HiddenN<8>(a);
}
Object Function::Hidden9(const Object& cwd, const Object& a1, const Object& a2, const Object& a3, const Object& a4,
                         const Object& a5, const Object& a6, const Object& a7, const Object& a8, const Object& a9) {
    const Object a[] = {cwd, a1, a2, a3, a4, a5, a6, a7, a8, a9};
    return HiddenN<9>(a);
}
Object Function::Hidden10(const Object& cwd, const Object& a1, const Object& a2, const Object& a3, const Object& a4,
                          const Object& a5, const Object& a6, const Object& a7, const Object& a8, const Object& a9,
                          const Object& a10) {
    const Object a[] = {cwd, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10};
    return HiddenN<10>(a);
}

Object Function::TooManyArgs(const Object&) { Throw("maximum 10 arguments", kNoArgument); }

void Function::CheckError(std::uint32_t errcode) {
    if (errcode == 0) return;
    std::uint32_t argument = errcode >> 16;
    std::uint32_t index = errcode & 0xFFFFu;
    // index - 1 wraps for index 0, so one comparison covers 1..length.
    if (m_errmsg && index - 1u < m_errmsg->size()) Vrn::Run::AppException::Raise((*m_errmsg)[index - 1], argument);
    Throw("unknown error", argument);
}

void* Function::MarshalArg(Value* loc, int n, const Object& arg) {
    switch (m_args[static_cast<std::size_t>(n - 1)]) {
        case kArgScalar0:
        case kArgScalar: return MarshalScalar(loc, n, arg);
        case kArgMatrix: return MarshalMatrix(loc, n, arg);
        case kArgText: return MarshalText(loc, n, arg);
        case kArgFileIn:
        case kArgFileOut: return MarshalFileName(loc, n, arg);
        default: Throw("argument type not implemented", kNoArgument);
    }
}

void* Function::MarshalScalar(Value* loc, int n, const Object& arg) {
    const Qlt::NumVal* num = arg.as<Qlt::NumVal>();
    if (!num) Throw("must be scalar", static_cast<std::uint32_t>(n));
    loc->real = num->Data.rp;
    loc->imag = num->Data.ip;
    return loc;
}

void* Function::MarshalMatrix(Value* loc, int n, const Object& arg) {
    const Qlt::MatVal* m = arg.as<Qlt::MatVal>();
    if (!m) Throw("must be matrix", static_cast<std::uint32_t>(n));
    if (m->HasPtrs()) Throw("may not be nested", static_cast<std::uint32_t>(n));
    auto rows = static_cast<std::uint32_t>(m->Rows());
    auto cols = static_cast<std::uint32_t>(m->Cols());
    // The element block is one allocation of rows*cols doubles; a count the
    // allocator cannot express is refused before anything is taken.
    if (static_cast<std::uint64_t>(rows) * cols > UINT_MAX / sizeof(double)) Throw("out of memory", kNoArgument);
    bool imag = m->HasImag();
    // The copies below cover every element of each block (column c fills
    // rows doubles from c * rows), so the blocks are not cleared first.
    detail::AllocateComplexArray(&loc->array, rows, cols, 1, imag ? 1 : 0, true);
    if (cols == 0) return loc;
    // Both sides store columns back to back when the host's stride is the
    // row count: then the whole part is one block move.
    if (m->Ld() == m->Rows()) {
        const std::size_t all = static_cast<std::size_t>(rows) * cols * sizeof(double);
        const std::size_t at = static_cast<std::size_t>(m->Index(0, 0));
        std::memcpy(loc->array.realCols[0], m->m_rarr.data() + at, all);
        if (imag) std::memcpy(loc->array.imagCols[0], m->m_iarr.data() + at, all);
        return loc;
    }
    const std::size_t bytes = rows * sizeof(double);
    for (std::uint32_t c = 0; c < cols; ++c) {
        std::size_t at = static_cast<std::size_t>(m->Index(0, static_cast<int>(c)));
        std::memcpy(loc->array.realCols[c], m->m_rarr.data() + at, bytes);
        if (imag) std::memcpy(loc->array.imagCols[c], m->m_iarr.data() + at, bytes);
    }
    return loc;
}

void* Function::MarshalText(Value* loc, int n, const Object& arg) {
    const Vrn::Run::String* s = arg.as<Vrn::Run::String>();
    if (!s) Throw("must be string", static_cast<std::uint32_t>(n));
    loc->text = NarrowCopy(s->str());
    return loc;
}

void* Function::MarshalFileName(Value* loc, int n, const Object& arg) {
    const Vrn::Run::String* s = arg.as<Vrn::Run::String>();
    if (!s) Throw("must be string", static_cast<std::uint32_t>(n));
    const std::u16string& name = s->str();
    if (IsAbsolutePath(name)) {
        loc->text = FileNameCopy(name);
    } else {
        const Vrn::Run::String* cwd = m_cwd.as<Vrn::Run::String>();
        if (!cwd) Throw("must be string", 0);
        loc->text = FileNameCopy(cwd->str() + name);
    }
    // A name no file can have here: blamed on the argument, or on the host's
    // directory (argument 0, as when it is missing) when the name alone encodes.
    if (!loc->text)
        Throw("invalid file name",
              detail::EncodeFileName(name, nullptr) == detail::kNotEncodable ? static_cast<std::uint32_t>(n) : 0);
    return loc->text;
}

Object Function::MarshalRet(Value* loc) {
    switch (m_ret) {
        case kRetScalar: return Vrn::Run::make<Qlt::NumVal>(loc->real, loc->imag);
        case kRetMatrix: return MatrixResult(loc);
        case kRetText: return Vrn::Run::Text(loc->text ? detail::DecodeNarrow(loc->text) : std::u16string());
        default: Throw("return type not implemented", kNoArgument);
    }
}

Object Function::MatrixResult(Value* loc) {
    ComplexArray& r = loc->array;
    // A shape the host cannot hold is the native function's fault; its
    // blocks are still released so nothing leaks.
    if (r.rows > static_cast<std::uint32_t>(INT_MAX) || r.cols > static_cast<std::uint32_t>(INT_MAX) ||
        static_cast<std::uint64_t>(r.rows) * r.cols > (std::uint64_t{1} << 40)) {
        FreePart(r.realCols, r.cols);
        FreePart(r.imagCols, r.cols);
        Throw("invalid matrix size", kNoArgument);
    }
    const std::size_t count = static_cast<std::size_t>(r.rows) * r.cols;
    Vrn::Run::Ref<Qlt::MatVal> m;
    try {
        // A part that will be copied in whole is not cleared first; a
        // missing real part stays zero.
        const bool copyReal = count > 0 && r.realCols;
        const bool copyImag = count > 0 && r.imagCols;
        Qlt::DoubleArray re = copyReal ? Qlt::DoubleArray::make_for_overwrite(count) : Qlt::DoubleArray::make(count);
        Qlt::DoubleArray im;
        if (r.imagCols) im = copyImag ? Qlt::DoubleArray::make_for_overwrite(count) : Qlt::DoubleArray::make(count);
        m = Vrn::Run::make<Qlt::MatVal>(std::move(re), std::move(im), static_cast<int>(r.rows),
                                        static_cast<int>(r.cols));
    } catch (...) {
        FreePart(r.realCols, r.cols);
        FreePart(r.imagCols, r.cols);
        throw;
    }
    const std::size_t bytes = count * sizeof(double);
    // An empty result has no block to read; what was given is still freed.
    if (bytes > 0 && r.realCols) std::memcpy(m->m_rarr.data(), r.realCols[0], bytes);
    FreePart(r.realCols, r.cols);
    if (bytes > 0 && r.imagCols) std::memcpy(m->m_iarr.data(), r.imagCols[0], bytes);
    FreePart(r.imagCols, r.cols);
    return m;
}

}  // namespace Efi::User
