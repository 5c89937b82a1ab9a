// Worker processes: see worker_process.h.
#include "bridge/isolation/worker_process.h"

#include "bridge/module_error.h"

#include <efi/host/module_loader.h>
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

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <new>
#include <set>
#include <thread>

extern char** environ;

namespace Efi::detail {

namespace {

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
// destructors run), for at most two seconds; then kills it: a worker that
// lingers is not waited for. Reaped either way; its status, as Reap's.
int EndWorker(pid_t pid) {
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
    return Reap(pid);
}

// A worker is started from a thread that lives as long as the process: the
// kernel sends a worker its parent's death signal when the thread that
// started it ends, not the process, and a host's threads come and go (a
// Python thread pool). The thread waits for work, and blocks every signal
// but SIGCHLD, which a worker's end sends to it: blocked, the signal would
// be kept for the process and wake another thread, the main one mostly,
// which until it has looked at it takes no other signal. A Ctrl-C's SIGINT
// sent meanwhile then goes to some other thread, and the main thread goes
// back to sleep without seeing it. Unblocked here, SIGCHLD at its default
// action is dropped as it is sent, and a host's handler of it runs on this
// thread.
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
        sigdelset(&all, SIGCHLD);
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

// Every live worker of this process, for EndModuleWorkers and fork.
std::mutex g_workers_lock;
std::set<WorkerProcess*>& Workers() {
    static auto* workers = new std::set<WorkerProcess*>;  // never destroyed: workers may outlive static destruction
    return *workers;
}

void ForgetWorkersInChild() noexcept {
    // The child has one thread, this one: nothing else holds the set now
    // (a lock the parent held at the fork would stay held here for ever).
    new (&g_workers_lock) std::mutex;
    for (WorkerProcess* w : Workers()) w->Forget();
}

}  // namespace

bool ChannelTurn::Take(Deadline deadline, wire::InterruptCheck check) {
    const std::thread::id self = std::this_thread::get_id();
    std::unique_lock guard(m_lock);
    if (m_depth > 0 && m_holder == self) {
        ++m_depth;
        return true;
    }
    const std::uint64_t place = m_next++;
    const auto mine = [&] { return m_serving == place; };
    // The line has not reached this place (places are served in order):
    // whoever gives the turn back there passes it on to the next.
    const auto leave = [&] { m_abandoned.push_back(place); };
    for (;;) {
        Deadline until = deadline;
        if (check) {
            const auto look = std::chrono::steady_clock::now() + kCheckEvery;
            if (!until || look < *until) until = look;
        }
        if (!until) {
            m_moved.wait(guard, mine);
            break;
        }
        if (m_moved.wait_until(guard, *until, mine)) break;
        if (deadline && std::chrono::steady_clock::now() >= *deadline) {
            leave();
            return false;
        }
        if (!check) continue;
        guard.unlock();
        try {
            check();
        } catch (...) {
            guard.lock();
            // Reached meanwhile: the turn goes on to the next in line.
            if (mine()) PassOn();
            else leave();
            throw;
        }
        guard.lock();
    }
    m_holder = self;
    m_depth = 1;
    return true;
}

bool ChannelTurn::TakeIfFree() {
    const std::thread::id self = std::this_thread::get_id();
    std::lock_guard guard(m_lock);
    if (m_depth > 0 && m_holder == self) {
        ++m_depth;
        return true;
    }
    if (m_depth > 0 || m_serving != m_next) return false;
    ++m_next;
    m_holder = self;
    m_depth = 1;
    return true;
}

void ChannelTurn::GiveBack() noexcept {
    {
        std::lock_guard guard(m_lock);
        if (--m_depth > 0) return;
        m_holder = {};
        PassOn();
    }
}

void ChannelTurn::PassOn() noexcept {
    do ++m_serving;
    while (std::erase(m_abandoned, m_serving) > 0);
    m_moved.notify_all();
}

void ChannelTurn::ForgetOtherThreads() noexcept {
    // Another thread may have held the lock at the fork, and waited on the
    // condition: both are made anew, as nothing else holds them now.
    new (&m_lock) std::mutex;
    new (&m_moved) std::condition_variable;
    m_abandoned.clear();
    if (m_depth > 0 && m_holder == std::this_thread::get_id()) {
        m_next = m_serving + 1;
        return;
    }
    m_holder = {};
    m_depth = 0;
    m_next = m_serving = 0;
}

WorkerProcess::WorkerProcess() {
    static std::once_flag forks;
    std::call_once(forks, [] { ::pthread_atfork(nullptr, nullptr, &ForgetWorkersInChild); });
    std::lock_guard lock(g_workers_lock);
    Workers().insert(this);
}

WorkerProcess::~WorkerProcess() {
    {
        std::lock_guard lock(g_workers_lock);
        Workers().erase(this);
    }
    Stop();
}

bool WorkerProcess::Inherited() const noexcept { return m_pid > 0 && m_owner != ::getpid(); }

void WorkerProcess::Start(const std::string& path) {
    const std::string program = WorkerProgram();
    if (program.empty())
        throw ModuleError(ModuleErrorText(path, "efi-worker was not found to run it isolated (set EFI_WORKER)"));
    // Host to worker, worker to host, and the socket for descriptors; the
    // worker's ends are moved above the numbers they take there, so that
    // putting each in place cannot overwrite another.
    int toWorker[2], toHost[2], sockets[2];
    auto noChannel = [&] {
        return ModuleError(ModuleErrorText(path, std::string("no channel to a worker: ") + std::strerror(errno)));
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
    // whatever the host ignores (Python ignores SIGPIPE) or blocks. It runs
    // in a process group of its own: the signals a terminal's Ctrl-C or a
    // notebook's interrupt send to the host's whole group are the host's to
    // act on (it kills a busy worker itself), and an idle worker lives on.
    // It still ends with the host (efi-worker asks for its parent's death
    // signal), however the host ends.
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setpgroup(&attr, 0);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
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
        throw ModuleError(ModuleErrorText(path, "cannot start " + program + ": " + std::strerror(rc)));
    }
    m_pid = pid;
    m_owner = ::getpid();
    // A host that ignores SIGPIPE (Python does) needs no guard around writes.
    struct sigaction pipeAction {};
    const bool ignored = ::sigaction(SIGPIPE, nullptr, &pipeAction) == 0 && pipeAction.sa_handler == SIG_IGN;
    m_channel.Reset(toHost[0], toWorker[1], sockets[0], !ignored);
}

void WorkerProcess::Stop() noexcept {
    if (m_pid <= 0) return;
    m_channel.Close();
    // In a copy of the host made by fork the worker is the parent's.
    if (m_owner == ::getpid()) EndWorker(m_pid);
    m_pid = -1;
}

std::string WorkerProcess::Ended() {
    m_channel.Close();
    const int status = EndWorker(m_pid);
    m_pid = -1;
    return status < 0 ? "status unknown" : EndOf(status);
}

void WorkerProcess::Kill() noexcept {
    ::kill(m_pid, SIGKILL);
    m_channel.Close();
    Reap(m_pid);
    m_pid = -1;
}

void WorkerProcess::Forget() noexcept {
    m_channel.Close();
    m_pid = -1;
    m_turn.ForgetOtherThreads();
}

}  // namespace Efi::detail

namespace Efi {

void EndModuleWorkers() noexcept {
    std::lock_guard lock(detail::g_workers_lock);
    for (detail::WorkerProcess* w : detail::Workers()) w->Stop();
}

}  // namespace Efi
