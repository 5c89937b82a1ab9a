// Unit-string reading: the library's conversions against the same patterns and
// the same first-match-must-be-whole rule run by std::regex (ECMAScript, the
// named groups numbered).
#include <benchmark/benchmark.h>

#include <efi/host/convert.h>
#include <vrnrun/vrnrun.h>

#include <regex>
#include <string>
#include <vector>

namespace {

using Vrn::Run::Object;

const char* const kFifTexts[] = {
    "5' 3-1/2\"", "5' 3 1/2\"", "3/4", "5' 3/4\"", "5'", "-5' 3\"", "+5'", "", "   ", "-",
};
const char* const kHhmmssTexts[] = {"1:01:01.5", "-0:0:5", "1:99:00", "34:17:36.789"};

std::vector<Object> HostTexts(const auto& texts) {
    std::vector<Object> v;
    for (const char* t : texts) v.push_back(Vrn::Run::TextUtf8(t));
    return v;
}

std::string Narrow(const Object& v) {
    const std::u16string& s = v.as<Vrn::Run::String>()->str();
    std::string out(s.size(), '\0');
    for (std::size_t i = 0; i < s.size(); ++i) out[i] = s[i] < 0x80 ? static_cast<char>(s[i]) : '\xFF';
    return out;
}

// ---- the baseline: the whole algorithm over std::regex --------------------

constexpr double kInchesPerMeter = 12.0 * 3.280839895013123;

const std::regex& RFif() {
    static const std::regex r(R"re(\s*([+-])?((\d+)')?\s*(\d+)?((\s+|[-])?(\d+)/(\d+))?"?\s*)re");
    return r;  // 1 sign, 3 feet, 4 inches, 7 innom, 8 inden
}
const std::regex& RFif1() {
    static const std::regex r(R"re(\s*([+-])?(\d+)/(\d+)"?\s*)re");
    return r;  // 1 sign, 2 innom, 3 inden
}
const std::regex& RFif2() {
    static const std::regex r(R"re(\s*([+-])?(\d+)'\s*(\d+)/(\d+)"?\s*)re");
    return r;  // 1 sign, 2 feet, 3 innom, 4 inden
}
const std::regex& RHhmmss() {
    static const std::regex r(R"re(\s*([+-])?(\d+):(\d{1,2}):((\d+(\.\d+)?))\s*)re");
    return r;  // 1 sign, 2 hours, 3 minutes, 4 seconds
}

// First match anywhere; accepted when it is the whole text (no match: the
// empty text).
bool Whole(const std::string& text, const std::regex& r, std::smatch& m) {
    if (!std::regex_search(text, m, r)) return text.empty();
    return m.position(0) == 0 && static_cast<std::size_t>(m.length(0)) == text.size();
}

double Num(const std::ssub_match& g) { return std::stod(g.str()); }
bool Minus(const std::smatch& m) { return m[1].matched && m[1].str() == "-"; }

Object BaselineFif(const Object& v) {
    const std::string text = Narrow(v);
    std::smatch m;
    double value = 0.0;
    if (Whole(text, RFif(), m) && !m.empty()) {
        const double feet = m[3].matched ? Num(m[3]) : 0.0;
        double inches = m[4].matched ? Num(m[4]) : 0.0;
        if (m[7].matched && m[8].matched) inches = Num(m[7]) / Num(m[8]) + inches;
        value = inches / kInchesPerMeter + feet * 0.3048;
    } else if (Whole(text, RFif1(), m) && !m.empty()) {
        value = (m[2].matched && m[3].matched) ? (Num(m[2]) / Num(m[3])) / kInchesPerMeter : 0.0;
    } else if (Whole(text, RFif2(), m) && !m.empty()) {
        value = m[2].matched ? Num(m[2]) * 0.3048 : 0.0;
        if (m[3].matched && m[4].matched) value = (Num(m[3]) / Num(m[4])) / kInchesPerMeter + value;
    } else if (!text.empty()) {
        Vrn::Run::AppException::Raise(u"bad_fif_string", 1);
    }
    if (!m.empty() && Minus(m)) value = value * -1.0;
    return Vrn::Run::make<Qlt::NumVal>(value);
}

Object BaselineHhmmss(const Object& v) {
    const std::string text = Narrow(v);
    std::smatch m;
    if (!Whole(text, RHhmmss(), m) || m.empty()) Vrn::Run::AppException::Raise(u"bad_hhmmss_string", 1);
    double value = (3600.0 * Num(m[2]) + Num(m[3]) * 60.0) + Num(m[4]);
    if (Minus(m)) value = -value;
    return Vrn::Run::make<Qlt::NumVal>(value);
}

// ---- benchmarks -------------------------------------------------------------

template <Object (*Convert)(const Object&)>
void RunMix(benchmark::State& state, const std::vector<Object>& texts) {
    std::size_t i = 0;
    for (auto _ : state) {
        Object r = Convert(texts[i]);
        benchmark::DoNotOptimize(r.get());
        if (++i == texts.size()) i = 0;
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
}

void BM_fif__baseline(benchmark::State& state) { RunMix<BaselineFif>(state, HostTexts(kFifTexts)); }
void BM_fif__pcre2(benchmark::State& state) { RunMix<Efi::Convert::fif>(state, HostTexts(kFifTexts)); }
void BM_hhmmss__baseline(benchmark::State& state) { RunMix<BaselineHhmmss>(state, HostTexts(kHhmmssTexts)); }
void BM_hhmmss__pcre2(benchmark::State& state) { RunMix<Efi::Convert::hhmmss>(state, HostTexts(kHhmmssTexts)); }

BENCHMARK(BM_fif__baseline);
BENCHMARK(BM_fif__pcre2);
BENCHMARK(BM_hhmmss__baseline);
BENCHMARK(BM_hhmmss__pcre2);

}  // namespace

BENCHMARK_MAIN();
