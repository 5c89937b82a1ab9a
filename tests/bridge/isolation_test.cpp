// Isolated modules: a call made in the module's worker process gives what
// the same call gives in process, bit for bit, and a worker that ends
// during a call is that call's error, with nothing of it left behind.
#include <gmock/gmock.h>

#include <efi/errors.h>
#include <efi/host/callbacks.h>
#include <efi/host/module_loader.h>
#include <efi/host/session.h>
#include <efi/se_exception.h>
#include <vrnrun/faults.h>

#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <atomic>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "open_files.h"

namespace {

using Vrn::Run::Object;

std::string Bits(double x) {
    char s[32];
    std::snprintf(s, sizeof s, "%016" PRIx64, std::bit_cast<std::uint64_t>(x));
    return s;
}

// A result written out by its bits, so that two results compare exactly.
std::string Describe(const Object& v) {
    if (!v) return "null";
    if (const auto* n = v.as<Qlt::NumVal>()) return "number " + Bits(n->Data.rp) + " " + Bits(n->Data.ip);
    if (const auto* m = v.as<Qlt::MatVal>()) {
        std::string s = "matrix " + std::to_string(m->Rows()) + "x" + std::to_string(m->Cols());
        for (int c = 0; c < m->Cols(); ++c)
            for (int r = 0; r < m->Rows(); ++r)
                s += " " + Bits(m->re(r, c)) + (m->HasImag() ? "," + Bits(m->im(r, c)) : "");
        return s;
    }
    if (const auto* t = v.as<Vrn::Run::String>()) return "text " + Vrn::Run::ToUtf8(t->str());
    return "other";
}

// What one call gave: its result, or its error with everything a host
// reads of it (the kind of fault included).
std::string Outcome(const Efi::LoadedFunction& f, const std::vector<Object>& args) {
    try {
        return Describe(f.function.as<Vrn::Run::Function>()->Call(args));
    } catch (const Efi::User::ModuleException& e) {
        return "module exception " + e.TypeName() + ": " + e.what();
    } catch (const Vrn::Run::AppException& e) {
        return "error " + std::string(e.what()) + " @" + std::to_string(e.Argument());
    } catch (const SE_FPEDivByZero_Exception& e) {
        return "division by zero " + std::to_string(e.GetCode());
    } catch (const SE_FPEInvalidOperation_Exception& e) {
        return "invalid operation " + std::to_string(e.GetCode());
    } catch (const SE_Exception& e) {
        return "fault " + std::to_string(e.GetCode());
    } catch (const std::exception& e) {
        return std::string("exception ") + e.what();
    } catch (...) {
        return "something else";
    }
}

// An exception a host callback throws that is none of the bridge's: it
// reaches the host's caller as the very object thrown, as in process.
struct HostOwn {
    int id;
};

Object Num(double re, double im = 0) { return Vrn::Run::Number(re, im); }
Object Txt(const char* s) { return Vrn::Run::TextUtf8(s); }

struct Case {
    const char* function;
    std::function<std::vector<Object>()> args;  // made afresh for each road
};

// Every road a value or an error takes through a call.
const double m22[] = {1, 3, 2, 4}, im22[] = {-1, 0.5, 2, -0.0};

std::vector<Case> Cases() {
    std::vector<double> big(300 * 300);  // 720 KB a plane: more than a packet holds
    for (std::size_t k = 0; k < big.size(); ++k) big[k] = 1.0 / static_cast<double>(k + 1);
    return {
        {"sample_add",
         [] {
             return std::vector{Num(1, 2), Num(3, -4)};
         }},
        {"sample_add",
         [] {
             return std::vector{Num(0.1), Num(-0.0, 1e-310)};
         }},
        {"sample_scale",
         [] {
             return std::vector{Num(2), Vrn::Run::Matrix(2, 2, m22)};
         }},
        {"sample_scale",
         [] {
             return std::vector{Num(3), Vrn::Run::Matrix(2, 2, m22, im22)};
         }},
        {"sample_scale",
         [big] {
             return std::vector{Num(1.5), Vrn::Run::Matrix(300, 300, big, big)};
         }},
        {"sample_sum", [] { return std::vector{Vrn::Run::Matrix(2, 2, m22)}; }},
        // Empty matrices, real and complex: a shape and no elements.
        {"sample_scale",
         [] {
             return std::vector{Num(2), Vrn::Run::Matrix(0, 3, std::span<const double>())};
         }},
        {"sample_scale",
         [] {
             const double none[1] = {};
             return std::vector{Num(2, 1), Vrn::Run::Matrix(2, 0, std::span(none, 0), std::span(none, 0))};
         }},
        {"sample_sum",
         [] {  // a nested element: refused as in process
             Object m = Vrn::Run::Matrix(2, 2, m22);
             m.as<Qlt::MatVal>()->SetNested(1, 0, Txt("x"));
             return std::vector{m};
         }},
        {"sample_upper", [] { return std::vector{Txt("hello, caf\u00e9")}; }},
        {"sample_path",
         [] {
             return std::vector{Efi::DirectoryText(u"/data"), Txt("file.txt")};
         }},
        {"sample_path",
         [] {
             return std::vector{Efi::DirectoryText(u"/data"), Txt("/abs/f")};
         }},
        {"sample_sqrt", [] { return std::vector{Num(-1)}; }},
        {"sample_divide",
         [] {
             return std::vector{Num(1), Num(0)};
         }},
        {"sample_add",
         [] {
             return std::vector{Vrn::Run::Matrix(1, 1, std::vector{1.0}), Num(1)};
         }},
        {"sample_add",
         [] {
             return std::vector{Vrn::Run::Func(1, nullptr), Object()};
         }},
        {"sample_add",
         [] {
             return std::vector{Num(1), Num(2), Num(3)};
         }},
        {"sample_apply",
         [] {
             return std::vector{Txt("sample_sqrt"), Num(16)};
         }},
        {"sample_apply",
         [] {
             return std::vector{Txt("back"), Num(81)};
         }},  // nests through the host
        {"sample_apply",
         [] {
             return std::vector{Txt("refuses"), Num(1)};
         }},  // the host's error passes
        {"sample_apply",
         [] {
             return std::vector{Txt("missing"), Num(1)};
         }},
        {"t_masked",
         [] {
             return std::vector{Num(0), Num(0), Num(4)};
         }},
        {"t_masked",
         [] {
             return std::vector{Num(0), Num(4), Num(0)};
         }},
        {"t_word", [] { return std::vector{Num(0)}; }},
        {"t_code", [] { return std::vector{Num(0x20002)}; }},
        {"t_throw", [] { return std::vector{Num(0)}; }},
        {"t_throw", [] { return std::vector{Num(1)}; }},
        {"t_utf8", [] { return std::vector{Num(0)}; }},
        {"t_hidden2",
         [] {
             return std::vector{Efi::DirectoryText(u"/d"), Vrn::Run::Matrix(2, 2, m22), Txt("f")};
         }},
        // Masked functions: the worker's bridge runs them under the masked
        // word and judges their results.
        {"d_guarded", [] { return std::vector{Num(10)}; }},
        {"d_guarded_trapping", [] { return std::vector{Num(10)}; }},
        {"d_scale",
         [] {
             return std::vector{Num(1e200), Num(1e200)};
         }},
        {"d_sqrt", [] { return std::vector{Num(-1)}; }},
        {"d_log_m",
         [] {
             return std::vector{Vrn::Run::Matrix(1, 2, std::vector{1.0, 0.0})};
         }},
        {"d_ibeta",
         [] {
             return std::vector{Num(-1), Num(0), Num(0)};
         }},
    };
}

// The host functions the cases call back: "back" calls the module again
// while its call runs, "refuses" fails with an error of its own.
void RegisterHostFunctions(Efi::HostSession& s) {
    const Efi::LoadedFunction* apply = s.Find("sample_apply");
    s.RegisterCallback("back", Vrn::Run::Func(1, [apply](std::span<const Object> a) {
                           const Object args[] = {Txt("sample_sqrt"), a[0]};
                           return apply->function.as<Vrn::Run::Function>()->Call(args);
                       }));
    s.RegisterCallback("refuses", Vrn::Run::Func(1, [](std::span<const Object>) -> Object {
                           Vrn::Run::AppException::Raise(u"host says no", 7);
                       }));
    s.RegisterCallback("own", Vrn::Run::Func(1, [](std::span<const Object>) -> Object { throw HostOwn{7}; }));
}

std::vector<std::string> RunCases(const Efi::LoadOptions& options) {
    Efi::HostSession s;
    s.LoadModule(EFI_SAMPLE_MODULE, options);
    s.LoadModule(EFI_TEST_MODULE, options);
    s.LoadModule(EFI_DESCRIBED_MODULE, options);
    RegisterHostFunctions(s);
    std::vector<std::string> out;
    for (const Case& c : Cases())
        out.push_back(std::string(c.function) + ": " + Outcome(*s.Find(c.function), c.args()));
    // What a host callback threw, unchanged.
    const Object own[] = {Txt("own"), Num(1)};
    try {
        s.Find("sample_apply")->function.as<Vrn::Run::Function>()->Call(own);
        out.push_back("own: no error");
    } catch (const HostOwn& e) {
        out.push_back("own: HostOwn " + std::to_string(e.id));
    }
    Efi::ClearHostCallbacks();
    return out;
}

TEST(IsolatedModule, CallsAgreeWithCallsInProcess) {
    Vrn::Run::InstallFaultTranslation();
    const std::vector<std::string> inProcess = RunCases({});
    const std::vector<std::string> isolated = RunCases({.isolated = true});
    EXPECT_EQ(isolated, inProcess);
    Efi::EndModuleWorkers();
}

// The worker sends what its module's table says of each function, so an
// isolated module lists, and describes itself, as in process.
TEST(IsolatedModule, DescriptionsAgreeWithThoseInProcess) {
    Efi::HostSession inProcess, isolated;
    const std::vector<Efi::LoadedFunction>& a = inProcess.LoadModule(EFI_DESCRIBED_MODULE);
    const std::vector<Efi::LoadedFunction>& b = isolated.LoadModule(EFI_DESCRIBED_MODULE, {.isolated = true});
    ASSERT_EQ(b.size(), a.size());
    for (std::size_t k = 0; k < a.size(); ++k) {
        EXPECT_EQ(b[k].Signature(), a[k].Signature());
        EXPECT_EQ(b[k].description, a[k].description) << a[k].name;
    }
    const Efi::FunctionDescription& ibeta = inProcess.Find("d_ibeta")->description;
    EXPECT_EQ(ibeta.paramHelp, (std::vector<std::string>{"first shape, positive", "second shape", "where, in [0, 1]"}));
    EXPECT_EQ(ibeta.help, "Returns a + b x.\nThe second line of help.");
    EXPECT_EQ(ibeta.messages, std::vector<std::string>{"must be positive"});
    EXPECT_TRUE(inProcess.Find("d_scale")->description.masked);
    Efi::EndModuleWorkers();
    Efi::ClearHostCallbacks();
}

bool Gone(pid_t pid) { return ::kill(pid, 0) == -1 && errno == ESRCH; }

Object Call(const Efi::HostSession& s, const char* name, double x) {
    const Object args[] = {Num(x)};
    return s.Find(name)->function.as<Vrn::Run::Function>()->Call(args);
}

// t_pid: the worker's process id, and how many calls of t_pid it served.
std::pair<pid_t, double> Worker(const Efi::HostSession& s) {
    const Object result = Call(s, "t_pid", 0);
    const auto* n = result.as<Qlt::NumVal>();
    return {static_cast<pid_t>(n->Data.rp), n->Data.ip};
}

// The address sanitizer (in its build) reports these signals, and leaks at
// exit, and then exits with a status of its own: the workers this process
// starts are to end as a module's crash ends them.
void LetWorkersEndBySignals() {
    const char* set = std::getenv("ASAN_OPTIONS");
    const std::string options =
        std::string(set ? set : "") + ":handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_abort=0:detect_leaks=0";
    ::setenv("ASAN_OPTIONS", options.c_str(), 1);
}

// A crash of every kind is the call's error; the worker is reaped, and the
// next call runs in a new one that loaded the module again.
TEST(IsolatedModule, AWorkerThatEndsIsTheCallsErrorAndTheNextCallRuns) {
    LetWorkersEndBySignals();
    const std::size_t files = efi_test::OpenFiles();
    {
        Efi::HostSession s;
        s.LoadModule(EFI_TEST_MODULE, {.isolated = true, .timeout = 0.25});
        struct Crash {
            double how;
            const char* error;
            bool timedOut;
        } const crashes[] = {
            {0, "t_crash: the module's process ended (signal 11, segmentation fault)", false},
            {1, "t_crash: the module's process ended (signal 6, aborted)", false},
            {2, "t_crash: the module's process ended (exit status 3)", false},
            {4, "t_crash: the module's process ended (signal 4, illegal instruction)", false},
            {5, "t_crash: the module's process ended (signal 7, bus error)", false},
            {3, "t_crash: timed out after 0.25 s", true},
        };
        for (const Crash& c : crashes) {
            const auto [pid, before] = Worker(s);
            try {
                Call(s, "t_crash", c.how);
                ADD_FAILURE() << "t_crash " << c.how << " returned";
            } catch (const Efi::ModuleProcessEnded& e) {
                EXPECT_STREQ(e.what(), c.error);
                EXPECT_EQ(e.Argument(), 0xFFFFFFFFu);
                EXPECT_EQ(e.TimedOut(), c.timedOut) << c.error;
            }
            EXPECT_TRUE(Gone(pid)) << c.error;  // ended and reaped: not even a zombie
            const auto [next, served] = Worker(s);
            EXPECT_NE(next, pid) << c.error;
            EXPECT_EQ(served, 0) << c.error;  // the module's state is the new worker's
        }
        const pid_t last = Worker(s).first;
        Efi::EndModuleWorkers();
        EXPECT_TRUE(Gone(last));
        Efi::ClearHostCallbacks();
    }
    EXPECT_EQ(efi_test::OpenFiles(), files);  // no channel or shared-memory file kept
}

std::string Outcome(const Efi::HostSession& s, const char* name, const std::vector<Object>& args) {
    return std::string(name) + ": " + Outcome(*s.Find(name), args);
}

// Calls of two isolated modules run at once, each on its own worker's
// channel: each call leaves its mark and waits for the other's, so calls
// that took turns would each miss the other's mark (the first after ten
// seconds).
TEST(IsolatedModule, CallsOfTwoModulesRunAtOnce) {
    char dir[] = "/tmp/efi_meet_XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    ::setenv("EFI_MEET_DIR", dir, 1);  // the workers started next see it
    {
        Efi::HostSession s;
        s.LoadModule(EFI_MEET_A_MODULE, {.isolated = true});
        s.LoadModule(EFI_MEET_B_MODULE, {.isolated = true});
        std::string a;
        std::thread other([&] { a = Outcome(s, "meet_a", {Num(1), Num(2)}); });
        const std::string b = Outcome(s, "meet_b", {Num(2), Num(1)});
        other.join();
        EXPECT_EQ(a, "meet_a: " + Describe(Num(1)));
        EXPECT_EQ(b, "meet_b: " + Describe(Num(1)));
        Efi::EndModuleWorkers();
        Efi::ClearHostCallbacks();
    }
    ::unsetenv("EFI_MEET_DIR");
    std::filesystem::remove_all(dir);
}

// Threads take turns on one module's channel, first come first served: a
// thread that keeps calling one isolated module holds back neither the
// calls of another module nor, for longer than its call, another thread's
// calls of its own module. Bounded, so that calls held back fail the test.
TEST(IsolatedModule, ThreadsTakeTurnsOnOneModule) {
    Efi::HostSession s;
    s.LoadModule(EFI_SAMPLE_MODULE, {.isolated = true});
    s.LoadModule(EFI_TEST_MODULE, {.isolated = true});
    std::atomic<bool> stop{false};
    std::atomic<int> looped{0};
    std::string wrong;  // the looping thread's first outcome that was not its result
    std::thread looping([&] {
        for (int k = 0; !stop; ++k) {
            const std::string text = "loop " + std::to_string(k);
            const std::string got = Outcome(s, "t_echo", {Txt(text.c_str())});
            if (got != "t_echo: text " + text && wrong.empty()) wrong = got;
            ++looped;
        }
    });
    while (looped == 0) std::this_thread::yield();
    auto other = std::async(std::launch::async, [&] {
        std::vector<std::string> out;
        for (int k = 0; k < 20; ++k) out.push_back(Outcome(s, "sample_add", {Num(k), Num(1)}));
        for (int k = 0; k < 20; ++k) out.push_back(Outcome(s, "t_echo", {Txt(std::to_string(k).c_str())}));
        return out;
    });
    const bool ended = other.wait_for(std::chrono::seconds(60)) == std::future_status::ready;
    stop = true;
    looping.join();
    ASSERT_TRUE(ended) << "held back for a minute";
    std::vector<std::string> expected;
    for (int k = 0; k < 20; ++k) expected.push_back("sample_add: " + Describe(Num(k + 1)));
    for (int k = 0; k < 20; ++k) expected.push_back("t_echo: text " + std::to_string(k));
    EXPECT_EQ(other.get(), expected);
    EXPECT_EQ(wrong, "");
    Efi::EndModuleWorkers();
    Efi::ClearHostCallbacks();
}

// A thread that waits for a module's channel waits at most the module's
// time limit, here while the call that holds it waits on a host callback;
// then fails with a worksheet error of its own, leaving its place in line,
// and the module's next call runs. A call made inside another call (in a
// host callback) does not wait at all: the call it waits for could be
// waiting for what the outer call holds.
TEST(IsolatedModule, AWaitForTheChannelEndsAtTheTimeLimit) {
    Efi::HostSession s;
    s.LoadModule(EFI_SAMPLE_MODULE, {.isolated = true, .timeout = 0.25});
    s.LoadModule(EFI_DESCRIBED_MODULE);
    const Efi::LoadedFunction* sqrt = s.Find("sample_sqrt");
    s.RegisterCallback("via", Vrn::Run::Func(1, [sqrt](std::span<const Object> a) {
                           return sqrt->function.as<Vrn::Run::Function>()->Call(a);
                       }));
    std::promise<void> entered, waited;
    std::shared_future<void> done = waited.get_future().share();
    s.RegisterCallback("hold", Vrn::Run::Func(1, [&](std::span<const Object> a) {
                           entered.set_value();
                           done.wait_for(std::chrono::seconds(10));
                           return a[0];
                       }));
    std::string first;
    std::thread holder([&] { first = Outcome(s, "sample_apply", {Txt("hold"), Num(3)}); });
    entered.get_future().wait();
    const std::string nested = Outcome(s, "d_callback_guarded", {Txt("via"), Num(4)});
    const std::string second = Outcome(s, "sample_sqrt", {Num(4)});
    waited.set_value();
    holder.join();
    EXPECT_EQ(nested,
              "d_callback_guarded: error a call is running on another thread @" + std::to_string(Efi::kNoArgument));
    EXPECT_EQ(second, "sample_sqrt: error sample_sqrt: timed out after 0.25 s waiting for another call to end @" +
                          std::to_string(Efi::kNoArgument));
    // The call that held the channel ran past its own limit meanwhile,
    // unless the worker's answer beat the host's look at the clock.
    EXPECT_THAT(first, ::testing::AnyOf("sample_apply: " + Describe(Num(3)),
                                        "sample_apply: error sample_apply: timed out after 0.25 s @" +
                                            std::to_string(Efi::kNoArgument)));
    EXPECT_EQ(Outcome(s, "sample_sqrt", {Num(4)}), "sample_sqrt: " + Describe(Num(2)));
    Efi::EndModuleWorkers();
    Efi::ClearHostCallbacks();
}

std::string Refusal(const Efi::LoadOptions& options) {
    Efi::HostSession s;
    try {
        s.LoadModule("/nonexistent/libnone.so", options);
    } catch (const Efi::ModuleError& e) {
        return e.what();
    }
    return "loaded";
}

TEST(IsolatedModule, LoadingRefusalsAreModuleErrors) {
    EXPECT_EQ(Refusal({.isolated = true}), Refusal({}));
    Efi::HostSession s;
    s.LoadModule(EFI_SAMPLE_MODULE);
    try {
        s.LoadModule(EFI_SAMPLE_MODULE, {.isolated = true});
        ADD_FAILURE() << "loaded both ways";
    } catch (const Efi::ModuleError& e) {
        EXPECT_THAT(e.what(), ::testing::HasSubstr("already loaded in process"));
    }
    // A time limit is a positive, finite number of seconds.
    for (double limit : {-1.0, 0.0, std::numeric_limits<double>::infinity(), std::nan("")}) {
        SCOPED_TRACE(limit);
        try {
            s.LoadModule(EFI_TEST_MODULE, {.isolated = true, .timeout = limit});
            ADD_FAILURE() << "loaded";
        } catch (const Efi::ModuleError& e) {
            EXPECT_EQ(std::string(e.what()), "module \"" + std::string(EFI_TEST_MODULE) +
                                                 "\": the time limit must be a positive number of seconds");
        }
    }
    // And the other way round.
    s.LoadModule(EFI_TEST_MODULE, {.isolated = true});
    try {
        s.LoadModule(EFI_TEST_MODULE);
        ADD_FAILURE() << "loaded both ways";
    } catch (const Efi::ModuleError& e) {
        EXPECT_EQ(std::string(e.what()), "module \"" + std::string(EFI_TEST_MODULE) + "\": already loaded isolated");
    }
    Efi::ClearHostCallbacks();
}

}  // namespace
