// One call of a registered native function, end to end: modules opened with
// dlopen, functions registered from their tables, called through the host
// function objects.
#include <efi/capi.h>
#include <efi/host/callbacks.h>
#include <efi/se_exception.h>
#include <vrnrun/faults.h>

#include <dlfcn.h>
#include <sys/stat.h>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>

#include <gmock/gmock.h>

#include "bridge_calls.h"

namespace {

using namespace efitest;
using Efi::User::Function;

unsigned OddCalls() {
    Module(EFI_TEST_MODULE);  // loaded before it is looked up
    static auto* count =
        reinterpret_cast<unsigned (*)()>(dlsym(dlopen(EFI_TEST_MODULE, RTLD_NOW | RTLD_NOLOAD), "test_module_calls"));
    return count();
}

TEST(Registration, PicksTheInvokerByCountAndFileArguments) {
    struct Case {
        std::vector<std::int32_t> codes;
        const char* name;
        int arity;
    };
    const Case cases[] = {
        {{}, "TooManyArgs", 1},
        {{1}, "Invoke1", 1},
        {{1, 2, 8}, "Invoke3", 3},
        {{2, 14}, "Hidden2", 3},
        {{13}, "Hidden1", 2},
        {std::vector<std::int32_t>(10, 1), "Invoke10", 10},
        {std::vector<std::int32_t>(10, 13), "Hidden10", 11},
        {std::vector<std::int32_t>(11, 1), "TooManyArgs", 1},
        {std::vector<std::int32_t>(11, 14), "TooManyArgs", 1},
        {{12, 15}, "Invoke2", 2},  // codes outside the tables are not examined here
    };
    for (const Case& c : cases) {
        Object f = Function::Thunk(u"f", 0x1234, 1, c.codes, std::nullopt);
        const auto* clo = f.as<Vrn::Run::CloObjFunction>();
        ASSERT_NE(clo, nullptr);
        EXPECT_STREQ(clo->Method(), c.name) << c.codes.size() << " codes";
        EXPECT_STREQ(Function::InvokerName(c.codes), c.name) << c.codes.size() << " codes";
        EXPECT_EQ(clo->Arity(), c.arity) << c.name;
    }
}

TEST(Registration, StoresWhatItIsGivenAndStartsWithoutDirectory) {
    Object f = Function::Thunk(u"name", 42, 8, {1, 13}, std::vector<std::u16string>{u"a", u"b"});
    Function& fn = Target(f);
    EXPECT_EQ(fn.m_fname, u"name");
    EXPECT_EQ(fn.m_fptr, 42);
    EXPECT_EQ(fn.m_ret, 8);
    EXPECT_EQ(fn.m_args, (std::vector<std::int32_t>{1, 13}));
    ASSERT_TRUE(fn.m_errmsg.has_value());
    EXPECT_EQ(fn.m_errmsg->size(), 2u);
    EXPECT_TRUE(fn.m_cwd.is_null());
}

TEST(Call, ScalarsCrossBothPartsWhateverTheirKind) {
    Object r = Call(Sample("sample_add"), {N(1, 2), N(3, -4)});
    ASSERT_TRUE(r.is<Qlt::NumVal>());
    EXPECT_EQ(r.as<Qlt::NumVal>()->Data.rp, 4.0);
    EXPECT_EQ(r.as<Qlt::NumVal>()->Data.ip, -2.0);
    // -0 survives the crossing in both directions.
    r = Call(Sample("sample_add"), {N(-0.0, -0.0), N(-0.0, -0.0)});
    EXPECT_TRUE(efitest::SameBits(r.as<Qlt::NumVal>()->Data.rp, -0.0));
    EXPECT_TRUE(efitest::SameBits(r.as<Qlt::NumVal>()->Data.ip, -0.0));
}

TEST(Call, TenArgumentsArriveInOrder) {
    std::vector<Object> args;
    for (int k = 1; k <= 10; ++k) args.push_back(N(k));
    Object r = Call(Odd("t_weighted10"), args);
    EXPECT_EQ(r.as<Qlt::NumVal>()->Data.rp, 385.0);  // sum of k*k
}

TEST(Call, NumbersWithoutHostValuesGiveWhatHostNumbersGive) {
    // The same function, arguments and outcome by both roads: a result, a
    // worksheet error or a processor fault, with the host's word after it.
    struct Case {
        const char* what;
        Object f;
        std::vector<qlComplex> args;
    };
    std::vector<qlComplex> ten;
    for (int k = 1; k <= 10; ++k) ten.push_back({double(k), 0});
    const Case cases[] = {
        {"complex sum", Sample("sample_add"), {{1, 2}, {3, -4}}},
        {"negative zeros", Sample("sample_add"), {{-0.0, -0.0}, {-0.0, -0.0}}},
        {"ten in order", Odd("t_weighted10"), ten},
        {"native message", Sample("sample_sqrt"), {{-1, 0}}},
        {"native Throw", Sample("sample_throw"), {{5, 0}}},
        {"table entry", Odd("t_code"), {{(2 << 16) | 3, 0}}},
        {"trapped division", Sample("sample_divide"), {{1, 0}, {0, 0}}},
    };
    Vrn::Run::InstallFaultTranslation();
    auto outcome = [](auto&& call) -> std::string {
        efitest::FpEnvGuard env;
        std::string seen;
        try {
            qlComplex z = call();
            seen = std::to_string(z.real) + (std::signbit(z.real) ? "-" : "+") + std::to_string(z.imag) +
                   (std::signbit(z.imag) ? "-" : "+");
        } catch (const Vrn::Run::AppException& e) {
            seen = std::string(e.what()) + " @" + std::to_string(e.Argument());
        } catch (const SE_Exception& e) {
            seen = "fault " + std::to_string(e.GetCode());
        }
        EXPECT_EQ(efitest::X87ControlWord(), Efi::User::kHostControlWord);
        return seen;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Function* fn = Function::Of(c.f);
        ASSERT_NE(fn, nullptr);
        ASSERT_TRUE(fn->TakesAndReturnsNumbers());
        std::vector<Object> host;
        for (const qlComplex& z : c.args) host.push_back(N(z.real, z.imag));
        const std::string byHostValues = outcome([&] {
            Object r = c.f.as<Vrn::Run::Function>()->Call(host);
            return qlComplex{r.as<Qlt::NumVal>()->Data.rp, r.as<Qlt::NumVal>()->Data.ip};
        });
        EXPECT_EQ(outcome([&] { return fn->CallWithNumbers(c.args); }), byHostValues);
    }
    // Functions that take or return anything else, and wrong counts, are
    // for the general road only.
    for (const char* name : {"sample_scale", "sample_upper", "sample_nothing", "sample_path"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(Function::Of(Sample(name))->TakesAndReturnsNumbers());
        EXPECT_THROW(Function::Of(Sample(name))->CallWithNumbers(std::vector<qlComplex>{{1, 0}, {2, 0}}),
                     std::invalid_argument);
    }
    for (const char* name : {"t_none", "t_eleven"}) EXPECT_FALSE(Function::Of(Odd(name))->TakesAndReturnsNumbers());
    EXPECT_THROW(Function::Of(Sample("sample_add"))->CallWithNumbers(std::vector<qlComplex>{{1, 0}}),
                 std::invalid_argument);
    EXPECT_EQ(Function::Of(Vrn::Run::Func(1, [](auto a) { return a[0]; })), nullptr);
    EXPECT_EQ(Function::Of(N(1)), nullptr);
}

// A sweep's elements against single calls of the same arguments: the same
// results bit for bit up to the first failure, which ends the sweep with the
// single call's error and its index; nothing is written from there on.
TEST(Sweep, EachElementGetsWhatItsSingleCallGives) {
    using Column = std::vector<qlComplex>;
    struct Case {
        const char* what;
        Object f;
        std::vector<Column> columns;
        std::size_t count;
    };
    const double inf = std::numeric_limits<double>::infinity();
    const Case cases[] = {
        {"real and complex", Sample("sample_add"), {{{1, 0}, {1, 2}, {inf, -0.5}}, {{2, 0}, {3, -4}, {1, 0}}}, 3},
        {"negative zeros, one column broadcast",
         Sample("sample_add"),
         {{{-0.0, -0.0}, {0.0, -0.0}, {-0.0, 0.0}}, {{-0.0, -0.0}}},
         3},
        {"both broadcast", Sample("sample_add"), {{{1, 1}}, {{2, 2}}}, 4},
        // The word, the flags and MXCSR each element finds at entry, after
        // elements that changed them or left flags behind.
        {"changed words and flags",
         Odd("t_word"),
         {{{0, 0}, {1, 0}, {0, 0}, {2, 0}, {0, 0}, {2, 0}, {1, 0}, {0, 0}}},
         8},
        {"call memory of its own", Odd("t_memory"), {{{0, 0}}}, 3},
        {"native message at 2", Sample("sample_sqrt"), {{{4, 0}, {9, 0}, {-1, 0}, {16, 0}}}, 4},
        {"native Throw at 0", Sample("sample_throw"), {{{5, 0}}}, 3},
        {"table entry at 1", Odd("t_code"), {{{0, 0}, {(2 << 16) | 3, 0}, {0, 0}}}, 3},
        {"trapped division at 1", Sample("sample_divide"), {{{1, 0}}, {{2, 0}, {0, 0}, {4, 0}}}, 3},
        // Faults that no unwinding reaches land at the sweep's recovery point.
        {"a fault in code without unwind entries at 1",
         Module(EFI_NO_UNWIND_MODULE).at("c_div"),
         {{{1, 0}}, {{2, 0}, {0, 0}, {4, 0}}},
         3},
        {"a fault the tables do not cover at 2",
         Module(EFI_UNCOVERED_MODULE).at("u_inverse"),
         {{{1, 0}, {2, 0}, {0, 0}, {4, 0}}},
         4},
        {"empty", Sample("sample_add"), {{}, {{1, 0}}}, 0},
        {"a complex result among real ones",
         Odd("t_masked"),
         {{{0, 0}}, {{1, 0}, {2, 0}, {4, 0}, {8, 0}}, {{inf, 0}, {inf, 0}, {2, 0}, {inf, 0}}},
         4},
    };
    Vrn::Run::InstallFaultTranslation();
    auto bits = [](const qlComplex& z) {
        std::uint64_t re, im;
        std::memcpy(&re, &z.real, 8);
        std::memcpy(&im, &z.imag, 8);
        return std::to_string(re) + "," + std::to_string(im);
    };
    auto failure = [](std::exception_ptr e) -> std::string {
        try {
            std::rethrow_exception(e);
        } catch (const Vrn::Run::AppException& x) {
            return std::string(x.what()) + " @" + std::to_string(x.Argument());
        } catch (const SE_Exception& x) {
            return "fault " + std::to_string(x.GetCode());
        }
    };
    const qlComplex unwritten{12345, 678};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Function* fn = Function::Of(c.f);
        std::vector<std::string> single;
        std::string singleFailure;
        for (std::size_t i = 0; i < c.count && singleFailure.empty(); ++i) {
            std::vector<qlComplex> args;
            for (const Column& col : c.columns) args.push_back(col[col.size() == 1 ? 0 : i]);
            efitest::FpEnvGuard env;
            try {
                single.push_back(bits(fn->CallWithNumbers(args)));
            } catch (...) {
                singleFailure = failure(std::current_exception()) + " at " + std::to_string(i);
            }
        }
        std::vector<qlComplex> results(c.count, unwritten);
        std::vector<std::span<const qlComplex>> columns(c.columns.begin(), c.columns.end());
        Efi::User::SweepOutcome outcome;
        {
            efitest::FpEnvGuard env;
            outcome = fn->SweepWithNumbers(columns, results);
            // An empty sweep calls nothing and sets nothing up.
            if (c.count > 0) {
                EXPECT_EQ(efitest::X87ControlWord(), Efi::User::kHostControlWord);
            }
        }
        std::vector<std::string> swept;
        for (std::size_t i = 0; i < outcome.done; ++i) swept.push_back(bits(results[i]));
        EXPECT_EQ(swept, single);
        EXPECT_EQ(outcome.failure ? failure(outcome.failure) + " at " + std::to_string(outcome.done) : "",
                  singleFailure);
        for (std::size_t i = outcome.done; i < c.count; ++i) EXPECT_EQ(bits(results[i]), bits(unwritten)) << i;

        // Real columns by the real road, as a host that keeps reals apart
        // runs it: real parts until a result is complex, then numbers from
        // the element after it. A zero imaginary part of either sign is real.
        const auto real = [](const qlComplex& z) { return z.imag == 0.0 && !std::isnan(z.imag); };
        bool realColumns = true;
        for (const Column& col : c.columns)
            for (const qlComplex& z : col) realColumns = realColumns && z.imag == 0.0 && !std::signbit(z.imag);
        if (!realColumns) continue;
        std::vector<std::vector<double>> reals;
        for (const Column& col : c.columns) {
            reals.emplace_back();
            for (const qlComplex& z : col) reals.back().push_back(z.real);
        }
        std::vector<std::span<const double>> realSpans(reals.begin(), reals.end());
        std::vector<double> realResults(c.count, 12345);
        Efi::User::RealSweepOutcome byReals;
        std::vector<qlComplex> byNumbers(c.count, unwritten);
        std::size_t done = 0;
        std::exception_ptr failed;
        {
            efitest::FpEnvGuard env;
            byReals = fn->SweepWithReals(realSpans, realResults);
            done = byReals.done;
            failed = byReals.failure;
            for (std::size_t i = 0; i < done; ++i) byNumbers[i] = {realResults[i], 0.0};
            if (byReals.stoppedAtComplex) {
                byNumbers[done - 1] = byReals.complexResult;
                std::vector<std::span<const qlComplex>> rest;
                for (const Column& col : c.columns)
                    rest.push_back(col.size() == 1 ? std::span<const qlComplex>(col)
                                                   : std::span<const qlComplex>(col).subspan(done));
                const Efi::User::SweepOutcome tail =
                    fn->SweepWithNumbers(rest, std::span<qlComplex>(byNumbers).subspan(done));
                done += tail.done;
                failed = tail.failure;
            }
        }
        std::vector<std::string> byRoad, expected;
        for (std::size_t i = 0; i < done; ++i)
            byRoad.push_back(real(byNumbers[i]) ? bits({byNumbers[i].real, 0.0}) : bits(byNumbers[i]));
        for (std::size_t i = 0; i < outcome.done; ++i)
            expected.push_back(real(results[i]) ? bits({results[i].real, 0.0}) : bits(results[i]));
        EXPECT_EQ(byRoad, expected);
        EXPECT_EQ(failed ? failure(failed) + " at " + std::to_string(done) : "", singleFailure);
    }
}

TEST(Sweep, RefusesWhatASingleNumberCallRefuses) {
    const qlComplex one[] = {{1, 0}};
    const std::span<const qlComplex> column(one), two[] = {column, column};
    std::vector<qlComplex> results(3);
    // Not a function of numbers; a column missing; a column of neither one
    // number nor one per result.
    EXPECT_THROW(Function::Of(Sample("sample_scale"))->SweepWithNumbers(two, results), std::invalid_argument);
    EXPECT_THROW(Function::Of(Sample("sample_add"))->SweepWithNumbers({two, 1}, results), std::invalid_argument);
    const qlComplex pair[] = {{1, 0}, {2, 0}};
    const std::span<const qlComplex> mismatched[] = {column, pair};
    EXPECT_THROW(Function::Of(Sample("sample_add"))->SweepWithNumbers(mismatched, results), std::invalid_argument);
}

TEST(Call, MatrixArgumentIsReadThroughTheHostsLayout) {
    // A 2x3 complex view into larger arrays: leading dimension 4, offset 1.
    auto re = Qlt::DoubleArray::make(16), im = Qlt::DoubleArray::make(16);
    for (int k = 0; k < 16; ++k) re[k] = 100 + k, im[k] = -k;
    Object m = Vrn::Run::make<Qlt::MatVal>(re, im, 2, 3, 4, 1);
    Object r = Call(Sample("sample_scale"), {N(2), m});
    auto* out = r.as<Qlt::MatVal>();
    ASSERT_NE(out, nullptr);
    ASSERT_EQ(out->Rows(), 2);
    ASSERT_EQ(out->Cols(), 3);
    ASSERT_TRUE(out->HasImag());
    for (int c = 0; c < 3; ++c) {
        for (int i = 0; i < 2; ++i) {
            EXPECT_EQ(out->re(i, c), 2 * (100 + 1 + i + 4 * c)) << i << "," << c;
            EXPECT_EQ(out->im(i, c), -2 * (1 + i + 4 * c)) << i << "," << c;
        }
    }
    // The host matrix is not touched by the call.
    EXPECT_EQ(re[1], 101.0);
}

TEST(Call, MatrixResultsOfEveryShape) {
    struct Case {
        double rows, cols, complex;
    };
    for (Case c : {Case{2, 3, 1}, Case{1, 1, 0}, Case{0, 3, 1}, Case{3, 0, 0}, Case{0, 0, 1}}) {
        Object r = Call(Odd("t_shape"), {N(c.rows), N(c.cols), N(c.complex)});
        auto* m = r.as<Qlt::MatVal>();
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->Rows(), c.rows);
        EXPECT_EQ(m->Cols(), c.cols);
        EXPECT_EQ(m->HasImag(), c.complex != 0);
        for (int k = 0; k < m->Rows() * m->Cols(); ++k) {
            EXPECT_EQ(m->m_rarr[k], k + 1);
            if (m->HasImag()) {
                EXPECT_EQ(m->m_iarr[k], -(k + 1));
            }
        }
    }
    Object s = Call(Sample("sample_sum"), {Vrn::Run::Matrix(2, 2, std::vector<double>{1, 2, 3, 4})});
    EXPECT_EQ(s.as<Qlt::NumVal>()->Data.rp, 10.0);
}

