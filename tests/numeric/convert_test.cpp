// The unit-string conversions: worked examples bit for bit, the exact errors,
// and texts meant to break the reader.
#include <efi/efi.h>
#include <efi/host/convert.h>
#include <efi/se_exception.h>
#include <vrnrun/faults.h>

#include <array>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "convert_reference.h"
#include "convert_round_trip.h"
#include "efi_test.h"
#include "numeric/number_text.h"
#include "numeric/pattern.h"

namespace {

using Efi::Convert;
using efitest::SameBits;
using Vrn::Run::Object;

constexpr double kInchesPerMeter = 39.370078740157474;
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kPi = 3.141592653589793;
constexpr std::uint32_t kNoArg = 4294967295u;

Object U8(const std::string& s) { return Vrn::Run::TextUtf8(s); }

double Real(const Object& v) {
    const auto* n = v.as<Qlt::NumVal>();
    EXPECT_NE(n, nullptr) << "not a number";
    return n ? n->asReal() : kNaN;
}

std::string Utf8(const Object& v) {
    const auto* s = v.as<Vrn::Run::String>();
    EXPECT_NE(s, nullptr) << "not text";
    return s ? Vrn::Run::ToUtf8(s->str()) : std::string("<not text>");
}

Object Column(std::vector<double> v) { return Vrn::Run::Matrix(static_cast<int>(v.size()), 1, v); }

TEST(Fif, ReadsEverySpelling) {
    const struct {
        const char* text;
        double metres;
    } cases[] = {
        {"5' 3-1/2\"", 3.5 / kInchesPerMeter + 5 * 0.3048},
        {"5' 3 1/2\"", 3.5 / kInchesPerMeter + 5 * 0.3048},
        {"5'3-1/2", 3.5 / kInchesPerMeter + 5 * 0.3048},
        {"5'-1/2\"", 0.5 / kInchesPerMeter + 5 * 0.3048},
        {"5'1/2", 0.5 / kInchesPerMeter + 5 * 0.3048},
        {"3-1/2", 3.5 / kInchesPerMeter},
        {"3/4", 0.75 / kInchesPerMeter},  // bare fraction: the first spelling stops after "3"
        {"-1/2\"", -(0.5 / kInchesPerMeter)},
        {"5' 3/4\"", 0.75 / kInchesPerMeter + 5 * 0.3048},  // feet and a fraction, no whole inches
        {"5'", 1.524},
        {"-5' 3\"", -(3 / kInchesPerMeter + 5 * 0.3048)},
        {"+5'", 1.524},
        {"3\"", 3 / kInchesPerMeter},
        {" \t5'3\"\r\n", 3 / kInchesPerMeter + 1.524},
        {"", 0.0},
        {"   ", 0.0},
        {"-", -0.0},
        {"007'", 7 * 0.3048},
        {"1/0", kInf},  // an unchecked zero denominator divides as the environment says (masked here)
        {"0/0", kNaN},
    };
    for (const auto& c : cases) {
        const double got = Real(Convert::fif(U8(c.text)));
        if (std::isnan(c.metres)) {
            EXPECT_TRUE(std::isnan(got)) << c.text;
        } else {
            EXPECT_TRUE(SameBits(got, c.metres)) << c.text << ": " << got;
        }
    }
    EXPECT_NEAR(Real(Convert::fif(U8("5' 3-1/2\""))), 1.6129, 1e-15);
}

TEST(Fif, RejectsWhatNoSpellingReadsWhole) {
    const std::u16string bad[] = {
        u"abc",
        u"'",
        u"3 - 1/2",
        u"- 1/2",
        u"1.5'",
        u"5 '",
        u"5' -3\"",
        u"5'3\"x",
        u"--5'",
        u"5'3\"\"",
        u"1e3'",
        u"5\u00A0'",                     // a non-ASCII blank is not white space
        u"\uFF15'",                      // nor is a full-width digit a digit
        std::u16string(u"5'\0 3\"", 6),  // an embedded NUL does not end the text
        std::u16string(u"\0", 1),
    };
    for (const auto& text : bad) {
        SCOPED_TRACE(Vrn::Run::ToUtf8(text));
        EXPECT_APP_ERROR(Convert::fif(Vrn::Run::Text(text)), "bad_fif_string", 1);
    }
    EXPECT_APP_ERROR(Convert::fif(Vrn::Run::Number(5.0)), "must be string", 1);
    EXPECT_APP_ERROR(Convert::fif(Object()), "must be string", 1);
    EXPECT_APP_ERROR(Convert::fif(Column({5, 0, 0})), "must be string", 1);
}

TEST(FifInv, WritesFeetInchesAndFraction) {
    const struct {
        double metres;
        const char* text;
    } cases[] = {
        {1.0, "3' 3-47/127\""}, {-1.0, "-3' 3-47/127\""},
        {0.0, "0' 0\""},        {0.0254, "0' 1\""},
        {0.0127, "0' 1/2\""},   {0.3175, "1' 1/2\""},
        {1.6129, "5' 3-1/2\""}, {100.0, "328' 1-1/127\""},
        {0.3048, "1' 0\""},  // 11.999999999999998 inches: 1/1 carries into 12 inches, then a foot
        {-1e-9, "-0' 0\""},  // the sign is written whenever the input is below zero
        {-0.0, "0' 0\""},       {kNaN, "NaN"},
        {kInf, "Infinity"},     {-kInf, "-Infinity"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8(Convert::fif_inv(Vrn::Run::Number(c.metres))), c.text) << c.metres;
    }
    EXPECT_APP_ERROR(Convert::fif_inv(Vrn::Run::Number(1.0, 1.0)), "must be real", 1);
    EXPECT_APP_ERROR(Convert::fif_inv(U8("1")), "must be real", 1);
    EXPECT_APP_ERROR(Convert::fif_inv(Object()), "must be real", 1);
}

TEST(FifInv, TextReadsBackCloseToTheLength) {
    // Written to 1/256 inch at worst, read back through the same constants.
    for (double m : {0.001, 0.5, 1.0, 2.54, 12.3456, 1234.5}) {
        const Object text = Convert::fif_inv(Vrn::Run::Number(m));
        EXPECT_NEAR(Real(Convert::fif(text)), m, 0.0254 / 256) << Utf8(text);
    }
}

TEST(Dms, ConvertsAColumnOfThree) {
    EXPECT_TRUE(SameBits(Real(Convert::dms(Column({12, 30, 15.5}))), 0.21824130261986316));
    // Parts need not share a sign: 12 degrees -30 minutes is 11.5 degrees.
    EXPECT_NEAR(Real(Convert::dms(Column({12, -30, 0}))), 11.5 * kPi / 180, 1e-15);
    // A real matrix whose elements are nested real numbers reads the same.
    auto m = Vrn::Run::make<Qlt::MatVal>(3, 1, false);
    m->SetNested(0, 0, Vrn::Run::Number(12));
    m->set(1, 0, 30);
    m->SetNested(2, 0, Vrn::Run::Number(15.5));
    EXPECT_TRUE(SameBits(Real(Convert::dms(m)), 0.21824130261986316));
}

TEST(Dms, RaisesForTheWrongShapeOrElement) {
    EXPECT_APP_ERROR(Convert::dms(Vrn::Run::Matrix(1, 3, std::vector<double>{12, 30, 15.5})), "must be real vector", 1);
    EXPECT_APP_ERROR(Convert::dms(Vrn::Run::make<Qlt::MatVal>(3, 1, true)), "must be real vector", 1);
    EXPECT_APP_ERROR(Convert::dms(Vrn::Run::Number(1.0)), "must be real vector", 1);
    EXPECT_APP_ERROR(Convert::dms(U8("12")), "must be real vector", 1);
    EXPECT_APP_ERROR(Convert::dms(Column({1, 2, 3, 4})), "must be a 3 element vector", 1);
    EXPECT_APP_ERROR(Convert::dms(Column({1, 2})), "must be a 3 element vector", 1);
    for (const Object& bad : {U8("30"), Vrn::Run::Number(30, 1), Column({1, 2, 3})}) {
        auto m = Vrn::Run::make<Qlt::MatVal>(3, 1, false);
        m->SetNested(2, 0, bad);
        EXPECT_APP_ERROR(Convert::dms(m), "must be real", kNoArg);
    }
}

TEST(DmsInv, SplitsIntoDegreesMinutesSeconds) {
    const struct {
        double radians;
        double d, m, s;
    } cases[] = {
        {0.21824130261986316, 12, 30, 15.5},  {kPi, 180, 0, 0}, {2 * kPi, 0, 0, 0},  // whole turns are dropped
        {-1.0, -57, -17, -44.80624709636322}, {0.0, 0, 0, 0},
    };
    for (const auto& c : cases) {
        const Object v = Convert::dms_inv(Vrn::Run::Number(c.radians));
        const auto* m = v.as<Qlt::MatVal>();
        ASSERT_NE(m, nullptr);
        ASSERT_EQ(m->Rows(), 3);
        ASSERT_EQ(m->Cols(), 1);
        EXPECT_TRUE(m->IsRealMatrix());
        EXPECT_TRUE(SameBits(m->re(0, 0), c.d)) << c.radians << ": " << m->re(0, 0);
        EXPECT_TRUE(SameBits(m->re(1, 0), c.m)) << c.radians << ": " << m->re(1, 0);
        EXPECT_TRUE(SameBits(m->re(2, 0), c.s)) << c.radians << ": " << m->re(2, 0);
    }
    EXPECT_EQ(Utf8(Convert::dms_inv(Vrn::Run::Number(kNaN))), "NaN");
    EXPECT_APP_ERROR(Convert::dms_inv(Vrn::Run::Number(1.0, -1.0)), "must be real", 1);
    EXPECT_APP_ERROR(Convert::dms_inv(Column({1, 2, 3})), "must be real", 1);
}

TEST(Hhmmss, ReadsHoursMinutesSeconds) {
    const struct {
        const char* text;
        double seconds;
    } cases[] = {
        {"1:01:01.5", 3661.5}, {"-0:0:5", -5.0},        {"+1:00:00", 3600.0},
        {"1:99:00", 9540.0},  // minutes and seconds are not limited to 59
        {"0:0:75.25", 75.25},  {" \t1:2:3 \n", 3723.0}, {"-0:0:0", -0.0},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(SameBits(Real(Convert::hhmmss(U8(c.text))), c.seconds)) << c.text;
    }
    for (const char* bad : {"1:100:00", "1:2", "1:2:3.", "1:2:.5", "1:2:3,5", "1.5:0:0", "1:2:3e1", "", "  ", "x1:2:3",
                            "1:2:3x", "- 1:2:3"}) {
        SCOPED_TRACE(bad);
        EXPECT_APP_ERROR(Convert::hhmmss(U8(bad)), "bad_hhmmss_string", 1);
    }
    EXPECT_APP_ERROR(Convert::hhmmss(Vrn::Run::Number(3600)), "must be string", 1);
}

TEST(HhmmssInv, WritesToTheMillisecondWithoutCarry) {
    const struct {
        double seconds;
        const char* text;
    } cases[] = {
        {3661.5, "1:1:1.5"},
        {-3661.5, "-1:1:1.5"},
        // Rounded after the split, never carried:
        {59.9996, "0:0:60"},
        {86399.9999, "23:59:60"},
        {0.0004, "0:0:0"},
        {-0.0004, "-0:0:0"},
        {0.0005, "0:0:0.001"},
        {123456.789, "34:17:36.789"},
        {0.0, "0:0:0"},
        {kNaN, "NaN"},
        {kInf, "Infinity"},
        {-kInf, "-Infinity"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Utf8(Convert::hhmmss_inv(Vrn::Run::Number(c.seconds))), c.text) << c.seconds;
    }
    EXPECT_APP_ERROR(Convert::hhmmss_inv(Vrn::Run::Number(0, 1)), "must be real", 1);
    EXPECT_APP_ERROR(Convert::hhmmss_inv(U8("1:0:0")), "must be real", 1);
}

// Over the whole double range, under the host's word (overflow trapped) and
// the call word (invalid operation trapped too): what each inverse
// conversion writes reads back close to its input, or it raises "overflow",
// and only past the documented limit.
TEST(InverseConversions, HugeInputsReadBackOrOverflow) {
    using efitest::round_trip::Inverse;
    using efitest::round_trip::OverflowFrom;
    std::vector<double> inputs = {1.7976931348623157e308,
                                  4.7e306,
                                  6.871564355807417e19,
                                  1e300,
                                  1e305,
                                  0x1p52,
                                  0x1p53,
                                  0x1p53 + 2,
                                  1e15,
                                  1e12,
                                  2.2250738585072014e-308,
                                  5e-324,
                                  86399.9999};
    for (Inverse which : {Inverse::kFif, Inverse::kDms, Inverse::kHhmmss}) {
        const double limit = OverflowFrom(which);
        for (double x : {limit * (1 - 0x1p-40), limit * (1 + 0x1p-40), std::nextafter(limit, 0.0), limit})
            inputs.push_back(x);
    }
    std::mt19937_64 gen(13);
    while (inputs.size() < 3000) {
        double x;
        const std::uint64_t bits = gen();
        std::memcpy(&x, &bits, 8);
        if (std::isfinite(x)) inputs.push_back(x);
    }
    const std::size_t unsigned_inputs = inputs.size();
    for (std::size_t i = 0; i < unsigned_inputs; ++i) inputs.push_back(-inputs[i]);

    Vrn::Run::InstallFaultTranslation();
    struct Failure {
        Inverse which;
        double x;
        std::string what;
    };
    std::vector<Failure> failures;
    int overflows = 0;
    for (std::uint16_t word : {Efi::User::kHostControlWord, Efi::User::kCallControlWord}) {
        efitest::FpEnvGuard guard;
        for (Inverse which : {Inverse::kFif, Inverse::kDms, Inverse::kHhmmss}) {
            for (double x : inputs) {
                Efi::User::set_control_word(word);
                const Object arg = Vrn::Run::Number(x);
                try {
                    const Object written = which == Inverse::kFif   ? Convert::fif_inv(arg)
                                           : which == Inverse::kDms ? Convert::dms_inv(arg)
                                                                    : Convert::hhmmss_inv(arg);
                    std::string fault = efitest::round_trip::Fault(which, x, written);
                    if (!fault.empty()) failures.push_back({which, x, fault});
                } catch (const Vrn::Run::AppException& e) {
                    ++overflows;
                    if (std::string(e.what()) != "overflow" || e.Argument() != 1 || std::fabs(x) < OverflowFrom(which))
                        failures.push_back({which, x, std::string("raised ") + e.what()});
                } catch (const SE_Exception&) {
                    failures.push_back({which, x, "processor fault"});
                }
            }
        }
    }
    for (const Failure& f : failures)
        ADD_FAILURE() << "conversion " << static_cast<int>(f.which) << " of " << f.x << ": " << f.what;
    // About half the bit patterns lie past the limits: both outcomes are
    // tested often (2 words x 3 conversions x 6000 inputs).
    EXPECT_GT(overflows, 12000);
    EXPECT_LT(overflows, 24000);
}

TEST(AsRational, StopsAtTheLastConvergentThatFits) {
    const struct {
        double x;
        int max_denominator;
        int numerator, denominator;
    } cases[] = {
        {kPi, 256, 355, 113},
        {0.1, 1000, 1, 10},
        {-2.5, 10, -5, 2},
        {0.9999999999999998, 256, 1, 1},  // within 2^-51 of 1
        {0.0, 256, 0, 1},
        {-0.0, 256, 0, 1},
        {0.37007874015748, 256, 47, 127},
        {kPi, 113, 355, 113},  // a denominator equal to the maximum is allowed
        {kPi, 112, 333, 106},
        {0.5, 1, 0, 1},
        {2147483647.5, 256, 2147483647, 1},  // 4294967295/2 would not fit
        {kNaN, 256, std::numeric_limits<int>::min(), 1},
    };
    for (const auto& c : cases) {
        int n = 12345, d = 12345;
        ks::AsRational(c.x, n, d, c.max_denominator);
        EXPECT_EQ(n, c.numerator) << c.x << " max " << c.max_denominator;
        EXPECT_EQ(d, c.denominator) << c.x << " max " << c.max_denominator;
    }
}

TEST(NumberText, GeneralFormat) {
    const struct {
        double x;
        const char* text;
    } cases[] = {
        {1.5, "1.5"},
        {60, "60"},
        {0.001, "0.001"},
        {36789 * 0.001, "36.789"},
        {0.1 + 0.2, "0.3"},
        {0.0, "0"},
        {0.0001, "0.0001"},
        {1e-5, "1E-05"},
        {123456789012345.6, "123456789012346"},
        {1e15, "1E+15"},
        {1.5e16, "1.5E+16"},
        {1e300, "1E+300"},
        {-2.25, "-2.25"},
        {kNaN, "NaN"},
    };
    for (const auto& c : cases) {
        std::string s;
        Efi::detail::AppendGeneral15(s, c.x);
        EXPECT_EQ(s, c.text) << c.x;
    }
    std::string s;
    Efi::detail::AppendFixed0(s, 1e20);
    EXPECT_EQ(s, "100000000000000000000");
}

TEST(NumberText, DigitGroupsOutOfRange) {
    EXPECT_TRUE(SameBits(Efi::detail::ParseDecimal("1" + std::string(400, '0')), kInf));
    EXPECT_TRUE(SameBits(Efi::detail::ParseDecimal("0." + std::string(400, '0') + "1"), 0.0));
    EXPECT_TRUE(SameBits(Efi::detail::ParseDecimal(std::string(400, '0') + "36.789"), 36.789));
    EXPECT_EQ(Efi::detail::TruncateToInt32(-2147483648.9), std::numeric_limits<int>::min());
    EXPECT_EQ(Efi::detail::TruncateToInt32(2147483647.9), 2147483647);
    EXPECT_EQ(Efi::detail::TruncateToInt32(2147483648.0), std::numeric_limits<int>::min());
}

TEST(NumberText, ShortGroupsRoundLikeTheGeneralParser) {
    // Short digit groups take a quicker road; it must give the same bits.
    std::mt19937_64 rng(20261209);
    for (int i = 0; i < 200000; ++i) {
        const int digits = 1 + static_cast<int>(rng() % 17);
        std::string text;
        for (int d = 0; d < digits; ++d) text += static_cast<char>('0' + rng() % 10);
        if (rng() % 4 != 0 && digits > 1) text.insert(1 + rng() % (digits - 1), 1, '.');
        double expected = 0.0;
        std::from_chars(text.data(), text.data() + text.size(), expected);
        ASSERT_TRUE(SameBits(Efi::detail::ParseDecimal(text), expected)) << text;
    }
}

// Every short text over the characters the spellings use is read exactly as
// the unanchored first-match rule over an independent engine reads it: same
// acceptance, same bits.
TEST(Reading, AgreesWithTheFirstMatchRuleOnRandomTexts) {
    const char* const pieces[] = {"0", "3",  "12", "05", "256", " ", "  ", "\t",
                                  "'", "\"", "-",  "+",  "/",   ":", ".",  "x"};
    std::mt19937 rng(7);
    int fif_read = 0, hms_read = 0;
    for (int i = 0; i < 40000; ++i) {
        std::string text;
        const int count = static_cast<int>(rng() % 8);
        for (int k = 0; k < count; ++k) text += pieces[rng() % std::size(pieces)];
        SCOPED_TRACE(text);

        const std::optional<double> fif = efitest::reference::Fif(text);
        if (fif) {
            ++fif_read;
            const double got = Real(Convert::fif(U8(text)));
            EXPECT_TRUE(SameBits(got, *fif) || (std::isnan(got) && std::isnan(*fif))) << got << " vs " << *fif;
        } else {
            EXPECT_APP_ERROR(Convert::fif(U8(text)), "bad_fif_string", 1);
        }
    }
    // h:m:s texts are built near the spelling, then half of them are damaged
    // by one random edit, so that accepted texts and near misses both occur.
    const char* const digits[] = {"0", "7", "05", "59", "99", "100", "1234"};
    for (int i = 0; i < 20000; ++i) {
        auto pick = [&](const auto& list) { return std::string(list[rng() % std::size(list)]); };
        std::string text = pick(std::array{"", " ", "\t"}) + pick(std::array{"", "-", "+"}) + pick(digits) + ":" +
                           pick(digits) + ":" + pick(digits) + pick(std::array{"", ".5", ".", ".25"}) +
                           pick(std::array{"", " ", "\n"});
        if (rng() % 2) {
            const std::size_t at = rng() % (text.size() + 1);
            const char c = ":. 5-x"[rng() % 6];
            switch (rng() % 3) {
                case 0: text.insert(at, 1, c); break;
                case 1:
                    if (at < text.size()) text.erase(at, 1);
                    break;
                default:
                    if (at < text.size()) text[at] = c;
                    break;
            }
        }
        SCOPED_TRACE(text);
        const std::optional<double> hms = efitest::reference::Hhmmss(text);
        if (hms) {
            ++hms_read;
            EXPECT_TRUE(SameBits(Real(Convert::hhmmss(U8(text))), *hms));
        } else {
            EXPECT_APP_ERROR(Convert::hhmmss(U8(text)), "bad_hhmmss_string", 1);
        }
    }
    // Both kinds of text turn up often enough for the comparison to mean something.
    EXPECT_GT(fif_read, 2000);
    EXPECT_GT(hms_read, 2000);
    EXPECT_LT(hms_read, 18000);
}

// Long and hostile texts give a value or the error, quickly.
TEST(HostileText, LongInputsFinishQuickly) {
    const auto start = std::chrono::steady_clock::now();
    const std::string digits(100000, '7');
    const std::string blanks(100000, ' ');

    EXPECT_TRUE(SameBits(Real(Convert::fif(U8(digits))), kInf));  // too many inches for a double
    EXPECT_TRUE(SameBits(Real(Convert::fif(U8(blanks + "5'" + blanks))), 1.524));
    EXPECT_TRUE(SameBits(Real(Convert::fif(U8(blanks + "5'" + blanks + "3" + blanks + "1/2" + blanks))),
                         3.5 / kInchesPerMeter + 5 * 0.3048));
    EXPECT_TRUE(std::isnan(Real(Convert::fif(U8(digits + "/" + digits)))));  // infinity over infinity
    for (const std::string& bad : {digits + "x", digits + "/", digits + "'" + digits + "/x", blanks + "x" + blanks,
                                   std::string(50000, '-') + "5'", [] {
                                       std::string s;
                                       for (int i = 0; i < 25000; ++i) s += "1/2 ";
                                       return s;
                                   }()}) {
        EXPECT_APP_ERROR(Convert::fif(U8(bad)), "bad_fif_string", 1);
    }
    EXPECT_TRUE(SameBits(Real(Convert::hhmmss(U8(digits + ":0:0"))), kInf));
    EXPECT_TRUE(SameBits(Real(Convert::hhmmss(U8("0:0:0." + digits))), 0.7777777777777778));
    EXPECT_APP_ERROR(Convert::hhmmss(U8(digits + ":" + digits)), "bad_hhmmss_string", 1);
    EXPECT_APP_ERROR(Convert::hhmmss(U8(blanks + "1:2:3" + blanks + "x")), "bad_hhmmss_string", 1);

    std::u16string controls;
    for (char16_t c = 0; c < 0x20; ++c) controls += c;
    controls += u"\u2003\uFEFF\U0001F600";
    EXPECT_APP_ERROR(Convert::fif(Vrn::Run::Text(controls)), "bad_fif_string", 1);
    EXPECT_APP_ERROR(Convert::hhmmss(Vrn::Run::Text(controls)), "bad_hhmmss_string", 1);

    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_LT(elapsed, 10.0);  // linear work; a backtracking blow-up would take hours
}

TEST(HostileText, RunawayBacktrackingCountsAsNoMatch) {
    // Nested repeats take 2^n steps to fail; the step limit ends the search
    // and the text is simply not read.
    const Efi::detail::Pattern runaway("(?<run>(a+)+)c", {"run"});
    Efi::detail::Group run[1];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(runaway.ReadWhole(std::string(64, 'a') + "bc", run));  // the "c" defeats the quick pre-scan
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 10.0);
    ASSERT_TRUE(runaway.ReadWhole("aaac", run));
    EXPECT_EQ(run[0].text(), "aaa");
    // An empty text that nothing matches is a whole match with the group absent.
    ASSERT_TRUE(runaway.ReadWhole("", run));
    EXPECT_FALSE(run[0].present());
}

TEST(HostileText, ConcurrentReadersShareThePatterns) {
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                if (!SameBits(Convert::fif(U8("5' 3-1/2\"")).as<Qlt::NumVal>()->asReal(),
                              3.5 / kInchesPerMeter + 1.524) ||
                    Convert::hhmmss(U8("1:01:01.5")).as<Qlt::NumVal>()->asReal() != 3661.5) {
                    ++wrong;
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(wrong.load(), 0);
}

}  // namespace
