// Unit-string reading: the library's conversions against the same patterns and
// the same first-match-must-be-whole rule run by std::regex (ECMAScript, the
// named groups numbered).
#include <benchmark/benchmark.h>

#include <efi/host/convert.h>
#include <vrnrun/vrnrun.h>

#include "../tests/support/convert_reference.h"

#include <optional>
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

Object BaselineFif(const Object& v) {
    const std::optional<double> value = efitest::reference::Fif(Narrow(v));
    if (!value) Vrn::Run::AppException::Raise(u"bad_fif_string", 1);
    return Vrn::Run::make<Qlt::NumVal>(*value);
}

Object BaselineHhmmss(const Object& v) {
    const std::optional<double> value = efitest::reference::Hhmmss(Narrow(v));
    if (!value) Vrn::Run::AppException::Raise(u"bad_hhmmss_string", 1);
    return Vrn::Run::make<Qlt::NumVal>(*value);
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