TEST(Call, ResultsNeverWrittenAreZero) {
    Object r = Call(Odd("t_blank"), {N(5)});
    EXPECT_TRUE(efitest::SameBits(r.as<Qlt::NumVal>()->Data.rp, 0.0));
    EXPECT_TRUE(efitest::SameBits(r.as<Qlt::NumVal>()->Data.ip, 0.0));
    Object m = Call(Odd("t_blank_matrix"), {N(5)});
    ASSERT_TRUE(m.is<Qlt::MatVal>());
    EXPECT_EQ(m.as<Qlt::MatVal>()->Rows(), 0);
    EXPECT_EQ(m.as<Qlt::MatVal>()->Cols(), 0);
    EXPECT_FALSE(m.as<Qlt::MatVal>()->HasImag());
    EXPECT_EQ(TextOf(Call(Sample("sample_nothing"), {N(1)})), u"");
}

TEST(Call, TextCrossesAsLowBytesCutAtNul) {
    EXPECT_EQ(TextOf(Call(Sample("sample_upper"), {T(u"abc xyz")})), u"ABC XYZ");
    EXPECT_EQ(TextOf(Call(Odd("t_echo"), {T(u"")})), u"");
    // U+0141 keeps its low byte 0x41; U+00E9 comes back as itself.
    EXPECT_EQ(TextOf(Call(Odd("t_echo"), {T(u"\u0141\u00e9\u4e2d")})), u"A\u00e9\u002d");
    EXPECT_EQ(TextOf(Call(Odd("t_echo"), {T(std::u16string(u"ab\0cd", 5))})), u"ab");
    EXPECT_EQ(Call(Sample("sample_length"), {T(std::u16string(u"ab\0cd", 5))}).as<Qlt::NumVal>()->Data.rp, 2.0);
}

