// The host's side of an isolated module: see host_side.h.
#include "bridge/isolation/host_side.h"

#include <efi/host/callbacks.h>
#include <efi/host/session.h>

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <clocale>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <new>
#include <set>
#include <span>
#include <thread>

#include "bridge/call_scope.h"
#include "bridge/call_turn.h"
#include "bridge/isolation/outcome.h"
#include "bridge/isolation/wire.h"

extern char** environ;

namespace Efi::detail {

namespace {

using Vrn::Run::Object;
using namespace wire;

// The first of the channel's three descriptors in the worker (the pipe it
// reads, the pipe it writes, the socket), given on its command line.
constexpr int kWorkerChannel = 3;

std::string Directory(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : path.substr(0, slash);
}

bool IsExecutable(const std::string& path) { return ::access(path.c_str(), X_OK) == 0; }

// The worker program: EFI_WORKER when set; else efi-worker in the programs
// folder that belongs to this library's folder (installed: <prefix>/lib and
// <prefix>/bin; the build tree keeps the same relation); else beside the
// running program.
std::string WorkerProgram() {
    if (const char* set = std::getenv("EFI_WORKER"); set && *set) return set;
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&WorkerProgram), &info) && info.dli_fname) {
        const std::string candidate = Directory(info.dli_fname) + "/" EFI_WORKER_FROM_LIBDIR "/efi-worker";
        if (IsExecutable(candidate)) return candidate;
    }
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        const std::string candidate = Directory(std::string(exe, static_cast<std::size_t>(n))) + "/efi-worker";
        if (IsExecutable(candidate)) return candidate;
    }
    return {};
}

const char* SignalName(int signal) {
    switch (signal) {
        case SIGSEGV: return "segmentation fault";
        case SIGBUS: return "bus error";
        case SIGILL: return "illegal instruction";
        case SIGABRT: return "aborted";
        case SIGFPE: return "arithmetic fault";
        case SIGKILL: return "killed";
        case SIGTERM: return "terminated";
        case SIGINT: return "interrupted";
        case SIGTRAP: return "trace trap";
        case SIGSYS: return "bad system call";
        default: return nullptr;
    }
}

// How a worker ended, as a call's error names it.
std::string EndOf(int status) {
    if (WIFSIGNALED(status)) {
        const int s = WTERMSIG(status);
        const char* name = SignalName(s);
        return "signal " + std::to_string(s) + (name ? std::string(", ") + name : std::string());
    }
    if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
    return "status " + std::to_string(status);
}

// Waits for `pid` to end, reaping it; its status, or -1 when another part
// of the process reaped it first (SIGCHLD ignored).
int Reap(pid_t pid) {
    int status = 0;
    for (;;) {
        if (::waitpid(pid, &status, 0) == pid) return status;
        if (errno != EINTR) return -1;
    }
}

// Lets a worker whose channel was closed end by itself (the module's static
// destructors run), for at most two seconds; then kills it. Reaped either way.
void EndWorker(pid_t pid) {
    const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
        pollfd p{pidfd, POLLIN, 0};
        int ready;
        do ready = ::poll(&p, 1, 2000);
        while (ready < 0 && errno == EINTR);
        ::close(pidfd);
        if (ready <= 0) ::kill(pid, SIGKILL);
    } else {
        ::kill(pid, SIGKILL);
    }
    Reap(pid);
}

// A worker is started from a thread that lives as long as the process: the
// kernel sends a worker its parent's death signal when the thread that
// started it ends, not the process, and a host's threads come and go (a
// Python thread pool). The thread blocks every signal and waits for work.
class Starter {
public:
    static Starter& OfThisProcess() {
        static Starter* starter = nullptr;  // never destroyed: the thread may outlive static destruction
        static pid_t of = 0;
        static std::mutex lock;
        std::lock_guard guard(lock);
        // A copy of the host made by fork has no such thread: it makes its own.
        if (!starter || of != ::getpid()) {
            starter = new Starter;
            of = ::getpid();
        }
        return *starter;
    }

