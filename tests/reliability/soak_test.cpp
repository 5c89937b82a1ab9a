// A long run of bridge calls through the sample module and native functions
// of this test: every argument and return code, small and large matrices, a
// failing call for every row of the bridge's failure table, processor faults
// trapped and masked, calls nested through host callbacks, and remote
// resources fetched and sent from inside calls against a loopback server.
// Every call must end with the host's control word in force and the
// allocator's statics as they were; afterwards nothing may be left over:
// resident memory is flat within noise, the statics are back at their
// start-up values and no temporary file remains.
#include <dirent.h>
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <efi/call.h>
#include <efi/errors.h>
#include <efi/host/callbacks.h>
#include <efi/redirector.h>
#include <efi/se_exception.h>
#include <vrnrun/faults.h>

#include "bridge_calls.h"
#include "loopback_server.h"

namespace {

using namespace efitest;
using namespace Efi::User;

#if defined(__SANITIZE_ADDRESS__)
constexpr long kScale = 10;  // every call is many times slower under the sanitizer
}  // namespace
// Freed blocks would wait in the sanitizer's quarantine before reuse, which
// grows resident memory for the quarantine's sake; without it, growth is ours.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
    return "quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
}
namespace {
#else
constexpr long kScale = 1;
#endif
constexpr long kCalls = 1000000 / kScale;
// Resident memory allowed to grow after the warm-up, the figure the README
// states. Four release runs shrank by 136 KiB each (ASan: 0); one leaked
// block per call would add tens of MiB, and one 1-byte block per round of
// the mix made it +332 KiB.
constexpr long kGrowthKiB = 64;

// The base URL the remote-resource functions resolve against.
std::string g_base;

extern "C" std::uint32_t soak_ten(Value* result, const Value* a1, const Value* a2, const Value* a3, const Value* a4,
                                  const Value* a5, const Value* a6, const Value* a7, const Value* a8, const Value* a9,
                                  const Value* a10) {
    const Value* args[] = {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10};
    result->real = result->imag = 0.0;
    for (const Value* a : args) result->real += a->real, result->imag += a->imag;
    return 0;
}

// Reads the remote file named by the text argument into a temporary file
// and answers its size: the transfer runs under the call's control word.
extern "C" std::uint32_t soak_fetch(Value* result, const Value* name) {
    CHTTPRedirector remote(name->text, g_base.c_str(), CHTTPRedirector::eRead);
    std::ifstream in(remote.GetFullFileName(), std::ios::binary | std::ios::ate);
    result->real = static_cast<double>(in.tellg());
    return 0;
}

// Writes the text argument to the remote file "sent.dat" through a
// temporary file that is sent when the redirector goes.
extern "C" std::uint32_t soak_send(Value* result, const Value* content) {
    {
        CHTTPRedirector remote("sent.dat", g_base.c_str(), CHTTPRedirector::eWrite);
        std::ofstream(remote.GetFullFileName(), std::ios::binary) << content->text;
    }
    result->real = static_cast<double>(std::strlen(content->text));
    return 0;
}

int TempFilesLeft(const std::string& dir) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        if (e.path().filename().string().rfind("QL", 0) == 0) ++n;
    return n;
}

// One step of the mix: a call (or a nested pair) and what it must give.
struct Step {
    const char* what;
    int calls;                  // bridge calls it makes, nested ones counted
    std::function<void()> run;  // checks its own outcome
};

class Soak : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Vrn::Run::InstallFaultTranslation();
        s_tmp = new redirect_test::ScratchDir();
        s_served = new redirect_test::ScratchDir();
        s_server = new redirect_test::LoopbackServer(EFI_REDIRECT_SERVER_SCRIPT, s_served->path());
        ::setenv("TMPDIR", s_tmp->path().c_str(), 1);
        g_base = s_server->Url("/dir/");
        std::filesystem::create_directories(s_served->path() / "dir");
        redirect_test::WriteFile(s_served->path() / "dir" / "a.dat", redirect_test::Pattern(3000));
    }
    static void TearDownTestSuite() {
        delete s_server;
        delete s_served;
        ::unsetenv("TMPDIR");
        delete s_tmp;
    }
    static inline redirect_test::ScratchDir* s_tmp = nullptr;
    static inline redirect_test::ScratchDir* s_served = nullptr;
    static inline redirect_test::LoopbackServer* s_server = nullptr;
};

