// The host's side of an isolated module's channel distrusts its peer: the
// worker runs code nobody vouched for, so a reply that breaks the channel's
// rules ends that call with an exact error, the worker killed and reaped and
// nothing of it left open, however large the counts the reply claims. A
// stand-in worker (fake_worker.cpp) sends the bytes each row gives; the
// messages are written out by hand here, as the channel lays them out.
#include <gmock/gmock.h>

#include <efi/host/callbacks.h>
#include <efi/host/module_loader.h>
#include <efi/host/session.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "open_files.h"

extern char** environ;

namespace {

using Vrn::Run::Object;

// Message kinds and value tags as the channel numbers them.
enum Kind : std::uint32_t {
    kLoad = 1,
    kTable,
    kModuleRefused,
    kCall,
    kResult,
    kWorksheetError,
    kFault,
    kForeign,
    kHeld,
    kCallback,
    kCallbackResult,
    kRequestRefused
};
enum Tag : std::uint8_t { kNull = 0, kNumber, kMatrix, kText };

template <class T>
std::string Raw(T v) {
    return std::string(reinterpret_cast<const char*>(&v), sizeof v);
}
std::string U8(std::uint8_t v) { return Raw(v); }
std::string U32(std::uint32_t v) { return Raw(v); }
std::string I32(std::int32_t v) { return Raw(v); }
std::string U64(std::uint64_t v) { return Raw(v); }
std::string Utf8(const std::string& s) { return U64(s.size()) + s; }

// A message: its header (kind, where the body lies, the body's size) and an
// inline body. `size` claims another size than the body's.
std::string Message(std::uint32_t kind, const std::string& body, std::uint32_t inFile = 0,
                    std::optional<std::uint64_t> size = {}) {
    return U32(kind) + U32(inFile) + U64(size.value_or(body.size())) + (inFile ? "" : body);
}

// A 1 x 1 real matrix holding `x`, with `nested` as its one nested element
// when given.
std::string Matrix(double x, const std::string& nested = "") {
    return U8(kMatrix) + I32(1) + I32(1) + U8(0) + Raw(x) + U32(nested.empty() ? 0 : 1) +
           (nested.empty() ? "" : I32(0) + I32(0) + nested);
}

// A function's description as the channel lays it out: its flags, summary
// and help, then its parameters (a name and a help each) and its messages,
// each list after its count.
std::string Description(const std::string& summary = "", const std::string& help = "",
                        const std::vector<std::string>& params = {}, std::uint8_t flags = 0) {
    std::string body = U8(flags) + Utf8(summary) + Utf8(help) + U32(static_cast<std::uint32_t>(params.size()));
    for (const std::string& p : params) body += Utf8(p) + Utf8("");
    return body + U32(0);
}

// The table a sound worker reports: one function "f" of one number, with
// `description`.
std::string Table(std::uint32_t count = 1, std::uint32_t args = 1, const std::string& description = Description()) {
    std::string body = U32(count) + Utf8("f") + I32(1) + U32(args);
    for (std::uint32_t k = 0; k < args && k < 8; ++k) body += I32(1);
    return Message(kTable, body + I32(1) + Utf8("") + description);
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char two[3];
    for (unsigned char c : bytes) {
        std::snprintf(two, sizeof two, "%02x", c);
        out += two;
    }
    return out;
}

bool Gone(pid_t pid) { return ::kill(pid, 0) == -1 && errno == ESRCH; }

struct Reply {
    const char* what;
    std::string load;            ///< the answer to Load
    std::string call;            ///< the answer to the call, if the table is sound
    std::optional<int> end;      ///< the fake's exit status after it; none: it waits to be killed
    std::string error;           ///< the error, exact
    const char* area = nullptr;  ///< the size of an unsealed area passed before the call's answer
};

// Loads the fake as a module and calls "f" once; the error of whichever
// failed.
std::string Outcome(const Reply& r, const std::string& pidFile) {
    ::setenv("EFI_WORKER", EFI_FAKE_WORKER, 1);
    ::setenv("EFI_FAKE_PID", pidFile.c_str(), 1);
    ::setenv("EFI_FAKE_LOAD", Hex(r.load).c_str(), 1);
    if (r.call.empty()) ::unsetenv("EFI_FAKE_CALL");
    else ::setenv("EFI_FAKE_CALL", Hex(r.call).c_str(), 1);
    if (r.area) ::setenv("EFI_FAKE_AREA", r.area, 1);
    else ::unsetenv("EFI_FAKE_AREA");
    if (r.end) ::setenv("EFI_FAKE_END", std::to_string(*r.end).c_str(), 1);
    else ::unsetenv("EFI_FAKE_END");
    std::string error = "no error";
    try {
        Efi::HostSession s;
        s.LoadModule(EFI_TEST_MODULE, {.isolated = true});
        const Object args[] = {Vrn::Run::Number(1, 0)};
        s.Find("f")->function.as<Vrn::Run::Function>()->Call(args);
    } catch (const Efi::ModuleError& e) {
        error = e.what();
    } catch (const Efi::ModuleProcessEnded& e) {
        error = e.what();
    }
    Efi::ClearHostCallbacks();
    for (const char* v :
         {"EFI_WORKER", "EFI_FAKE_PID", "EFI_FAKE_LOAD", "EFI_FAKE_CALL", "EFI_FAKE_AREA", "EFI_FAKE_END"})
        ::unsetenv(v);
    return error;
}

TEST(IsolatedChannel, AMalformedReplyEndsTheCallAndTheWorker) {
    const std::string loading = "module \"" EFI_TEST_MODULE "\": the module's process ";
    const std::string malformedLoad = loading + "sent a malformed reply while loading it";
    const std::string malformed = "f: the module's process sent a malformed reply";
    std::string deep = U8(kNull);
    for (int k = 0; k < 300; ++k) deep = Matrix(k, deep);
    const std::string noMessages = Description();
    const std::string countless = noMessages.substr(0, noMessages.size() - 4);  // all but the message count
    // What a call gets should a malformed description pass: "no error".
    const std::string passed = Message(kResult, U8(kNull));
    const Reply replies[] = {
        {"a table of 2^32-1 functions", Message(kTable, U32(UINT32_MAX)), "", {}, malformedLoad},
        {"an entry with 2^32-1 argument codes", Table(1, UINT32_MAX), "", {}, malformedLoad},
        {"two names for one argument", Table(1, 1, Description("", "", {"a", "b"})), passed, {}, malformedLoad},
        {"a parameter name that is no identifier", Table(1, 1, Description("", "", {"1x"})), passed, {}, malformedLoad},
        {"a parameter named twice", Table(1, 2, Description("", "", {"a", "a"})), passed, {}, malformedLoad},
        {"a summary past 1024 bytes", Table(1, 1, Description(std::string(1025, 's'))), passed, {}, malformedLoad},
        {"a summary of two lines", Table(1, 1, Description("one\ntwo")), passed, {}, malformedLoad},
        {"help that is not UTF-8", Table(1, 1, Description("", "caf\xe9")), passed, {}, malformedLoad},
        {"help of 2^62 bytes", Table(1, 1, U8(0) + Utf8("") + U64(1ull << 62)), passed, {}, malformedLoad},
        {"a flag no table has", Table(1, 1, Description("", "", {}, 4)), passed, {}, malformedLoad},
        {"65535 messages in a short body", Table(1, 1, countless + U32(65535)), passed, {}, malformedLoad},
        {"more messages than a table may hold", Table(1, 1, countless + U32(65536)), passed, {}, malformedLoad},
        {"a function without a name",
         Message(kTable, U32(1) + Utf8("") + I32(1) + U32(1) + I32(1) + I32(1) + Utf8("") + Description()),
         passed,
         {},
         malformedLoad},
        {"a value where the table belongs", Message(kResult, U8(kNull)), "", {}, malformedLoad},
        {"a table cut short, then the end", Table().substr(0, 20), "", 5,
         loading + "ended while loading it (exit status 5)"},
        {"a kind no worker sends", Table(), Message(99, ""), {}, malformed},
        {"2^31-1 x 2^31-1 complex elements",
         Table(),
         Message(kResult, U8(kMatrix) + I32(INT_MAX) + I32(INT_MAX) + U8(1)),
         {},
         malformed},
        {"a million elements in a short body",
         Table(),
         Message(kResult, U8(kMatrix) + I32(1000) + I32(1000) + U8(0) + Raw(1.0)),
         {},
         malformed},
        {"a negative row count", Table(), Message(kResult, U8(kMatrix) + I32(-1) + I32(1) + U8(0)), {}, malformed},
        {"a negative column count", Table(), Message(kResult, U8(kMatrix) + I32(1) + I32(-1) + U8(0)), {}, malformed},
        {"an imaginary plane flag of 2",
         Table(),
         Message(kResult, U8(kMatrix) + I32(1) + I32(1) + U8(2) + Raw(1.0) + Raw(1.0) + U32(0)),
         {},
         malformed},
        {"a nested element past the last row",
         Table(),
         Message(kResult, U8(kMatrix) + I32(1) + I32(1) + U8(0) + Raw(1.0) + U32(1) + I32(1) + I32(0) + U8(kNull)),
         {},
         malformed},
        {"a nested element past the last column",
         Table(),
         Message(kResult, U8(kMatrix) + I32(1) + I32(1) + U8(0) + Raw(1.0) + U32(1) + I32(0) + I32(1) + U8(kNull)),
         {},
         malformed},
        {"a nested element at row -1",
         Table(),
         Message(kResult, U8(kMatrix) + I32(1) + I32(1) + U8(0) + Raw(1.0) + U32(1) + I32(-1) + I32(0) + U8(kNull)),
         {},
         malformed},
        {"a nested element at column -1",
         Table(),
         Message(kResult, U8(kMatrix) + I32(1) + I32(1) + U8(0) + Raw(1.0) + U32(1) + I32(0) + I32(-1) + U8(kNull)),
         {},
         malformed},
        {"more nested elements than the matrix has",
         Table(),
         Message(kResult, U8(kMatrix) + I32(1) + I32(1) + U8(0) + Raw(1.0) + U32(2)),
         {},
         malformed},
        {"matrices nested 300 deep", Table(), Message(kResult, deep), {}, malformed},
        {"a text of 2^62 characters", Table(), Message(kResult, U8(kText) + U64(1ull << 62)), {}, malformed},
        {"an unknown value tag", Table(), Message(kResult, U8(9)), {}, malformed},
        {"bytes after the value", Table(), Message(kResult, U8(kNull) + U8(0)), {}, malformed},
        {"a second reply behind the first",
         Table(),
         Message(kResult, U8(kNull)) + Message(kResult, U8(kNull)),
         {},
         malformed},
        {"an inline body past the largest", Table(), Message(kResult, "", 0, 48 * 1024 + 1), {}, malformed},
        {"a body in an area never passed", Table(), Message(kResult, "", 2, 1), {}, malformed},
        {"a body in an area that can be cut short", Table(), Message(kResult, "", 2, 1), {}, malformed, "4096"},
        {"a held failure the host never kept", Table(), Message(kHeld, U32(5)), {}, malformed},
        {"a foreign failure of no known kind", Table(), Message(kForeign, U8(7) + Utf8("")), {}, malformed},
        {"a callback cut short", Table(), Message(kCallback, Utf8("g")), {}, malformed},
        // Not malformed: a value of a kind that does not cross is the result as a stand-in of its kind.
        {"a value of another kind", Table(), Message(kResult, U8(5)), {}, "no error"},
        // Not malformed: the worker's refusal of a request, in its words.
        {"a refusal of the call",
         Table(),
         Message(kRequestRefused, Utf8("no function at index 0 (the table has 0)")),
         {},
         "f: the module's process refused the call: no function at index 0 (the table has 0)"},
        {"a refusal cut short", Table(), Message(kRequestRefused, U64(5)), {}, malformed},
        {"a reply cut short, then the end", Table(), Message(kResult, U8(kNull), 0, 100), 7,
         "f: the module's process ended (exit status 7)"},
    };
    // Named by this process: two test runs on one machine keep apart.
    const std::string pidFile = ::testing::TempDir() + "fake_worker." + std::to_string(::getpid()) + ".pid";
    for (const Reply& r : replies) {
        const std::size_t files = efi_test::OpenFiles();
        EXPECT_EQ(Outcome(r, pidFile), r.error) << r.what;
        long pid = 0;
        std::ifstream(pidFile) >> pid;
        ASSERT_GT(pid, 0) << r.what;
        EXPECT_TRUE(Gone(static_cast<pid_t>(pid))) << r.what;  // killed and reaped
        EXPECT_EQ(efi_test::OpenFiles(), files) << r.what;
        std::remove(pidFile.c_str());
    }
}

// Reads one message from `fd`: its kind and body.
std::pair<std::uint32_t, std::string> ReadMessage(int fd) {
    std::string header(16, '\0'), body;
    for (std::size_t have = 0; have < header.size();) {
        const ssize_t n = ::read(fd, header.data() + have, header.size() - have);
        if (n <= 0) return {0, ""};
        have += static_cast<std::size_t>(n);
    }
    std::uint32_t kind;
    std::uint64_t size;
    std::memcpy(&kind, header.data(), sizeof kind);
    std::memcpy(&size, header.data() + 8, sizeof size);
    body.resize(size);
    for (std::size_t have = 0; have < size;) {
        const ssize_t n = ::read(fd, body.data() + have, size - have);
        if (n <= 0) return {0, ""};
        have += static_cast<std::size_t>(n);
    }
    return {kind, body};
}

// efi-worker asked, by a host, for a function its module does not have
// says so and ends, rather than ending as if the host had gone.
TEST(IsolatedChannel, TheWorkerRefusesAFunctionItDoesNotHave) {
    int toWorker[2], toHost[2], sockets[2];
    ASSERT_EQ(::pipe2(toWorker, O_CLOEXEC), 0);
    ASSERT_EQ(::pipe2(toHost, O_CLOEXEC), 0);
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toWorker[0], 3);
    posix_spawn_file_actions_adddup2(&actions, toHost[1], 4);
    posix_spawn_file_actions_adddup2(&actions, sockets[1], 5);
    const std::string parent = std::to_string(::getpid());
    char* argv[] = {const_cast<char*>("efi-worker"), const_cast<char*>("--channel"),    const_cast<char*>("3"),
                    const_cast<char*>("--parent"),   const_cast<char*>(parent.c_str()), nullptr};
    pid_t pid = -1;
    ASSERT_EQ(::posix_spawn(&pid, EFI_WORKER_PROGRAM, &actions, nullptr, argv, environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    for (int fd : {toWorker[0], toHost[1], sockets[1]}) ::close(fd);

    const std::string load = Message(kLoad, Utf8(EFI_TEST_MODULE) + Utf8("C"));
    ASSERT_EQ(::write(toWorker[1], load.data(), load.size()), static_cast<ssize_t>(load.size()));
    const auto [tableKind, table] = ReadMessage(toHost[0]);
    ASSERT_EQ(tableKind, kTable);
    std::uint32_t functions = 0;
    std::memcpy(&functions, table.data(), sizeof functions);
    const std::string call = Message(kCall, U32(9999) + U32(0));
    ASSERT_EQ(::write(toWorker[1], call.data(), call.size()), static_cast<ssize_t>(call.size()));
    const auto [kind, body] = ReadMessage(toHost[0]);
    EXPECT_EQ(kind, kRequestRefused);
    EXPECT_EQ(body, Utf8("no function at index 9999 (the table has " + std::to_string(functions) + ")"));
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
    for (int fd : {toWorker[1], toHost[0], sockets[0]}) ::close(fd);
}

}  // namespace
