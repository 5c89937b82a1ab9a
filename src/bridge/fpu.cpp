// The floating-point units around a native call. Doubles are computed in
// SSE on this platform and long doubles in x87, so every operation acts on
// both: the x87 word is the one callers name, MXCSR follows its trap set.
#include <cstdint>

#include <efi/call.h>
#include <efi/host/bridge.h>
#include <efi/masked_traps.h>

namespace {

// x87 status / MXCSR flag bits (the same order in both units).
constexpr unsigned kInvalid = 0x01, kDenormal = 0x02, kZeroDivide = 0x04, kOverflow = 0x08, kUnderflow = 0x10,
                   kInexact = 0x20;
constexpr unsigned kFlagBits = 0x3F;
// The x87 exception mask bits sit in bits 0..5 of the control word; the
// MXCSR mask bits in bits 7..12, in the same order.
constexpr unsigned kMxcsrMaskShift = 7;
constexpr std::uint32_t kMxcsrDefault = 0x1F80;

inline std::uint32_t ReadMxcsr() noexcept {
    std::uint32_t v;
    asm volatile("stmxcsr %0" : "=m"(v)::"memory");
    return v;
}
inline void WriteMxcsr(std::uint32_t v) noexcept { asm volatile("ldmxcsr %0" ::"m"(v) : "memory"); }

}  // namespace

namespace Efi::User {

void init_fpu() noexcept {
    asm volatile("fninit" ::: "memory");
    WriteMxcsr(kMxcsrDefault);
}

std::uint32_t set_control_word(std::uint16_t cw) noexcept {
    std::uint16_t previous;
    asm volatile("fnclex" ::: "memory");
    asm volatile("fnstcw %0" : "=m"(previous)::"memory");
    asm volatile("fldcw %0" ::"m"(cw) : "memory");
    // Rounding to nearest, FTZ/DAZ off, flags clear: only the traps follow cw.
    WriteMxcsr((static_cast<std::uint32_t>(cw) & kFlagBits) << kMxcsrMaskShift);
    return previous;
}

constinit thread_local const HostFpState* HostFpScope::t_current = nullptr;

}  // namespace Efi::User

namespace Efi {

CMaskedTraps::CMaskedTraps() noexcept {
    std::uint16_t status;
    asm volatile("fnstcw %0" : "=m"(m_x87Control)::"memory");
    asm volatile("fnstsw %0" : "=m"(status)::"memory");
    m_x87Flags = static_cast<std::uint16_t>(status & kFlagBits);
    m_mxcsr = ReadMxcsr();
    const std::uint16_t masked = static_cast<std::uint16_t>(m_x87Control | kFlagBits);
    asm volatile("fldcw %0" ::"m"(masked) : "memory");
    WriteMxcsr(m_mxcsr | (kFlagBits << kMxcsrMaskShift));
}

CMaskedTraps::~CMaskedTraps() {
    // x87 reports an exception whose flag is set and whose mask is clear at
    // its next instruction, so loading the old word over a flag raised
    // inside would fault after the region. The word and the flags go in
    // together: the environment as it is now (register stack untouched),
    // with the saved word and only the flags that were pending before the
    // region and cannot trap under it (no summary, no stack fault).
    std::uint16_t env[14];  // 28-byte environment: control word [0], status word [2]
    asm volatile("fnstenv %0" : "=m"(env)::"memory");
    constexpr std::uint16_t kStatusFlagBits = 0x80FF;  // flags, stack fault, summary, busy
    const std::uint16_t kept = static_cast<std::uint16_t>(m_x87Flags & m_x87Control & kFlagBits);
    env[0] = m_x87Control;
    env[2] = static_cast<std::uint16_t>((env[2] & ~kStatusFlagBits) | kept);
    asm volatile("fldenv %0" ::"m"(env) : "memory");
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
    WriteMxcsr(mxcsr & ~kFlagBits);
    unsigned flags = (sw | mxcsr) & kFlagBits;
    unsigned status = 0;
    if (flags & kInexact) status |= 0x1;       // _SW_INEXACT
    if (flags & kUnderflow) status |= 0x2;     // _SW_UNDERFLOW
    if (flags & kOverflow) status |= 0x4;      // _SW_OVERFLOW
    if (flags & kZeroDivide) status |= 0x8;    // _SW_ZERODIVIDE
    if (flags & kInvalid) status |= 0x10;      // _SW_INVALID
    if (flags & kDenormal) status |= 0x80000;  // _SW_DENORMAL
    return status;
}
