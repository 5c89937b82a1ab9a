// What the inverse unit conversions promise for a finite input: the result
// reads back through the forward conversion close to the input, or the
// input is past the form's range and "overflow" is raised. Shared by the
// conversion tests and the conversion fuzz target.
#pragma once

#include <cmath>
#include <string>

#include <efi/host/convert.h>
#include <vrnrun/vrnrun.h>

namespace efitest::round_trip {

enum class Inverse { kFif, kDms, kHhmmss };

inline constexpr double kTwoPi = 6.283185307179586;

/// The smallest |x| at which `which` may raise "overflow": the documented
/// limit (2^53 inches, seconds of arc, seconds), less a margin for the
/// rounding of the count.
inline double OverflowFrom(Inverse which) {
    switch (which) {
        case Inverse::kFif: return 0x1p53 / (12.0 * 3.280839895013123) * (1 - 0x1p-50);
        case Inverse::kDms: return 0x1p53 / 1296000.0 * kTwoPi * (1 - 0x1p-50);
        default: return 0x1p53;
    }
}

/// Empty when `written`, the result of the inverse conversion `which` of the
/// finite x, reads back within the written form's precision (1/256 inch,
/// half a millisecond, exactly for angles) plus 2^-48 |x| for the rounding
/// of the input's own size; otherwise what went wrong.
inline std::string Fault(Inverse which, double x, const Vrn::Run::Object& written) {
    const double slack = 0x1p-48 * std::fabs(x);
    double back = 0;
    try {
        switch (which) {
            case Inverse::kFif: back = Efi::Convert::fif(written).as<Qlt::NumVal>()->asReal(); break;
            case Inverse::kHhmmss: back = Efi::Convert::hhmmss(written).as<Qlt::NumVal>()->asReal(); break;
            default: {
                const auto* v = written.as<Qlt::MatVal>();
                if (!v || v->Rows() != 3 || v->Cols() != 1) return "not a 3 x 1 vector";
                for (int i = 0; i < 3; ++i)
                    if (std::isnan(v->re(i, 0))) return "a NaN in the vector";
                back = Efi::Convert::dms(written).as<Qlt::NumVal>()->asReal();
            }
        }
    } catch (const Vrn::Run::AppException& e) {
        return std::string("does not read back: ") + e.what();
    }
    double off = std::fabs(back - x);
    switch (which) {
        case Inverse::kFif: return off <= 0.0254 / 256 + slack ? "" : "reads back too far off";
        case Inverse::kHhmmss: return off <= 0.00051 + slack ? "" : "reads back too far off";
        default:
            // Angles agree modulo a whole turn.
            off = std::fmod(off, kTwoPi);
            return std::fmin(off, kTwoPi - off) <= 1e-12 + slack ? "" : "reads back too far off";
    }
}

}  // namespace efitest::round_trip