    /// Runs `job` on the starter thread and waits for it.
    void Run(const std::function<void()>& job) {
        std::unique_lock guard(m_lock);
        m_idle.wait(guard, [this] { return !m_job; });
        m_job = &job;
        m_done = false;
        m_wake.notify_all();
        m_finished.wait(guard, [this] { return m_done; });
        m_job = nullptr;
        m_idle.notify_all();
    }

private:
    Starter() {
        sigset_t all, previous;
        sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &previous);
        std::thread([this] { Serve(); }).detach();
        ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }

    [[noreturn]] void Serve() {
        std::unique_lock guard(m_lock);
        for (;;) {
            m_wake.wait(guard, [this] { return m_job && !m_done; });
            (*m_job)();
            m_done = true;
            m_finished.notify_all();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_wake, m_finished, m_idle;
    const std::function<void()>* m_job = nullptr;
    bool m_done = false;
};

struct TableEntry {
    std::string name;
    std::int32_t ret;
    std::vector<std::int32_t> args;
    std::int32_t arity;
    std::string neverCallable;

    bool operator==(const TableEntry&) const = default;
};

class Worker;

// Every live worker of this process, for EndModuleWorkers and fork.
std::mutex g_workers_lock;
std::set<Worker*>& Workers() {
    static auto* workers = new std::set<Worker*>;  // never destroyed: workers may outlive static destruction
    return *workers;
}

void ForgetWorkersInChild() noexcept;

/// One isolated module and the process that runs it. Calls run on the
/// channel one at a time, nested strictly: a call waits for its outcome
/// and meanwhile answers the worker's callbacks, which may call the module
/// again.
class Worker : public std::enable_shared_from_this<Worker> {
public:
    Worker(std::string path, std::optional<double> timeout) : m_path(std::move(path)), m_timeout(timeout) {
        if (m_timeout) {
            char text[64];
            std::snprintf(text, sizeof text, "%g s", *m_timeout);
            m_timeoutText = text;
            // Whole nanoseconds, worked out here: a call runs under the
            // trapping word, where a large limit would overflow.
            m_limit = std::chrono::nanoseconds(std::llround(std::min(*m_timeout, 1e9) * 1e9));
        }
        static std::once_flag forks;
        std::call_once(forks, [] { ::pthread_atfork(nullptr, nullptr, &ForgetWorkersInChild); });
        std::lock_guard lock(g_workers_lock);
        Workers().insert(this);
    }
    ~Worker() {
        {
            std::lock_guard lock(g_workers_lock);
            Workers().erase(this);
        }
        Stop();
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    /// Starts the worker and loads the module; the table it reports.
    const std::vector<TableEntry>& Load() {
        m_table = Start();
        return m_table;
    }

    Object Call(std::uint32_t index, std::span<const Object> args);

    /// In a copy of the host made by fork: the worker is the parent's, and
    /// the copy's ends of the channel would keep it from seeing its host
    /// close them. Dropped; the copy's next call starts a worker of its own.
    void Forget() noexcept {
        m_channel.Close();
        m_pid = -1;
    }

    /// Closes the channel and reaps the worker; the next call starts another.
    void Stop() noexcept {
        if (m_pid <= 0) return;
        m_channel.Close();
        // In a copy of the host made by fork the worker is the parent's.
        if (m_owner == ::getpid()) EndWorker(m_pid);
        m_pid = -1;
    }

private:
    std::vector<TableEntry> Start();
    void Spawn();
    std::vector<TableEntry> ReadTable(const Message& m);
    void Restart(const std::string& fn);
    [[noreturn]] void Ended(const std::string& fn);
    [[noreturn]] void TimedOut(const std::string& fn);
    void AnswerCallback(const Message& m, const std::string& fn);
    int RemainingMs(std::chrono::steady_clock::time_point deadline) const;

    std::string m_path;
    std::optional<double> m_timeout;
    std::string m_timeoutText;
    std::chrono::nanoseconds m_limit{0};
    pid_t m_pid = -1;
    pid_t m_owner = -1;  ///< the process that started the worker
    Channel m_channel;
    unsigned m_depth = 0;  ///< calls waiting on the channel
    std::string m_end;     ///< how the last worker ended
    std::vector<TableEntry> m_table;
    std::vector<std::exception_ptr> m_held;  ///< failures of callbacks kept here
};

void Worker::Spawn() {
    const std::string program = WorkerProgram();
    if (program.empty())
        throw ModuleError("module \"" + m_path + "\": efi-worker was not found to run it isolated (set EFI_WORKER)");
    // Host to worker, worker to host, and the socket for descriptors; the
    // worker's ends are moved above the numbers they take there, so that
    // putting each in place cannot overwrite another.
    int toWorker[2], toHost[2], sockets[2];
    auto noChannel = [&] {
        return ModuleError("module \"" + m_path + "\": no channel to a worker: " + std::strerror(errno));
    };
    if (::pipe2(toWorker, O_CLOEXEC) != 0) throw noChannel();
    if (::pipe2(toHost, O_CLOEXEC) != 0) {
        ModuleError e = noChannel();
        for (int fd : toWorker) ::close(fd);
        throw e;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0) {
        ModuleError e = noChannel();
        for (int fd : {toWorker[0], toWorker[1], toHost[0], toHost[1]}) ::close(fd);
        throw e;
    }
    int theirs[3] = {toWorker[0], toHost[1], sockets[1]};
    for (int& fd : theirs) {
        const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, kWorkerChannel + 3);
        ::close(fd);
        fd = moved;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int k = 0; k < 3; ++k) posix_spawn_file_actions_adddup2(&actions, theirs[k], kWorkerChannel + k);
    // Nothing of the host but the standard streams and the channel: the
    // host's other files (a Python's sockets) stay its own.
    posix_spawn_file_actions_addclosefrom_np(&actions, kWorkerChannel + 3);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    // The worker starts with default signal actions and none blocked,
    // whatever the host ignores (Python ignores SIGPIPE) or blocks.
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const std::string parent = std::to_string(::getpid());
    const std::string channel = std::to_string(kWorkerChannel);
    char* argv[] = {const_cast<char*>("efi-worker"),    const_cast<char*>("--channel"),
                    const_cast<char*>(channel.c_str()), const_cast<char*>("--parent"),
                    const_cast<char*>(parent.c_str()),  nullptr};
    pid_t pid = -1;
    int rc = 0;
    Starter::OfThisProcess().Run([&] { rc = ::posix_spawn(&pid, program.c_str(), &actions, &attr, argv, environ); });
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    for (int fd : theirs) ::close(fd);
    if (rc != 0) {
        for (int fd : {toWorker[1], toHost[0], sockets[0]}) ::close(fd);
        throw ModuleError("module \"" + m_path + "\": cannot start " + program + ": " + std::strerror(rc));
    }
    m_pid = pid;
    m_owner = ::getpid();
    // A host that ignores SIGPIPE (Python does) needs no guard around writes.
    struct sigaction pipeAction {};
    const bool ignored = ::sigaction(SIGPIPE, nullptr, &pipeAction) == 0 && pipeAction.sa_handler == SIG_IGN;
    m_channel.Reset(toHost[0], toWorker[1], sockets[0], !ignored);
}

std::vector<TableEntry> Worker::ReadTable(const Message& m) {
    Reader r = m.Body();
    std::vector<TableEntry> table(r.Get<std::uint32_t>());
    for (TableEntry& e : table) {
        e.name = r.Utf8();
        e.ret = r.Get<std::int32_t>();
        e.args.resize(r.Get<std::uint32_t>());
        for (std::int32_t& a : e.args) a = r.Get<std::int32_t>();
        e.arity = r.Get<std::int32_t>();
        e.neverCallable = r.Utf8();
    }
    return table;
}

std::vector<TableEntry> Worker::Start() {
    Spawn();
    const std::string locale = std::setlocale(LC_ALL, nullptr) ? std::setlocale(LC_ALL, nullptr) : "C";
    const bool sent = Send(m_channel, Kind::Load, [&](Writer& w) {
        w.Utf8(m_path);
        w.Utf8(locale);
    });
    std::string refusal;
    try {
        Message m;
        if (!sent) throw ChannelBroken{};
        Receive(m_channel, m);
        if (m.kind == Kind::Table) return ReadTable(m);
        if (m.kind != Kind::ModuleRefused) throw ChannelBroken{};
        refusal = m.Body().Utf8();
    } catch (const ChannelBroken&) {
        m_channel.Close();
        const int status = Reap(m_pid);
        m_pid = -1;
        throw ModuleError("module \"" + m_path + "\": the module's process ended while loading it (" +
                          (status < 0 ? std::string("status unknown") : EndOf(status)) + ")");
    }
    Stop();
    throw ModuleError(refusal);
}

void Worker::Restart(const std::string& fn) {
    std::vector<TableEntry> table;
    try {
        table = Start();
    } catch (const ModuleError& e) {
        throw ModuleProcessEnded(Vrn::Run::FromUtf8(fn + ": the module cannot be loaded again: " + e.what()), false);
    }
    if (table != m_table) {
        Stop();
        throw ModuleProcessEnded(Vrn::Run::FromUtf8(fn + ": the module's table changed since it was loaded"), false);
    }
}

void Worker::Ended(const std::string& fn) {
    if (m_pid > 0) {
        m_channel.Close();
        const int status = Reap(m_pid);
        m_end = status < 0 ? "status unknown" : EndOf(status);
        m_pid = -1;
    }
    throw ModuleProcessEnded(Vrn::Run::FromUtf8(fn + ": the module's process ended (" + m_end + ")"), false);
}

void Worker::TimedOut(const std::string& fn) {
    ::kill(m_pid, SIGKILL);
    m_channel.Close();
    Reap(m_pid);
    m_end = "killed at the time limit";
    m_pid = -1;
    throw ModuleProcessEnded(Vrn::Run::FromUtf8(fn + ": timed out after " + m_timeoutText), true);
}

int Worker::RemainingMs(std::chrono::steady_clock::time_point deadline) const {
    if (!m_timeout) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30));
}

