// A module's functions called in its worker process against the same calls
// in process, and against the floor of any call to another process: the
// same bytes there and back through a pipe.
#include <benchmark/benchmark.h>

#include <efi/host/module_loader.h>
#include <efi/host/session.h>

#include <poll.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cfenv>
#include <chrono>
#include <csignal>
#include <span>
#include <vector>

using Vrn::Run::Object;

namespace {

// A call leaves the host's trapping word in force; the framework computes
// in its own environment.
struct FpRestore {
    std::fenv_t env;
    FpRestore() { std::fegetenv(&env); }
    ~FpRestore() { std::fesetenv(&env); }
};

const Vrn::Run::Function& InProcess(const char* name) {
    static const std::vector<Efi::ModuleFunction> fns = Efi::LoadModule(EFI_SAMPLE_MODULE);
    for (const Efi::ModuleFunction& f : fns)
        if (f.name == name) return *f.function.as<Vrn::Run::Function>();
    std::abort();
}

const Vrn::Run::Function& Isolated(const char* name) {
    static Efi::HostSession* session = [] {
        auto* s = new Efi::HostSession;
        s->LoadModule(EFI_SAMPLE_MODULE, {.isolated = true});
        return s;
    }();
    return *session->Find(name)->function.as<Vrn::Run::Function>();
}

void TwoNumbers(benchmark::State& state, const Vrn::Run::Function& f) {
    FpRestore fp;
    const Object args[] = {Vrn::Run::Number(1, 2), Vrn::Run::Number(3, -4)};
    for (auto _ : state) benchmark::DoNotOptimize(f.Call(args));
}

void BM_IsolatedTwoNumbers__baseline(benchmark::State& state) { TwoNumbers(state, InProcess("sample_add")); }
void BM_IsolatedTwoNumbers__isolated(benchmark::State& state) { TwoNumbers(state, Isolated("sample_add")); }

// Waits awake for up to 50 us before a read, as both ends of the channel
// do, so the floor pays the same wake-ups.
void AwaitBriefly(int fd) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds(50);
    pollfd p{fd, POLLIN, 0};
    do {
        if (::poll(&p, 1, 0) != 0) return;
        ::sched_yield();  // the other side may be waiting for this processor
    } while (std::chrono::steady_clock::now() < until);
}

// The floor: what a call of two numbers puts on the channel (the 16-byte
// header, the function's index, the count and two tagged numbers) to a
// child process, and what the reply brings back (a header and a tagged
// number), through a pair of pipes.
void BM_IsolatedTwoNumbers__pipe_round_trip(benchmark::State& state) {
    constexpr std::size_t kRequest = 16 + 4 + 4 + 2 * 17, kReply = 16 + 17;
    int there[2], back[2];
    if (::pipe(there) || ::pipe(back)) return state.SkipWithError("no pipe");
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(there[1]);
        ::close(back[0]);
        char buf[kRequest];
        while ((AwaitBriefly(there[0]), ::read(there[0], buf, kRequest)) == static_cast<ssize_t>(kRequest))
            if (::write(back[1], buf, kReply) != static_cast<ssize_t>(kReply)) break;
        ::_exit(0);
    }
    ::close(there[0]);
    ::close(back[1]);
    char request[kRequest] = {}, reply[kReply];
    for (auto _ : state) {
        if (::write(there[1], request, kRequest) != static_cast<ssize_t>(kRequest) ||
            (AwaitBriefly(back[0]), ::read(back[0], reply, kReply)) != static_cast<ssize_t>(kReply))
            return state.SkipWithError("the echo ended");
        benchmark::DoNotOptimize(reply);
    }
    ::close(there[1]);
    ::close(back[0]);
    ::waitpid(child, nullptr, 0);
}

// sample_scale(2, M) of an n x n real matrix: the matrix goes there and the
// result comes back, each by shared memory.
void ScaleMatrix(benchmark::State& state, const Vrn::Run::Function& f) {
    FpRestore fp;
    const int n = static_cast<int>(state.range(0));
    std::vector<double> values(static_cast<std::size_t>(n) * n);
    for (std::size_t k = 0; k < values.size(); ++k) values[k] = static_cast<double>(k % 1000) * 0.5;
    const Object args[] = {Vrn::Run::Number(2), Vrn::Run::Matrix(n, n, values)};
    for (auto _ : state) benchmark::DoNotOptimize(f.Call(args));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * n * n * 8 * 2);
}

void BM_IsolatedMatrix__baseline(benchmark::State& state) { ScaleMatrix(state, InProcess("sample_scale")); }
void BM_IsolatedMatrix__isolated(benchmark::State& state) { ScaleMatrix(state, Isolated("sample_scale")); }

}  // namespace

BENCHMARK(BM_IsolatedTwoNumbers__baseline);
BENCHMARK(BM_IsolatedTwoNumbers__isolated);
BENCHMARK(BM_IsolatedTwoNumbers__pipe_round_trip);
BENCHMARK(BM_IsolatedMatrix__baseline)->Arg(1000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_IsolatedMatrix__isolated)->Arg(1000)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
