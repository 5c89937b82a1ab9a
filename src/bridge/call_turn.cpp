// The turn and the nesting depth of bridge calls: see call_turn.h.
#include "bridge/call_turn.h"

#include <efi/errors.h>

namespace Efi::detail {

std::atomic<std::uintptr_t> g_turn_thread{0};
std::uint32_t g_turn_depth = 0;
unsigned g_nesting = 0;

namespace {

// A child made by fork holds only the thread that called fork. A call that
// another thread was running is not in it, so its turn and levels must not
// stay taken: no call could ever run there. A fork from inside a call (a
// callback that forks) keeps the call, which returns in the child too.
void ForgetCallOfAnotherThread() noexcept {
    if (g_turn_thread.load(std::memory_order_relaxed) == ThisThread()) return;
    g_turn_thread.store(0, std::memory_order_relaxed);
    g_turn_depth = 0;
    g_nesting = 0;
}

[[maybe_unused]] const int g_fork_reset = ::pthread_atfork(nullptr, nullptr, &ForgetCallOfAnotherThread);

}  // namespace

void RefuseTurn() { Efi::Throw("a call is running on another thread", Efi::kNoArgument); }

void RefuseNesting() { Efi::Throw("calls nested too deeply", Efi::kNoArgument); }

}  // namespace Efi::detail
