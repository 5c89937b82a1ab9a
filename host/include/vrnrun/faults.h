// The host's translation of processor faults into the typed exceptions of
// <efi/se_exception.h> (library vrnfaults).
#pragma once

#include <vrnrun/export.h>

namespace Vrn::Run {

/// Installs the SIGFPE handler that turns a trapped arithmetic fault into a
/// thrown SE_ exception, so that native code computing under a trapping
/// control word (0x372 during a call, 0x273 after) can catch "division by
/// zero" as SE_FPEDivByZero_Exception instead of losing the process.
///
/// The handler (SA_SIGINFO | SA_NODEFER, process-wide, idempotent) maps the
/// fault as follows and throws from the faulting instruction, which must be
/// in code built with -fnon-call-exceptions:
///   FPE_FLTDIV  0xC000008E  SE_FPEDivByZero_Exception
///   FPE_FLTOVF  0xC0000091  SE_FPEOverflow_Exception
///   FPE_FLTINV  0xC0000090  SE_FPEInvalidOperation_Exception
///   FPE_FLTUND  0xC0000093  SE_FPEUnderflow_Exception
///               0xC000008D  SE_FPEDenormal_Exception, when only the
///                           denormal-operand flag (not underflow) is pending
///   FPE_FLTRES  0xC000008F  SE_FPEInexactResult_Exception
///   FPE_INTDIV  0xC0000094  SE_INTDivByZero_Exception
///   FPE_INTOVF  0xC0000095  SE_INTOverflow_Exception
///   other       0           SE_FPE_Exception
/// The exception's status holds the flags that were pending when the fault
/// was taken. The record (GetRecord) lives in per-thread storage and is
/// overwritten by the next fault on that thread; its ContextRecord is null,
/// because the signal frame is gone once the handler has been left.
///
/// Floating-point state after a fault: the handler is left by the
/// exception, never by returning, so the state it ran with stays in force:
/// the reset state (x87 control word 0x037F, MXCSR 0x1F80, every exception
/// masked, no flag pending). Code that wants trapping again loads its word
/// anew (the bridge does so for every call). The signal mask is the one the
/// faulting code ran with, put back before the throw.
///
/// Where a throw could not unwind from the faulting instruction to the
/// bridge call running on the thread (a frame without unwind entries on the
/// way, or one whose tables do not cover the instruction: the C++ runtime
/// would end the process), the call is ended at its invoker instead
/// (<efi/host/fault_recovery.h>): the same exception leaves the invoker,
/// and nothing of the native frames in between runs.
///
/// Threads: faults are translated on a thread that runs a bridge call and
/// on every thread that called this function (the first call installs the
/// handler; each call asks for translation on its thread). On any other
/// thread (one a module started) a floating-point trap is masked for that
/// thread and the faulting instruction completes with its IEEE result; an
/// integer fault there gets the handler that was in place before.
///
/// A SIGFPE sent by another process or by raise() is not a fault at an
/// instruction and cannot be thrown from; it gets the handler that was in
/// place before, or the default action.
VRN_API void InstallFaultTranslation();

}  // namespace Vrn::Run
