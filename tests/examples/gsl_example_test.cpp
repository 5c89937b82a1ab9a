// The GSL example module through efi-call: results of a library that
// overflows inside, its failures as the module's messages, and the traps
// back in force after every masked region.
#include <efi/host/bridge.h>
#include <efi/host/module_loader.h>

#include <efi/errors.h>

#include <algorithm>
#include <barrier>
#include <cmath>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>

#include "efi_call_runner.h"
#include "literal.h"

namespace {

using efitest::EfiCall;
using efitest::Outcome;

Outcome Gsl(std::vector<std::string> args) {
    args.insert(args.begin(), {"--ext", EFI_GSL_MODULE});
    return EfiCall(args);
}

/// The number or matrix efi-call printed, as a host value.
Vrn::Run::Object Printed(const Outcome& r) {
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
    return efi_call::ParseLiteral(r.out.substr(0, r.out.find('\n')));
}

double Real(const Outcome& r) {
    Vrn::Run::Object v = Printed(r);
    const auto* n = v.as<Qlt::NumVal>();
    EXPECT_NE(n, nullptr) << r.out;
    return n ? n->Data.rp : NAN;
}

TEST(GslExample, FunctionsThatOverflowInsideGiveTheirFiniteValues) {
    struct Case {
        std::vector<std::string> args;
        double expected;
    };
    const Case cases[] = {
        {{"gsl_j0", "1e300"}, -7.8606730627240904e-151},  // overflows inside GSL
        {{"gsl_j0", "1e200"}, 6.8313825419983597e-102},
        {{"gsl_j0", "1"}, 0.76519768655796655},
        {{"gsl_jn", "2", "1"}, 0.11490348493190048},
        {{"gsl_y0", "1"}, 0.08825696421567696},
        {{"gsl_det", "[2, 1; 1, 3]"}, 5.0},
        {{"gsl_det", "[0, 1; 1, 0]"}, -1.0},  // a row swap
        {{"gsl_det_ratio", "[2, 1; 1, 3]", "[0, 2; 1, 0]"}, -2.5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        EXPECT_NEAR(Real(Gsl(c.args)), c.expected, std::fabs(c.expected) * 1e-12);
    }
}

TEST(GslExample, InverseThroughLu) {
    Vrn::Run::Object v = Printed(Gsl({"gsl_inverse", "[4, 7; 2, 6]"}));
    const auto* m = v.as<Qlt::MatVal>();
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(m->Rows(), 2);
    ASSERT_EQ(m->Cols(), 2);
    EXPECT_FALSE(m->HasImag());
    const double expected[2][2] = {{0.6, -0.7}, {-0.2, 0.4}};
    for (int r = 0; r < 2; ++r)
        for (int c = 0; c < 2; ++c) EXPECT_NEAR(m->m_rarr[m->Index(r, c)], expected[r][c], 1e-15) << r << "," << c;
}

// Y0 of what is not a number, or of +inf, is NaN, as J0 and Jn give; GSL
// would call it an underflow, as it does for an x too large to have a phase.
TEST(GslExample, NotANumberAndInfinityGiveNaNAsEveryBesselFunction) {
    for (const char* x : {"nan", "inf"})
        for (const char* f : {"gsl_j0", "gsl_y0"}) {
            SCOPED_TRACE(std::string(f) + " " + x);
            EXPECT_TRUE(std::isnan(Real(Gsl({f, x}))));
        }
}

/// The message of an error efi-call printed: `error` without the argument.
std::string MessageOf(const std::string& error) { return error.substr(0, error.find(" (argument ")); }

/// Whether a call of `function` may raise `message`: listed in its message
/// table, or the host's own (a standard error the layer raises for an
/// argument of the wrong kind, a processor fault's text). "unknown error",
/// which the host raises for a message the module does not give (an index
/// past its table, a null text), never is.
bool Accounted(const std::vector<Efi::ModuleFunction>& fns, const std::string& function, const std::string& message) {
    for (const Efi::ModuleFunction& f : fns)
        if (f.name == function && std::ranges::count(f.description.messages, message)) return true;
    if (message == "unknown error") return false;
    if (message == "floating point error" || message == "singularity" || message == "overflow") return true;
    for (std::uint32_t code = 0; code < Efi::kStandardErrorCount; ++code) try {
            Efi::Throw(code, 1);
        } catch (const Vrn::Run::AppException& e) {
            if (message == e.what()) return true;
        }
    return false;
}

// Failures: GSL's status as the module's messages, standard errors raised
// with Efi::Throw, and this module's own arithmetic after a masked region
// trapping as every call's does. Each is a message the function lists, or
// the host's own.
TEST(GslExample, FailuresAreWorksheetErrors) {
    const std::vector<Efi::ModuleFunction> fns = Efi::LoadModule(EFI_GSL_MODULE);
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const Case cases[] = {
        {{"gsl_y0", "-1"}, "domain error (argument 1)"},
        {{"gsl_y0", "0"}, "domain error (argument 1)"},
        {{"gsl_y0", "1e300"}, "underflow (argument 1)"},  // past GSL's reach
        {{"gsl_inverse", "[1, 2; 2, 4]"}, "singularity (argument 1)"},
        {{"gsl_inverse", "[1, 2, 3; 4, 5, 6]"}, "must be a non-empty square matrix (argument 1)"},
        {{"gsl_det", "[]"}, "must be a non-empty square matrix (argument 1)"},
        {{"gsl_det", "[1e200, 0; 0, 1e200]"}, "overflow (argument 1)"},
        {{"gsl_det", "[1i]"}, "must be a real matrix (argument 1)"},
        {{"gsl_j0", "2i"}, "must be a real (argument 1)"},
        {{"gsl_jn", "0.5", "1"}, "must be an integer (argument 1)"},
        {{"gsl_jn", "nan", "1"}, "must be an integer (argument 1)"},  // not "floating point error"
        {{"gsl_det_ratio", "[1]", "[1, 2; 2, 4]"}, "singularity"},    // the trap of 1 / det(B), det(B) = 0
        {{"gsl_jn", "1e6", "1e7"}, "floating point error"},           // GSL's NaN with a status of success
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        Outcome r = Gsl(c.args);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "error: " + c.err + "\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Accounted(fns, c.args[0], MessageOf(c.err))) << c.err;
    }
    EXPECT_FALSE(Accounted(fns, "gsl_y0", "unknown error"));
}

// Every function declares itself thread-safe; all but gsl_det_ratio, which
// relies on the trap of its own division, are masked.
TEST(GslExample, EveryFunctionIsDeclaredThreadSafe) {
    Outcome r = Gsl({"--list"});
    EXPECT_EQ(r.status, 0);
    for (const char* line : {
             "gsl_j0(x: number) -> number  [masked, thread-safe]\n",
             "gsl_jn(n: number, x: number) -> number  [masked, thread-safe]\n",
             "gsl_y0(x: number) -> number  [masked, thread-safe]\n",
             "gsl_det(M: matrix) -> number  [masked, thread-safe]\n",
             "gsl_det_ratio(A: matrix, B: matrix) -> number  [thread-safe]\n",
             "gsl_inverse(M: matrix) -> matrix  [masked, thread-safe]\n",
         })
        EXPECT_THAT(r.out, ::testing::HasSubstr(line));
}

/// What one call of the loaded module gave, as text: the value's bits, or
/// the error and the argument it marks.
std::string Outcome1(const std::vector<Efi::ModuleFunction>& fns, const std::string& name,
                     const Vrn::Run::Object& arg) {
    for (const Efi::ModuleFunction& f : fns) {
        if (f.name != name) continue;
        try {
            const Vrn::Run::Object args[] = {arg};
            const Vrn::Run::Object r = f.function.as<Vrn::Run::Function>()->Call(args);
            if (const auto* n = r.as<Qlt::NumVal>()) return std::to_string(n->Data.rp);
            std::string text;
            const auto* m = r.as<Qlt::MatVal>();
            for (int k = 0; m && k < m->Rows() * m->Cols(); ++k) text += std::to_string(m->m_rarr[k]) + " ";
            return text;
        } catch (const Vrn::Run::AppException& e) {
            return std::string("error: ") + e.what() + " " + std::to_string(e.Argument());
        }
    }
    return "no function " + name;
}

/// The calls both threads make, in values of the calling thread's own (host
/// values are not shared between threads).
std::vector<std::pair<std::string, Vrn::Run::Object>> Calls() {
    const double m[] = {4, 2, 7, 6}, singular[] = {1, 2, 2, 4};
    return {
        {"gsl_j0", Vrn::Run::Number(1e300)},        {"gsl_j0", Vrn::Run::Number(2.5)},
        {"gsl_y0", Vrn::Run::Number(-1)},           {"gsl_y0", Vrn::Run::Number(3)},
        {"gsl_inverse", Vrn::Run::Matrix(2, 2, m)}, {"gsl_inverse", Vrn::Run::Matrix(2, 2, singular)},
        {"gsl_det", Vrn::Run::Matrix(2, 2, m)},
    };
}

// Two threads calling the thread-safe functions at once, failures among
// them, get what one thread gets: the module keeps no state a call changes.
TEST(GslExample, TwoThreadsCallingAtOnceGetWhatOneThreadGets) {
    const std::vector<Efi::ModuleFunction> fns = Efi::LoadModule(EFI_GSL_MODULE);
    std::vector<std::string> alone;
    for (const auto& [name, arg] : Calls()) alone.push_back(Outcome1(fns, name, arg));
    EXPECT_EQ(alone[2], "error: domain error 1");
    EXPECT_EQ(alone[5], "error: singularity 1");

    constexpr int kRounds = 2000;
    std::barrier start(2);
    std::vector<std::string> differed[2];
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t)
        threads.emplace_back([&, t] {
            const auto calls = Calls();
            start.arrive_and_wait();
            for (int round = 0; round < kRounds; ++round)
                for (std::size_t k = 0; k < calls.size(); ++k) {
                    std::string got = Outcome1(fns, calls[k].first, calls[k].second);
                    if (got != alone[k] && differed[t].size() < 3) differed[t].push_back(calls[k].first + ": " + got);
                }
        });
    for (std::thread& t : threads) t.join();
    EXPECT_THAT(differed[0], ::testing::IsEmpty());
    EXPECT_THAT(differed[1], ::testing::IsEmpty());
}

}  // namespace