TEST(Call, TextBufferIsTheNextMultipleOfEightAboveTheLength) {
    Object f = Sample("sample_upper");
    for (auto [len, bytes] : {std::pair{0u, 8u}, {7u, 8u}, {8u, 16u}, {15u, 16u}, {1023u, 1024u}}) {
        efitest::FpEnvGuard guard;
        Efi::EfiCallContext context;
        Efi::User::Value v;
        Target(f).MarshalArg(&v, 1, T(std::u16string(len, u'x')));
        ASSERT_NE(context.m_blocks, nullptr);
        EXPECT_EQ(context.m_blocks->size, bytes) << len << " characters";
        EXPECT_EQ(std::strlen(v.text), len);
    }
}

TEST(Call, FileNamesAreJoinedToTheDirectoryUnlessAbsolute) {
    Object f = Odd("t_hidden2");
    Object m = Vrn::Run::Matrix(1, 1, std::vector<double>{0});
    const Object cwd = T(u"D:\\work\\");
    struct Case {
        std::u16string name, path;
    };
    const Case cases[] = {
        {u"C:\\data\\x.txt", u"C:\\data\\x.txt"},       {u"x.txt", u"D:\\work\\x.txt"}, {u":\\x", u"D:\\work\\:\\x"},
        {u"\\\\server\\x", u"D:\\work\\\\\\server\\x"}, {u"/tmp/x", u"/tmp/x"},         {u"", u"D:\\work\\"},
    };
    for (const Case& c : cases) EXPECT_EQ(TextOf(Call(f, {cwd, m, T(c.name)})), c.path);
    // The directory stays until the next call replaces it.
    EXPECT_TRUE(Target(f).m_cwd == cwd);
    EXPECT_EQ(TextOf(Call(Sample("sample_path"), {T(u"/home/"), T(u"a")})), u"/home/a");
    // The joined path is what native code opens.
    struct stat st;
    ASSERT_EQ(stat(EFI_SAMPLE_MODULE, &st), 0);
    std::u16string relative = Vrn::Run::FromUtf8(EFI_SAMPLE_MODULE + 1);  // without its leading '/'
    EXPECT_EQ(Call(Sample("sample_file_size"), {T(u"/"), T(relative)}).as<Qlt::NumVal>()->Data.rp,
              static_cast<double>(st.st_size));
}

