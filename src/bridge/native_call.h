// The native call itself: a registered function's entry called with N
// argument records, and one call's records, error and result. Single calls
// (invokers.cpp) and sweeps (sweeps.cpp) both run through it, inside their
// call scope and in the call memory they made current.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include <efi/host/bridge.h>

#include "bridge/native_failure.h"
#include "bridge/recovery_point.h"

namespace Efi::detail {

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
    using Entry = std::uint32_t (*)(User::Value*, Pointer<I>...);

    static std::uint32_t Run(std::intptr_t fptr, User::Value* result, void* const* args) {
        // Resumed, this frame finds the registers a callee must preserve as
        // the abandoned native code left them; the fault's exception then
        // unwinds into the caller, which expects its own. Claiming them here
        // makes this frame save them on entry, where unwinding restores
        // them from.
        asm volatile("" ::: "rbx", "r12", "r13", "r14", "r15");
        RecoveryPoint point;
        RecoveryLink link(point);
        if (__builtin_setjmp(point.jump)) RaiseRecoveredFault(point);
        return reinterpret_cast<Entry>(fptr)(result, args[I]...);
    }
};

// The native entry called with N argument pointers, as NativeCall does but
// without a recovery point of its own: a sweep has one for all elements.
template <class Indices>
struct DirectCall;

template <std::size_t... I>
struct DirectCall<std::index_sequence<I...>> {
    static std::uint32_t Run(std::intptr_t fptr, User::Value* result, void* const* args) {
        using Entry = typename NativeCall<std::index_sequence<I...>>::Entry;
        return reinterpret_cast<Entry>(fptr)(result, args[I]...);
    }
};

// What one call does inside its call scope and in the call memory made
// current for it, and what each element of a sweep does: the records, the
// native call (through `Entry`), its error and its result.
// `marshal(record, n)` fills the record of argument n (from 1) and returns
// what the native function receives for it; `finish(result)` turns the
// result record into what the caller gets. Always inlined: it is the
// whole of a call's path but the entry's, and InvokeN and HiddenN share
// one instance of it, which the compiler would otherwise call.
template <std::size_t N, class Entry = NativeCall<std::make_index_sequence<N>>, class Marshal, class Finish>
__attribute__((always_inline)) inline auto CallInContext(User::Function& f, Marshal&& marshal, Finish&& finish) {
    User::Value result;
    std::memset(&result, 0, sizeof result);
    User::Value records[N];
    void* pointers[N];
    for (std::size_t n = 0; n < N; ++n) pointers[n] = marshal(&records[n], static_cast<int>(n + 1));
    // Failures are the slow roads, out of line (and in another file than
    // the sweeps): only a nonzero code, an exception or a masked function's
    // result reaches them. The handler costs a call that throws nothing
    // nothing.
    std::uint32_t code;
    try {
        code = Entry::Run(f.m_fptr, &result, pointers);
    } catch (...) {
        RaiseNativeFailure();
    }
    if (code) [[unlikely]]
        RaiseForCode(f, code);
    if (f.m_masked) [[unlikely]]
        JudgeMaskedResult(f, &result, records);
    return finish(&result);
}

}  // namespace Efi::detail
