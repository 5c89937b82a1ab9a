// Downloads from servers on 127.0.0.1 through the redirector (into its
// temporary files) against the curl command-line tool (into files in the
// same directory), in the same run: one 100 MB resource, and 200 resources
// of 1 kB over HTTPS one after the other (the tool fetching all 200 in one
// invocation, over one connection). Write-backs to an Apache httpd with
// WebDAV and locks (read, edit, write back through one object) against the
// curl tool fetching and then storing the same resources: one 100 MB file
// (plain, whose ETag names the version, and compressed, whose body is read
// again and compared), and 200 files of 1 kB.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <efi/efi.h>

#include "../tests/redirect/apache_server.h"
#include "../tests/redirect/loopback_server.h"
#include "../tests/redirect/nginx_server.h"

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
        if (!redirect_test::RunQuietly(argv)) {
            state.SkipWithError("curl failed");
            break;
        }
        std::filesystem::remove(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}
BENCHMARK(BM_download__baseline)->Unit(benchmark::kMillisecond)->UseRealTime();

constexpr int kSmallFiles = 200;

/// nginx over HTTPS serving kSmallFiles files of 1 kB, its certificate
/// trusted through CURL_CA_BUNDLE.
struct SmallFiles {
    redirect_test::ScratchDir root;
    std::unique_ptr<redirect_test::NginxServer> server;
    std::vector<std::string> urls;

    SmallFiles() {
        Shared();  // the private $TMPDIR
        std::filesystem::create_directories(root.path() / "dav");
        for (int i = 0; i < kSmallFiles; ++i) {
            const std::string name = "small" + std::to_string(i) + ".bin";
            redirect_test::WriteFile(root.path() / "dav" / name, redirect_test::Pattern(1000));
        }
        server = std::make_unique<redirect_test::NginxServer>(root.path());
        ::setenv("CURL_CA_BUNDLE", server->CertificatePath().c_str(), 1);
        for (int i = 0; i < kSmallFiles; ++i) urls.push_back(server->TlsUrl("/dav/small" + std::to_string(i) + ".bin"));
    }
};

SmallFiles& Small() {
    static SmallFiles files;
    return files;
}