// A trapped fault leaves a call through the same clean-up as an error (Call
// checks the control word and the allocator's statics); underflow and
// inexact results are masked while native code runs.
TEST(Faults, ProcessorFaultsLeaveThroughTheCleanUp) {
    Vrn::Run::InstallFaultTranslation();
    const Object divide = Sample("sample_divide");
    EXPECT_THROW(Call(divide, {N(1), N(0)}), SE_FPEDivByZero_Exception);
    EXPECT_THROW(Call(divide, {N(1e300), N(1e-300)}), SE_FPEOverflow_Exception);
    EXPECT_THROW(Call(divide, {N(0), N(0)}), SE_FPEInvalidOperation_Exception);
    EXPECT_EQ(Call(divide, {N(1e-300), N(1e300)}).as<Qlt::NumVal>()->Data.rp, 0.0);
    EXPECT_EQ(Call(divide, {N(1), N(3)}).as<Qlt::NumVal>()->Data.rp, 1.0 / 3.0);
}

// Inside a call every trap is masked within a region and back after it,
// whichever way the region ends and in either unit.
TEST(Call, MaskedRegionsMaskInsideAndTrapAfter) {
    Vrn::Run::InstallFaultTranslation();
    const double inf = std::numeric_limits<double>::infinity();
    const char* const modes[] = {"one region", "after an inner region", "left by an exception", "x87"};
    for (int m = 0; m < 4; ++m) {
        SCOPED_TRACE(modes[m]);
        Object r = Call(Odd("t_masked"), {N(m), N(0), N(4)});
        EXPECT_EQ(r.as<Qlt::NumVal>()->Data.rp, inf);
        EXPECT_EQ(r.as<Qlt::NumVal>()->Data.ip, 0.25);
        EXPECT_THROW(Call(Odd("t_masked"), {N(m), N(0), N(0)}), SE_FPEDivByZero_Exception);
    }
}

