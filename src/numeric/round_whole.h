// The whole number nearest a non-negative double below 2^52, ties to even,
// by two means that do not depend on the rounding mode in force (extension
// code may change it): the processor's rounding instruction with its mode
// given in the instruction, where the processor has one (SSE4.1), and exact
// integer steps otherwise.
#pragma once

#include <cstdint>

namespace Efi::detail {

/// True when the processor has the rounding instruction (SSE4.1).
inline bool HasRoundInstruction() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("sse4.1");
}

/// a rounded by the instruction. Only where HasRoundInstruction(). Written
/// as assembly so that the library's baseline instruction set stays what it
/// is: the caller chooses at run time.
inline double WholeByInstruction(double a) {
    double whole;
    // Immediate 8: round to nearest even, not by MXCSR; no inexact flag.
    asm("roundsd $8, %1, %0" : "=x"(whole) : "x"(a));
    return whole;
}

/// a rounded by exact steps: truncation to an integer, whose result does not
/// depend on the mode, and the exact fraction a - t (t is a with its fraction
/// bits cleared). 0 <= a < 2^52.
inline double WholeBySplitting(double a) {
    const std::int64_t t = static_cast<std::int64_t>(a);
    const double fraction = a - static_cast<double>(t);
    // Up on a fraction above one half, or on exactly one half when t is odd.
    const std::int64_t up = (fraction > 0.5) | ((fraction == 0.5) & (t & 1));
    return static_cast<double>(t + up);
}

}  // namespace Efi::detail
