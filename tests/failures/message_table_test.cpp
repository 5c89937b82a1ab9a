// Diagnostics and the message-table checks, observed from a child process
// with a controlled environment: KS_DEBUG is read when the library loads, and
// LD_LIBRARY_PATH decides whether libnewmsg.so is found.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "message_texts.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;

struct ProbeResult {
    int exit_code = -1;
    std::string out, err;
};

std::string ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A fresh empty directory, removed with the object.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "efi-failures-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

// Runs the probe with the inherited environment minus KS_DEBUG and
// LD_LIBRARY_PATH, plus `env`; an entry with a null value stays unset.
ProbeResult RunProbe(const std::vector<std::string>& args, const std::map<std::string, const char*>& env) {
    std::vector<std::string> entries;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        if (entry.rfind("KS_DEBUG=", 0) == 0 || entry.rfind("LD_LIBRARY_PATH=", 0) == 0) continue;
        entries.push_back(entry);
    }
    for (const auto& [name, value] : env)
        if (value) entries.push_back(name + "=" + value);
    std::vector<char*> envp;
    for (std::string& entry : entries) envp.push_back(entry.data());
    envp.push_back(nullptr);

    std::vector<std::string> argv_text{EFI_PROBE};
    argv_text.insert(argv_text.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : argv_text) argv.push_back(a.data());
    argv.push_back(nullptr);

    TempDir capture;
    const fs::path out = capture.path() / "out", err = capture.path() / "err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid;
    ProbeResult result;
    if (posix_spawn(&pid, EFI_PROBE, &actions, nullptr, argv.data(), envp.data()) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    posix_spawn_file_actions_destroy(&actions);
    result.out = ReadFile(out);
    result.err = ReadFile(err);
    return result;
}

const char* const kNewmsg = EFI_NEWMSG_DIR;
const char* const kNewmsgWithoutEntry = EFI_NEWMSG_WITHOUT_ENTRY_DIR;

std::string MissingReport(const std::string& message) {
    return "ks: assertion 'The error message: \"" + message +
           "\" doesn't exist in the message table!  It might not be localized.' failed.\n";
}

// ---- Diagnostic level ----------------------------------------------------

TEST(DiagnosticLevel, UnsetEmptyOrNonNumericWritesNothing) {
    for (const char* level : {static_cast<const char*>(nullptr), "", "abc", "0"}) {
        SCOPED_TRACE(level ? level : "(unset)");
        ProbeResult r = RunProbe({"assert", "no such text"}, {{"KS_DEBUG", level}, {"LD_LIBRARY_PATH", kNewmsg}});
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_EQ(r.out, "returned");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(RunProbe({"assertion", "x"}, {{"KS_DEBUG", level}}).out, "0");
    }
}

TEST(DiagnosticLevel, OneWritesTheBareLine) {
    ProbeResult r = RunProbe({"assert", "no such text"}, {{"KS_DEBUG", "1"}, {"LD_LIBRARY_PATH", kNewmsg}});
    EXPECT_EQ(r.out, "returned");
    EXPECT_EQ(r.err, MissingReport("no such text"));
    EXPECT_EQ(RunProbe({"assertion", "x"}, {{"KS_DEBUG", "1"}}).out, "1");
}

TEST(DiagnosticLevel, TwoAndAboveAddTheLocation) {
    for (const char* level : {"2", "7abc"}) {
        SCOPED_TRACE(level);
        ProbeResult r = RunProbe({"assert", "no such text"}, {{"KS_DEBUG", level}, {"LD_LIBRARY_PATH", kNewmsg}});
        const std::size_t split = r.err.find(") : ");
        ASSERT_NE(split, std::string::npos) << r.err;
        const std::string location = r.err.substr(0, split);
        const std::size_t open = location.rfind('(');
        ASSERT_NE(open, std::string::npos);
        EXPECT_TRUE(location.substr(0, open).ends_with("errors.cpp")) << location;
        EXPECT_GT(std::stoul(location.substr(open + 1)), 0u) << location;
        EXPECT_EQ(r.err.substr(split + 4), MissingReport("no such text"));
    }
}

TEST(DiagnosticLevel, KnownTextIsNotReported) {
    ProbeResult r = RunProbe({"assert", "must be a real"}, {{"KS_DEBUG", "2"}, {"LD_LIBRARY_PATH", kNewmsg}});
    EXPECT_EQ(r.out, "returned");
    EXPECT_EQ(r.err, "");
}

// ---- Cuts ----------------------------------------------------------------

