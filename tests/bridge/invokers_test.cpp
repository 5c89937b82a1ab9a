// The twenty named invokers of the public API (Function::Invoke1..10 and
// Hidden1..10), called as a host that binds them by name does: each hands
// its arguments on in order, and each Hidden one keeps the directory it is
// given and joins relative file names to it.
#include <array>
#include <cstddef>
#include <exception>
#include <functional>
#include <limits>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include <efi/se_exception.h>

#include "bridge_calls.h"

namespace {

using namespace efitest;
using Efi::User::Function;
using Efi::User::RealSweepOutcome;
using Efi::User::SweepOutcome;
using Efi::User::Value;
using Args = std::vector<Object>;

template <std::size_t>
using Number = const Value*;

// The error table of the functions below: a negative number is refused
// (index 1), and so is a file named "missing.txt" (index 2).
const std::vector<std::u16string> kMessages{u"must be non-negative", u"no such file"};

constexpr std::uint32_t ErrorCode(std::size_t argument, std::uint32_t index) {
    return static_cast<std::uint32_t>(argument << 16) | index;
}

// Sum of k * (argument k): with arguments 1..N in order it is the sum of
// the squares, its largest value over every order of them, so any argument
// handed to the wrong place lowers it. The first negative argument is
// refused by its place.
template <std::size_t... I>
std::uint32_t Weighted(Value* r, Number<I>... a) {
    const Value* const args[] = {a...};
    r->real = 0.0;
    r->imag = 0.0;
    for (std::size_t k = 0; k < sizeof...(I); ++k) {
        if (args[k]->real < 0) return ErrorCode(k + 1, 1);
        r->real += static_cast<double>(k + 1) * args[k]->real;
    }
    return 0;
}

std::string g_path;

// A file name first, then numbers: the path it was given is kept for the
// test, the result is as Weighted's over the numbers, the file counting
// as argument 1.
template <std::size_t... I>
std::uint32_t FileThenWeighted(Value* r, const char* path, Number<I>... a) {
    g_path = path;
    if (g_path.ends_with("/missing.txt")) return ErrorCode(1, 2);
    const Value* const args[] = {nullptr, a...};
    r->real = 0.0;
    r->imag = 0.0;
    for (std::size_t k = 1; k <= sizeof...(I); ++k) {
        if (args[k]->real < 0) return ErrorCode(k + 1, 1);
        r->real += static_cast<double>(k + 1) * args[k]->real;
    }
    return 0;
}

// A function declared masked runs under the masked call word: the sums
// above overflow to infinity there instead of trapping.
Object Declared(Object f, bool masked) {
    Target(f).m_masked = masked;
    return f;
}

template <std::size_t... I>
Object RegisterWeighted(std::index_sequence<I...>, bool masked) {
    return Declared(Register(u"weighted", &Weighted<I...>, 1, std::vector<std::int32_t>(sizeof...(I), 1), kMessages),
                    masked);
}

template <std::size_t... I>
Object RegisterFileThenWeighted(std::index_sequence<I...>, bool masked) {
    std::vector<std::int32_t> codes(sizeof...(I) + 1, 1);
    codes[0] = 13;  // a file to read
    return Declared(Register(u"file", &FileThenWeighted<I...>, 1, std::move(codes), kMessages), masked);
}

template <std::size_t... N>
std::array<Object, sizeof...(N)> WeightedFunctions(std::index_sequence<N...>, bool masked = false) {
    return {RegisterWeighted(std::make_index_sequence<N + 1>(), masked)...};
}

template <std::size_t... N>
std::array<Object, sizeof...(N)> FileFunctions(std::index_sequence<N...>, bool masked = false) {
    return {RegisterFileThenWeighted(std::make_index_sequence<N>(), masked)...};
}

using Invoker = std::function<Object(Function&, const Args&)>;

// Invoke1..10 by count: a[0] .. a[N-1].
const Invoker kInvoke[] = {
    [](Function& f, const Args& a) { return f.Invoke1(a[0]); },
    [](Function& f, const Args& a) { return f.Invoke2(a[0], a[1]); },
    [](Function& f, const Args& a) { return f.Invoke3(a[0], a[1], a[2]); },
    [](Function& f, const Args& a) { return f.Invoke4(a[0], a[1], a[2], a[3]); },
    [](Function& f, const Args& a) { return f.Invoke5(a[0], a[1], a[2], a[3], a[4]); },
    [](Function& f, const Args& a) { return f.Invoke6(a[0], a[1], a[2], a[3], a[4], a[5]); },
    [](Function& f, const Args& a) { return f.Invoke7(a[0], a[1], a[2], a[3], a[4], a[5], a[6]); },
    [](Function& f, const Args& a) { return f.Invoke8(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]); },
    [](Function& f, const Args& a) { return f.Invoke9(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]); },
    [](Function& f, const Args& a) { return f.Invoke10(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]); },
};

