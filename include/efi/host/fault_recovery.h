// What a host's translation of processor faults asks of the bridge: whether
// the faulting thread runs a call, where the innermost native function was
// entered, and ending that call when the fault cannot be unwound to it.
#pragma once

#include <cstdint>

#include <efi/export.h>
#include <efi/se_exception.h>

namespace Efi::User {

/// Constructs and throws the exception that stands for a fault `code`; must
/// not return. A host's fault translation provides it.
using FaultRaiser = void (*)(std::uint32_t code);

/// Throws the class of the processor-fault tree that stands for `code`
/// (SE_FPEDivByZero_Exception for a division by zero, ...; SE_FPE_Exception
/// for a code of no class of its own) with `record`: what a host's fault
/// translation throws, and a host that receives a fault from elsewhere (a
/// module's worker process) throws alike.
[[noreturn]] EFI_API void ThrowProcessorFault(std::uint32_t code, EXCEPTION_POINTERS* record);

/// True when the calling thread runs a bridge call (from the invoker's
/// first step to its last). Async-signal-safe.
EFI_API bool CallRunsOnThisThread() noexcept;

/// The stack pointer of the invoker of the innermost native function that
/// is running on the calling thread, as it was when the invoker called it;
/// null when none is running. Every frame the native function put on the
/// stack lies below it: a fault handler that walks the stack from the
/// faulting instruction has left the invoker behind once a frame's stack
/// pointer lies above it. Async-signal-safe.
EFI_API const void* InnermostNativeCall() noexcept;

/// For a fault handler, when unwinding from the faulting instruction
/// cannot reach the invoker (code without unwind entries, a frame whose
/// tables do not cover the instruction): makes the interrupted context
/// `ucontext` (a ucontext_t, as the handler received it) resume in the
/// invoker of the innermost native function once the handler returns. There
/// the invoker calls `raise(code)`, whose exception then ends the call as
/// any error does: call memory released, the allocator's statics and the
/// host's control word restored. The native frames between the invoker and
/// the fault are abandoned without running anything of theirs. False, and
/// nothing changed, when no native function runs on this thread.
/// Async-signal-safe.
EFI_API bool ResumeInInvoker(void* ucontext, FaultRaiser raise, std::uint32_t code) noexcept;

}  // namespace Efi::User
