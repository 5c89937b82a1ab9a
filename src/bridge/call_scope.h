// Brackets one native call: the floating-point set-up outside, the call
// context inside, torn down in the reverse order on every exit path.
#pragma once

#include <cstdint>

#include <efi/call.h>
#include <efi/host/bridge.h>

namespace Efi::detail {

/// Leaves both units as a reset followed by loading `cw` would (init_fpu,
/// then set_control_word), except that MXCSR becomes `mxcsr`: x87 with
/// control word `cw`, no flag, an empty register stack and cleared
/// instruction and operand pointers. On x87 one environment load does both
/// steps. That matters: changing the control word is the slow part of the
/// pair (on the build machine 60 to 150 ns, against under 1 ns for loading
/// the word already in force; an environment load costs about 35 ns either
/// way), and a reset followed by a load changes it twice.
inline void ResetUnits(std::uint16_t cw, std::uint32_t mxcsr) noexcept {
    // The 28-byte environment of fnstenv/fldenv; the upper halves of the
    // first three fields are unused. Tag word 0xFFFF: every register empty.
    struct X87Environment {
        std::uint32_t control, status, tags, ip, cs_opcode, operand, ds;
    };
    static_assert(sizeof(X87Environment) == 28);
    const X87Environment env{0xFFFF0000u | cw, 0xFFFF0000u, 0xFFFFFFFFu, 0, 0, 0, 0};
    asm volatile("fldenv %0" ::"m"(env) : "memory");
    asm volatile("ldmxcsr %0" ::"m"(mxcsr) : "memory");
}

/// ResetUnits with MXCSR rounding to nearest, no flag, and the traps `cw`
/// names: what init_fpu and set_control_word(cw) leave.
inline void ResetUnitsTo(std::uint16_t cw) noexcept {
    ResetUnits(cw, (static_cast<std::uint32_t>(cw) & 0x3Fu) << 7);
}

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
