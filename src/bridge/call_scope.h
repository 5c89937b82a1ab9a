// The floating-point set-up around native calls: the call word in, the
// host's out. The invokers build it before the call context and so tear it
// down after it, on every exit path.
#pragma once

#include <cstdint>

#include <efi/call.h>
#include <efi/host/bridge.h>

#include "fp_units.h"

namespace Efi::detail {

/// Loads the call control word on entry and the host's word (or the state
/// of this thread's HostFpScope) on exit, each after a full reset, so no
/// flag raised on one side survives to the other.
class FpuCallWord {
public:
    FpuCallWord() noexcept { ResetUnitsTo(User::kCallControlWord); }
    ~FpuCallWord() {
        if (const User::HostFpState* host = User::HostFpScope::Current()) ResetUnits(host->x87Control, host->mxcsr);
        else ResetUnitsTo(User::kHostControlWord);
    }
    FpuCallWord(const FpuCallWord&) = delete;
    FpuCallWord& operator=(const FpuCallWord&) = delete;
};

}  // namespace Efi::detail
