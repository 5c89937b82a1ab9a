// Downloading a 100 MB resource from a server on 127.0.0.1: through the
// redirector (into its temporary file) against the curl command-line tool
// (into a file in the same directory), in the same run.
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>
#include <efi/efi.h>
#include <spawn.h>
#include <sys/wait.h>

#include "../tests/redirect/loopback_server.h"

namespace {

constexpr std::size_t kSize = std::size_t{100} << 20;

/// The served file, the server and a private temporary directory, made once.
struct Setup {
    redirect_test::ScratchDir root;
    redirect_test::ScratchDir tmp;
    std::unique_ptr<redirect_test::LoopbackServer> server;
    std::string url;

    Setup() {
        ::setenv("no_proxy", "127.0.0.1,localhost,::1", 1);
        ::setenv("NO_PROXY", "127.0.0.1,localhost,::1", 1);
        ::setenv("TMPDIR", tmp.path().c_str(), 1);
        redirect_test::WriteFile(root.path() / "big.bin", redirect_test::Pattern(kSize));
        server = std::make_unique<redirect_test::LoopbackServer>(EFI_REDIRECT_SERVER_SCRIPT, root.path());
        url = server->Url("/big.bin");
    }
};

Setup& Shared() {
    static Setup setup;
    return setup;
}

void BM_download__redirector(benchmark::State& state) {
    Setup& s = Shared();
    for (auto _ : state) {
        CHTTPRedirector r(s.url.c_str(), "", CHTTPRedirector::eRead);
        benchmark::DoNotOptimize(r.GetFullFileName());
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}
BENCHMARK(BM_download__redirector)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_download__baseline(benchmark::State& state) {
    Setup& s = Shared();
    const std::string out = (s.tmp.path() / "curl.bin").string();
    const char* argv[] = {"curl", "-s", "-f", "-o", out.c_str(), s.url.c_str(), nullptr};
    for (auto _ : state) {
        pid_t pid = 0;
        int status = 0;
        if (::posix_spawnp(&pid, "curl", nullptr, nullptr, const_cast<char* const*>(argv), environ) != 0 ||
            ::waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            state.SkipWithError("curl failed");
            break;
        }
        std::filesystem::remove(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}
BENCHMARK(BM_download__baseline)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
