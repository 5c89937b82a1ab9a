// Colour-space conversions between 8-bit red-green-blue channels and the
// hue-lightness-saturation and hue-saturation-value forms (0 to 255 scale).
#include <algorithm>
#include <climits>
#include <cmath>

#include <efi/numeric.h>

namespace Efi {
namespace {

// The double nearest 1/255; 255 times it is exactly 1.
constexpr double kUnit = 0.00392156862745098;
constexpr double kScale = 255.0;
// 1/60, as a factor: hues are in degrees, sectors 60 degrees wide.
constexpr double kPerSector = 0.016666666666666666;

struct Unit {
    double r, g, b, max, min;
};

Unit ToUnit(unsigned char red, unsigned char green, unsigned char blue) {
    Unit u{red * kUnit, green * kUnit, blue * kUnit, 0, 0};
    u.max = std::max({u.r, u.g, u.b});
    u.min = std::min({u.r, u.g, u.b});
    return u;
}

// Hue in degrees of a colour whose channels differ (max > min). Red wins a
// tie for the maximum, then green.
double Hue(const Unit& u) {
    const double inv = 1.0 / (u.max - u.min);
    const double rc = (u.max - u.r) * inv, gc = (u.max - u.g) * inv, bc = (u.max - u.b) * inv;
    double h;
    if (u.r == u.max) h = bc - gc;
    else if (u.g == u.max) h = rc + 2 - bc;
    else h = gc + 4 - rc;
    h *= 60;
    if (h < 0) h += 360;
    return h;
}

// The integer the processor's truncating conversion gives: its "integer
// indefinite" INT_MIN for NaN and for values outside the int range, where
// the language leaves the conversion undefined.
int TruncateToInt(double v) {
    if (!(v > static_cast<double>(INT_MIN) - 1.0 && v < static_cast<double>(INT_MAX) + 1.0)) return INT_MIN;
    return static_cast<int>(v);
}

// A unit value as a channel: rounded half up on the 0-255 scale, and values
// outside it wrapped modulo 256 (the remainder keeps the dividend's sign, and
// the low 8 bits of the truncated integer are kept).
unsigned char ToByte(double unit) {
    const double rounded = std::floor(unit * kScale + 0.5);
    return static_cast<unsigned char>(TruncateToInt(std::fmod(rounded, 256.0)) & 0xFF);
}

void Store(double v, double* out) {
    if (out) *out = v;
}

void StoreChannels(double r, double g, double b, unsigned char* red, unsigned char* green, unsigned char* blue) {
    if (red) *red = ToByte(r);
    if (green) *green = ToByte(g);
    if (blue) *blue = ToByte(b);
}

// One channel of a hue-lightness-saturation colour, for a hue shifted by the
// channel's offset (one turn of adjustment only).
double hue_to_channel(double low, double high, double h) {
    if (h > 360) h -= 360;
    else if (h < 0) h += 360;
    if (h < 60) return (high - low) * h * kPerSector + low;
    if (h < 180) return high;
    if (h < 240) return (high - low) * (240 - h) * kPerSector + low;
    return low;
}

}  // namespace

void RGB_TO_HLS(unsigned char red, unsigned char green, unsigned char blue, double* hue, double* lightness,
                double* saturation) {
    const Unit u = ToUnit(red, green, blue);
    const double sum = u.max + u.min;
    const double l = sum * 0.5;
    double h = 0, s = 0;
    if (u.max != u.min) {
        const double d = u.max - u.min;
        s = l <= 0.5 ? d / sum : d / (2 - sum);
        h = Hue(u);
    }
    Store(h, hue);
    Store(l * kScale, lightness);
    Store(s * kScale, saturation);
}

void HLS_TO_RGB(double hue, double lightness, double saturation, unsigned char* red, unsigned char* green,
                unsigned char* blue) {
    const double l = lightness * kUnit;
    const double s = saturation * kUnit;
    const double m2 = l <= 0.5 ? l * (1 + s) : (s + l) - s * l;
    const double m1 = 2 * l - m2;
    if (s == 0) {
        StoreChannels(l, l, l, red, green, blue);
        return;
    }
    StoreChannels(hue_to_channel(m1, m2, hue + 120), hue_to_channel(m1, m2, hue), hue_to_channel(m1, m2, hue - 120),
                  red, green, blue);
}

void RGB_TO_HSV(unsigned char red, unsigned char green, unsigned char blue, double* hue, double* saturation,
                double* value) {
    const Unit u = ToUnit(red, green, blue);
    double h = 0, s = 0;
    if (u.max != 0) {
        s = (u.max - u.min) / u.max;
        if (s != 0) h = Hue(u);
    }
    Store(h, hue);
    Store(s * kScale, saturation);
    Store(u.max * kScale, value);
}

void HSV_TO_RGB(double hue, double saturation, double value, unsigned char* red, unsigned char* green,
                unsigned char* blue) {
    const double s = saturation * kUnit;
    const double v = value * kUnit;
    if (s == 0) {
        StoreChannels(v, v, v, red, green, blue);
        return;
    }
    if (hue == 360) hue = 0;
    const double h = hue * kPerSector;
    const int sector = TruncateToInt(std::floor(h));
    const double f = h - sector;
    const double p = (1 - s) * v;
    const double q = (1 - f * s) * v;
    const double t = (1 - (1 - f) * s) * v;
    switch (sector) {
        case 0: StoreChannels(v, t, p, red, green, blue); break;
        case 1: StoreChannels(q, v, p, red, green, blue); break;
        case 2: StoreChannels(p, v, t, red, green, blue); break;
        case 3: StoreChannels(p, q, v, red, green, blue); break;
        case 4: StoreChannels(t, p, v, red, green, blue); break;
        default: StoreChannels(v, p, q, red, green, blue); break;
    }
}

}  // namespace Efi
