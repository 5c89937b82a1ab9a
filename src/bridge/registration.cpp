// Registration: the invoker a function's argument codes pick, and the host
// function object bound to it.
#include <efi/host/bridge.h>

#include <array>
#include <cstddef>
#include <string>
#include <utility>

#include "bridge/registration.h"

namespace Efi {

namespace {

using User::Function;
using Vrn::Run::HostValue;
using Vrn::Run::Object;

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

// The invokers registration binds: InvokeN at N - 1, HiddenN (the
// directory first) at kMaxArgs + N - 1, TooManyArgs last. A call never
// comes back here.
template <std::size_t... I>
constexpr std::array<detail::Invoker, 2 * sizeof...(I) + 1> MakeInvokerTable(std::index_sequence<I...>) {
    constexpr const char* kInvokeNames[] = {"Invoke1", "Invoke2", "Invoke3", "Invoke4", "Invoke5",
                                            "Invoke6", "Invoke7", "Invoke8", "Invoke9", "Invoke10"};
    constexpr const char* kHiddenNames[] = {"Hidden1", "Hidden2", "Hidden3", "Hidden4", "Hidden5",
                                            "Hidden6", "Hidden7", "Hidden8", "Hidden9", "Hidden10"};
    return {detail::Invoker{kInvokeNames[I], &InvokeEntry<I + 1>, static_cast<int>(I + 1), false}...,
            detail::Invoker{kHiddenNames[I], &HiddenEntry<I + 1>, static_cast<int>(I + 2), true}...,
            detail::Invoker{"TooManyArgs", &TooManyArgsEntry, 1, false}};
}

constexpr auto kInvokers = MakeInvokerTable(std::make_index_sequence<User::kMaxArgs>{});

// Whether one of the codes is a file name, which a call completes with the
// host's directory.
bool HasFileName(const std::vector<std::int32_t>& argType) noexcept {
    for (std::int32_t code : argType)
        if (code == User::kArgFileIn || code == User::kArgFileOut) return true;
    return false;
}

}  // namespace

namespace detail {

const Invoker& InvokerFor(const std::vector<std::int32_t>& argType) noexcept {
    const std::size_t count = argType.size();
    if (count < 1 || count > static_cast<std::size_t>(User::kMaxArgs)) return kInvokers.back();
    const std::size_t first = HasFileName(argType) ? User::kMaxArgs : 0;
    return kInvokers[first + count - 1];
}

}  // namespace detail

namespace User {

Function::Function(std::u16string fname, std::intptr_t f, std::int32_t retType, std::vector<std::int32_t> argType,
                   ErrorTable errTbl)
    : HostValue(Kind::Other),
      m_fname(std::move(fname)),
      m_fptr(f),
      m_ret(retType),
      m_args(std::move(argType)),
      m_errmsg(std::move(errTbl)) {}

const char* Function::InvokerName(const std::vector<std::int32_t>& argType) {
    return detail::InvokerFor(argType).name.data();
}

Object Function::Thunk(std::u16string fname, std::intptr_t fptr, std::int32_t retType,
                       std::vector<std::int32_t> argType, ErrorTable errTbl) {
    const detail::Invoker& inv = detail::InvokerFor(argType);
    Object target = Vrn::Run::make<Function>(std::move(fname), fptr, retType, std::move(argType), std::move(errTbl));
    return Vrn::Run::make<Vrn::Run::CloObjFunction>(inv.entry, inv.arity, inv.name.data(), std::move(target));
}

Function* Function::Of(const Object& hostFunction) noexcept {
    const auto* bound = dynamic_cast<const Vrn::Run::CloObjFunction*>(hostFunction.get());
    if (!bound) return nullptr;
    return dynamic_cast<Function*>(bound->Target().get());
}

}  // namespace User

}  // namespace Efi
