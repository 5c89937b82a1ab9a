// The floating-point units around a native call. Doubles are computed in
// SSE on this platform and long doubles in x87, so every operation acts on
// both: the x87 word is the one callers name, MXCSR follows its trap set.
#include <cstdint>

#include <efi/call.h>
#include <efi/host/bridge.h>
#include <efi/masked_traps.h>

#include "fp_units.h"

using namespace Efi::detail;

namespace Efi::User {

void init_fpu() noexcept {
    asm volatile("fninit" ::: "memory");
    WriteMxcsr(kMxcsrAllMasked);
}

std::uint32_t set_control_word(std::uint16_t cw) noexcept {
    std::uint16_t previous;
    asm volatile("fnclex" ::: "memory");
    asm volatile("fnstcw %0" : "=m"(previous)::"memory");
    asm volatile("fldcw %0" ::"m"(cw) : "memory");
    WriteMxcsr(MxcsrFor(cw));
    return previous;
}

constinit thread_local const HostFpState* HostFpScope::t_current = nullptr;

void LoadFpState(const HostFpState& state) noexcept { ResetUnits(state.x87Control, state.mxcsr); }

}  // namespace Efi::User

namespace Efi {

CMaskedTraps::CMaskedTraps() noexcept {
    std::uint16_t status;
    m_x87Control = ReadX87Control();
    asm volatile("fnstsw %0" : "=m"(status)::"memory");
    m_x87Flags = static_cast<std::uint16_t>(status & kFpFlagBits);
    m_mxcsr = ReadMxcsr();
    const std::uint16_t masked = static_cast<std::uint16_t>(m_x87Control | kFpFlagBits);
    asm volatile("fldcw %0" ::"m"(masked) : "memory");
    WriteMxcsr(m_mxcsr | (kFpFlagBits << kMxcsrMaskShift));
}

CMaskedTraps::~CMaskedTraps() {
    // x87 reports an exception whose flag is set and whose mask is clear at
    // its next instruction, so loading the old word over a flag raised
    // inside would fault after the region. The word and the flags go in
    // together: the environment as it is now (register stack untouched),
    // with the saved word and only the flags that were pending before the
    // region and cannot trap under it (no summary, no stack fault).
    X87Environment env = StoreX87Environment();
    const std::uint16_t kept = static_cast<std::uint16_t>(m_x87Flags & m_x87Control & kFpFlagBits);
    env.control = m_x87Control;
    env.status = static_cast<std::uint16_t>((env.status & ~kX87StatusExceptionBits) | kept);
    LoadX87Environment(env);
    // SSE never defers a trap: its saved word brings back the old traps and
    // the old flags, and drops those raised since.
    WriteMxcsr(m_mxcsr);
}

}  // namespace Efi

extern "C" unsigned int _clearfp() noexcept {
    std::uint16_t sw;
    asm volatile("fnstsw %0" : "=m"(sw)::"memory");
    asm volatile("fnclex" ::: "memory");
    std::uint32_t mxcsr = ReadMxcsr();
    WriteMxcsr(mxcsr & ~kFpFlagBits);
    unsigned flags = (sw | mxcsr) & kFpFlagBits;
    unsigned status = 0;
    if (flags & kFpInexact) status |= 0x1;       // _SW_INEXACT
    if (flags & kFpUnderflow) status |= 0x2;     // _SW_UNDERFLOW
    if (flags & kFpOverflow) status |= 0x4;      // _SW_OVERFLOW
    if (flags & kFpZeroDivide) status |= 0x8;    // _SW_ZERODIVIDE
    if (flags & kFpInvalid) status |= 0x10;      // _SW_INVALID
    if (flags & kFpDenormal) status |= 0x80000;  // _SW_DENORMAL
    return status;
}