// Hidden1..10 by count: the directory a[0], then a[1] .. a[N].
const Invoker kHidden[] = {
    [](Function& f, const Args& a) { return f.Hidden1(a[0], a[1]); },
    [](Function& f, const Args& a) { return f.Hidden2(a[0], a[1], a[2]); },
    [](Function& f, const Args& a) { return f.Hidden3(a[0], a[1], a[2], a[3]); },
    [](Function& f, const Args& a) { return f.Hidden4(a[0], a[1], a[2], a[3], a[4]); },
    [](Function& f, const Args& a) { return f.Hidden5(a[0], a[1], a[2], a[3], a[4], a[5]); },
    [](Function& f, const Args& a) { return f.Hidden6(a[0], a[1], a[2], a[3], a[4], a[5], a[6]); },
    [](Function& f, const Args& a) { return f.Hidden7(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7]); },
    [](Function& f, const Args& a) { return f.Hidden8(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8]); },
    [](Function& f, const Args& a) { return f.Hidden9(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9]); },
    [](Function& f, const Args& a) {
        return f.Hidden10(a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], a[9], a[10]);
    },
};

double SumOfSquares(std::size_t from, std::size_t to) {
    double s = 0;
    for (std::size_t k = from; k <= to; ++k) s += static_cast<double>(k * k);
    return s;
}

TEST(Invokers, EachInvokeHandsItsArgumentsOnInOrder) {
    const auto functions = WeightedFunctions(std::make_index_sequence<10>());
    for (std::size_t n = 1; n <= 10; ++n) {
        SCOPED_TRACE("Invoke" + std::to_string(n));
        Args args;
        for (std::size_t k = 1; k <= n; ++k) args.push_back(N(static_cast<double>(k)));
        FpEnvGuard env;
        const Object r = kInvoke[n - 1](Target(functions[n - 1]), args);
        ASSERT_TRUE(r.is<Qlt::NumVal>());
        EXPECT_EQ(r.as<Qlt::NumVal>()->Data.rp, SumOfSquares(1, n));
        EXPECT_EQ(X87ControlWord(), Efi::User::kHostControlWord);
        // The same numbers by CallWithNumbers.
        std::vector<qlComplex> numbers(n);
        for (std::size_t k = 0; k < n; ++k) numbers[k] = {static_cast<double>(k + 1), 0.0};
        EXPECT_EQ(Target(functions[n - 1]).CallWithNumbers(numbers).real, SumOfSquares(1, n));
        // The same call with its errors: the named invoker blames the argument by its place, whether the bridge
        // refuses it or the function does.
        args[n - 1] = N(-1);
        EXPECT_APP_ERROR(kInvoke[n - 1](Target(functions[n - 1]), args), "must be non-negative", n);
        numbers[n - 1] = {-1.0, 0.0};
        EXPECT_APP_ERROR(Target(functions[n - 1]).CallWithNumbers(numbers), "must be non-negative", n);
        args[n - 1] = T(u"x");
        EXPECT_APP_ERROR(kInvoke[n - 1](Target(functions[n - 1]), args), "must be scalar", n);
    }
}

