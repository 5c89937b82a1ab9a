// Rational approximation by the convergents of a continued fraction.
#include <efi/rational.h>

#include <cmath>
#include <limits>

#include "number_text.h"

namespace ks {

namespace {

// A convergent closer than this, relative to the fraction, is exact enough:
// 2^-51, two units in the last place of a fraction near 1.
constexpr double kRelativeTolerance = 4.440892098500626e-16;
static_assert(kRelativeTolerance == 0x1p-51);

// A remainder this small would make the next partial quotient exceed 2^30;
// the expansion stops there rather than divide by (near) zero.
constexpr double kSmallestRemainder = 9.31322574832319e-10;
static_assert(kSmallestRemainder == 0x1p-30 + 0x1p-62);

constexpr double kInt32Max = 2147483647.0;

}  // namespace

void AsRational(double x, int& numerator, int& denominator, int max_denominator) {
    const double b = std::fabs(x);
    const double n = std::floor(b);
    const double f = b - n;
    const double t = f * kRelativeTolerance;

    double h1 = 0.0, k1 = 1.0;  // current convergent
    double h0 = 1.0, k0 = 0.0;  // previous convergent
    double y = f;               // remainder still to expand

    if (f > t) {
        while (y > kSmallestRemainder) {
            const double r = 1.0 / y;
            const double a = std::floor(r);
            y = r - a;
            const double h2 = a * h1 + h0;
            const double k2 = a * k1 + k0;
            if (n * k2 + h2 > kInt32Max) break;  // the whole numerator would not fit
            if (k2 > max_denominator) break;     // a denominator equal to the maximum is allowed
            h0 = h1;
            k0 = k1;
            h1 = h2;
            k1 = k2;
            if (std::fabs(h1 / k1 - f) <= t) break;
        }
    }

    numerator = Efi::detail::TruncateToInt32(n * k1 + h1);
    denominator = Efi::detail::TruncateToInt32(k1);
    // -0 counts as not negative; the indefinite value has no negation.
    if (x < 0 && numerator != std::numeric_limits<int>::min()) numerator = -numerator;
}

}  // namespace ks
