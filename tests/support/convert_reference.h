// An independent reading of the unit-conversion texts with std::regex
// (ECMAScript: leftmost start, first backtracking path, greedy), unanchored:
// the first match anywhere is taken and accepted only when it is the whole
// text. Tests compare the library against it; the benchmarks use it as the
// baseline.
#pragma once

#include <optional>
#include <regex>
#include <string>

namespace efitest::reference {

inline constexpr double kInchesPerMeter = 12.0 * 3.280839895013123;

// The named groups, numbered: r_fif 1 sign, 3 feet, 4 inches, 7 innom, 8 inden.
inline const std::regex& RFif() {
    static const std::regex r(R"re(\s*([+-])?((\d+)')?\s*(\d+)?((\s+|[-])?(\d+)/(\d+))?"?\s*)re");
    return r;
}
// 1 sign, 2 innom, 3 inden
inline const std::regex& RFif1() {
    static const std::regex r(R"re(\s*([+-])?(\d+)/(\d+)"?\s*)re");
    return r;
}
// 1 sign, 2 feet, 3 innom, 4 inden
inline const std::regex& RFif2() {
    static const std::regex r(R"re(\s*([+-])?(\d+)'\s*(\d+)/(\d+)"?\s*)re");
    return r;
}
// 1 sign, 2 hours, 3 minutes, 4 seconds
inline const std::regex& RHhmmss() {
    static const std::regex r(R"re(\s*([+-])?(\d+):(\d{1,2}):((\d+(\.\d+)?))\s*)re");
    return r;
}

// True when the first match is the whole text; no match at all is a match of
// the empty text (m is then empty: every group absent).
inline bool Whole(const std::string& text, const std::regex& r, std::smatch& m) {
    if (!std::regex_search(text, m, r)) {
        m = std::smatch();
        return text.empty();
    }
    return m.position(0) == 0 && static_cast<std::size_t>(m.length(0)) == text.size();
}

inline bool Has(const std::smatch& m, std::size_t i) { return !m.empty() && m[i].matched; }
inline double Num(const std::smatch& m, std::size_t i) { return std::stod(m[i].str()); }
inline bool Minus(const std::smatch& m) { return Has(m, 1) && m[1].str() == "-"; }

/// Metres, or nothing when the text is not a feet-inch-fraction text.
inline std::optional<double> Fif(const std::string& text) {
    std::smatch m;
    double value = 0.0;
    if (Whole(text, RFif(), m)) {
        const double feet = Has(m, 3) ? Num(m, 3) : 0.0;
        double inches = Has(m, 4) ? Num(m, 4) : 0.0;
        if (Has(m, 7) && Has(m, 8)) inches = Num(m, 7) / Num(m, 8) + inches;
        value = inches / kInchesPerMeter + feet * 0.3048;
    } else if (Whole(text, RFif1(), m)) {
        value = (Has(m, 2) && Has(m, 3)) ? (Num(m, 2) / Num(m, 3)) / kInchesPerMeter : 0.0;
    } else if (Whole(text, RFif2(), m)) {
        value = Has(m, 2) ? Num(m, 2) * 0.3048 : 0.0;
        if (Has(m, 3) && Has(m, 4)) value = (Num(m, 3) / Num(m, 4)) / kInchesPerMeter + value;
    } else {
        return std::nullopt;
    }
    if (Minus(m)) value = value * -1.0;
    return value;
}

/// Seconds, or nothing when the text is not an h:m:s text.
inline std::optional<double> Hhmmss(const std::string& text) {
    std::smatch m;
    if (!Whole(text, RHhmmss(), m) || !Has(m, 2)) return std::nullopt;
    double value = (3600.0 * Num(m, 2) + Num(m, 3) * 60.0) + Num(m, 4);
    if (Minus(m)) value = -value;
    return value;
}

}  // namespace efitest::reference