TEST(TraceCut, LongMessageIsCutToTheRoomLeftAndStillEndsTheLine) {
    const std::string prefix = "probe.cpp(42) : ";
    EXPECT_EQ(RunProbe({"trace", "5000", "1"}, {{"KS_DEBUG", "1"}}).err, std::string(4095, 'x') + "\n");
    EXPECT_EQ(RunProbe({"trace", "5000", "0"}, {{"KS_DEBUG", "1"}}).err, std::string(4095, 'x'));
    EXPECT_EQ(RunProbe({"trace", "5000", "1"}, {{"KS_DEBUG", "2"}}).err,
              prefix + std::string(4095 - prefix.size(), 'x') + "\n");
    EXPECT_EQ(RunProbe({"trace", "10", "0"}, {{"KS_DEBUG", "2"}}).err, prefix + std::string(10, 'x'));
}

TEST(AssertionCut, AssertionTextIsCutAt512Characters) {
    const std::string head = "The error message: \"";
    const std::string tail = "\" doesn't exist in the message table!  It might not be localized.";
    ASSERT_EQ(head.size() + tail.size(), 85u);
    const std::string fits(427, 'z'), over(428, 'z'), far(600, 'z');
    auto report = [](const std::string& message) {
        return RunProbe({"assert", message}, {{"KS_DEBUG", "1"}, {"LD_LIBRARY_PATH", kNewmsg}}).err;
    };
    EXPECT_EQ(report(fits), MissingReport(fits));
    EXPECT_EQ(report(over), "ks: assertion '" + (head + over + tail).substr(0, 512) + "' failed.\n");
    EXPECT_EQ(report(far), "ks: assertion '" + head + std::string(492, 'z') + "' failed.\n");
}

// ---- Finding the message library ------------------------------------------

TEST(MessageLibrary, AbsentAnswersFalseAndIsLookedForAgain) {
    TempDir empty;
    EXPECT_EQ(RunProbe({"valid", "must be a real"}, {{"LD_LIBRARY_PATH", empty.path().c_str()}}).out, "0");
    // The library appears between two checks of one process.
    const std::string library = (fs::path(kNewmsg) / "libnewmsg.so").string();
    ProbeResult r = RunProbe({"retry", empty.path().string(), library}, {{"LD_LIBRARY_PATH", empty.path().c_str()}});
    EXPECT_EQ(r.out, "01");
}

TEST(MessageLibrary, AbsentMakesEveryAssertionReport) {
    TempDir empty;
    ProbeResult r =
        RunProbe({"assert", "must be a real"}, {{"KS_DEBUG", "1"}, {"LD_LIBRARY_PATH", empty.path().c_str()}});
    EXPECT_EQ(r.err, MissingReport("must be a real"));
}

TEST(MessageLibrary, WithoutEntryIsLoadedAgainPerCall) {
    ProbeResult r = RunProbe({"loads", "3"}, {{"LD_LIBRARY_PATH", kNewmsgWithoutEntry}});
    EXPECT_EQ(r.out, "000 3");
}

TEST(MessageLibrary, FoundEntryIsKept) {
    ProbeResult r = RunProbe({"loads", "3"}, {{"LD_LIBRARY_PATH", kNewmsg}});
    EXPECT_EQ(r.out, "111 1");
}

TEST(MessageLibrary, TableHoldsTheLibraryTextsOnly) {
    // One standard text, texts of the unit conversions, the special
    // functions and the fault wordings; then near misses.
    ProbeResult r = RunProbe({"valid", "must be a real", "vector must be sorted", "must be a 3 element vector",
                              "bad_hhmmss_string", "must be positive integer", "singularity", "floating point error",
                              "no such text", "", "must be a real ", "Must be a real"},
                             {{"LD_LIBRARY_PATH", kNewmsg}});
    EXPECT_EQ(r.out, "11111110000");
}

TEST(MessageLibrary, TableHoldsEveryStandardAndLibraryText) {
    std::vector<std::string> args{"valid"};
    args.insert(args.end(), std::begin(efitest::kStandardTexts), std::end(efitest::kStandardTexts));
    args.insert(args.end(), std::begin(efitest::kLibraryTexts), std::end(efitest::kLibraryTexts));
    const ProbeResult r = RunProbe(args, {{"LD_LIBRARY_PATH", kNewmsg}});
    const std::string answers = r.out;
    ASSERT_EQ(answers.size(), args.size() - 1) << r.err;
    for (std::size_t k = 0; k < answers.size(); ++k) EXPECT_EQ(answers[k], '1') << "not in the table: " << args[k + 1];
}

TEST(MessageLibrary, NullMessageAnswersFalseAndIsReported) {
    ProbeResult r = RunProbe({"null"}, {{"KS_DEBUG", "1"}, {"LD_LIBRARY_PATH", kNewmsg}});
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out, "0");
    EXPECT_EQ(r.err, MissingReport("(null)"));
}

}  // namespace
