// Where a fault handler can end a native call that unwinding cannot reach:
// the frame of the function that calls the native entry, kept on a chain
// of the calls running (innermost first).
#pragma once

#include <cstdint>

#include <efi/host/fault_recovery.h>

namespace Efi::detail {

/// A place to resume the function that called a native entry, as
/// __builtin_setjmp fills it: its frame pointer, the resume address and its
/// stack pointer (the rest is room the compiler may use).
struct RecoveryPoint {
    void* jump[5];
    RecoveryPoint* outer;     ///< the native call this one runs inside, or null
    User::FaultRaiser raise;  ///< set by ResumeInInvoker, called at the resume address
    std::uint32_t code;       ///< the fault's code, for `raise`
};
static_assert(sizeof(void*) == 8);

/// The innermost native call running on this thread. Initial-exec: read in
/// a fault handler, where nothing may be allocated, and on every call.
extern constinit thread_local RecoveryPoint* t_recovery [[gnu::tls_model("initial-exec")]];

/// Links a recovery point into the chain for the length of one native call,
/// however the call is left.
class RecoveryLink {
public:
    explicit RecoveryLink(RecoveryPoint& point) noexcept : m_point(point) {
        point.outer = t_recovery;
        t_recovery = &point;
    }
    ~RecoveryLink() { t_recovery = m_point.outer; }
    RecoveryLink(const RecoveryLink&) = delete;
    RecoveryLink& operator=(const RecoveryLink&) = delete;

private:
    RecoveryPoint& m_point;
};

/// What the invoker does when a fault handler resumed it: raises the fault
/// recorded in `point`. Out of line and cold: only faults come here.
[[noreturn]] void RaiseRecoveredFault(const RecoveryPoint& point);

}  // namespace Efi::detail