void BM_small_https__redirector(benchmark::State& state) {
    SmallFiles& s = Small();
    for (auto _ : state) {
        try {
            for (const std::string& url : s.urls) {
                CHTTPRedirector r(url.c_str(), "", CHTTPRedirector::eRead);
                benchmark::DoNotOptimize(r.GetFullFileName());
            }
        } catch (const _com_error& e) {
            state.SkipWithError(e.ErrorMessage());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kSmallFiles);
}
BENCHMARK(BM_small_https__redirector)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_small_https__baseline(benchmark::State& state) {
    SmallFiles& s = Small();
    const std::string cert = s.server->CertificatePath().string();
    std::vector<std::string> outs;
    for (int i = 0; i < kSmallFiles; ++i) outs.push_back((Shared().tmp.path() / ("curl" + std::to_string(i))).string());
    std::vector<const char*> argv = {"curl", "-s", "-f", "--cacert", cert.c_str()};
    for (int i = 0; i < kSmallFiles; ++i) {
        argv.push_back("-o");
        argv.push_back(outs[i].c_str());
        argv.push_back(s.urls[i].c_str());
    }
    argv.push_back(nullptr);
    for (auto _ : state) {
        if (!redirect_test::RunQuietly(argv.data())) {
            state.SkipWithError("curl failed");
            break;
        }
        for (const std::string& out : outs) std::filesystem::remove(out);
    }
    state.SetItemsProcessed(state.iterations() * kSmallFiles);
}
BENCHMARK(BM_small_https__baseline)->Unit(benchmark::kMillisecond)->UseRealTime();

/// Apache serving a 100 MB file under /dav/ and /gz/ (compressed for a
/// client that accepts it) and kSmallFiles files of 1 kB under /dav/.
struct WriteBacks {
    redirect_test::ScratchDir root;
    std::unique_ptr<redirect_test::ApacheServer> server;
    std::vector<std::filesystem::path> files;
    std::vector<std::string> urls;

    WriteBacks() {
        // The server's directories are made in the private $TMPDIR, which
        // its workers (run as "nobody" when started by root) must pass.
        std::filesystem::permissions(Shared().tmp.path(), std::filesystem::perms::others_exec,
                                     std::filesystem::perm_options::add);
        server = std::make_unique<redirect_test::ApacheServer>(root.path());
        const std::string big = redirect_test::Pattern(kSize);
        redirect_test::WriteFile(root.path() / "dav" / "big.bin", big);
        redirect_test::WriteFile(root.path() / "gz" / "big.bin", big);
        for (int i = 0; i < kSmallFiles; ++i) {
            const std::string name = "small" + std::to_string(i) + ".bin";
            files.push_back(root.path() / "dav" / name);
            redirect_test::WriteFile(files.back(), redirect_test::Pattern(1000));
            urls.push_back(server->Url("/dav/" + name));
        }
    }

    /// Dates the files an hour back, as files nobody changed for a while
    /// are: the server then names their versions by strong ETags.
    void Age() const {
        const auto old = std::filesystem::file_time_type::clock::now() - std::chrono::hours(1);
        for (const auto& f : files) std::filesystem::last_write_time(f, old);
        for (const char* dir : {"dav", "gz"}) std::filesystem::last_write_time(root.path() / dir / "big.bin", old);
    }
};

WriteBacks& Backs() {
    static WriteBacks backs;
    return backs;
}

void WriteBackOnce(const std::string& url) {
    CHTTPRedirector r(url.c_str(), "", CHTTPRedirector::eRead | CHTTPRedirector::eWrite);
    benchmark::DoNotOptimize(r.GetFullFileName());
}

void WriteBackBig(benchmark::State& state, const char* path) {
    WriteBacks& w = Backs();
    const std::string url = w.server->Url(path);
    for (auto _ : state) {
        state.PauseTiming();
        w.Age();
        state.ResumeTiming();
        try {
            WriteBackOnce(url);
        } catch (const _com_error& e) {
            state.SkipWithError(e.ErrorMessage());
            break;
        }
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}

void BM_writeback_big__redirector(benchmark::State& state) { WriteBackBig(state, "/dav/big.bin"); }
BENCHMARK(BM_writeback_big__redirector)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_writeback_big__redirector_compressed(benchmark::State& state) { WriteBackBig(state, "/gz/big.bin"); }
BENCHMARK(BM_writeback_big__redirector_compressed)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_writeback_big__baseline(benchmark::State& state) {
    WriteBacks& w = Backs();
    const std::string url = w.server->Url("/dav/big.bin");
    const std::string out = (Shared().tmp.path() / "curl.bin").string();
    for (auto _ : state) {
        const char* get[] = {"curl", "-s", "-f", "-o", out.c_str(), url.c_str(), nullptr};
        const char* put[] = {"curl", "-s", "-f", "-T", out.c_str(), url.c_str(), nullptr};
        if (!redirect_test::RunQuietly(get) || !redirect_test::RunQuietly(put)) {
            state.SkipWithError("curl failed");
            break;
        }
        std::filesystem::remove(out);
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSize));
}
BENCHMARK(BM_writeback_big__baseline)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_writeback_small__redirector(benchmark::State& state) {
    WriteBacks& w = Backs();
    for (auto _ : state) {
        state.PauseTiming();
        w.Age();
        state.ResumeTiming();
        try {
            for (const std::string& url : w.urls) WriteBackOnce(url);
        } catch (const _com_error& e) {
            state.SkipWithError(e.ErrorMessage());
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * kSmallFiles);
}
BENCHMARK(BM_writeback_small__redirector)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_writeback_small__baseline(benchmark::State& state) {
    WriteBacks& w = Backs();
    std::vector<std::string> outs;
    for (int i = 0; i < kSmallFiles; ++i) outs.push_back((Shared().tmp.path() / ("up" + std::to_string(i))).string());
    std::vector<const char*> get = {"curl", "-s", "-f"}, put = {"curl", "-s", "-f"};
    for (int i = 0; i < kSmallFiles; ++i) {
        get.insert(get.end(), {"-o", outs[i].c_str(), w.urls[i].c_str()});
        put.insert(put.end(), {"-T", outs[i].c_str(), w.urls[i].c_str()});
    }
    get.push_back(nullptr);
    put.push_back(nullptr);
    for (auto _ : state) {
        if (!redirect_test::RunQuietly(get.data()) || !redirect_test::RunQuietly(put.data())) {
            state.SkipWithError("curl failed");
            break;
        }
        for (const std::string& out : outs) std::filesystem::remove(out);
    }
    state.SetItemsProcessed(state.iterations() * kSmallFiles);
}
BENCHMARK(BM_writeback_small__baseline)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