// A file name reaches native code in the locale's encoding, as files are
// named here: "café.txt" opens the file a listing shows under that name,
// not the one named by the Latin-1 byte. The buffer is sized from the bytes.
TEST(Call, FileNamesCrossInTheLocaleEncoding) {
    const std::string savedLocale = std::setlocale(LC_ALL, nullptr);
    ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
    char dirName[] = "/tmp/efi_names_XXXXXX";
    ASSERT_NE(mkdtemp(dirName), nullptr);
    const std::string dir = dirName;
    for (auto [name, size] : {std::pair{"caf\xC3\xA9.txt", 5}, {"caf\xE9.txt", 9}, {"\xF0\x9F\x98\x80.txt", 3}})
        std::ofstream(dir + "/" + name) << std::string(static_cast<std::size_t>(size), 'x');
    const Object f = Sample("sample_file_size");
    const Object in = Vrn::Run::TextUtf8(dir + "/");
    EXPECT_EQ(Call(f, {in, T(u"caf\u00e9.txt")}).as<Qlt::NumVal>()->Data.rp, 5.0);
    EXPECT_EQ(Call(f, {in, T(u"\U0001F600.txt")}).as<Qlt::NumVal>()->Data.rp, 3.0);
    EXPECT_APP_ERROR(Call(f, {in, T(u"\xD800.txt")}), "invalid file name", 1);
    EXPECT_APP_ERROR(Call(f, {T(u"/\xDC00/"), T(u"x")}), "invalid file name", 0);
    struct Sized {
        const char16_t* name;
        std::size_t length;
        unsigned bytes;
    };
    for (Sized c : {Sized{u"/abcd\u00e9", 7, 8}, Sized{u"/abcde\u00e9", 8, 16}}) {
        efitest::FpEnvGuard guard;
        Efi::EfiCallContext context;
        Efi::User::Value v;
        const char* path = static_cast<const char*>(Target(f).MarshalArg(&v, 1, T(c.name)));
        ASSERT_NE(context.m_blocks, nullptr);
        EXPECT_EQ(context.m_blocks->size, c.bytes);
        EXPECT_EQ(std::strlen(path), c.length);
    }
    // The text rule is unchanged: low bytes.
    EXPECT_EQ(TextOf(Call(Odd("t_echo"), {T(u"\u0141")})), u"A");
    ASSERT_NE(std::setlocale(LC_ALL, "C"), nullptr);
    EXPECT_APP_ERROR(Call(f, {in, T(u"caf\u00e9.txt")}), "invalid file name", 1);
    std::setlocale(LC_ALL, savedLocale.c_str());
    std::filesystem::remove_all(dir);
}

// A matrix result of the shape its two arguments claim, each part one
// column pointer to a block of one element: a shape the host cannot hold
// is the native function's error, and what it handed over is freed all the
// same (the leak checker's build sees it).
std::uint32_t ClaimedShape(Efi::User::Value* r, const Efi::User::Value* rows, const Efi::User::Value* cols) {
    auto part = [] {
        auto** p = static_cast<double**>(std::malloc(sizeof(double*)));
        p[0] = static_cast<double*>(std::malloc(sizeof(double)));
        return p;
    };
    r->array.rows = static_cast<std::uint32_t>(rows->real);
    r->array.cols = static_cast<std::uint32_t>(cols->real);
    r->array.realCols = part();
    r->array.imagCols = part();
    return 0;
}