// Declared masked, each invoker judges the result: an infinite sum of
// finite numbers is the overflow the unmasked call would have trapped (one
// number cannot overflow: its weight is 1), an infinite sum of an infinite
// number is the answer.
TEST(Invokers, EachInvokeJudgesAMaskedFunctionsResult) {
    const auto functions = WeightedFunctions(std::make_index_sequence<10>(), true);
    constexpr double kInf = std::numeric_limits<double>::infinity();
    for (std::size_t n = 1; n <= 10; ++n) {
        SCOPED_TRACE("Invoke" + std::to_string(n));
        Function& f = Target(functions[n - 1]);
        Args args(n, N(std::numeric_limits<double>::max()));
        std::vector<qlComplex> numbers(n, {std::numeric_limits<double>::max(), 0.0});
        FpEnvGuard env;
        if (n > 1) {
            EXPECT_THROW(kInvoke[n - 1](f, args), SE_FPEOverflow_Exception);
            EXPECT_THROW(f.CallWithNumbers(numbers), SE_FPEOverflow_Exception);
        }
        args[n - 1] = N(kInf);
        const Object r = kInvoke[n - 1](f, args);
        ASSERT_TRUE(r.is<Qlt::NumVal>());
        EXPECT_EQ(r.as<Qlt::NumVal>()->Data.rp, kInf);
        numbers[n - 1] = {kInf, 0.0};
        EXPECT_EQ(f.CallWithNumbers(numbers).real, kInf);
        EXPECT_EQ(X87ControlWord(), Efi::User::kHostControlWord);
    }
}

TEST(Invokers, EachHiddenKeepsTheDirectoryAndHandsTheRestOnInOrder) {
    const auto functions = FileFunctions(std::make_index_sequence<10>());
    for (std::size_t n = 1; n <= 10; ++n) {
        SCOPED_TRACE("Hidden" + std::to_string(n));
        const Object cwd = T(u"/data/" + std::u16string(n, u'd') + u"/");
        Args args{cwd, T(u"in.txt")};
        for (std::size_t k = 2; k <= n; ++k) args.push_back(N(static_cast<double>(k)));
        Function& f = Target(functions[n - 1]);
        g_path.clear();
        FpEnvGuard env;
        const Object r = kHidden[n - 1](f, args);
        ASSERT_TRUE(r.is<Qlt::NumVal>());
        EXPECT_EQ(r.as<Qlt::NumVal>()->Data.rp, SumOfSquares(2, n));
        EXPECT_EQ(g_path, "/data/" + std::string(n, 'd') + "/in.txt");
        EXPECT_TRUE(f.m_cwd == cwd);
        // The function's own refusals, by place: the file is argument 1, the numbers follow.
        if (n > 1) {
            args.back() = N(-1);
            EXPECT_APP_ERROR(kHidden[n - 1](f, args), "must be non-negative", n);
        }
        args[1] = T(u"missing.txt");
        EXPECT_APP_ERROR(kHidden[n - 1](f, args), "no such file", 1);
        // Without a directory a relative name has nothing to be joined to: argument 0 is blamed.
        args[0] = N(0);
        EXPECT_APP_ERROR(kHidden[n - 1](f, args), "must be string", 0);
    }
}

// Declared masked, as Invoke above: the file name holds no number to judge.
TEST(Invokers, EachHiddenJudgesAMaskedFunctionsResult) {
    const auto functions = FileFunctions(std::make_index_sequence<10>(), true);
    constexpr double kInf = std::numeric_limits<double>::infinity();
    for (std::size_t n = 1; n <= 10; ++n) {
        SCOPED_TRACE("Hidden" + std::to_string(n));
        Function& f = Target(functions[n - 1]);
        Args args{T(u"/data/"), T(u"in.txt")};
        for (std::size_t k = 2; k <= n; ++k) args.push_back(N(std::numeric_limits<double>::max()));
        FpEnvGuard env;
        if (n > 1) {
            EXPECT_THROW(kHidden[n - 1](f, args), SE_FPEOverflow_Exception);
            args.back() = N(kInf);
        }
        const Object r = kHidden[n - 1](f, args);
        ASSERT_TRUE(r.is<Qlt::NumVal>());
        EXPECT_EQ(r.as<Qlt::NumVal>()->Data.rp, n > 1 ? kInf : 0.0);
        EXPECT_EQ(X87ControlWord(), Efi::User::kHostControlWord);
    }
}