template <class E>
void ExpectThrows(const std::function<void()>& f, const std::function<void(const E&)>& check = nullptr) {
    bool thrown = false;
    try {
        f();
    } catch (const E& e) {
        thrown = true;
        if (check) check(e);
    }
    if (!thrown) ADD_FAILURE() << "expected " << typeid(E).name();
}

// A processor fault of class E, with the text the worksheet user is shown.
template <class E>
void ExpectFault(const std::function<void()>& f, const char* text) {
    ExpectThrows<E>(f, [text](const E& e) { EXPECT_STREQ(SE_Exception::ExceptionStringFromCode(e.GetCode()), text); });
}

std::vector<Step> TheMix(const std::string& cwd) {
    const Object add = Sample("sample_add"), scale = Sample("sample_scale"), sum = Sample("sample_sum"),
                 upper = Sample("sample_upper"), length = Sample("sample_length"), path = Sample("sample_path"),
                 size = Sample("sample_file_size"), sqrt = Sample("sample_sqrt"), thrower = Sample("sample_throw"),
                 divide = Sample("sample_divide"), apply = Sample("sample_apply"), nothing = Sample("sample_nothing");
    const std::intptr_t addEntry = Target(add).m_fptr, sqrtEntry = Target(sqrt).m_fptr;
    const Object noArgs = Function::Thunk(u"no_args", addEntry, kRetScalar, {}, std::nullopt);
    const Object badArg = Function::Thunk(u"bad_arg", addEntry, kRetScalar, {kArgScalar, 5}, std::nullopt);
    const Object noTable = Function::Thunk(u"no_table", sqrtEntry, kRetScalar, {kArgScalar}, std::nullopt);
    const Object noRet = Function::Thunk(u"no_ret", addEntry, 0, {kArgScalar, kArgScalar}, std::nullopt);
    const Object ten = Register(u"soak_ten", &soak_ten, kRetScalar, std::vector<std::int32_t>(10, kArgScalar));
    const Object fetch = Register(u"soak_fetch", &soak_fetch, kRetScalar, {kArgText});
    const Object send = Register(u"soak_send", &soak_send, kRetScalar, {kArgText});
    // A host callback that makes a bridge call of its own: the nested call.
    Efi::RegisterHostCallback("soak_inner", Vrn::Run::Func(1, [add](std::span<const Object> a) {
                                  return Call(add, {a[0], N(1)});
                              }));
    Efi::RegisterHostCallback("soak_inner_fails",
                              Vrn::Run::Func(1, [sqrt](std::span<const Object> a) { return Call(sqrt, {a[0]}); }));
    const Object small = Matrix(3, 3, 1.0, true), pinned = Matrix(20, 20, 0.0, false),
                 large = Matrix(100, 100, 0.0, true);
    Object nested = Matrix(2, 2, 0.0, false);
    nested.as<Qlt::MatVal>()->SetNested(1, 1, N(5));
    const Object dir = T(std::u16string(cwd.begin(), cwd.end()));
    const auto real = [](const Object& v) { return v.as<Qlt::NumVal>()->Data.rp; };
    const auto text = [](const Object& v) { return v.as<Vrn::Run::String>()->str(); };

    return {
        // Every argument and return code.
        {"scalars", 1,
         [=] {
             EXPECT_EQ(real(Call(add, {N(1, 2), N(3)})), 4.0);
         }},
        {"scalar and matrix to matrix", 1,
         [=] {
             const Object r = Call(scale, {N(2), small});
             ASSERT_TRUE(r.is<Qlt::MatVal>());
             EXPECT_EQ(r.as<Qlt::MatVal>()->re(2, 2), 18.0);
         }},
        {"pinned-size matrix", 1, [=] { EXPECT_EQ(real(Call(sum, {pinned})), 399.0 * 400 / 2); }},
        {"large complex matrix", 1,
         [=] {
             const Object r = Call(scale, {N(0, 1), large});  // i * (k - ki) = k + ki
             ASSERT_TRUE(r.is<Qlt::MatVal>());
             EXPECT_EQ(r.as<Qlt::MatVal>()->im(99, 99), 9999.0);
         }},
        {"text to text", 1, [=] { EXPECT_EQ(text(Call(upper, {T(u"soak")})), u"SOAK"); }},
        {"text to number", 1, [=] { EXPECT_EQ(real(Call(length, {T(u"abc")})), 3.0); }},
        {"file name in", 1,
         [=] {
             EXPECT_EQ(text(Call(path, {dir, T(u"f.dat")})), text(dir) + u"f.dat");
         }},
        {"file name out", 1,
         [=] {
             EXPECT_EQ(real(Call(size, {dir, T(u"present.dat")})), 5.0);
         }},
        {"null text result", 1, [=] { EXPECT_EQ(text(Call(nothing, {N(0)})), u""); }},
        {"ten arguments", 1,
         [=] {
             std::vector<Object> args;
             for (int k = 1; k <= 10; ++k) args.push_back(N(k));
             EXPECT_EQ(real(Call(ten, args)), 55.0);
         }},
        // Every row of the failure table.
        {"no arguments", 1, [=] { EXPECT_APP_ERROR(Call(noArgs, {N(1)}), "maximum 10 arguments", Efi::kNoArgument); }},
        {"not scalar", 1,
         [=] {
             EXPECT_APP_ERROR(Call(add, {N(1), T(u"x")}), "must be scalar", 2);
         }},
        {"not matrix", 1, [=] { EXPECT_APP_ERROR(Call(sum, {N(1)}), "must be matrix", 1); }},
        {"not matrix, second", 1,
         [=] {
             EXPECT_APP_ERROR(Call(scale, {N(1), N(1)}), "must be matrix", 2);
         }},
        {"nested matrix", 1, [=] { EXPECT_APP_ERROR(Call(sum, {nested}), "may not be nested", 1); }},
        {"not text", 1, [=] { EXPECT_APP_ERROR(Call(upper, {N(1)}), "must be string", 1); }},
        {"no directory", 1,
         [=] {
             EXPECT_APP_ERROR(Call(path, {N(0), T(u"f.dat")}), "must be string", 0);
         }},
        {"unknown argument code", 1,
         [=] {
             EXPECT_APP_ERROR(Call(badArg, {N(1), N(2)}), "argument type not implemented", Efi::kNoArgument);
         }},
        {"registered message", 1, [=] { EXPECT_APP_ERROR(Call(sqrt, {N(-1)}), "must be non-negative", 1); }},
        {"unknown error", 1, [=] { EXPECT_APP_ERROR(Call(noTable, {N(-1)}), "unknown error", 1); }},
        {"unknown return code", 1,
         [=] {
             EXPECT_APP_ERROR(Call(noRet, {N(1), N(2)}), "return type not implemented", Efi::kNoArgument);
         }},
        {"raised from native code", 1, [=] { EXPECT_APP_ERROR(Call(thrower, {N(3)}), "must be a complex", 1); }},
        // Processor faults under the call's control word: three trap, two
        // are masked while native code runs.
        {"division by zero", 1,
         [=] {
             ExpectFault<SE_FPEDivByZero_Exception>([&] { Call(divide, {N(1), N(0)}); }, "singularity");
         }},
        {"overflow", 1,
         [=] {
             ExpectFault<SE_FPEOverflow_Exception>([&] { Call(divide, {N(1e300), N(1e-300)}); }, "overflow");
         }},
        {"invalid operation", 1,
         [=] {
             ExpectFault<SE_FPEInvalidOperation_Exception>([&] { Call(divide, {N(0), N(0)}); }, "floating point error");
         }},
        {"underflow, masked", 1,
         [=] {
             EXPECT_EQ(real(Call(divide, {N(1e-300), N(1e300)})), 0.0);
         }},
        {"inexact, masked", 1,
         [=] {
             EXPECT_EQ(real(Call(divide, {N(1), N(3)})), 1.0 / 3.0);
         }},
        // A matrix function that traps after taking its result's room: what
        // it took is its own to give back (0 * inf at the first element).
        {"matrix result, trapped", 1,
         [=] {
             ExpectFault<SE_FPEInvalidOperation_Exception>(
                 [&] {
                     Call(scale, {N(0, INFINITY), pinned});
                 },
                 "floating point error");
         }},
        // Calls nested through a host callback, succeeding and failing inside.
        {"nested call", 2,
         [=] {
             EXPECT_EQ(real(Call(apply, {T(u"soak_inner"), N(41)})), 42.0);
         }},
        {"nested failure", 2,
         [=] {
             EXPECT_APP_ERROR(Call(apply, {T(u"soak_inner_fails"), N(-4)}), "must be non-negative", 1);
         }},
        // Remote resources from inside calls (kept rare: each is a request).
        {"fetch", 1, [=] { EXPECT_EQ(real(Call(fetch, {T(u"a.dat")})), 3000.0); }},
        {"send", 1, [=] { EXPECT_EQ(real(Call(send, {T(u"sent by a native function")})), 25.0); }},
        {"fetch missing", 1, [=] { ExpectThrows<_com_error>([&] { Call(fetch, {T(u"missing.dat")}); }); }},
    };
}

