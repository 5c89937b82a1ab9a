// Ending a native call from a fault handler: see <efi/host/fault_recovery.h>.
#include "bridge/recovery_point.h"

#include <ucontext.h>

#include <exception>

#include "values/call_turn.h"

namespace Efi::detail {

RecoveryPoint* g_recovery = nullptr;

void RaiseRecoveredFault(const RecoveryPoint& point) {
    point.raise(point.code);
    // A raiser must not return: the native frames it would return into are gone.
    std::terminate();
}

}  // namespace Efi::detail

namespace Efi::User {

bool CallRunsOnThisThread() noexcept {
    return detail::g_turn_thread.load(std::memory_order_relaxed) == detail::ThisThread();
}

const void* InnermostNativeCall() noexcept {
    return CallRunsOnThisThread() && detail::g_recovery ? detail::g_recovery->jump[0] : nullptr;
}

bool ResumeInInvoker(void* ucontext, FaultRaiser raise, std::uint32_t code) noexcept {
    if (!raise || !InnermostNativeCall()) return false;
    detail::RecoveryPoint& point = *detail::g_recovery;
    point.raise = raise;
    point.code = code;
    // What __builtin_longjmp does, done by the return from the handler: the
    // frame pointer, then the stack pointer, then a jump to the resume address.
    mcontext_t& regs = static_cast<ucontext_t*>(ucontext)->uc_mcontext;
    regs.gregs[REG_RBP] = reinterpret_cast<greg_t>(point.jump[0]);
    regs.gregs[REG_RIP] = reinterpret_cast<greg_t>(point.jump[1]);
    regs.gregs[REG_RSP] = reinterpret_cast<greg_t>(point.jump[2]);
    return true;
}

}  // namespace Efi::User