TEST(Failures, EveryRowWithItsMessageAndArgument) {
    auto nested = Vrn::Run::make<Qlt::MatVal>(2, 2, false);
    nested->SetNested(1, 0, N(3));
    const Object matrix = Vrn::Run::Matrix(1, 1, std::vector<double>{1});
    const Object claimed = Register(u"claimed", &ClaimedShape, 2, {1, 1});
    struct Case {
        const char* what;
        Object f;
        std::vector<Object> args;
        const char* message;
        std::uint32_t argument;
        bool setsControlWord = true;
    };
    const Case cases[] = {
        {"no arguments", Odd("t_none"), {N(1)}, "maximum 10 arguments", Efi::kNoArgument, false},
        {"eleven arguments", Odd("t_eleven"), {N(1)}, "maximum 10 arguments", Efi::kNoArgument, false},
        {"text for a number", Sample("sample_add"), {T(u"x"), N(1)}, "must be scalar", 1},
        {"null for a number", Sample("sample_add"), {N(1), nullptr}, "must be scalar", 2},
        {"number for a matrix", Sample("sample_scale"), {N(1), N(2)}, "must be matrix", 2},
        {"nested matrix", Sample("sample_scale"), {N(1), nested}, "may not be nested", 2},
        {"number for text", Sample("sample_upper"), {N(1)}, "must be string", 1},
        {"number for a file", Sample("sample_path"), {T(u"/d/"), N(1)}, "must be string", 1},
        {"no directory", Sample("sample_path"), {nullptr, T(u"rel")}, "must be string", 0},
        {"unknown argument code", Odd("t_bad_arg"), {N(1)}, "argument type not implemented", Efi::kNoArgument},
        {"table entry 3", Odd("t_code"), {N((2 << 16) | 3)}, "third failure", 2},
        {"table entry 1", Odd("t_code"), {N((1 << 16) | 1)}, "first failure", 1},
        {"index 0", Odd("t_code"), {N(2 << 16)}, "unknown error", 2},
        {"index past the table", Odd("t_code"), {N((2 << 16) | 4)}, "unknown error", 2},
        {"no table", Odd("t_code_untabled"), {N((1 << 16) | 1)}, "unknown error", 1},
        {"no argument to blame", Odd("t_code"), {N(3)}, "third failure", 0},
        {"return code 0", Odd("t_ret0"), {N(1)}, "return type not implemented", Efi::kNoArgument},
        {"return code 3", Odd("t_ret3"), {N(1)}, "return type not implemented", Efi::kNoArgument},
        {"second of three", Odd("t_three"), {N(1), N(2), N(3)}, "must be matrix", 2},
        {"native message", Sample("sample_sqrt"), {N(-1)}, "must be non-negative", 1},
        {"NaN tested before an ordered comparison", Sample("sample_sqrt"), {N(NAN)}, "must be a number", 1},
        {"NaN code", Sample("sample_throw"), {N(NAN)}, "unknown error", 1},
        {"native message 1", Sample("sample_file_size"), {T(u"/"), T(u"no/such/file")}, "file not found", 1},
        {"native message 2", Sample("sample_file_size"), {T(u"/"), T(u"/")}, "not a regular file", 1},
        {"native Throw", Sample("sample_throw"), {N(5)}, "must be positive", 1},
        {"more result rows than the host counts",
         claimed,
         {N(2147483648.0), N(1)},
         "invalid matrix size",
         Efi::kNoArgument},
        {"more result columns", claimed, {N(1), N(2147483648.0)}, "invalid matrix size", Efi::kNoArgument},
        {"both past the count", claimed, {N(4294967295.0), N(4294967295.0)}, "invalid matrix size", Efi::kNoArgument},
        {"2^41 result elements", claimed, {N(2097152), N(1048576)}, "invalid matrix size", Efi::kNoArgument},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_APP_ERROR(Call(c.f, c.args, c.setsControlWord), c.message, c.argument);
    }
}

// A fault in code without unwind entries (as assembly kernels and C built
// without them are), or where the tables leave the instruction uncovered,
// cannot be thrown out of it; it still ends the call as
// its error, with its memory released and the host's word back (Call checks
// both), and the calls after it run as before.
TEST(Failures, FaultsWhereUnwindingCannotReachEndTheCall) {
    Vrn::Run::InstallFaultTranslation();
    const auto& noUnwind = Module(EFI_NO_UNWIND_MODULE);
    const auto& uncovered = Module(EFI_UNCOVERED_MODULE);
    std::vector<double> elements(512, 1.0);  // above 1024 bytes: a pinned host array
    elements[1] = 0.0;
    struct Case {
        const char* what;
        const Object& f;
        std::vector<Object> args;
        std::uint32_t code;
    };
    const Case cases[] = {
        {"division by zero in the entry", noUnwind.at("c_div"), {N(1), N(0)}, 0xC000008E},
        {"overflow", noUnwind.at("c_div"), {N(1e300), N(1e-300)}, 0xC0000091},
        {"invalid operation", noUnwind.at("c_div"), {N(0), N(0)}, 0xC0000090},
        {"a frame further down, a matrix in call memory",
         noUnwind.at("c_ratio"),
         {Vrn::Run::Matrix(2, 256, elements)},
         0xC000008E},
        {"tables that do not cover the instruction", uncovered.at("u_inverse"), {N(0)}, 0xC000008E},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            Call(c.f, c.args);
            ADD_FAILURE() << "no fault";
        } catch (const SE_FPE_Exception& e) {
            EXPECT_EQ(e.GetCode(), c.code);
            EXPECT_NE(e.status(), 0u) << "the flags pending at the fault";
        }
        EXPECT_EQ(Call(noUnwind.at("c_div"), {N(6), N(3)}).as<Qlt::NumVal>()->Data.rp, 2.0);
    }
}