// The worker asks for a host function by name: answered as Efi::call_host
// answers native code in process, under the call's floating-point state.
void Worker::AnswerCallback(const Message& m, const std::string& fn) {
    Reader r = m.Body();
    const std::string name = r.Utf8();
    qlComplex arg;
    arg.real = r.Get<double>();
    arg.imag = r.Get<double>();
    const auto argument = r.Get<std::uint32_t>();
    qlComplex result{};
    try {
        Efi::call_host(name.c_str(), arg, result, argument);
    } catch (...) {
        // A call nested in the callback ended the worker: so does this one.
        if (!m_channel.open()) throw;
        if (!SendFailure(m_channel, std::current_exception(), &m_held)) Ended(fn);
        return;
    }
    if (!m_channel.open()) Ended(fn);
    const bool sent = Send(m_channel, Kind::CallbackResult, [&](Writer& w) {
        w.Put(result.real);
        w.Put(result.imag);
    });
    if (!sent) Ended(fn);
}

Object Worker::Call(std::uint32_t index, std::span<const Object> args) {
    const std::string& fn = m_table[index].name;
    // The same turn as a call in process: another thread is refused alike,
    // and the same floating-point state is in force around the call and
    // its callbacks.
    CallTurn turn;
    FpuCallWord fp;
    if (m_pid > 0 && m_owner != ::getpid()) Stop();
    if (m_pid <= 0) {
        if (m_depth > 0) Ended(fn);
        Restart(fn);
    }
    const auto deadline = std::chrono::steady_clock::now() + m_limit;
    struct Level {
        Worker& w;
        std::size_t held;
        ~Level() {
            --w.m_depth;
            w.m_held.resize(held);
        }
    } level{*this, m_held.size()};
    ++m_depth;
    const bool sent = Send(m_channel, Kind::Call, [&](Writer& w) {
        w.Put(index);
        w.Put(static_cast<std::uint32_t>(args.size()));
        for (const Object& a : args) w.Value(a);
    });
    if (!sent) Ended(fn);
    for (;;) {
        Message m;
        try {
            if (!Receive(m_channel, m, RemainingMs(deadline))) TimedOut(fn);
            if (m.kind == Kind::Result) return m.Body().Value();
            if (m.kind == Kind::Callback) {
                AnswerCallback(m, fn);
                continue;
            }
            if (IsFailure(m.kind)) RaiseFailure(m, &m_held);
        } catch (const ChannelBroken&) {
            Ended(fn);
        }
        Ended(fn);  // a message out of turn: the channel cannot be trusted
    }
}

