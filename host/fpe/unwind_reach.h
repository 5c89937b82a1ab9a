// Whether a fault can be thrown from the faulting instruction to the
// invoker of the native function that is running.
#pragma once

namespace Vrn::Run::detail {

/// Walks the stack of the signal handler that calls it, from the faulting
/// instruction up past the frame whose stack pointer is `invoker` (what
/// the bridge gives for the innermost native call), and answers whether an exception
/// thrown at the fault would get there: every frame on the way has unwind
/// entries, and each frame that has clean-ups or handlers (a language-
/// specific table) covers the instruction it was left at. Where a frame's
/// table does not cover it, the C++ runtime would end the process instead
/// of unwinding (clang's code at a faulting instruction, for one).
bool UnwindReaches(const void* invoker) noexcept;

}  // namespace Vrn::Run::detail
