// Brackets one native call: the floating-point set-up outside, the call
// context inside, torn down in the reverse order on every exit path.
#pragma once

#include <efi/call.h>

namespace Efi::detail {

/// Loads the call control word on entry and the host's word on exit, each
/// after a full reset, so no flag raised on one side survives to the other.
class FpuCallWord {
public:
    FpuCallWord() noexcept {
        User::init_fpu();
        User::set_control_word(User::kCallControlWord);
    }
    ~FpuCallWord() {
        User::init_fpu();
        User::set_control_word(User::kHostControlWord);
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
