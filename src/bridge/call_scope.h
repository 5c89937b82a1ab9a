// Brackets one native call: the floating-point set-up outside, the call
// context inside, torn down in the reverse order on every exit path.
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

/// One native call's scope. Members are built in order and destroyed in
/// reverse: the context (and all call memory) goes before 0x273 is loaded.
class NativeCallScope {
public:
    NativeCallScope() = default;
    EfiCallContext& context() noexcept { return m_context; }

private:
    FpuCallWord m_word;
    EfiCallContext m_context;
};

}  // namespace Efi::detail
