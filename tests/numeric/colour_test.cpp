// Colour-space conversions: the tables both ways, wrap-around, null outputs.
#include <cmath>
#include <limits>

#include <efi/numeric.h>
#include <efi_test.h>

namespace {

struct Rgb {
    unsigned char r, g, b;
    bool operator==(const Rgb&) const = default;
};

struct Triple {
    double a, b, c;
};

Rgb FromHls(double h, double l, double s) {
    Rgb out{1, 2, 3};
    Efi::HLS_TO_RGB(h, l, s, &out.r, &out.g, &out.b);
    return out;
}

Rgb FromHsv(double h, double s, double v) {
    Rgb out{1, 2, 3};
    Efi::HSV_TO_RGB(h, s, v, &out.r, &out.g, &out.b);
    return out;
}

void PrintTo(const Rgb& c, std::ostream* os) { *os << "(" << +c.r << ", " << +c.g << ", " << +c.b << ")"; }

TEST(Colour, HlsBothWays) {
    struct Case {
        Rgb rgb;
        Triple hls;
    };
    const Case cases[] = {
        {{255, 0, 0}, {0, 127.5, 255}},
        {{0, 255, 0}, {120, 127.5, 255}},
        {{0, 0, 255}, {240, 127.5, 255}},
        {{255, 255, 255}, {0, 255, 0}},
        {{0, 0, 0}, {0, 0, 0}},
        {{128, 128, 128}, {0, 128, 0}},
        {{255, 128, 0}, {30.11764705882353, 127.5, 255}},
        {{10, 20, 30}, {210, 20, 127.5}},
        {{255, 0, 128}, {329.88235294117646, 127.5, 255}},
    };
    for (const Case& c : cases) {
        double h = -1, l = -1, s = -1;
        Efi::RGB_TO_HLS(c.rgb.r, c.rgb.g, c.rgb.b, &h, &l, &s);
        EXPECT_NEAR(h, c.hls.a, 1e-9) << +c.rgb.r << " " << +c.rgb.g << " " << +c.rgb.b;
        EXPECT_NEAR(l, c.hls.b, 1e-9);
        EXPECT_NEAR(s, c.hls.c, 1e-9);
        EXPECT_EQ(FromHls(h, l, s), c.rgb);
    }
}

TEST(Colour, HsvBothWays) {
    struct Case {
        Rgb rgb;
        Triple hsv;
    };
    const Case cases[] = {
        {{255, 0, 0}, {0, 255, 255}},    {{255, 255, 255}, {0, 0, 255}},      {{0, 0, 0}, {0, 0, 0}},
        {{10, 20, 30}, {210, 170, 30}},  {{200, 100, 50}, {20, 191.25, 200}}, {{0, 255, 0}, {120, 255, 255}},
        {{40, 0, 200}, {252, 255, 200}},
    };
    for (const Case& c : cases) {
        double h = -1, s = -1, v = -1;
        Efi::RGB_TO_HSV(c.rgb.r, c.rgb.g, c.rgb.b, &h, &s, &v);
        EXPECT_NEAR(h, c.hsv.a, 1e-9) << +c.rgb.r << " " << +c.rgb.g << " " << +c.rgb.b;
        EXPECT_NEAR(s, c.hsv.b, 1e-9);
        EXPECT_NEAR(v, c.hsv.c, 1e-9);
        EXPECT_EQ(FromHsv(h, s, v), c.rgb);
    }
}

TEST(Colour, EveryColourSurvivesTheRoundTrip) {
    for (int r = 0; r < 256; r += 3)
        for (int g = 0; g < 256; g += 5)
            for (int b = 0; b < 256; b += 7) {
                const Rgb rgb{static_cast<unsigned char>(r), static_cast<unsigned char>(g),
                              static_cast<unsigned char>(b)};
                double x, y, z;
                Efi::RGB_TO_HLS(rgb.r, rgb.g, rgb.b, &x, &y, &z);
                ASSERT_EQ(FromHls(x, y, z), rgb);
                ASSERT_GE(x, 0.0);
                ASSERT_LT(x, 360.0);
                Efi::RGB_TO_HSV(rgb.r, rgb.g, rgb.b, &x, &y, &z);
                ASSERT_EQ(FromHsv(x, y, z), rgb);
            }
}

TEST(Colour, HuesOutsideOneTurn) {
    EXPECT_EQ(FromHsv(360, 255, 255), (Rgb{255, 0, 0}));
    EXPECT_EQ(FromHsv(400, 255, 255), (Rgb{255, 0, 85}));
    EXPECT_EQ(FromHsv(-60, 255, 255), (Rgb{255, 0, 255}));
    EXPECT_EQ(FromHls(-60, 127.5, 255), (Rgb{255, 0, 255}));
    EXPECT_EQ(FromHls(360, 127.5, 255), (Rgb{255, 0, 0}));
}

TEST(Colour, ChannelsWrapAroundModulo256) {
    EXPECT_EQ(FromHls(0, 300, 0), (Rgb{44, 44, 44}));
    EXPECT_EQ(FromHsv(0, 0, 300), (Rgb{44, 44, 44}));
    EXPECT_EQ(FromHsv(0, 0, 511.6), (Rgb{0, 0, 0}));
    // Below zero the remainder keeps its sign: -1 becomes byte 255.
    EXPECT_EQ(FromHsv(0, 0, -1), (Rgb{255, 255, 255}));
    EXPECT_EQ(FromHsv(0, 0, -0.4), (Rgb{0, 0, 0}));
}

TEST(Colour, NullOutputsAreSkipped) {
    Efi::RGB_TO_HLS(1, 2, 3, nullptr, nullptr, nullptr);
    Efi::RGB_TO_HSV(1, 2, 3, nullptr, nullptr, nullptr);
    Efi::HLS_TO_RGB(10, 100, 100, nullptr, nullptr, nullptr);
    Efi::HSV_TO_RGB(10, 100, 100, nullptr, nullptr, nullptr);
    double h = -1;
    Efi::RGB_TO_HSV(255, 0, 0, &h, nullptr, nullptr);
    EXPECT_EQ(h, 0.0);
    unsigned char green = 7;
    Efi::HSV_TO_RGB(120, 255, 255, nullptr, &green, nullptr);
    EXPECT_EQ(green, 255);
}

TEST(Colour, NonFiniteInputsGiveSomeColourAndNoCrash) {
    const double odd[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity(), 1e300, -1e300};
    for (double a : odd)
        for (double b : {a, 100.0})
            for (double c : {a, 200.0}) {
                unsigned char r, g, bl;
                Efi::HSV_TO_RGB(a, b, c, &r, &g, &bl);
                Efi::HSV_TO_RGB(b, a, c, &r, &g, &bl);
                Efi::HLS_TO_RGB(a, b, c, &r, &g, &bl);
                Efi::HLS_TO_RGB(b, c, a, &r, &g, &bl);
            }
    // A channel with no value at all comes out as 0.
    EXPECT_EQ(FromHsv(0, 0, std::numeric_limits<double>::quiet_NaN()), (Rgb{0, 0, 0}));
}

}  // namespace
