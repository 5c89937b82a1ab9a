// The two floating-point units as this library drives them: the x87
// environment image, the flag and MXCSR bits, and the reset that ends and
// begins every native call. Doubles are computed in SSE on this platform
// and long doubles in x87, so the library always sets both.
#pragma once

#include <cstddef>
#include <cstdint>

namespace Efi::detail {

/// The six exception flags, in the same bit order in the x87 status word
/// and MXCSR; the x87 mask bits sit in bits 0..5 of the control word in
/// that order too.
inline constexpr std::uint32_t kFpInvalid = 0x01, kFpDenormal = 0x02, kFpZeroDivide = 0x04, kFpOverflow = 0x08,
                               kFpUnderflow = 0x10, kFpInexact = 0x20;
inline constexpr std::uint32_t kFpFlagBits = 0x3F;
/// MXCSR's mask bits are bits 7..12, in the flags' order.
inline constexpr unsigned kMxcsrMaskShift = 7;
/// MXCSR after a reset: every exception masked, no flag, round to nearest.
inline constexpr std::uint32_t kMxcsrAllMasked = 0x1F80;
/// x87 control word after a reset: every exception masked, extended
/// precision, round to nearest.
inline constexpr std::uint16_t kX87AllMasked = 0x037F;
/// The x87 status bits that record exceptions: the flags, the stack fault,
/// the summary and the busy bit. A set summary makes the next x87
/// instruction fault.
inline constexpr std::uint16_t kX87StatusExceptionBits = 0x80FF;
/// Of those, the summary and the busy bit alone: cleared with the masks
/// set, nothing is left to report at the next instruction.
inline constexpr std::uint16_t kX87SummaryAndBusy = 0x8080;

/// The 28-byte environment image of fnstenv/fldenv in 32-bit protected
/// mode. The upper halves of the first three words are unused.
struct X87Environment {
    std::uint16_t control, unused0;
    std::uint16_t status, unused1;
    std::uint16_t tags, unused2;
    std::uint32_t ip, cs_opcode, operand, ds;
};
static_assert(sizeof(X87Environment) == 28);
static_assert(offsetof(X87Environment, status) == 4 && offsetof(X87Environment, tags) == 8);

/// The x87 environment now. Storing it masks every x87 exception, as the
/// instruction does; load it back to undo that.
inline X87Environment StoreX87Environment() noexcept {
    X87Environment env;
    asm volatile("fnstenv %0" : "=m"(env)::"memory");
    return env;
}
inline void LoadX87Environment(const X87Environment& env) noexcept { asm volatile("fldenv %0" ::"m"(env) : "memory"); }

inline std::uint16_t ReadX87Control() noexcept {
    std::uint16_t cw;
    asm volatile("fnstcw %0" : "=m"(cw)::"memory");
    return cw;
}
inline std::uint32_t ReadMxcsr() noexcept {
    std::uint32_t v;
    asm volatile("stmxcsr %0" : "=m"(v)::"memory");
    return v;
}
inline void WriteMxcsr(std::uint32_t v) noexcept { asm volatile("ldmxcsr %0" ::"m"(v) : "memory"); }

/// Leaves both units as a reset followed by loading `cw` would (init_fpu,
/// then set_control_word), except that MXCSR becomes `mxcsr`: x87 with
/// control word `cw`, no flag, an empty register stack and cleared
/// instruction and operand pointers. On x87 one environment load does both
/// steps. That matters: changing the control word is the slow part of the
/// pair, far dearer than loading the word already in force or a whole
/// environment, and a reset followed by a load changes it twice (see
/// bench/README.md, "The bridge call").
inline void ResetUnits(std::uint16_t cw, std::uint32_t mxcsr) noexcept {
    // Tag word 0xFFFF: every register empty.
    LoadX87Environment({cw, 0xFFFF, 0, 0xFFFF, 0xFFFF, 0xFFFF, 0, 0, 0, 0});
    WriteMxcsr(mxcsr);
}

/// The MXCSR that traps what the x87 word `cw` traps, rounding to nearest
/// with no flag, FTZ and DAZ off.
constexpr std::uint32_t MxcsrFor(std::uint16_t cw) noexcept {
    return (static_cast<std::uint32_t>(cw) & kFpFlagBits) << kMxcsrMaskShift;
}

/// ResetUnits with MXCSR following `cw`: what init_fpu and
/// set_control_word(cw) leave.
inline void ResetUnitsTo(std::uint16_t cw) noexcept { ResetUnits(cw, MxcsrFor(cw)); }

inline std::uint16_t ReadX87Status() noexcept {
    std::uint16_t sw;
    asm volatile("fnstsw %0" : "=a"(sw));
    return sw;
}

/// Between two native calls under one set-up: leaves the units as
/// ResetUnitsTo(cw) does, without the full reset when the call before left
/// the x87 control word alone. A changed word (a function that loads its
/// own, a callback into the host, which ends with the host's) takes the
/// full reset; x87 flags alone are cleared where they are, all but the
/// inexact flag alone: no call word traps it, nearly every long double
/// operation raises it again, and the first x87 operation to set it after
/// a clear takes a slow path (about 60 ns, ten times a division), which
/// long-double code such as Boost.Math's would pay on every element. MXCSR is loaded
/// whole every time: loading it is far cheaper than reading it back, since
/// the read waits for the arithmetic before it (see bench/README.md,
/// "Sweeps"), and the load undoes a changed control part and the flags
/// most arithmetic leaves behind (inexact) alike. The x87 register stack
/// is taken to be empty, as the calling convention leaves it.
inline void KeepUnitsAt(std::uint16_t cw) noexcept {
    const std::uint16_t control = ReadX87Control();
    const std::uint16_t status = ReadX87Status();
    if (control != cw) {
        ResetUnitsTo(cw);
        return;
    }
    WriteMxcsr(MxcsrFor(cw));
    if (status & kX87StatusExceptionBits & ~kFpInexact) asm volatile("fnclex" ::: "memory");
}

}  // namespace Efi::detail
