// The typed layer (<efi/bind.h>) as a host meets it: a module written with
// it, loaded through the real loader, its table as the loader reads it, and
// each parameter and result kind converted, refused or handed over.
#include <gmock/gmock.h>

#include <efi/host/error_text.h>
#include <efi/host/module_loader.h>
#include <vrnrun/faults.h>

#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "bridge_calls.h"

namespace {

using namespace efitest;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

const Object& Typed(const std::string& name) { return Module(EFI_TYPED_MODULE).at(name); }

std::string Shown(double x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.17g", x);
    return text;
}

std::string Shown(double re, double im) {
    return im == 0.0 ? Shown(re) : Shown(re) + (im < 0 ? "" : "+") + Shown(im) + "i";
}

// A result as the rows below spell it: 1.5, -2+1i, "TEXT", or a matrix as
// 2x1[0 0.5] (elements in column order).
std::string Shown(const Object& v) {
    if (const auto* n = v.as<Qlt::NumVal>()) return Shown(n->Data.rp, n->Data.ip);
    if (const auto* s = v.as<Vrn::Run::String>()) return "\"" + Vrn::Run::ToUtf8(s->str()) + "\"";
    const auto* m = v.as<Qlt::MatVal>();
    if (!m) return "?";
    std::string text = std::to_string(m->Rows()) + "x" + std::to_string(m->Cols()) + "[";
    for (int c = 0; c < m->Cols(); ++c)
        for (int r = 0; r < m->Rows(); ++r)
            text += (r + c ? " " : "") + Shown(m->re(r, c), m->HasImag() ? m->im(r, c) : 0.0);
    return text + "]";
}

// What a call of the typed module's function gives: its result shown, or
// its error as hosts show it.
std::string Outcome(const std::string& name, const std::vector<Object>& args) {
    try {
        return Shown(Call(Typed(name), args));
    } catch (const Vrn::Run::AppException& e) {
        return "error: " + Efi::ErrorText(e);
    } catch (...) {
        return "fault: " + Efi::ThrownText(std::current_exception());
    }
}

Object Column(std::vector<double> re, std::vector<double> im = {}) {
    return Vrn::Run::Matrix(static_cast<int>(re.size()), 1, re, im);
}

struct Row {
    const char* function;
    std::vector<Object> args;
    std::string expected;
};

// Each parameter kind converted and refused, in the argument it came in;
// arguments are converted left to right, so the first at fault is named.
TEST(Bind, ParametersAreConvertedOrRefusedByTheStandardErrors) {
    const double two63 = 9223372036854775808.0, two64 = 18446744073709551616.0;
    const Row rows[] = {
        {"b_half", {N(3)}, "1.5"},
        {"b_half", {N(kNaN)}, "nan"},
        {"b_half", {N(-0.0, -0.0)}, "-0"},
        {"b_half", {N(1, 2)}, "error: must be a real (argument 1)"},
        {"b_half", {N(1, kNaN)}, "error: must be a real (argument 1)"},
        {"b_times_i", {N(1, 2)}, "-2+1i"},
        {"b_integers",
         {N(-2147483648.0), N(4294967295.0), N(-two63), N(0)},
         Shown(-2147483648.0 + 4294967295.0 - two63)},
        {"b_integers", {N(0), N(0), N(0), N(two64 - 2048)}, Shown(two64 - 2048)},
        {"b_integers", {N(2147483648.0), N(0), N(0), N(0)}, "error: invalid range (argument 1)"},
        {"b_integers", {N(-2147483649.0), N(0), N(0), N(0)}, "error: invalid range (argument 1)"},
        {"b_integers", {N(0), N(-1), N(0), N(0)}, "error: must be non-negative (argument 2)"},
        {"b_integers", {N(0), N(4294967296.0), N(0), N(0)}, "error: invalid range (argument 2)"},
        {"b_integers", {N(0), N(0), N(two63), N(0)}, "error: invalid range (argument 3)"},
        {"b_integers", {N(0), N(0), N(0), N(two64)}, "error: invalid range (argument 4)"},
        {"b_integers", {N(0), N(0), N(kInf), N(0)}, "error: invalid range (argument 3)"},
        {"b_integers", {N(0), N(0), N(0.5), N(0)}, "error: must be an integer (argument 3)"},
        {"b_integers", {N(0), N(0), N(kNaN), N(0)}, "error: must be an integer (argument 3)"},
        {"b_integers", {N(0), N(0), N(0), N(1, 1)}, "error: must be an integer (argument 4)"},
        {"b_integers", {N(0.5), N(-1), N(0), N(0)}, "error: must be an integer (argument 1)"},
        {"b_twice", {N(4503599627370496.0)}, "9007199254740992"},
        {"b_weighted", {Matrix(2, 3, 1, false)}, "50"},
        {"b_weighted", {Vrn::Run::Matrix(0, 0, {})}, "0"},
        {"b_weighted", {Column({1, 2}, {0, 0})}, "3"},
        {"b_weighted", {Column({1, 2}, {0, 1})}, "error: must be a real matrix (argument 1)"},
        {"b_sum", {Matrix(2, 2, 0, true)}, "6-6i"},
        {"b_sum", {Matrix(2, 2, 0, false)}, "6"},
        {"b_upper", {T(u"abc")}, "\"ABC\""},
        {"b_upper", {T(u"")}, "\"\""},
        // A file name is joined to the directory the host gives first.
        {"b_path", {T(u"/tmp/"), T(u"data"), T(u".csv")}, "\"/tmp/data.csv\""},
    };
    for (const Row& row : rows) EXPECT_EQ(Outcome(row.function, row.args), row.expected) << row.function;
}

// Results of every kind, and the ways a typed function fails: efi::fail
// marks the parameter it names, any other exception arrives with its text.
TEST(Bind, ResultsAndFailures) {
    const Row rows[] = {
        {"b_linspace", {N(0), N(1), N(5)}, "5x1[0 0.25 0.5 0.75 1]"},
        {"b_linspace", {N(0), N(1), N(1)}, "error: must be positive (argument 3)"},
        {"b_complex_grid", {N(2), N(3)}, "2x3[0 1 0+1i 1+1i 0+2i 1+2i]"},
        {"b_complex_grid", {N(0), N(2)}, "0x2[]"},
        {"b_complex_grid", {N(3), N(0)}, "3x0[]"},
        {"b_twice", {N(-21)}, "-42"},
        {"b_domain", {N(4)}, "2"},
        {"b_domain", {N(-1)}, "error: b_domain: x must be non-negative"},
        {"b_build_then_throw", {N(300)}, "error: b_build_then_throw: gave up after building"},
        {"b_blame", {N(1), N(2), N(0)}, "3"},
        {"b_blame", {N(1), N(2), N(1)}, "error: must be positive (argument 2)"},
        {"b_blame", {N(1), N(2), N(2)}, "error: must be between 0 and 1 (argument 1)"},
        {"b_blame", {N(1), N(2), N(3)}, "error: unnamed failure"},
    };
    for (const Row& row : rows) EXPECT_EQ(Outcome(row.function, row.args), row.expected) << row.function;
    try {
        Call(Typed("b_domain"), {N(-1)});
        ADD_FAILURE() << "no error";
    } catch (const Efi::User::ModuleException& e) {
        EXPECT_EQ(e.TypeName(), "std::domain_error");
        EXPECT_EQ(e.Argument(), Efi::kNoArgument);
    }
}

// A masked typed function computes through an intermediate overflow to a
// finite result, where the same function under the trapping word faults; a
// result that is infinite on its own is the fault it stands for, and a NaN
// argument gives a NaN result.
TEST(Bind, MaskedFunctionsAreJudgedByTheirResult) {
    Vrn::Run::InstallFaultTranslation();
    const double big = std::ldexp(1.0, 700);  // its square overflows
    const Row rows[] = {
        {"b_norm", {N(3), N(4)}, "5"},
        {"b_norm", {N(big), N(big)}, Shown(std::sqrt(2.0) * big)},
        {"b_norm_trapping", {N(big), N(big)}, "fault: overflow"},
        {"b_norm", {N(kNaN), N(1)}, "nan"},
        {"b_exp", {N(800)}, "fault: overflow"},
        {"b_exp", {N(kInf)}, "inf"},
        {"b_exp", {N(-kInf)}, "0"},
    };
    for (const Row& row : rows) EXPECT_EQ(Outcome(row.function, row.args), row.expected) << row.function;
}

// The table the layer writes, as the loader reads it: codes from the C++
// signature, the names, help and flags of each def.
TEST(Bind, TheTableDescribesEachFunction) {
    std::map<std::string, Efi::ModuleFunction> fns;
    for (Efi::ModuleFunction& f : Efi::LoadModule(EFI_TYPED_MODULE)) fns.emplace(f.name, std::move(f));
    struct Expected {
        const char* name;
        std::int32_t ret;
        std::vector<std::int32_t> args;
    };
    const Expected codes[] = {
        {"b_half", 1, {1}},
        {"b_times_i", 1, {1}},
        {"b_integers", 1, {1, 1, 1, 1}},
        {"b_weighted", 1, {2}},
        {"b_sum", 1, {2}},
        {"b_upper", 8, {8}},
        {"b_path", 8, {13, 8}},
        {"b_linspace", 2, {1, 1, 1}},
        {"b_complex_grid", 2, {1, 1}},
    };
    for (const Expected& e : codes) {
        ASSERT_TRUE(fns.count(e.name)) << e.name;
        EXPECT_EQ(fns[e.name].ret, e.ret) << e.name;
        EXPECT_EQ(fns[e.name].args, e.args) << e.name;
        EXPECT_EQ(fns[e.name].never_callable, "") << e.name;
    }
    EXPECT_EQ(fns.size(), 16u);
    Efi::FunctionDescription linspace;
    linspace.params = {"a", "b", "n"};
    linspace.paramHelp = {"", "", "number of points, at least 2"};
    linspace.summary = "n points from a to b.";
    linspace.help = "A column.\nEnds included.";
    linspace.messages = {"must be at least 2"};
    linspace.masked = true;
    EXPECT_EQ(fns["b_linspace"].description, linspace);
    Efi::FunctionDescription norm;
    norm.params = {"a", "b"};
    norm.paramHelp = {"", ""};
    norm.summary = "|(a, b)|.";
    norm.masked = norm.threadSafe = true;
    EXPECT_EQ(fns["b_norm"].description, norm);
    EXPECT_FALSE(fns["b_norm_trapping"].description.masked);
    EXPECT_EQ(fns["b_twice"].description.summary, "");
}

}  // namespace
