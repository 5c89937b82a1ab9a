// The numeric API offered to extension code: special functions, a
// reproducible random generator, the median and colour-space conversions.
// None of these touches a host value; bad arguments are raised through
// Efi::Throw and never returned.
#pragma once

#include <cstdint>

#include <efi/export.h>

namespace Efi {

/// 2^52 - 1: from here on every double is a whole number.
inline constexpr double MAXSIG = 4503599627370495.0;
/// Largest binomial coefficient Combinations returns before it reports "overflow".
inline constexpr double MAX_REAL = 1e307;
/// Divisor that brings the generator's 31-bit values into [0, 1).
inline constexpr double QLT_RAND_LIMIT = 2147483648.0;
/// Largest 31-bit value, offered to callers.
inline constexpr double QLT_RAND_MAX = 2147483647.0;
/// Tolerance for "is this a whole number", offered to callers.
inline constexpr double INT_TOL = 1e-10;
/// The double nearest pi.
inline constexpr double PI = 3.141592653589793;

/// n! as a double. n < 0 raises "must be positive integer" (argument 1);
/// from 171 on the result overflows to +infinity (raising the overflow
/// exception, which traps under the call control word).
EFI_API double Factorial(int n);

/// The binomial coefficient for real n and k (k need not be whole: the
/// running product takes factors while the counter does not exceed k).
/// Raises "must be positive" (argument 1 or 2), "domain error" when k > n and
/// "overflow" above MAX_REAL. A NaN n gives NaN.
EFI_API double Combinations(double n, double k);

/// x rounded to the nearest whole number, ties to even, whatever rounding
/// mode is in force. Small negative x gives -0; -0 itself gives +0; a NaN
/// comes back as a NaN.
EFI_API double round(double x);

/// The error function; exactly +-1 beyond 26.641747557046326.
EFI_API double erf(double x);

/// The complementary error function 1 - erf(x), accurate in relative terms
/// deep into the tail; exactly 0 beyond 26.641747557046326.
EFI_API double erfc(double x);

/// One step of the linear congruential generator: advances seed and returns
/// a value in 0 to 32767. Callers keeping their own seed get their own
/// sequence.
EFI_API unsigned int qlt_rand(unsigned int& seed) noexcept;

/// A value in [0, 1) that is a multiple of 2^-30, from two steps of
/// qlt_rand on random_seed.
EFI_API double rand() noexcept;

/// The state of rand(); 1 at load. Set it to restart or reproduce a sequence.
EFI_API extern unsigned int random_seed;

/// The median of values[0 .. count-1], which are left sorted in ascending
/// order (O(count log count) in the worst case). Nothing is allocated per
/// call: a thread's first median makes the sort's small buffer, once. A NaN
/// among the values raises the invalid-operation exception (a fault under
/// the call control word) before the array is touched. A count below 1 gives
/// NaN and reads nothing.
EFI_API double median(double* values, int count);

/// Hue (degrees in [0, 360)), lightness and saturation (0 to 255 scale) of a
/// colour. A null pointer's output is skipped.
EFI_API void RGB_TO_HLS(unsigned char red, unsigned char green, unsigned char blue, double* hue, double* lightness,
                        double* saturation);

/// The channels of a hue-lightness-saturation colour. Channel values outside
/// 0 to 255 wrap around modulo 256. A null pointer's output is skipped.
EFI_API void HLS_TO_RGB(double hue, double lightness, double saturation, unsigned char* red, unsigned char* green,
                        unsigned char* blue);

/// Hue (degrees in [0, 360)), saturation and value (0 to 255 scale) of a
/// colour. A null pointer's output is skipped.
EFI_API void RGB_TO_HSV(unsigned char red, unsigned char green, unsigned char blue, double* hue, double* saturation,
                        double* value);

/// The channels of a hue-saturation-value colour. Channel values outside 0 to
/// 255 wrap around modulo 256. A null pointer's output is skipped.
EFI_API void HSV_TO_RGB(double hue, double saturation, double value, unsigned char* red, unsigned char* green,
                        unsigned char* blue);

}  // namespace Efi