bool IsRemote(const Step& s) { return std::strncmp(s.what, "fetch", 5) == 0 || std::strcmp(s.what, "send") == 0; }

TEST_F(Soak, AMillionCallsOfEveryKindLeaveNothingBehind) {
    const std::string cwd = s_tmp->path().string() + "/";
    redirect_test::WriteFile(s_tmp->path() / "present.dat", "12345");
    const std::vector<Step> mix = TheMix(cwd);
    int perRound = 0, remoteSteps = 0;
    for (const Step& s : mix) (IsRemote(s) ? remoteSteps : perRound) += s.calls;
    const long rounds = kCalls / perRound;
    // Remote steps every so often: a bounded number of requests in all.
    const long remoteEvery = rounds / 40 > 0 ? rounds / 40 : 1;

    // The worksheet host computes under the words a call leaves in force,
    // so the soak's calls start from them too.
    FpEnvGuard guard;
    (void)Sample("sample_add").as<Vrn::Run::Function>()->Call(std::vector<Object>{N(0), N(0)});
    long calls = 0, warmKiB = 0;
    for (long round = 0; round < rounds && !HasFailure(); ++round) {
        if (round == rounds / 10) warmKiB = ResidentKiB();
        const bool remote = round % remoteEvery == 0;
        for (const Step& s : mix) {
            if (IsRemote(s) && !remote) continue;
            SCOPED_TRACE(s.what);
            s.run();
            calls += s.calls;
        }
    }
    const long grownKiB = ResidentKiB() - warmKiB;

    EXPECT_GE(calls, kCalls - perRound);
    EXPECT_EQ(IqlAllocator::m_current, nullptr);
    EXPECT_EQ(IqlAllocator::m_NextHandle, -1);
    EXPECT_EQ(IqlAllocator::m_init_handle, -1);
    EXPECT_EQ(TempFilesLeft(s_tmp->path().string()), 0);
    EXPECT_LT(grownKiB, kGrowthKiB) << "resident memory grew by " << grownKiB << " KiB over " << calls << " calls";
    EXPECT_EQ(redirect_test::ReadFile(s_served->path() / "dir" / "sent.dat"), "sent by a native function");
    RecordProperty("calls", static_cast<int>(calls));
    std::printf("soak: %ld bridge calls, resident memory %+ld KiB after warm-up\n", calls, grownKiB);
}

}  // namespace
