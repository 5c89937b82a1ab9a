// Worksheet literals: what reads, what it reads as, and where a bad one
// stops.
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <efi/host/bridge.h>

#include "efi_test.h"
#include "literal.h"

namespace {

using efi_call::FormatValue;
using efi_call::ParseLiteral;

TEST(Literal, ReadsAndPrintsBackTheSameSpelling) {
    // Each spelling is already in the printed (canonical) form.
    for (const char* s : {"2",
                          "-1500",
                          "0.5",
                          "3-4i",
                          "2i",
                          "-2i",
                          "1e+300",
                          "5e-324",
                          "inf",
                          "-inf",
                          "nan",
                          "1.5+2.5i",
                          "0.1",
                          "1.6129",
                          "\"abc\"",
                          "\"\"",
                          "\"say \\\"hi\\\"\"",
                          "\"tab\\there\\n\"",
                          "\"\\u0001\\0x\"",
                          "\"\u00e9\u4e2d\"",
                          "[1, 2; 3, 4]",
                          "[1+2i, 3]",
                          "[1; 2; 3]",
                          "[]"}) {
        EXPECT_EQ(FormatValue(ParseLiteral(s)), s);
    }
}

TEST(Literal, OtherSpellingsOfTheSameValues) {
    struct Case {
        const char* in;
        const char* out;
    };
    for (Case c : {Case{"  7  ", "7"},
                   {"-1.5e3", "-1500"},
                   {".5", "0.5"},
                   {"+3", "3"},
                   {"i", "1i"},
                   {"-i", "-1i"},
                   {"3+i", "3+1i"},
                   {"2+0i", "2"},
                   {"0+2i", "2i"},
                   {"1e-400", "0"},
                   {"[ 1 ,2 ;3, 4 ]", "[1, 2; 3, 4]"},
                   {"[1, 2i]", "[1, 2i]"},
                   {"\"\\u00e9\"", "\"\u00e9\""},
                   {"0.30000000000000004", "0.30000000000000004"}}) {
        EXPECT_EQ(FormatValue(ParseLiteral(c.in)), c.out) << c.in;
    }
}

TEST(Literal, KindsAndShapes) {
    auto m = ParseLiteral("[1, 2, 3; 4, 5, 6i]");
    auto* mv = m.as<Qlt::MatVal>();
    ASSERT_NE(mv, nullptr);
    EXPECT_EQ(mv->Rows(), 2);
    EXPECT_EQ(mv->Cols(), 3);
    EXPECT_EQ(mv->re(1, 0), 4.0);
    EXPECT_EQ(mv->im(1, 2), 6.0);
    EXPECT_FALSE(ParseLiteral("[1, 2]").as<Qlt::MatVal>()->HasImag());
    EXPECT_EQ(ParseLiteral("\"a\\0b\"").as<Vrn::Run::String>()->str(), std::u16string(u"a\0b", 3));
    EXPECT_TRUE(efitest::SameBits(ParseLiteral("-0").as<Qlt::NumVal>()->Data.rp, -0.0));
}

// Values no literal spells are printed as what they are, never as a number.
TEST(Literal, ValuesWithoutASpellingPrintAsTheirKind) {
    const Vrn::Run::Object function = Vrn::Run::Func(1, [](std::span<const Vrn::Run::Object> a) { return a[0]; });
    EXPECT_EQ(FormatValue(function), "<function>");
    const Vrn::Run::Object registered =
        Vrn::Run::make<Efi::User::Function>(u"f", 0, 1, std::vector<std::int32_t>{1}, std::nullopt);
    EXPECT_EQ(FormatValue(registered), "<value>");
    auto nested = Vrn::Run::make<Qlt::MatVal>(1, 2, false);
    nested->set(0, 0, 1.0, 0.0);
    nested->SetNested(0, 1, function);
    EXPECT_EQ(FormatValue(nested), "[1, <function>]");
}

TEST(Literal, MalformedOnesNameTheColumn) {
    struct Case {
        const char* in;
        std::size_t column;
        const char* message;
    };
    const Case cases[] = {
        {"", 1, "expected a number, text or matrix"},
        {"abc", 1, "expected a number, text or matrix"},
        {"1.2.3", 4, "unexpected '.' after the value"},
        {"3-4", 4, "expected 'i' after the imaginary part"},
        {"1e", 3, "expected digits of the exponent"},
        {"1e400", 1, "number out of range"},
        {"0x10", 2, "unexpected 'x' after the value"},
        {"\"open", 6, "text not closed with '\"'"},
        {"\"bad \\q\"", 7, "unknown escape \\q"},
        {"\"\\u12\"", 6, "expected four hex digits after \\u"},
        {"[1, 2; 3]", 9, "row 2 has 1 elements, row 1 has 2"},
        {"[1,, 2]", 4, "expected a number, text or matrix"},
        {"[[1]]", 2, "matrix elements must be numbers"},
        {"[1 2]", 4, "expected ',', ';' or ']'"},
        {"[1, 2", 6, "matrix not closed with ']'"},
        {"2 3", 3, "unexpected '3' after the value"},
    };
    for (const Case& c : cases) {
        try {
            ParseLiteral(c.in);
            ADD_FAILURE() << c.in << " was accepted";
        } catch (const efi_call::LiteralError& e) {
            EXPECT_EQ(e.column(), c.column) << c.in;
            EXPECT_STREQ(e.what(), c.message) << c.in;
        }
    }
}

}  // namespace

#include <random>

namespace {

// Random text over the characters literals are made of: every input either
// reads, and then prints as a literal that reads back to the same print, or
// is refused with a column inside the text (or just past its end).
TEST(Literal, RandomInputsReadBackOrFailAtAColumnInside) {
    static const char kAlphabet[] = "0123456789.+-eEi[],; \"\\unaf\t";
    std::mt19937 rng(12345);
    std::uniform_int_distribution<std::size_t> len(0, 12), pick(0, sizeof kAlphabet - 2);
    int accepted = 0;
    for (int n = 0; n < 50000; ++n) {
        std::string s(len(rng), ' ');
        for (char& c : s) c = kAlphabet[pick(rng)];
        try {
            std::string printed = FormatValue(ParseLiteral(s));
            ++accepted;
            ASSERT_EQ(FormatValue(ParseLiteral(printed)), printed) << "input: " << s;
        } catch (const efi_call::LiteralError& e) {
            ASSERT_GE(e.column(), 1u) << s;
            ASSERT_LE(e.column(), s.size() + 1) << s;
        }
    }
    EXPECT_GT(accepted, 100) << "the generator should hit valid literals too";
}

}  // namespace
