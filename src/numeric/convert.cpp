// The six worksheet unit-string conversions.
#include <efi/errors.h>
#include <efi/host/convert.h>
#include <efi/host/requirements.h>
#include <efi/rational.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <string>

#include "number_text.h"
#include "pattern.h"

namespace Efi {

namespace {

using detail::Group;
using Vrn::Run::AppException;
using Vrn::Run::Object;

constexpr std::uint32_t kFirstArgument = 1;

// Unit constants.
constexpr double meter_per_feet = 0.3048;
constexpr double feet_per_meter = 3.280839895013123;  // nearest double to 1 / 0.3048
static_assert(feet_per_meter == 1.0 / meter_per_feet);
constexpr double inches_per_foot = 12.0;
// The product, not the double nearest 1/0.0254 (39.37007874015748): every
// length read or written goes through this value, so it is kept bit-exact.
constexpr double inches_per_meter = inches_per_foot * feet_per_meter;
static_assert(std::bit_cast<std::uint64_t>(inches_per_meter) == std::bit_cast<std::uint64_t>(39.370078740157474));
static_assert(std::bit_cast<std::uint64_t>(inches_per_meter) + 1 == std::bit_cast<std::uint64_t>(39.37007874015748));
constexpr double minutes_per_hour = 60.0;
constexpr double seconds_per_minute = 60.0;
constexpr double seconds_per_hour = 3600.0;
[[maybe_unused]] constexpr double minutes_per_degree = 60.0;
[[maybe_unused]] constexpr double degrees_per_revolution = 360.0;
constexpr double minutes_per_revolution = 21600.0;
constexpr double seconds_per_revolution = 1296000.0;
constexpr double revolution = 6.283185307179586;

// Reciprocals used as multipliers. The conversions multiply by these rather
// than divide, and their results depend on that to the last bit.
constexpr double kOneSixtieth = 0.016666666666666666;
constexpr double kOne3600th = 0.0002777777777777778;
constexpr double kOne360th = 0.002777777777777778;
constexpr double kOneOverRevolution = 0.15915494309189535;
static_assert(kOneSixtieth == 1.0 / 60 && kOne3600th == 1.0 / 3600 && kOne360th == 1.0 / 360 &&
              kOneOverRevolution == 1.0 / revolution);

// From 2^52 on every double is whole; flooring would change nothing.
constexpr double MAXSIG = 4503599627370495.0;
static_assert(MAXSIG == 0x1p52 - 1);

// The largest denominator of a written inch fraction.
constexpr int kInchDenominator = 256;

// The inverse conversions split a quantity counted in the written form's
// smallest whole unit (inches, seconds of arc, seconds). Up to 2^53 every
// whole number is a double and every split step is exact or close; past it
// the parts come apart (minutes of 128, NaN inches), so larger quantities
// raise "overflow".
constexpr double kLargestCount = 0x1p53;
// Below this the products that turn a quantity into its count stay finite
// (the largest factor is 1296000 / 2pi), so the count itself can be checked.
constexpr double kLargestCountable = 1e300;

struct Patterns {
    // sign, feet, inches, innom, inden
    detail::Pattern fif{
        R"re(\s*(?<sign>[+-])?((?<feet>\d+)')?\s*(?<inches>\d+)?((\s+|[-])?(?<innom>\d+)/(?<inden>\d+))?"?\s*)re",
        {"sign", "feet", "inches", "innom", "inden"}};
    // A bare fraction of an inch: sign, innom, inden
    detail::Pattern fif_1{R"re(\s*(?<sign>[+-])?(?<innom>\d+)/(?<inden>\d+)"?\s*)re", {"sign", "innom", "inden"}};
    // Feet and a fraction of an inch, no whole inches: sign, feet, innom, inden
    detail::Pattern fif_2{R"re(\s*(?<sign>[+-])?(?<feet>\d+)'\s*(?<innom>\d+)/(?<inden>\d+)"?\s*)re",
                          {"sign", "feet", "innom", "inden"}};
    // sign, hours, minutes, seconds
    detail::Pattern hhmmss{R"re(\s*(?<sign>[+-])?(?<hours>\d+):(?<minutes>\d{1,2}):(?<seconds>(\d+(\.\d+)?))\s*)re",
                           {"sign", "hours", "minutes", "seconds"}};
};

// Compiled on first use, then only read.
const Patterns& SharedPatterns() {
    static const Patterns patterns;
    return patterns;
}

double Number(const Group& g) { return detail::ParseDecimal(g.text()); }

bool IsMinus(const Group& sign) { return sign.present() && sign.text() == "-"; }