// Whether `failure` holds the worksheet error `message` blaming `argument`.
::testing::AssertionResult IsAppError(const std::exception_ptr& failure, const std::string& message,
                                      std::uint32_t argument) {
    if (!failure) return ::testing::AssertionFailure() << "no failure";
    try {
        std::rethrow_exception(failure);
    } catch (const Vrn::Run::AppException& e) {
        if (e.what() == message && e.Argument() == argument) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "\"" << e.what() << "\" at " << e.Argument();
    } catch (...) {
        return ::testing::AssertionFailure() << "another exception";
    }
}

::testing::AssertionResult IsOverflow(const std::exception_ptr& failure) {
    try {
        if (failure) std::rethrow_exception(failure);
    } catch (const SE_FPEOverflow_Exception&) {
        return ::testing::AssertionSuccess();
    } catch (...) {
    }
    return ::testing::AssertionFailure() << "no overflow";
}

// Sweeps of every width, of complex numbers and of reals, as the calls
// above: column k holds k + 1 (the first column one number for all
// elements), each element's result is the sum of the squares until the
// last column's -1 at element 2 ends the sweep with the function's error.
// Declared masked, the largest numbers overflow at element 0.
TEST(Invokers, SweepsOfEveryWidthReportErrorsAndJudgeMaskedResults) {
    const auto plain = WeightedFunctions(std::make_index_sequence<10>());
    const auto masked = WeightedFunctions(std::make_index_sequence<10>(), true);
    constexpr std::size_t kCount = 4;
    for (std::size_t n = 1; n <= 10; ++n) {
        SCOPED_TRACE("width " + std::to_string(n));
        std::vector<std::vector<qlComplex>> numbers(n);
        std::vector<std::vector<double>> reals(n);
        for (std::size_t k = 0; k < n; ++k) {
            const std::size_t size = k == 0 && n > 1 ? 1 : kCount;
            numbers[k].assign(size, {static_cast<double>(k + 1), 0.0});
            reals[k].assign(size, static_cast<double>(k + 1));
        }
        numbers[n - 1][2] = {-1.0, 0.0};
        reals[n - 1][2] = -1.0;
        std::vector<std::span<const qlComplex>> numberColumns(numbers.begin(), numbers.end());
        std::vector<std::span<const double>> realColumns(reals.begin(), reals.end());
        std::vector<qlComplex> numberResults(kCount);
        std::vector<double> realResults(kCount);
        FpEnvGuard env;
        const SweepOutcome byNumbers = Target(plain[n - 1]).SweepWithNumbers(numberColumns, numberResults);
        const RealSweepOutcome byReals = Target(plain[n - 1]).SweepWithReals(realColumns, realResults);
        EXPECT_EQ(byNumbers.done, 2u);
        EXPECT_EQ(byReals.done, 2u);
        EXPECT_TRUE(IsAppError(byNumbers.failure, "must be non-negative", static_cast<std::uint32_t>(n)));
        EXPECT_TRUE(IsAppError(byReals.failure, "must be non-negative", static_cast<std::uint32_t>(n)));
        EXPECT_FALSE(byReals.stoppedAtComplex);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ(numberResults[i].real, SumOfSquares(1, n));
            EXPECT_EQ(realResults[i], SumOfSquares(1, n));
        }
        if (n == 1) continue;  // one number cannot overflow
        for (auto& column : numbers) column.assign(column.size(), {std::numeric_limits<double>::max(), 0.0});
        for (auto& column : reals) column.assign(column.size(), std::numeric_limits<double>::max());
        EXPECT_TRUE(IsOverflow(Target(masked[n - 1]).SweepWithNumbers(numberColumns, numberResults).failure));
        EXPECT_TRUE(IsOverflow(Target(masked[n - 1]).SweepWithReals(realColumns, realResults).failure));
        EXPECT_EQ(X87ControlWord(), Efi::User::kHostControlWord);
    }
}

}  // namespace