TEST(Failures, NativeCodeRunsOnlyWhenArgumentsMarshal) {
    unsigned before = OddCalls();
    EXPECT_APP_ERROR(Call(Odd("t_none"), {N(1)}, false), "maximum 10 arguments", Efi::kNoArgument);
    EXPECT_APP_ERROR(Call(Odd("t_three"), {N(1), N(2), N(3)}), "must be matrix", 2);
    EXPECT_EQ(OddCalls(), before);
    // A bad return code is found only after the function has run.
    EXPECT_APP_ERROR(Call(Odd("t_ret0"), {N(1)}), "return type not implemented", Efi::kNoArgument);
    EXPECT_EQ(OddCalls(), before + 1);
}

TEST(Nesting, NativeCodeCallsBackIntoAnotherRegisteredFunction) {
    IqlAllocator* outer = nullptr;
    IqlAllocator* during = nullptr;
    std::uint16_t wordAfterInner = 0;
    Efi::RegisterHostCallback(
        "sqrt_twice", Vrn::Run::Func(1, [&](std::span<const Object> a) {
            outer = IqlAllocator::m_current;
            Object once = Sample("sample_sqrt").as<Vrn::Run::Function>()->Call(a);
            wordAfterInner = efitest::X87ControlWord();
            during = IqlAllocator::m_current;
            return Sample("sample_sqrt").as<Vrn::Run::Function>()->Call(std::span<const Object>(&once, 1));
        }));
    Object r = Call(Sample("sample_apply"), {T(u"sqrt_twice"), N(81)});
    EXPECT_EQ(r.as<Qlt::NumVal>()->Data.rp, 3.0);
    EXPECT_NE(outer, nullptr) << "the callback runs inside the outer call's context";
    EXPECT_EQ(during, outer) << "the inner call restores the outer context";
    EXPECT_EQ(wordAfterInner, Efi::User::kHostControlWord);

    // An error in the inner call leaves through both calls, each cleaning up.
    EXPECT_APP_ERROR(Call(Sample("sample_apply"), {T(u"sqrt_twice"), N(-4)}), "must be non-negative", 1);
    EXPECT_APP_ERROR(Call(Sample("sample_apply"), {T(u"no_such"), N(1)}), "must be a function", 1);
    Efi::RegisterHostCallback("texty", Vrn::Run::Func(1, [](auto) { return T(u"x"); }));
    EXPECT_APP_ERROR(Call(Sample("sample_apply"), {T(u"texty"), N(1)}), "argument function error", 1);
    Efi::ClearHostCallbacks();
}

TEST(Nesting, CallsNestedTooDeeplyFailAndTheOuterCallsUnwind) {
    // t_nest n calls itself back through the host: n + 1 calls, one inside
    // the other. Call checks the statics and the word after each.
    Efi::RegisterHostCallback("t_nest", Odd("t_nest"));
    EXPECT_APP_ERROR(Call(Odd("t_nest"), {N(256)}), "calls nested too deeply", Efi::kNoArgument);
    // 256 calls deep is the limit; it holds again after a refused chain.
    EXPECT_EQ(Call(Odd("t_nest"), {N(255)}).as<Qlt::NumVal>()->Data.rp, 255.0);
    Efi::ClearHostCallbacks();
}

const Object& Described(const std::string& name) { return Module(EFI_DESCRIBED_MODULE).at(name); }

// A masked function runs with every exception masked and its result is
// judged afterwards: finite through an overflow it handled, an infinity or
// NaN that no argument explains raised as the fault it stands for, one an
// argument explains passed on. The same code unmasked traps. Call checks
// the host's word after each, as for any call.
TEST(MaskedFunctions, ResultsAreJudgedAsATrapWouldHave) {
    Vrn::Run::InstallFaultTranslation();
    Efi::RegisterHostCallback("sample_sqrt", Sample("sample_sqrt"));
    const double inf = std::numeric_limits<double>::infinity(), nan = std::nan("");
    enum Outcome { kValue, kOverflow, kInvalid };
    struct Case {
        const char* name;
        std::vector<Object> args;
        Outcome outcome;
        double value;
    } const cases[] = {
        {"d_guarded", {N(10)}, kValue, 10.0},                                        // overflowed on the way, finite
        {"d_guarded", {N(0.5)}, kValue, 0.5},                                        // no overflow at all
        {"d_guarded_trapping", {N(10)}, kOverflow, 0},                               // the same code trapped
        {"d_scale", {N(1e200), N(1e200)}, kOverflow, 0},                             // a true overflow
        {"d_scale", {N(inf), N(2)}, kValue, inf},                                    // an infinity in, out
        {"d_scale", {N(2, 1e300), N(1e10)}, kOverflow, 0},                           // the imaginary part counts
        {"d_sqrt", {N(-1)}, kInvalid, 0},                                            // NaN from nothing
        {"d_sqrt", {N(nan)}, kValue, nan},                                           // NaN in, NaN out
        {"d_log_m", {Matrix(2, 2, 1, false)}, kValue, 0.0},                          // log(1) first
        {"d_log_m", {Vrn::Run::Matrix(1, 2, std::vector{1.0, 0.0})}, kOverflow, 0},  // log(0)
        {"d_log_m", {Vrn::Run::Matrix(1, 2, std::vector{-1.0, 1.0})}, kInvalid, 0},  // log(-1)
        {"d_log_m", {Vrn::Run::Matrix(1, 2, std::vector{inf, 0.0})}, kValue, inf},   // explained
        {"d_callback_guarded", {T(u"sample_sqrt"), N(100)}, kValue, 10.0},           // masked after a callback
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name + std::string(" #") + std::to_string(&c - cases));
        switch (c.outcome) {
            case kOverflow: EXPECT_THROW(Call(Described(c.name), c.args), SE_FPEOverflow_Exception); break;
            case kInvalid: EXPECT_THROW(Call(Described(c.name), c.args), SE_FPEInvalidOperation_Exception); break;
            case kValue: {
                const Object r = Call(Described(c.name), c.args);
                const double got = r.as<Qlt::NumVal>() ? r.as<Qlt::NumVal>()->Data.rp : r.as<Qlt::MatVal>()->m_rarr[0];
                if (std::isnan(c.value)) EXPECT_TRUE(std::isnan(got));
                else EXPECT_EQ(got, c.value);
            }
        }
    }
    Efi::ClearHostCallbacks();
}

