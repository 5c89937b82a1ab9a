// Special functions and the random generator of the numeric API.
//
// erf and erfc run in double arithmetic throughout: the extended-precision
// unit is several times slower, and splitting x^2 exactly before the
// exponential keeps the results within a few units in the last place.
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include <efi/errors.h>
#include <efi/numeric.h>

#include "round_whole.h"

namespace Efi {

unsigned int random_seed = 1;

namespace {

// Asked once, at load.
const bool kHasRoundInstruction = detail::HasRoundInstruction();

// ---------------------------------------------------------------- factorial

constexpr int kCachedFactorials = 32;
// Largest n whose factorial is a finite double (170! ~ 7.3e306, 171! ~ 1.2e309).
constexpr int kLastFiniteFactorial = 170;

// k! for k = 0 to 32, filled on demand. Entries are written before the mark
// that makes them visible is raised, so a reader that sees the mark sees the
// entry; two threads filling at once write the same values.
alignas(std::atomic_ref<double>::required_alignment) double g_factorials[kCachedFactorials + 1] = {1, 1, 2, 6, 24};
std::atomic<int> g_factorial_mark{4};

double CachedFactorial(int n) {
    int mark = g_factorial_mark.load(std::memory_order_acquire);
    if (mark < n) {
        for (int k = mark + 1; k <= n; ++k) {
            const double previous = std::atomic_ref<double>(g_factorials[k - 1]).load(std::memory_order_relaxed);
            // Each entry is the double product, rounded: entries from 23! on are not exact.
            std::atomic_ref<double>(g_factorials[k]).store(k * previous, std::memory_order_relaxed);
        }
        while (mark < n &&
               !g_factorial_mark.compare_exchange_weak(mark, n, std::memory_order_release, std::memory_order_acquire)) {
        }
    }
    return std::atomic_ref<double>(g_factorials[n]).load(std::memory_order_relaxed);
}

// The result of every factorial beyond 170: +infinity, reached by an
// operation that raises the overflow exception (as rounding the product to
// double would), so that the call control word traps it here and now.
double OverflowToInfinity() {
    volatile double largest = std::numeric_limits<double>::max();
    return largest * 2.0;
}

// -------------------------------------------------------------- erf / erfc

// Beyond sqrt(ln(largest double)) erf is 1 and erfc 0 to double precision.
constexpr double kSaturation = 26.641747557046326;
constexpr double kSmallLimit = 0.46875;
constexpr double kTailStart = 4.0;
constexpr double kInvSqrtPi = 0.5641895835477563;

// Rational approximations: numerator P and denominator Q, lowest degree first.
constexpr double kSmallP[] = {242.66795523053176, 21.979261618294153, 6.996383488619135, -0.035609843701815386};
constexpr double kSmallQ[] = {215.0588758698612, 91.1649054045149, 15.082797630407788, 1.0};
constexpr double kMiddleP[] = {300.4592610201616,  451.9189537118729,  339.3208167343437, 152.9892850469404,
                               43.162227222056735, 7.2117582508830935, 0.564195517478974, -1.368648573827167e-07};
constexpr double kMiddleQ[] = {300.4592609569833,  790.9509253278981, 931.3540948506096,  638.9802644656312,
                               277.58544474398764, 77.00015293522948, 12.782727319629423, 1.0};
constexpr double kLargeP[] = {-0.002996107077035422, -0.04947309106232507, -0.22695659353968692, -0.2786613086096478,
                              -0.02231924597341847};
constexpr double kLargeQ[] = {0.010620923052846792, 0.19130892610782985, 1.051675107067932, 1.9873320181713525, 1.0};

// Beyond 6, erfc(x) < 2.2e-17, under half a unit in the last place of 1:
// 1 - erfc(x) rounds to exactly 1, so erf need not evaluate it.
constexpr double kErfIsOne = 6.0;
// 2^27 + 1: multiplying by it splits a double into two 26-bit halves.
constexpr double kSplitter = 134217729.0;

// Horner's rule, highest coefficient first.
template <std::size_t N>
inline double Horner(const double (&c)[N], double t) {
    double s = c[N - 1];
    for (std::size_t i = N - 1; i-- > 0;) s = s * t + c[i];
    return s;
}

// erf for 0 < x < 0.46875.
inline double ErfSmall(double x) {
    const double z = x * x;
    return x * Horner(kSmallP, z) / Horner(kSmallQ, z);
}

// e^(-x^2), as the exponential of head and a relative correction -rest.
// x^2 rounded to double is off by up to half a unit, and exp turns that
// absolute error (up to 6e-14 at x = 26) into the same relative error:
// hundreds of units in the last place deep in the tail of erfc. So x^2 is
// split exactly into head + rest (the halves of x have 26 bits each, so
// their products are exact); exp takes the head, and the rest, at most half
// a unit of the head, is left for the caller to apply as the factor
// 1 - rest (its square is far below rounding) where it costs no extra
// rounding.
struct Damping {
    double exp_head;
    double rest;
};

inline Damping DampingOf(double x) {
    const double head = x * x;
    const double c = kSplitter * x;
    const double high = c - (c - x);
    const double low = x - high;
    const double rest = ((high * high - head) + 2.0 * high * low) + low * low;
    return {std::exp(-head), rest};
}

// erfc for 0.46875 <= x < 4: e^(-x^2) P(x) / Q(x), with the damping factor
// applied to the numerator so that the division is the last rounding.
inline double ErfcMiddle(double x) {
    const double p = Horner(kMiddleP, x);
    const double q = Horner(kMiddleQ, x);
    const Damping d = DampingOf(x);
    const double damped = d.exp_head * p;
    return (damped - damped * d.rest) / q;
}

// erfc for 4 <= x <= 26.64 (and NaN, which passes through as NaN). The
// correction to 1/sqrt(pi) is below a tenth of it. Dividing the sum by x
// before it meets the damping factor keeps every rounding but the last
// above the subnormal range, where the result itself may lie.
inline double ErfcTail(double x) {
    const double u = 1.0 / (x * x);
    const double sum = u * Horner(kLargeP, u) / Horner(kLargeQ, u) + kInvSqrtPi;
    const Damping d = DampingOf(x);
    const double damped = d.exp_head * (sum / x);
    return damped - damped * d.rest;
}

// erf for x >= 0 (or NaN); +0 for either zero.
inline double ErfNonNegative(double x) {
    if (x == 0) return 0.0;
    if (x < kSmallLimit) return ErfSmall(x);
    if (x < kTailStart) return 1.0 - ErfcMiddle(x);
    if (x >= kErfIsOne) return 1.0;
    return 1.0 - ErfcTail(x);
}

// erfc for x > 0 (or NaN).
inline double ErfcPositive(double x) {
    if (x < kSmallLimit) return 1.0 - ErfSmall(x);
    if (x < kTailStart) return ErfcMiddle(x);
    if (x > kSaturation) return 0.0;
    return ErfcTail(x);
}

// One step of the linear congruential generator (arithmetic modulo 2^32).
// rand() uses it directly rather than through the exported qlt_rand, which
// another module could interpose.
inline unsigned int GeneratorStep(unsigned int& seed) noexcept {
    seed = seed * 214013u + 2531011u;
    return (seed >> 16) & 0x7FFFu;
}

}  // namespace

double Factorial(int n) {
    if (n < 0) Throw("must be positive integer", 1);
    if (n <= kCachedFactorials) return CachedFactorial(n);
    if (n > kLastFiniteFactorial) return OverflowToInfinity();
    // Descending from n to 33, as the rounding of the product depends on the order.
    long double r = CachedFactorial(kCachedFactorials);
    for (long double m = n; m > kCachedFactorials; m -= 1) r *= m;
    return static_cast<double>(r);
}

double Combinations(double n, double k) {
    if (n < 0) Throw("must be positive", 1);
    if (k < 0) Throw("must be positive", 2);
    if (k > n) Throw("domain error", kNoArgument);
    const long double nl = n;
    long double kl = k;
    if (kl > nl - kl) kl = nl - kl;
    if (kl == 0) return 1.0;
    if (kl == 1) return n;
    long double r = nl - kl + 1;
    long double f = nl - kl + 2;
    // Once k <= n - k, every factor f / i = (n - k + i) / i with i <= k is at
    // least 2: the product doubles (at least) with each step, so it passes
    // MAX_REAL within about 1020 steps and can never fall back below it.
    // Stopping there gives the same "overflow" the full loop would reach
    // (a huge k would otherwise keep the loop busy for years); a NaN product
    // stays NaN and stops too.
    for (long double i = 2; i <= kl; i += 1) {
        if (!(r <= MAX_REAL)) break;
        r = r * f / i;
        f += 1;
    }
    if (r > MAX_REAL) Throw("overflow", kNoArgument);
    return static_cast<double>(r);
}

double round(double x) {
    const double a = std::fabs(x);
    if (a < 4503599627370496.0) {
        const double whole = kHasRoundInstruction ? detail::WholeByInstruction(a) : detail::WholeBySplitting(a);
        // A negative x keeps its sign even when it rounds to zero; -0 itself
        // does not count as negative and gives +0. The sign goes on as a bit
        // mask: a branch on it would be as good as random in typical data.
        const std::uint64_t sign = x < 0 ? 0x8000000000000000u : 0;
        return std::bit_cast<double>(std::bit_cast<std::uint64_t>(whole) | sign);
    }
    // A NaN comes back quiet and positive; from 2^52 on x is whole already.
    if (a != a) return a + 0.5;
    return x;
}

double erf(double x) {
    if (x < 0) return -ErfNonNegative(-x);
    return ErfNonNegative(x);
}

double erfc(double x) {
    if (x < 0) {
        const double a = -x;
        // 2 - (1 - erf(a)) is 1 + erf(a): adding saves a rounding.
        if (a < kSmallLimit) return 1.0 + ErfSmall(a);
        return 2.0 - ErfcPositive(a);
    }
    if (x == 0) return 1.0;
    return ErfcPositive(x);
}

unsigned int qlt_rand(unsigned int& seed) noexcept { return GeneratorStep(seed); }

double rand() noexcept {
    const unsigned int high = GeneratorStep(random_seed);
    const unsigned int low = GeneratorStep(random_seed);
    // Dividing by 2^31 is exact, and so is multiplying by 2^-31.
    constexpr double kInvLimit = 1.0 / QLT_RAND_LIMIT;
    return static_cast<double>(high * 65536u + low * 2u) * kInvLimit;
}

}  // namespace Efi
