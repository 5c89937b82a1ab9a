// The floating-point units around a native call. Doubles are computed in
// SSE on this platform and long doubles in x87, so every operation acts on
// both: the x87 word is the one callers name, MXCSR follows its trap set.
#include <cstdint>

#include <efi/call.h>

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

}  // namespace Efi::User

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