// A matrix result made with efi_matrix_result is the function's result when
// it returns 0 and is freed with the call when it fails, by a raise or a
// code (the sanitizer build finds a leak or a double free).
TEST(MatrixResults, AreHandedOverOnlyWhenTheCallSucceeds) {
    const Object grid = Described("d_grid");
    const Object r = Call(grid, {N(3)});
    const auto* m = r.as<Qlt::MatVal>();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->m_rarr[5], 4.0);  // row 2 of column 1
    EXPECT_EQ(m->m_iarr[3], -1.0);
    EXPECT_EQ(Call(grid, {N(0)}).as<Qlt::MatVal>()->m_rarr.size(), 0u);
    EXPECT_APP_ERROR(Call(grid, {N(101)}), "too many rows", 1u);
    EXPECT_APP_ERROR(Call(grid, {N(51)}), "must be at most 50", 1u);
    EXPECT_EQ(Call(grid, {N(2)}).as<Qlt::MatVal>()->m_rarr[3], 2.0);
}

// A matrix result made twice in one call (mode 0), then replaced by the
// function's own malloc'ed 1 x 1 (mode 1), or made and then refused by an
// error code (mode 2).
std::uint32_t RemadeResult(Efi::User::Value* r, const Efi::User::Value* mode) {
    efi_value* out = reinterpret_cast<efi_value*>(r);
    efi_matrix_result(out, 2, 2, 1)->imagCols[1][1] = 5.0;
    efi_matrix_result(out, 1, 3, 0)->realCols[2][0] = 7.0;
    if (mode->real == 1) {
        auto** cols = static_cast<double**>(std::malloc(sizeof(double*)));
        cols[0] = static_cast<double*>(std::malloc(sizeof(double)));
        cols[0][0] = 9.0;
        r->array.rows = r->array.cols = 1;
        r->array.realCols = cols;
    }
    return mode->real == 2 ? efi_error_code(1, 1) : 0;
}

// The result is what the record holds when the function returns; a result
// made before it, or replaced, is freed, and so is one of a call that fails
// (the sanitizer build finds a leak or a double free).
TEST(MatrixResults, ASecondOrReplacedResultFreesTheFirst) {
    const Object f = Register(u"remade", &RemadeResult, 2, {1}, std::vector<std::u16string>{u"refused"});
    const Object made = Call(f, {N(0)});
    const auto* m = made.as<Qlt::MatVal>();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Rows(), 1);
    EXPECT_EQ(m->Cols(), 3);
    EXPECT_FALSE(m->HasImag());
    EXPECT_EQ(m->re(0, 2), 7.0);
    const Object own = Call(f, {N(1)});
    ASSERT_TRUE(own.as<Qlt::MatVal>());
    EXPECT_EQ(own.as<Qlt::MatVal>()->Rows(), 1);
    EXPECT_EQ(own.as<Qlt::MatVal>()->Cols(), 1);
    EXPECT_EQ(own.as<Qlt::MatVal>()->re(0, 0), 9.0);
    EXPECT_APP_ERROR(Call(f, {N(2)}), "refused", 1u);
}

// What a module lets out becomes a worksheet error when it is a standard
// exception of its own; anything else, and whatever the host's callbacks
// throw through it, leave as they are.
TEST(ModuleExceptions, BecomeWorksheetErrorsButHostExceptionsPassThrough) {
    try {
        Call(Odd("t_throw"), {N(0)});
        ADD_FAILURE() << "t_throw returned";
    } catch (const Efi::User::ModuleException& e) {
        EXPECT_EQ(e.Message(), u"boom");
        EXPECT_EQ(e.Argument(), Efi::kNoArgument);
        EXPECT_EQ(e.TypeName(), "std::runtime_error");
    }
    EXPECT_THROW(Call(Odd("t_throw"), {N(1)}), int);
    Efi::RegisterHostCallback("h_refuses", Vrn::Run::Func(1, [](std::span<const Object>) -> Object {
                                  throw std::invalid_argument("host says no");
                              }));
    EXPECT_THROW(Call(Sample("sample_apply"), {T(u"h_refuses"), N(1)}), std::invalid_argument);
    Efi::ClearHostCallbacks();
}

}  // namespace
