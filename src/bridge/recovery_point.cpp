// Ending a native call from a fault handler: see <efi/host/fault_recovery.h>.
#include "bridge/recovery_point.h"

#include <ucontext.h>

#include <cstdint>
#include <exception>

#include "asan.h"
#include "bridge/call_turn.h"

namespace Efi::detail {

constinit thread_local RecoveryPoint* t_recovery = nullptr;

namespace {

// The abandoned native frames lie between the interrupted stack pointer and
// the invoker's. Under the address sanitizer their red zones stay marked
// unless cleared, as its longjmp does, and the invoker's next frames would
// be reported for touching them.
void ForgetAbandonedFrames([[maybe_unused]] std::uintptr_t from, [[maybe_unused]] std::uintptr_t to) noexcept {
#ifdef EFI_ASAN
    if (to > from) __asan_unpoison_memory_region(reinterpret_cast<void*>(from), to - from);
#endif
}

}  // namespace

void RaiseRecoveredFault(const RecoveryPoint& point) {
    point.raise(point.code);
    // A raiser must not return: the native frames it would return into are gone.
    std::terminate();
}

}  // namespace Efi::detail

namespace Efi::User {

bool CallRunsOnThisThread() noexcept { return detail::HoldsTurn(); }

const void* InnermostNativeCall() noexcept {
    // The stack pointer saved at the recovery point: the frame pointer slot
    // holds whatever the register held, which only a frame that keeps a
    // frame pointer makes an address in this frame.
    return CallRunsOnThisThread() && detail::t_recovery ? detail::t_recovery->jump[2] : nullptr;
}

bool ResumeInInvoker(void* ucontext, FaultRaiser raise, std::uint32_t code) noexcept {
    if (!raise || !InnermostNativeCall()) return false;
    detail::RecoveryPoint& point = *detail::t_recovery;
    point.raise = raise;
    point.code = code;
    // What __builtin_longjmp does, done by the return from the handler: the
    // frame pointer, then the stack pointer, then a jump to the resume address.
    mcontext_t& regs = static_cast<ucontext_t*>(ucontext)->uc_mcontext;
    detail::ForgetAbandonedFrames(static_cast<std::uintptr_t>(regs.gregs[REG_RSP]),
                                  reinterpret_cast<std::uintptr_t>(point.jump[2]));
    regs.gregs[REG_RBP] = reinterpret_cast<greg_t>(point.jump[0]);
    regs.gregs[REG_RIP] = reinterpret_cast<greg_t>(point.jump[1]);
    regs.gregs[REG_RSP] = reinterpret_cast<greg_t>(point.jump[2]);
    return true;
}

}  // namespace Efi::User
