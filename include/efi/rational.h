// Rational approximation of a double by continued fractions.
#pragma once

#include <efi/export.h>

namespace ks {

/// Writes into `numerator` / `denominator` the last convergent of the
/// continued fraction of x whose denominator does not exceed
/// `max_denominator` (a denominator equal to it is allowed); intermediate
/// fractions between convergents are never produced.
///
/// The expansion stops early once a convergent lies within |frac(x)| * 2^-51
/// of the fraction part, once the remainder falls to 2^-30 + 2^-62 or below,
/// or once the full numerator would not fit a signed 32-bit integer. Hence
/// 0.9999999999999998 gives 1/1 and 0 gives 0/1; pi with 256 gives 355/113;
/// -2.5 with 10 gives -5/2 (the sign goes on the numerator; -0 counts as not
/// negative).
///
/// The integer part of x must fit a signed 32-bit integer. Values that do not
/// fit (and NaN) are not checked: each result is then the processor's
/// "integer indefinite" value -2147483648, never undefined behaviour.
EFI_API void AsRational(double x, int& numerator, int& denominator, int max_denominator);

}  // namespace ks
