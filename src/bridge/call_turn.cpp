// The turn and the nesting depth of bridge calls: see call_turn.h.
#include "bridge/call_turn.h"

#include <efi/errors.h>

namespace Efi::detail {

std::atomic<std::uintptr_t> g_turn_thread{0};
std::uint32_t g_turn_depth = 0;
unsigned g_nesting = 0;

void RefuseTurn() { Efi::Throw("a call is running on another thread", Efi::kNoArgument); }

void RefuseNesting() { Efi::Throw("calls nested too deeply", Efi::kNoArgument); }

}  // namespace Efi::detail
