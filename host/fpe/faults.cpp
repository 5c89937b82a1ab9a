// SIGFPE to typed exceptions: see <vrnrun/faults.h>.
#include <vrnrun/faults.h>

#include <signal.h>
#include <ucontext.h>

#include <cstdint>
#include <mutex>

#include <efi/host/fault_recovery.h>
#include <efi/se_exception.h>

#include "bridge/fp_units.h"
#include "unwind_reach.h"

namespace Vrn::Run {

namespace {

using namespace Efi::detail;

struct sigaction g_previous {};

// Threads whose faults a host asked to have translated (by installing the
// translation on them); threads running a bridge call are translated too.
thread_local bool t_translates = false;

// Per thread: a fault is taken and handled on the thread that caused it.
thread_local EXCEPTION_RECORD t_record;
thread_local EXCEPTION_POINTERS t_pointers;

std::uint32_t CodeForFault(int si_code) noexcept {
    switch (si_code) {
        case FPE_FLTDIV: return EXCEPTION_FLT_DIVIDE_BY_ZERO;
        case FPE_FLTOVF: return EXCEPTION_FLT_OVERFLOW;
        case FPE_FLTINV: return EXCEPTION_FLT_INVALID_OPERATION;
        case FPE_FLTUND: return EXCEPTION_FLT_UNDERFLOW;
        case FPE_FLTRES: return EXCEPTION_FLT_INEXACT_RESULT;
        case FPE_INTDIV: return EXCEPTION_INT_DIVIDE_BY_ZERO;
        case FPE_INTOVF: return EXCEPTION_INT_OVERFLOW;
        default: return 0;
    }
}

// Flags pending in the faulting code whose exceptions were not masked there:
// the ones that can have caused the trap.
std::uint32_t UnmaskedPending(const ucontext_t* context) noexcept {
    const auto* fp = context->uc_mcontext.fpregs;
    if (!fp) return 0;
    const std::uint32_t sse = fp->mxcsr & ~(fp->mxcsr >> kMxcsrMaskShift);
    const std::uint32_t x87 = static_cast<std::uint32_t>(fp->swd) & ~static_cast<std::uint32_t>(fp->cwd);
    return (sse | x87) & kFpFlagBits;
}

// The kernel reports a denormal-operand trap as an underflow; the pending
// flags tell the two apart.
std::uint32_t RefineCode(std::uint32_t code, const ucontext_t* context) noexcept {
    if (code != EXCEPTION_FLT_UNDERFLOW) return code;
    const std::uint32_t pending = UnmaskedPending(context);
    return (pending & kFpDenormal) && !(pending & kFpUnderflow) ? EXCEPTION_FLT_DENORMAL_OPERAND : code;
}

// The handler starts with a reset unit. Giving it the flags that were pending
// in the faulting code (with everything masked, so nothing traps again)
// lets the exception's constructor capture them through _clearfp and leave
// the unit clean.
void CarryPendingFlags(const ucontext_t* context) noexcept {
    const auto* fp = context->uc_mcontext.fpregs;
    if (!fp) return;
    WriteMxcsr(kMxcsrAllMasked | (fp->mxcsr & kFpFlagBits));
    X87Environment env = StoreX87Environment();
    env.control |= kFpFlagBits;  // every x87 exception masked
    // Only the flags: a set summary or busy bit would make the next x87
    // instruction fault.
    env.status = static_cast<std::uint16_t>((env.status & ~kX87StatusExceptionBits) | (fp->swd & kFpFlagBits));
    LoadX87Environment(env);
}

EXCEPTION_POINTERS* RecordFault(std::uint32_t code, const siginfo_t* info) noexcept {
    t_record = EXCEPTION_RECORD{};
    t_record.ExceptionCode = code;
    t_record.ExceptionAddress = info->si_addr;
    t_pointers.ExceptionRecord = &t_record;
    t_pointers.ContextRecord = nullptr;
    return &t_pointers;
}

// A signal sent rather than caused has no faulting instruction to throw from.
void PassOn(int signal, siginfo_t* info, void* context) {
    if (g_previous.sa_flags & SA_SIGINFO) {
        if (g_previous.sa_sigaction) g_previous.sa_sigaction(signal, info, context);
        return;
    }
    if (g_previous.sa_handler == SIG_IGN) return;
    if (g_previous.sa_handler != SIG_DFL) {
        g_previous.sa_handler(signal);
        return;
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

// A thread no host looks after (one a module started): the exceptions that
// trapped are masked in the interrupted context, so that once the handler
// returns the faulting SSE instruction runs again and completes with its
// IEEE result, and the thread computes masked from then on. x87 reports a
// trap at the instruction after the one that raised it, which has left its
// destination as it was; the next one proceeds. False for an integer
// fault, which has no result to complete with.
bool MaskForThread(ucontext_t* context, std::uint32_t code) noexcept {
    auto* fp = context->uc_mcontext.fpregs;
    if (!fp || code == EXCEPTION_INT_DIVIDE_BY_ZERO || code == EXCEPTION_INT_OVERFLOW) return false;
    std::uint32_t trapped = UnmaskedPending(context);
    if (!trapped) trapped = kFpFlagBits;
    fp->mxcsr |= trapped << kMxcsrMaskShift;
    fp->cwd = static_cast<std::uint16_t>(fp->cwd | trapped);
    // No summary, not busy: nothing left pending for the next instruction.
    fp->swd = static_cast<std::uint16_t>(fp->swd & ~kX87SummaryAndBusy);
    return true;
}

// The units as the invoker resumed by the bridge finds them: everything
// masked, an empty x87 stack, and the flags pending at the fault, which the
// exception's constructor then takes (as CarryPendingFlags gives them to a
// throw from here).
void MaskedWithPendingFlags(ucontext_t* context) noexcept {
    auto* fp = context->uc_mcontext.fpregs;
    if (!fp) return;
    fp->mxcsr = kMxcsrAllMasked | (fp->mxcsr & kFpFlagBits);
    fp->cwd = kX87AllMasked;
    fp->swd = static_cast<std::uint16_t>(fp->swd & kFpFlagBits);
    fp->ftw = 0;  // the abridged tag word: every register empty
}

// Leaving by the exception skips the return through the kernel that gives
// the interrupted code its signal mask back. With this handler alone
// (SA_NODEFER, an empty mask) nothing was added to it; a runtime that wraps
// the process's handlers may block more for them (the thread sanitizer
// blocks every signal), and SIGFPE, left blocked on the thread, would end
// the process at its next fault.
void RestoreInterruptedMask(const ucontext_t* context) noexcept {
    ::pthread_sigmask(SIG_SETMASK, &context->uc_sigmask, nullptr);
}

[[noreturn]] void RaiseRecorded(std::uint32_t code) { Efi::User::ThrowProcessorFault(code, &t_pointers); }

void OnArithmeticFault(int signal, siginfo_t* info, void* context) {
    if (info->si_code <= 0) {
        PassOn(signal, info, context);
        return;
    }
    auto* interrupted = static_cast<ucontext_t*>(context);
    const std::uint32_t code = RefineCode(CodeForFault(info->si_code), interrupted);
    if (!t_translates && !Efi::User::CallRunsOnThisThread()) {
        if (!MaskForThread(interrupted, code)) PassOn(signal, info, context);
        return;
    }
    // A throw from here that could not unwind to the bridge would end the
    // process; the bridge's recovery point ends the call instead.
    const void* invoker = Efi::User::InnermostNativeCall();
    if (invoker && !detail::UnwindReaches(invoker)) {
        RecordFault(code, info);
        if (Efi::User::ResumeInInvoker(context, &RaiseRecorded, code)) {
            MaskedWithPendingFlags(interrupted);
            return;
        }
    }
    RestoreInterruptedMask(interrupted);
    CarryPendingFlags(interrupted);
    Efi::User::ThrowProcessorFault(code, RecordFault(code, info));
}

}  // namespace

void InstallFaultTranslation() {
    t_translates = true;
    static std::once_flag installed;
    std::call_once(installed, [] {
        struct sigaction action {};
        action.sa_sigaction = OnArithmeticFault;
        action.sa_flags = SA_SIGINFO | SA_NODEFER;
        sigemptyset(&action.sa_mask);
        ::sigaction(SIGFPE, &action, &g_previous);
    });
}

}  // namespace Vrn::Run