void ForgetWorkersInChild() noexcept {
    // The child has one thread, this one: nothing else holds the set now
    // (a lock the parent held at the fork would stay held here for ever).
    new (&g_workers_lock) std::mutex;
    for (Worker* w : Workers()) w->Forget();
}

}  // namespace

std::vector<ModuleFunction> LoadIsolatedModule(const std::string& path, std::optional<double> timeout) {
    if (timeout && !(std::isfinite(*timeout) && *timeout > 0))
        throw ModuleError("module \"" + path + "\": the time limit must be a positive number of seconds");
    auto worker = std::make_shared<Worker>(path, timeout);
    const std::vector<TableEntry>& table = worker->Load();
    std::vector<ModuleFunction> out;
    for (std::uint32_t i = 0; i < table.size(); ++i) {
        const TableEntry& e = table[i];
        Object f = Vrn::Run::Func(e.arity, [worker, i](std::span<const Object> args) { return worker->Call(i, args); });
        out.push_back(ModuleFunction{e.name, e.ret, e.args, std::move(f), e.neverCallable});
    }
    return out;
}

}  // namespace Efi::detail

namespace Efi {

void EndModuleWorkers() noexcept {
    std::lock_guard lock(detail::g_workers_lock);
    for (detail::Worker* w : detail::Workers()) w->Stop();
}

}  // namespace Efi