// The real value of a host number, or null when v is not a real number.
const Qlt::NumVal* AsRealNumber(const Object& v) {
    const Qlt::NumVal* n = v.as<Qlt::NumVal>();
    return (n && n->IsReal()) ? n : nullptr;
}

double RealArgument(const Object& v) {
    const Qlt::NumVal* n = AsRealNumber(v);
    if (!n) AppException::Raise(u"must be real", kFirstArgument);
    return n->asReal();
}

const std::u16string& TextArgument(const Object& v) {
    const auto* s = v.as<Vrn::Run::String>();
    if (!s) AppException::Raise(u"must be string", kFirstArgument);
    return s->str();
}

[[noreturn]] void RaiseOverflow() { AppException::Raise(u"overflow", kFirstArgument); }

Object HostText(std::string_view ascii) { return Vrn::Run::Text(detail::WidenAscii(ascii)); }

// Text for the inputs the inverse conversions do not take apart.
Object NonFiniteText(double x) {
    std::string s;
    detail::AppendFixed0(s, x);
    return HostText(s);
}

// Feet-inch-fraction text to metres; false when no spelling reads it whole.
bool ReadFif(std::string_view text, double& value) {
    const Patterns& p = SharedPatterns();
    Group g[5];
    if (p.fif.ReadWhole(text, g)) {
        const Group &sign = g[0], &feet = g[1], &inches = g[2], &innom = g[3], &inden = g[4];
        const double ft = feet.present() ? Number(feet) : 0.0;
        double in = inches.present() ? Number(inches) : 0.0;
        if (innom.present() && inden.present()) in = Number(innom) / Number(inden) + in;
        value = in / inches_per_meter + ft * meter_per_feet;
        if (IsMinus(sign)) value = value * -1.0;
        return true;
    }
    if (p.fif_1.ReadWhole(text, g)) {
        const Group &sign = g[0], &innom = g[1], &inden = g[2];
        value = (innom.present() && inden.present()) ? (Number(innom) / Number(inden)) / inches_per_meter : 0.0;
        if (IsMinus(sign)) value = value * -1.0;
        return true;
    }
    if (p.fif_2.ReadWhole(text, g)) {
        const Group &sign = g[0], &feet = g[1], &innom = g[2], &inden = g[3];
        value = feet.present() ? Number(feet) * meter_per_feet : 0.0;
        if (innom.present() && inden.present()) value = (Number(innom) / Number(inden)) / inches_per_meter + value;
        if (IsMinus(sign)) value = value * -1.0;
        return true;
    }
    return false;
}

// h:m:s text from parts already split. The seconds are brought to whole
// milliseconds here, after the split, and nothing carries back into the
// minutes: 59.9996 seconds are written as 60.
std::u16string FormatHMS(bool negative, double hours, std::int32_t minutes, double seconds) {
    double s = seconds * 1000.0 + 0.5;
    if (s < 1.0) {
        s = 0.0;
    } else if (s <= MAXSIG) {
        s = std::floor(s);
    }
    s = s * 0.001;

    std::string text;
    if (negative) text += '-';
    detail::AppendFixed0(text, hours);
    text += ':';
    detail::AppendInt(text, minutes);
    text += ':';
    detail::AppendGeneral15(text, s);
    return detail::WidenAscii(text);
}

}  // namespace

Object Convert::fif(const Object& text) {
    const detail::PatternText bytes(TextArgument(text));
    double value = 0.0;
    if (!ReadFif(bytes.view(), value)) AppException::Raise(u"bad_fif_string", kFirstArgument);
    return Vrn::Run::make<Qlt::NumVal>(value);
}

Object Convert::fif_inv(const Object& metres) {
    const double x = RealArgument(metres);
    if (!std::isfinite(x)) return NonFiniteText(x);

    const bool negative = x < 0;
    const double a = std::fabs(x);
    if (!(a < kLargestCountable) || inches_per_meter * a > kLargestCount) RaiseOverflow();
    double feet = std::floor(a * feet_per_meter);
    double inches = inches_per_meter * a - feet * inches_per_foot;
    if (inches < 0) inches = 0.0;
    double whole = std::floor(inches);
    double fraction = inches - whole;
    if (fraction < 0) fraction = 0.0;

    int numerator = 0, denominator = 1;
    ks::AsRational(fraction, numerator, denominator, kInchDenominator);
    // A fraction within rounding of one inch comes back as 1/1: carry it into
    // the inches, and a full foot of inches into the feet.
    if (denominator == 1 && numerator == 1) {
        whole = whole + 1.0;
        numerator = 0;
        if (whole >= inches_per_foot) {
            whole = whole - inches_per_foot;
            feet = feet + 1.0;
        }
    }

    std::string out;
    if (negative) out += '-';
    detail::AppendFixed0(out, feet);
    out += "' ";
    if (numerator == 0) {
        detail::AppendFixed0(out, whole);
    } else if (detail::TruncateToInt32(whole) == 0) {
        detail::AppendInt(out, numerator);
        out += '/';
        detail::AppendInt(out, denominator);
    } else {
        detail::AppendFixed0(out, whole);
        out += '-';
        detail::AppendInt(out, numerator);
        out += '/';
        detail::AppendInt(out, denominator);
    }
    out += '"';
    return HostText(out);
}

