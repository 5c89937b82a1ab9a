// Factorial, binomial coefficient, rounding and the random generator.
#include <sys/wait.h>
#include <unistd.h>

#include <cfenv>
#include <chrono>
#include <climits>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include <efi/call.h>
#include <efi/numeric.h>
#include <efi_test.h>

#include "numeric/round_whole.h"

namespace {

using efitest::SameBits;
using efitest::SameValue;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// The argument number that blames no argument.
constexpr std::uint32_t kNoArgument = 4294967295u;

// The factorial by the definition: the cached double products to 32!, then
// the long double product descending from n; no shortcut for large n.
double PlainFactorial(int n) {
    double table[33] = {1};
    for (int k = 1; k <= 32; ++k) table[k] = k * table[k - 1];
    if (n <= 32) return table[n];
    long double r = table[32];
    for (long double m = n; m >= 33; m -= 1) r *= m;
    return static_cast<double>(r);
}

// The binomial coefficient by the definition, without the early stop. Only
// for arguments with which the loop is short. Returns +inf for "overflow".
double PlainCombinations(double n, double k) {
    long double nl = n, kl = k;
    if (kl > nl - kl) kl = nl - kl;
    if (kl == 0) return 1;
    if (kl == 1) return n;
    long double r = nl - kl + 1, f = nl - kl + 2, i = 2;
    while (i <= kl) {
        r = r * f / i;
        f = f + 1;
        i = i + 1;
    }
    return r > Efi::MAX_REAL ? kInf : static_cast<double>(r);
}

// Nearest whole number, ties to even, by steps that are exact whatever the
// rounding mode: floor, the difference from it, and fmod.
double ExactRound(double x) {
    const double a = std::fabs(x);
    if (!(a < 0x1p52)) return x;  // whole already, or not a number
    const double w = std::floor(a), fraction = a - w;
    const double r = fraction > 0.5 || (fraction == 0.5 && std::fmod(w, 2) != 0) ? w + 1 : w;
    return x < 0 ? -r : r;
}

constexpr int kRoundingModes[] = {FE_TONEAREST, FE_UPWARD, FE_DOWNWARD, FE_TOWARDZERO};

// Runs `body` in a forked child with `control_word` loaded and reports the
// si_code of the SIGFPE it raised, 0 when it finished without one.
template <class Body>
int FpeCodeInChild(std::uint16_t control_word, Body body) {
    const pid_t pid = fork();
    if (pid == 0) {
        struct sigaction sa {};
        sa.sa_sigaction = [](int, siginfo_t* info, void*) { _exit(info->si_code); };
        sa.sa_flags = SA_SIGINFO;
        sigaction(SIGFPE, &sa, nullptr);
        Efi::User::init_fpu();
        Efi::User::set_control_word(control_word);
        body();
        _exit(0);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

template <class Fn>
double SecondsFor(Fn fn) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST(Factorial, KnownValues) {
    EXPECT_EQ(Efi::Factorial(0), 1.0);
    EXPECT_EQ(Efi::Factorial(1), 1.0);
    EXPECT_EQ(Efi::Factorial(5), 120.0);
    EXPECT_EQ(Efi::Factorial(20), 2432902008176640000.0);
    EXPECT_EQ(Efi::Factorial(32), 2.631308369336935e35);
    EXPECT_TRUE(std::isfinite(Efi::Factorial(170)));
    EXPECT_DOUBLE_EQ(Efi::Factorial(170), 7.257415615307994e306);
}

TEST(Factorial, MatchesTheDefinitionUpToWhereItOverflows) {
    // Asked from the top down first, so the cache is filled in one sweep and
    // later, smaller, requests must read back the same entries.
    for (int n : {40, 32, 25, 23, 22, 6}) EXPECT_TRUE(SameBits(Efi::Factorial(n), PlainFactorial(n))) << n;
    for (int n = 0; n <= 1800; ++n) ASSERT_TRUE(SameBits(Efi::Factorial(n), PlainFactorial(n))) << n;
}

TEST(Factorial, HugeArgumentsOverflowAtOnceAndRaiseTheFlag) {
    efitest::FpEnvGuard guard;
    for (int n : {171, 1000, 1755, 100000000, INT_MAX}) {
        std::feclearexcept(FE_ALL_EXCEPT);
        double r = 0;
        EXPECT_LT(SecondsFor([&] { r = Efi::Factorial(n); }), 0.01) << n;
        EXPECT_EQ(r, kInf) << n;
        EXPECT_TRUE(std::fetestexcept(FE_OVERFLOW)) << n;
    }
}

TEST(Factorial, OverflowTrapsUnderTheCallControlWord) {
    EXPECT_EQ(FpeCodeInChild(Efi::User::kCallControlWord, [] { (void)Efi::Factorial(171); }), FPE_FLTOVF);
    EXPECT_EQ(FpeCodeInChild(Efi::User::kCallControlWord, [] { (void)Efi::Factorial(INT_MAX); }), FPE_FLTOVF);
    EXPECT_EQ(FpeCodeInChild(Efi::User::kCallControlWord, [] { (void)Efi::Factorial(170); }), 0);
}

TEST(Factorial, NegativeIsRefused) {
    EXPECT_APP_ERROR(Efi::Factorial(-1), "must be positive integer", 1);
    EXPECT_APP_ERROR(Efi::Factorial(INT_MIN), "must be positive integer", 1);
}

TEST(Combinations, KnownValues) {
    struct Case {
        double n, k, expected;
    };
    for (const Case& c : {Case{10, 3, 120}, Case{5, 5, 1}, Case{5, 4, 5}, Case{0, 0, 1}, Case{5, 2.5, 7.875},
                          Case{5, 1.5, 4.5}, Case{52, 5, 2598960}, Case{1e6, 1, 1e6}, Case{1000, 2, 499500}}) {
        EXPECT_TRUE(SameValue(Efi::Combinations(c.n, c.k), c.expected)) << c.n << " " << c.k;
    }
}

TEST(Combinations, MatchesTheFullLoop) {
    std::mt19937_64 gen(7);
    std::uniform_real_distribution<double> n_dist(0, 3000);
    std::uniform_real_distribution<double> frac(0, 1);
    for (int t = 0; t < 20000; ++t) {
        double n = n_dist(gen);
        if (t % 2) n = std::floor(n);
        const double k = t % 3 ? std::floor(n * frac(gen)) : n * frac(gen);
        const double expected = PlainCombinations(n, k);
        if (expected == kInf) {
            EXPECT_APP_ERROR(Efi::Combinations(n, k), "overflow", kNoArgument);
        } else {
            ASSERT_TRUE(SameBits(Efi::Combinations(n, k), expected)) << n << " " << k;
        }
    }
}

TEST(Combinations, BadArgumentsInOrder) {
    EXPECT_APP_ERROR(Efi::Combinations(-1, 0), "must be positive", 1);
    EXPECT_APP_ERROR(Efi::Combinations(-1, -1), "must be positive", 1);
    EXPECT_APP_ERROR(Efi::Combinations(3, -1), "must be positive", 2);
    EXPECT_APP_ERROR(Efi::Combinations(3, 4), "domain error", kNoArgument);
    EXPECT_APP_ERROR(Efi::Combinations(2000, 1000), "overflow", kNoArgument);
}

TEST(Combinations, EveryInputEndsPromptly) {
    const double huge = std::numeric_limits<double>::max();
    EXPECT_LT(SecondsFor([&] {
                  EXPECT_APP_ERROR(Efi::Combinations(1e18, 3e17), "overflow", kNoArgument);
                  EXPECT_APP_ERROR(Efi::Combinations(huge, huge / 2), "overflow", kNoArgument);
                  EXPECT_APP_ERROR(Efi::Combinations(1e30, 1e29 + 0.5), "overflow", kNoArgument);
                  EXPECT_APP_ERROR(Efi::Combinations(kInf, 1e300), "overflow", kNoArgument);
                  EXPECT_TRUE(std::isnan(Efi::Combinations(kInf, kInf)));
                  EXPECT_TRUE(std::isnan(Efi::Combinations(kNaN, 1e300)));
                  EXPECT_TRUE(std::isnan(Efi::Combinations(kNaN, 3)));
              }),
              0.5);
}

TEST(Round, TiesGoToEvenUnderEveryRoundingMode) {
    struct Case {
        double x, expected;
    };
    const Case cases[] = {
        {0.5, 0.0},
        {1.5, 2},
        {2.5, 2},
        {3.5, 4},
        {-2.5, -2},
        {2.4, 2},
        {2.6, 3},
        {0.7, 1},
        {-0.7, -1},
        {-0.4, -0.0},
        {-0.5, -0.0},
        {-0.0, 0.0},
        {0.49999999999999994, 0},
        {0.5000000000000001, 1},  // |x| + 0.5 would round to 1 and make a false tie
        {-0.5000000000000001, -1},
        {1.4999999999999998, 1},
        {2.5000000000000004, 3},
        {4503599627370494.5, 4503599627370494},
        {4503599627370495.5, 4503599627370496},
        {-4503599627370495.5, -4503599627370496},
        {4503599627370495, 4503599627370495},
        {4503599627370496, 4503599627370496},
        {1e300, 1e300},
        {-kInf, -kInf},
        {5e-324, 0},
        {-5e-324, -0.0},
    };
    for (int mode : kRoundingModes) {
        efitest::FpEnvGuard guard;
        ASSERT_EQ(std::fesetround(mode), 0);
        for (const Case& c : cases) {
            const double got = Efi::round(c.x);
            EXPECT_TRUE(SameValue(got, c.expected)) << "mode " << mode << ": " << c.x << " gives " << got;
        }
        EXPECT_TRUE(std::isnan(Efi::round(kNaN)));
        EXPECT_TRUE(std::isnan(Efi::round(-kNaN)));
    }
}

// A bounded sample: the whole number, the offset from it and the sign are
// drawn independently, so every kind of neighbour of a tie turns up with
// either parity.
TEST(Round, AgreesWithAnExactReferenceOnASample) {
    std::mt19937_64 gen(2024);
    auto input = [&](int t) -> double {
        const std::uint64_t bits = gen();
        const double sign = gen() & 1 ? -1.0 : 1.0;
        switch (t % 4) {
            case 0: {  // any bit pattern: NaNs, infinities, subnormals, huge values
                double x;
                std::memcpy(&x, &bits, 8);
                return x;
            }
            case 1: {  // a tie, or one or two steps either side of it, small or near 2^52
                const double whole = static_cast<double>(bits % 64) + (gen() & 1 ? 0 : 0x1p51);
                double x = whole + 0.5;
                for (int steps = static_cast<int>(gen() % 5) - 2; steps != 0; steps += steps > 0 ? -1 : 1)
                    x = std::nextafter(x, steps > 0 ? kInf : 0.0);
                return sign * x;
            }
            case 2:  // spread over the magnitudes
                return sign * std::ldexp(static_cast<double>(bits >> 11) * 0x1p-53, static_cast<int>(gen() % 120) - 60);
            default:  // right at 2^52 - 1 and its neighbours
                return sign * (Efi::MAXSIG + static_cast<double>(bits % 9) * 0.5 - 2.0);
        }
    };
    std::vector<double> xs(40000);
    for (int t = 0; t < static_cast<int>(xs.size()); ++t) xs[t] = input(t);
    const bool instruction = Efi::detail::HasRoundInstruction();
    for (int mode : kRoundingModes) {
        efitest::FpEnvGuard guard;
        ASSERT_EQ(std::fesetround(mode), 0);
        for (double x : xs) {
            const double expected = ExactRound(x), got = Efi::round(x);
            if (!SameValue(got, expected))
                FAIL() << "mode " << mode << ": " << x << " gives " << got << ", expected " << expected;
            // Both ways of rounding |x|, whichever this processor uses.
            const double a = std::fabs(x);
            if (!(a < 0x1p52)) continue;
            if (Efi::detail::WholeBySplitting(a) != ExactRound(a)) FAIL() << "splitting " << a << ", mode " << mode;
            if (instruction && Efi::detail::WholeByInstruction(a) != ExactRound(a))
                FAIL() << "instruction " << a << ", mode " << mode;
        }
    }
}

TEST(Random, FirstValuesFromSeedOne) {
    unsigned seed = 1;
    for (unsigned expected : {41u, 18467u, 6334u, 26500u, 19169u, 15724u}) EXPECT_EQ(Efi::qlt_rand(seed), expected);

    Efi::random_seed = 1;
    EXPECT_EQ(Efi::rand(), 0.001268419437110424);
    EXPECT_EQ(Efi::rand(), 0.1933230198919773);
}

TEST(Random, ResettingTheSeedRepeatsTheSequence) {
    Efi::random_seed = 1;
    double first[100];
    for (double& v : first) v = Efi::rand();
    Efi::random_seed = 1;
    for (double v : first) EXPECT_EQ(Efi::rand(), v);
    // Every value is a multiple of 2^-30 in [0, 1).
    for (double v : first) {
        EXPECT_GE(v, 0.0);
        EXPECT_LT(v, 1.0);
        EXPECT_EQ(std::ldexp(v, 30), std::floor(std::ldexp(v, 30)));
    }
}

TEST(Random, SeedWrapsAroundModulo2To32) {
    unsigned seed = 0xFFFFFFFFu;
    const unsigned value = Efi::qlt_rand(seed);
    EXPECT_EQ(seed, static_cast<unsigned>(0xFFFFFFFFull * 214013u + 2531011u));
    EXPECT_EQ(value, (seed >> 16) & 0x7FFFu);
}

}  // namespace
