// The ways the worker of an isolated module can be missing or die: killed
// by any signal while idle (replaced for the next call, the death counted),
// and, each named exactly in the error of the call or load that finds it,
// a program that is not a worker, a module that no longer loads or whose
// table changed on a restart, and efi-worker run by hand.
#include <efi/host/callbacks.h>
#include <efi/host/module_loader.h>
#include <efi/host/session.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <iterator>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "open_files.h"

namespace {

namespace fs = std::filesystem;
using Vrn::Run::Object;

bool Gone(pid_t pid) { return ::kill(pid, 0) == -1 && errno == ESRCH; }

// The outcome of t_pid in `s`: the worker's process id, or the error's text.
std::pair<pid_t, std::string> Pid(const Efi::HostSession& s) {
    const Object args[] = {Vrn::Run::Number(0, 0)};
    try {
        const Object r = s.Find("t_pid")->function.as<Vrn::Run::Function>()->Call(args);
        return {static_cast<pid_t>(r.as<Qlt::NumVal>()->Data.rp), ""};
    } catch (const Efi::ModuleProcessEnded& e) {
        return {0, e.what()};
    }
}

// Sets an environment variable for the workers started while it lives.
class Setting {
public:
    Setting(const char* name, const std::string& value) : m_name(name) {
        if (const char* was = std::getenv(name)) m_was = was;
        ::setenv(name, value.c_str(), 1);
    }
    ~Setting() {
        if (m_was) ::setenv(m_name, m_was->c_str(), 1);
        else ::unsetenv(m_name);
    }
    Setting(const Setting&) = delete;
    Setting& operator=(const Setting&) = delete;

private:
    const char* m_name;
    std::optional<std::string> m_was;
};

// The address sanitizer (in its build) would report the signals sent
// below and exit with a status of its own instead.
const Setting g_asan("ASAN_OPTIONS", std::string(std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "") +
                                         ":handle_sigfpe=0:handle_sigill=0:handle_abort=0:detect_leaks=0");

// Waits, ten seconds at most, for `pid` to be in `state` ('Z': ended, not
// yet reaped, its end of the channel closed; 'R': running, a worker busy
// with a call that loops), or gone.
bool InState(pid_t pid, char state) {
    for (int k = 0; k < 1000; ++k) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        const std::size_t close = text.rfind(')');
        if (close == std::string::npos || text.compare(close, 3, std::string(") ") + state) == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

bool Ended(pid_t pid) { return InState(pid, 'Z'); }

// Ends a copy of the host made by fork by exit, which writes the counts of
// a coverage build; under the leak checker by _exit, as what the parent's
// threads held at the fork (another thread's call arguments, the bridge's
// waiting line, made anew in the copy) is in the copy with nothing that
// points to it.
[[noreturn]] void EndCopy(int status) {
#if defined(__SANITIZE_ADDRESS__)
    ::_exit(status);
#else
    std::exit(status);
#endif
}

// A worker that dies while idle never took a call: the next call runs on a
// new worker, and the death is counted, named by its signal.
TEST(WorkerDeaths, AWorkerKilledWhileIdleIsReplacedForTheNextCallAndCounted) {
    Efi::HostSession s;
    s.LoadModule(EFI_TEST_MODULE, {.isolated = true});
    const std::pair<int, const char*> signals[] = {
        {SIGTERM, "signal 15, terminated"},
        {SIGINT, "signal 2, interrupted"},
        {SIGKILL, "signal 9, killed"},
        // The worker translates arithmetic faults; one sent to it is none, and ends it as the default does.
        {SIGFPE, "signal 8, arithmetic fault"},
        {SIGTRAP, "signal 5, trace trap"},
        {SIGSYS, "signal 31, bad system call"},
        {SIGUSR1, "signal 10"},
    };
    unsigned lost = 0;
    for (const auto& [signal, end] : signals) {
        const pid_t worker = Pid(s).first;
        ASSERT_GT(worker, 0) << end;
        ASSERT_EQ(::kill(worker, signal), 0);
        ASSERT_TRUE(Ended(worker)) << end;
        const auto [next, error] = Pid(s);
        EXPECT_EQ(error, "") << end;
        EXPECT_GT(next, 0) << end;
        EXPECT_NE(next, worker) << end;
        EXPECT_TRUE(Gone(worker)) << end;  // reaped
        const std::optional<Efi::WorkerHistory> history = s.Workers(EFI_TEST_MODULE);
        ASSERT_TRUE(history);
        EXPECT_EQ(history->lost, ++lost) << end;
        EXPECT_EQ(history->started, lost + 1) << end;
        EXPECT_EQ(history->lastLost, end);
    }
    // Killed with the call's request in its pipe, unread (stopped first): the
    // call runs on a new worker all the same.
    const pid_t stopped = Pid(s).first;
    ASSERT_EQ(::kill(stopped, SIGSTOP), 0);
    auto call = std::async(std::launch::async, [&] { return Pid(s); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(::kill(stopped, SIGKILL), 0);
    const auto [next, error] = call.get();
    EXPECT_EQ(error, "");
    EXPECT_GT(next, 0);
    EXPECT_NE(next, stopped);
    EXPECT_EQ(s.Workers(EFI_TEST_MODULE)->lastLost, "signal 9, killed");
    EXPECT_FALSE(s.Workers(EFI_SAMPLE_MODULE));  // not loaded
    Efi::EndModuleWorkers();
    Efi::ClearHostCallbacks();
}

// A worker's end leaves no SIGCHLD pending for the host: one kept there
// would wake a thread of the host, which then takes no other signal until
// it has looked (a Ctrl-C's SIGINT goes to another thread, and a sleeping
// main thread sleeps on). In a copy of the host with one thread, which
// blocks SIGCHLD so that a signal kept would stay pending.
TEST(WorkerDeaths, AWorkersEndLeavesNoSignalPendingForTheHost) {
    EXPECT_EXIT(
        {
            sigset_t child;
            sigemptyset(&child);
            sigaddset(&child, SIGCHLD);
            ::sigprocmask(SIG_BLOCK, &child, nullptr);
            Efi::HostSession s;
            s.LoadModule(EFI_TEST_MODULE, {.isolated = true});
            const pid_t worker = Pid(s).first;
            ::kill(worker, SIGKILL);
            sigset_t pending;
            sigemptyset(&pending);
            const bool ended = Ended(worker);
            ::sigpending(&pending);
            EndCopy(worker > 0 && ended && !sigismember(&pending, SIGCHLD) ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

// What a host's interrupt check throws while a call waits for its worker
// (a user's Ctrl-C) ends the call as thrown, the busy worker killed and
// reaped; the next call runs on a new one. A call that waits for its turn
// behind another thread's call ends so too, and leaves that call running.
struct Interrupt {};
std::atomic<std::thread::id> g_interrupted{};  // the thread whose wait the check ends

TEST(WorkerDeaths, AnInterruptedCallKillsItsWorkerAndTheNextCallRuns) {
    Efi::HostSession s;
    s.LoadModule(EFI_TEST_MODULE, {.isolated = true});
    Efi::SetInterruptCheck([] {
        std::thread::id self = std::this_thread::get_id();
        if (g_interrupted.compare_exchange_strong(self, std::thread::id())) throw Interrupt{};
    });
    const pid_t worker = Pid(s).first;
    ASSERT_GT(worker, 0);
    // Runs `f` on a thread of its own; its outcome, and the thread.
    const auto start = [&](const char* f) {
        auto thread = std::make_shared<std::promise<std::thread::id>>();
        auto outcome = std::async(std::launch::async, [&s, f, thread] {
            thread->set_value(std::this_thread::get_id());
            const Object args[] = {Vrn::Run::Number(3, 0)};  // t_crash(3): an endless loop
            try {
                s.Find(f)->function.as<Vrn::Run::Function>()->Call(args);
            } catch (const Interrupt&) {
                return std::string("interrupted");
            } catch (const std::exception& e) {
                return std::string(e.what());
            }
            return std::string("returned");
        });
        return std::pair(std::move(outcome), thread->get_future().get());
    };
    const auto interrupt = [&](std::pair<std::future<std::string>, std::thread::id>& call) {
        g_interrupted = call.second;  // until its next check
        const bool stopped = call.first.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        if (!stopped) ::kill(worker, SIGKILL);  // so that the calls, and the test, end
        EXPECT_TRUE(stopped);
        return call.first.get();
    };
    auto running = start("t_crash");
    EXPECT_TRUE(InState(worker, 'R'));
    auto waiting = start("t_pid");
    EXPECT_EQ(interrupt(waiting), "interrupted");
    EXPECT_EQ(::kill(worker, 0), 0);  // the running call goes on
    EXPECT_EQ(interrupt(running), "interrupted");
    EXPECT_TRUE(Gone(worker));
    EXPECT_EQ(s.Workers(EFI_TEST_MODULE)->lastLost, "killed by an interrupt");
    const pid_t next = Pid(s).first;
    EXPECT_GT(next, 0);
    EXPECT_NE(next, worker);
    Efi::SetInterruptCheck(nullptr);
    Efi::EndModuleWorkers();
    Efi::ClearHostCallbacks();
}

TEST(WorkerDeaths, AProgramThatIsNoWorkerFailsTheLoad) {
    const std::string module = EFI_TEST_MODULE;
    const std::pair<std::string, std::string> programs[] = {
        {"/nonexistent/efi-worker", "cannot start /nonexistent/efi-worker: No such file or directory"},
        {"/bin/true", "the module's process ended while loading it (exit status 0)"},
        {"/bin/false", "the module's process ended while loading it (exit status 1)"},
    };
    for (const auto& [program, error] : programs) {
        const Setting worker("EFI_WORKER", program);
        Efi::HostSession s;
        try {
            s.LoadModule(module, {.isolated = true});
            ADD_FAILURE() << program << " loaded the module";
        } catch (const Efi::ModuleError& e) {
            EXPECT_EQ(std::string(e.what()), "module \"" + module + "\": " + error);
        }
    }
}

// A worker that ended is replaced at the next call, which loads the module
// again: a module that now refuses, or whose table is not the one its
// functions were made from, fails that call, and the call after it tries again.
TEST(WorkerDeaths, ARestartThatCannotLoadTheSameTableFailsTheCall) {
    const fs::path dir = fs::temp_directory_path() / ("efi_restart_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const fs::path module = dir / "module.so";
    // Replaced as an installer does: a new file renamed over the old one.
    auto install = [&](const char* from) {
        fs::copy_file(from, dir / "new.so", fs::copy_options::overwrite_existing);
        fs::rename(dir / "new.so", module);
    };
    install(EFI_TEST_MODULE);
    {
        Efi::HostSession s;
        s.LoadModule(module.string(), {.isolated = true});
        // The next call then replaces the worker, and loads the module again.
        auto killWorker = [&] {
            const pid_t worker = Pid(s).first;
            ASSERT_GT(worker, 0);
            ::kill(worker, SIGKILL);
            ASSERT_TRUE(Ended(worker));
        };
        killWorker();
        {
            const Setting refuse("EFI_TEST_MODULE_INIT_THROWS", "1");
            EXPECT_EQ(Pid(s).second, "t_pid: the module cannot be loaded again: module \"" + module.string() +
                                         "\": module initialisation failed");
        }
        EXPECT_GT(Pid(s).first, 0);
        killWorker();
        install(EFI_SAMPLE_MODULE);
        EXPECT_EQ(Pid(s).second, "t_pid: the module's table changed since it was loaded");
        EXPECT_EQ(Pid(s).second, "t_pid: the module's table changed since it was loaded");
        install(EFI_TEST_MODULE);
        EXPECT_GT(Pid(s).first, 0);
        Efi::EndModuleWorkers();
        Efi::ClearHostCallbacks();
    }
    fs::remove_all(dir);
}

// A copy of the host made by fork holds the parent's worker, which is not
// its own: its first call starts a worker of its own, and the parent's goes
// on serving the parent.
TEST(WorkerDeaths, AForkedHostLeavesTheParentsWorkerAlone) {
    Efi::HostSession s;
    s.LoadModule(EFI_TEST_MODULE, {.isolated = true});
    const pid_t parents = Pid(s).first;
    ASSERT_GT(parents, 0);
    EXPECT_EXIT(
        {
            const pid_t own = Pid(s).first;
            EndCopy(own > 0 && own != parents && Pid(s).first == own ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(Pid(s).first, parents);
    Efi::EndModuleWorkers();
    Efi::ClearHostCallbacks();
}

// The copy holds only the thread that forked: another thread's call of
// the module, running at the fork, is not in it, and the copy calls the
// module at once, in a worker of its own.
TEST(WorkerDeaths, AForkedHostCallsAModuleThatAnotherThreadWasCalling) {
    Efi::HostSession s;
    s.LoadModule(EFI_SAMPLE_MODULE, {.isolated = true, .timeout = 20});  // so that a wait in the copy ends
    std::promise<void> entered, forked;
    std::shared_future<void> resume = forked.get_future().share();
    s.RegisterCallback("hold", Vrn::Run::Func(1, [&](std::span<const Object> a) {
                           entered.set_value();
                           resume.wait();
                           return a[0];
                       }));
    const auto call = [&](const char* name, std::vector<Object> args) {
        return s.Find(name)->function.as<Vrn::Run::Function>()->Call(args).as<Qlt::NumVal>()->Data.rp;
    };
    double held = 0;
    std::thread holder([&] { held = call("sample_apply", {Vrn::Run::TextUtf8("hold"), Vrn::Run::Number(3)}); });
    entered.get_future().wait();
    EXPECT_EXIT(EndCopy(call("sample_sqrt", {Vrn::Run::Number(4)}) == 2 ? 0 : 1), ::testing::ExitedWithCode(0), "");
    forked.set_value();
    holder.join();
    EXPECT_EQ(held, 3);
    Efi::EndModuleWorkers();
    Efi::ClearHostCallbacks();
}

// A host out of descriptors cannot make the worker's channel: the load says
// so, with what the system said, and keeps none of the channel's ends it made.
TEST(WorkerDeaths, AHostOutOfDescriptorsMakesNoChannel) {
#if defined(__SANITIZE_ADDRESS__)
    // The sanitizers' own checks (of a pointer's dynamic type, of memory
    // they print) open a pipe, and fail on their own, falsely, where the
    // process has no descriptor left; the release build runs this test.
    GTEST_SKIP() << "the sanitizers need descriptors of their own";
#endif
    rlimit was{};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &was), 0);
    const int lowest = ::dup(0);  // the lowest free descriptor
    ASSERT_GE(lowest, 0);
    ::close(lowest);
    for (int fd = lowest; fd < lowest + 4; ++fd)
        if (::fcntl(fd, F_GETFD) != -1) GTEST_SKIP() << "descriptor " << fd << " is taken";
    const std::string module = EFI_TEST_MODULE;
    // Room for no pipe, for the first pipe, for both pipes but no socket pair.
    for (const int room : {0, 2, 4}) {
        const std::size_t files = efi_test::OpenFiles();
        rlimit limit = was;
        limit.rlim_cur = static_cast<rlim_t>(lowest + room);
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
        std::string error = "loaded";
        try {
            Efi::HostSession s;
            s.LoadModule(module, {.isolated = true});
        } catch (const Efi::ModuleError& e) {
            error = e.what();
        }
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &was), 0);
        EXPECT_EQ(error, "module \"" + module + "\": no channel to a worker: Too many open files") << room;
        EXPECT_EQ(efi_test::OpenFiles(), files) << room;
    }
}

struct Ran {
    int status = -1;  ///< exit status, or 128 + signal
    std::string out, err;
};

std::string Slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Runs `program` with `args`, with the NAME=VALUE settings of `env` added
// to this process's environment and EFI_WORKER removed from it.
Ran RunProgram(const std::string& program, const std::vector<std::string>& args,
               const std::vector<std::string>& env = {}) {
    const fs::path out = fs::temp_directory_path() / ("efi_ran_" + std::to_string(::getpid()));
    const pid_t pid = ::fork();
    if (pid == 0) {
        std::FILE* o = std::fopen((out.string() + ".out").c_str(), "wb");
        std::FILE* e = std::fopen((out.string() + ".err").c_str(), "wb");
        if (!o || !e) ::_exit(126);
        ::dup2(::fileno(o), 1);
        ::dup2(::fileno(e), 2);
        ::unsetenv("EFI_WORKER");
        for (const std::string& s : env) ::putenv(const_cast<char*>(s.c_str()));
        std::vector<char*> argv{const_cast<char*>(program.c_str())};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(program.c_str(), argv.data());
        ::_exit(127);
    }
    Ran r;
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid) return r;
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = Slurp(out.string() + ".out");
    r.err = Slurp(out.string() + ".err");
    fs::remove(out.string() + ".out");
    fs::remove(out.string() + ".err");
    return r;
}

// efi-worker by hand: its usage, and nothing served for a host that is not
// its parent.
TEST(WorkerDeaths, EfiWorkerRunByHandRefuses) {
    struct Case {
        std::vector<std::string> args;
        int status;
        bool usage;
    };
    const std::string parent = std::to_string(::getpid());
    const Case cases[] = {
        {{}, 2, true},
        {{"--channel", "3"}, 2, true},
        {{"--parent", parent, "--channel", "3"}, 2, true},
        {{"--channel", "3", "--parent", parent, "extra"}, 2, true},
        {{"--channel", "3", "--parent", "1"}, 1, false},
    };
    for (const Case& c : cases) {
        const Ran r = RunProgram(EFI_WORKER_BINARY, c.args);
        EXPECT_EQ(r.status, c.status) << c.args.size() << " arguments";
        EXPECT_EQ(r.err,
                  c.usage ? "efi-worker: started by a host (efi-call --isolate, efi.load(..., isolated=True))\n" : "");
    }
}

// A host whose library has no efi-worker in the programs folder beside its
// own folder (a copy of it, elsewhere) finds the one beside the running
// program; with none there either, an isolated load says so.
TEST(WorkerDeaths, EfiWorkerIsFoundBesideTheProgramOrItsAbsenceNamed) {
    const fs::path dir = fs::temp_directory_path() / ("efi_beside_" + std::to_string(::getpid()));
    fs::create_directories(dir / "lib");
    fs::create_directories(dir / "prog");
    fs::copy_file(EFI_LIBRARY, dir / "lib" / EFI_LIBRARY_SONAME);
    const fs::path program = dir / "prog" / "efi-call";
    fs::copy_file(EFI_CALL_BINARY, program);
    // The copied library first; what else it needs from the build tree.
    const std::vector<std::string> env{"LD_LIBRARY_PATH=" + (dir / "lib").string() + ":" EFI_LIBRARY_PATH};
    const std::vector<std::string> args{"--isolate", "--ext", EFI_TEST_MODULE, "--list"};
    const Ran missing = RunProgram(program.string(), args, env);
    EXPECT_EQ(missing.err, "efi-call: module \"" EFI_TEST_MODULE
                           "\": efi-worker was not found to run it isolated (set EFI_WORKER)\n");
    EXPECT_EQ(missing.status, 2);
    fs::copy_file(EFI_WORKER_BINARY, dir / "prog" / "efi-worker");
    const Ran beside = RunProgram(program.string(), args, env);
    EXPECT_EQ(beside.err, "");
    EXPECT_EQ(beside.status, 0);
    EXPECT_NE(beside.out.find("t_pid"), std::string::npos) << beside.out;
    fs::remove_all(dir);
}

}  // namespace
