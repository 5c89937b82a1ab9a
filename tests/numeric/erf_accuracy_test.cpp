// erf and erfc against an 80-bit correctly rounded reference: the largest error in units in
// the last place over [-30, 30], printed, and held to a few units.
#include <mpfr.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

#include <efi/numeric.h>
#include <gtest/gtest.h>

namespace {

constexpr double kSaturation = 26.641747557046326;

class Reference {
public:
    Reference() { mpfr_inits2(80, m_x, m_ref, m_got, m_diff, static_cast<mpfr_ptr>(nullptr)); }
    ~Reference() { mpfr_clears(m_x, m_ref, m_got, m_diff, static_cast<mpfr_ptr>(nullptr)); }
    Reference(const Reference&) = delete;
    Reference& operator=(const Reference&) = delete;

    // |got - f(x)| in units of the last place of f(x) as a double (subnormal
    // results count in the subnormal unit).
    double UlpError(double x, double got, int (*f)(mpfr_ptr, mpfr_srcptr, mpfr_rnd_t)) {
        mpfr_set_d(m_x, x, MPFR_RNDN);
        f(m_ref, m_x, MPFR_RNDN);
        mpfr_set_d(m_got, got, MPFR_RNDN);
        mpfr_sub(m_diff, m_got, m_ref, MPFR_RNDN);
        if (mpfr_zero_p(m_diff)) return 0;
        long exponent = mpfr_zero_p(m_ref) ? -1074 + 53 : mpfr_get_exp(m_ref);
        if (exponent - 53 < -1074) exponent = -1074 + 53;
        mpfr_mul_2si(m_diff, m_diff, -(exponent - 53), MPFR_RNDN);
        return std::fabs(mpfr_get_d(m_diff, MPFR_RNDN));
    }

private:
    mpfr_t m_x, m_ref, m_got, m_diff;
};

struct Worst {
    double ulps = 0;
    double at = 0;
    void Take(double e, double x) {
        if (e > ulps) ulps = e, at = x;
    }
};

// A grid over [-30, 30], random points, points crowded around the places
// where the approximation changes, and tiny arguments.
std::vector<double> Arguments() {
    std::vector<double> xs;
    for (int i = 0; i <= 60000; ++i) xs.push_back(-30.0 + i * (60.0 / 60000));
    std::mt19937_64 gen(11);
    std::uniform_real_distribution<double> wide(-30, 30), narrow(-6, 6);
    for (int i = 0; i < 30000; ++i) xs.push_back(wide(gen));
    for (int i = 0; i < 20000; ++i) xs.push_back(narrow(gen));
    for (double edge : {0.46875, 4.0, kSaturation}) {
        double lo = edge, hi = edge;
        for (int i = 0; i < 200; ++i) {
            lo = std::nextafter(lo, 0.0), hi = std::nextafter(hi, 100.0);
            for (double v : {lo, hi, -lo, -hi}) xs.push_back(v);
        }
    }
    for (int e = -1070; e < 0; ++e) xs.push_back(std::ldexp(1.37, e)), xs.push_back(-std::ldexp(1.37, e));
    return xs;
}

// The three ranges of the rational approximations, by |x|.
enum Range { kSmall, kMiddle, kTail, kRanges };
constexpr const char* kRangeNames[kRanges] = {"|x| < 0.46875", "0.46875 <= |x| < 4", "4 <= |x| <= 26.64"};

Range RangeOf(double x) {
    const double a = std::fabs(x);
    return a < 0.46875 ? kSmall : a < 4 ? kMiddle : kTail;
}

TEST(ErfAccuracy, WithinAFewUnitsInTheLastPlace) {
    Reference ref;
    Worst erf_worst[kRanges], erfc_worst[kRanges];
    std::size_t saturated = 0;
    const std::vector<double> xs = Arguments();
    for (double x : xs) {
        // Beyond the saturation point erf is +-1 and erfc 0 or 2 by definition
        // of the routines; the true erfc is still a subnormal up to about 27.2.
        if (std::fabs(x) > kSaturation) {
            ++saturated;
            EXPECT_EQ(Efi::erf(x), std::copysign(1.0, x));
            EXPECT_EQ(Efi::erfc(x), x > 0 ? 0.0 : 2.0);
            continue;
        }
        erf_worst[RangeOf(x)].Take(ref.UlpError(x, Efi::erf(x), mpfr_erf), x);
        erfc_worst[RangeOf(x)].Take(ref.UlpError(x, Efi::erfc(x), mpfr_erfc), x);
    }
    std::printf("points: %zu, of which %zu beyond +-%.17g (saturated)\n", xs.size(), saturated, kSaturation);
    for (int r = 0; r < kRanges; ++r) {
        std::printf("%-20s erf  max %7.3f ulp at %.17g\n", kRangeNames[r], erf_worst[r].ulps, erf_worst[r].at);
        std::printf("%-20s erfc max %7.3f ulp at %.17g\n", kRangeNames[r], erfc_worst[r].ulps, erfc_worst[r].at);
    }
    EXPECT_GE(xs.size(), 100000u);
    // Below 0.46875 the degree-3 small-argument table itself is good to
    // about 2e-15 relative, which is what erf and erfc = 1 - erf show there.
    EXPECT_LE(erf_worst[kSmall].ulps, 24.0);
    EXPECT_LE(erfc_worst[kSmall].ulps, 12.0);
    // Elsewhere the results stay within a few units, deep into the tail of
    // erfc included. The degree-7 middle-range polynomials, evaluated in
    // double, account for up to about 5 units of erfc there; the bounds sit
    // just above the worst seen over a million random arguments per range.
    EXPECT_LE(erf_worst[kMiddle].ulps, 5.0);
    EXPECT_LE(erfc_worst[kMiddle].ulps, 7.0);
    EXPECT_LE(erf_worst[kTail].ulps, 1.0);
    EXPECT_LE(erfc_worst[kTail].ulps, 6.0);
}

TEST(ErfAccuracy, KnownValuesAndSymmetry) {
    EXPECT_NEAR(Efi::erf(0.5), 0.52049987781305, 1e-14);
    EXPECT_NEAR(Efi::erf(1), 0.84270079294971, 1e-14);
    EXPECT_EQ(Efi::erf(-1), -Efi::erf(1));
    EXPECT_NEAR(Efi::erfc(2), 0.0046777349810473, 1e-16);
    EXPECT_NEAR(Efi::erfc(5), 1.5374597944280e-12, 1e-24);
    EXPECT_EQ(Efi::erf(30), 1.0);
    EXPECT_EQ(Efi::erf(-30), -1.0);
    EXPECT_EQ(Efi::erfc(27), 0.0);
    EXPECT_EQ(Efi::erfc(-27), 2.0);
    EXPECT_EQ(Efi::erf(0), 0.0);
    EXPECT_EQ(Efi::erfc(0), 1.0);
    EXPECT_TRUE(std::isnan(Efi::erf(NAN)));
    EXPECT_TRUE(std::isnan(Efi::erfc(NAN)));
    EXPECT_EQ(Efi::erf(INFINITY), 1.0);
    EXPECT_EQ(Efi::erfc(-INFINITY), 2.0);
    // The saturation point is sqrt(ln(largest double)).
    EXPECT_EQ(kSaturation, std::sqrt(std::log(1.7976931348623157e308)));
}

// Negative arguments reuse the positive side: erf is odd, erfc(-x) is
// 2 - erfc(x), and below 0.46875 that is 1 + erf(x) with no rounding of
// 1 - erf(x) between.
TEST(ErfAccuracy, NegativeArgumentsMirrorThePositiveSide) {
    for (double x : {1e-300, 1e-8, 0.25, 0.46875, 0.5, 1.0, 2.5, 3.999, 4.0, 5.5, 6.0, 10.0, 26.6}) {
        SCOPED_TRACE(x);
        EXPECT_EQ(Efi::erf(-x), -Efi::erf(x));
        if (x < 0.46875) EXPECT_EQ(Efi::erfc(-x), 1 + Efi::erf(x));
        else EXPECT_EQ(Efi::erfc(-x), 2 - Efi::erfc(x));
    }
}

// From 6 on erf returns 1 without evaluating erfc: just below, erfc is still
// large enough to show in 1 - erfc, and at 6 it is not.
TEST(ErfAccuracy, ErfReachesOneWhereErfcVanishesBesideIt) {
    EXPECT_LT(Efi::erf(5.8), 1.0);
    EXPECT_LT(Efi::erfc(6.0), 0x1p-54);
    EXPECT_EQ(Efi::erf(std::nextafter(6.0, 0.0)), 1.0);
    EXPECT_EQ(Efi::erf(6.0), 1.0);
}

}  // namespace
