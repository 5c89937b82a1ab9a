// A registered function's call: the invokers a host function object runs,
// CallWithNumbers, and the worksheet error a native result code stands for.
#include <efi/errors.h>
#include <efi/host/bridge.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <utility>

#include "bridge/call_scope.h"
#include "bridge/native_call.h"

namespace Efi::User {

using Vrn::Run::Object;

namespace {

// Host values in, a host value out: the records of InvokeN and HiddenN.
struct ObjectArguments {
    Function& f;
    const Object* args;
    void* operator()(Value* loc, int n) const { return f.MarshalArg(loc, n, args[n - 1]); }
};

struct ObjectResult {
    Function& f;
    Object operator()(Value* result) const { return f.MarshalRet(result); }
};

// Numbers in, a number out: the records of CallWithNumbers.
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
    detail::CallScope scope(f);
    EfiCallContext context;
    return detail::CallInContext<N>(f, NumberArguments{args}, NumberResult{});
}

template <std::size_t... I>
constexpr auto MakeNumberCallTable(std::index_sequence<I...>) {
    return std::array<qlComplex (*)(Function&, const qlComplex*), sizeof...(I)>{&CallWithNumbersN<I + 1>...};
}

constexpr auto kNumberCalls = MakeNumberCallTable(std::make_index_sequence<kMaxArgs>{});

}  // namespace

// Each call in call memory of its own, made inside the scope (current
// while it lives; everything allocated during the call goes with it).
template <std::size_t N>
Object Function::InvokeN(const Object* args) {
    detail::CallScope scope(*this);
    EfiCallContext context;
    return detail::CallInContext<N>(*this, ObjectArguments{*this, args}, ObjectResult{*this});
}

template <std::size_t N>
Object Function::HiddenN(const Object* args) {
    detail::CallScope scope(*this);
    detail::NoteCallDirectory(*this, args[0]);
    detail::CallDirectory own(args[0]);
    EfiCallContext context;
    return detail::CallInContext<N>(*this, ObjectArguments{*this, args + 1}, ObjectResult{*this});
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

// Beside CallWithNumbers, which tests it on every call: in another file it
// would be a call of its own.
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

}  // namespace Efi::User