Object Convert::dms(const Object& vector) {
    Vrn::Run::Ref<Qlt::MatVal> m;
    if (!Error::is_rmatrix(vector, Error::ofsize_t<Qlt::MatVal>{-1, 1}, &m)) {
        AppException::Raise(u"must be real vector", kFirstArgument);
    }
    if (m->Rows() != 3) AppException::Raise(u"must be a 3 element vector", kFirstArgument);

    double part[3];
    for (int i = 0; i < 3; ++i) {
        const Object element = m->get_1(i);
        const Qlt::NumVal* n = AsRealNumber(element);
        if (!n) AppException::Raise(u"must be real", kNoArgument);
        part[i] = n->asReal();
    }
    const double degrees = part[0], minutes = part[1], seconds = part[2];
    const double value =
        (seconds / seconds_per_revolution + minutes / minutes_per_revolution + degrees * kOne360th) * revolution;
    return Vrn::Run::make<Qlt::NumVal>(value);
}

Object Convert::dms_inv(const Object& radians) {
    const double x = RealArgument(radians);
    if (std::isnan(x)) return HostText("NaN");

    const double sign = x < 0 ? -1.0 : 1.0;
    const double a = std::fabs(x);
    if (!(a < kLargestCountable)) RaiseOverflow();
    double s = seconds_per_revolution * a * kOneOverRevolution;
    if (s > kLargestCount) RaiseOverflow();
    // a is never negative, so this never runs; kept finite-bounded so that no
    // value can make it spin.
    while (s < 0 && std::isfinite(s)) s += seconds_per_revolution;
    s = s - std::floor(s / seconds_per_revolution) * seconds_per_revolution;
    if (s < 0) s = 0.0;
    double seconds = s - std::floor(s * kOneSixtieth) * 60.0;
    if (seconds < 0) seconds = 0.0;
    const double w = s - seconds;
    double r = w - std::floor(w * kOne3600th) * 3600.0;
    if (r < 0) r = 0.0;
    const double minutes = r * kOneSixtieth;
    const double degrees = (w - minutes * 60.0) * kOne3600th;

    Qlt::DoubleArray re = Qlt::DoubleArray::make(3);
    re[0] = degrees * sign;
    re[1] = sign * minutes;
    re[2] = sign * seconds;
    return Vrn::Run::make<Qlt::MatVal>(std::move(re), Qlt::DoubleArray(nullptr), 3, 1);
}

Object Convert::hhmmss(const Object& text) {
    const detail::PatternText bytes(TextArgument(text));
    Group g[4];
    const Group &sign = g[0], &hours = g[1], &minutes = g[2], &seconds = g[3];
    // The empty text matches nothing, which counts as a whole match with all
    // groups absent; without hours, minutes and seconds there is no time.
    if (!SharedPatterns().hhmmss.ReadWhole(bytes.view(), g) || !hours.present() || !minutes.present() ||
        !seconds.present()) {
        AppException::Raise(u"bad_hhmmss_string", kFirstArgument);
    }
    double value = (seconds_per_hour * Number(hours) + Number(minutes) * seconds_per_minute) + Number(seconds);
    if (IsMinus(sign)) value = -value;
    return Vrn::Run::make<Qlt::NumVal>(value);
}

Object Convert::hhmmss_inv(const Object& seconds_value) {
    const double x = RealArgument(seconds_value);
    if (!std::isfinite(x)) return NonFiniteText(x);

    double a = std::fabs(x);
    if (a > kLargestCount) RaiseOverflow();
    double seconds = a - std::floor(a * kOneSixtieth) * seconds_per_minute;
    if (seconds < 0) seconds = 0.0;
    a = a - seconds;
    const double n = a * kOneSixtieth;
    double minutes = n - std::floor(n * kOneSixtieth) * minutes_per_hour;
    if (minutes < 0) minutes = 0.0;
    const double hours = (a - minutes * seconds_per_minute) * kOne3600th;
    return Vrn::Run::Text(FormatHMS(x < 0, hours, detail::TruncateToInt32(minutes), seconds));
}

}  // namespace Efi
