// efi-call as a user runs it: a child process, its standard output, its
// standard error and its exit status, all checked exactly.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gmock/gmock.h>

#include <efi/version.h>

namespace {

struct Outcome {
    std::string out, err;
    int status = -1;  ///< exit status, or 128 + signal
};

// Runs efi-call with `args`, feeding `input` to its standard input.
Outcome EfiCall(const std::vector<std::string>& args, const std::string& input = "") {
    int in[2], out[2], err[2];
    if (pipe(in) || pipe(out) || pipe(err)) return {};
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], 0);
        dup2(out[1], 1);
        dup2(err[1], 2);
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) close(fd);
        std::vector<char*> argv{const_cast<char*>(EFI_CALL_BINARY)};
        for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(EFI_CALL_BINARY, argv.data());
        _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (!input.empty() && write(in[1], input.data(), input.size()) < 0) {}
    close(in[1]);
    Outcome r;
    pollfd fds[2] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open = 2;
    while (open > 0 && poll(fds, 2, 30000) > 0) {
        for (int k = 0; k < 2; ++k) {
            if (fds[k].fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP))) continue;
            char buf[4096];
            ssize_t n = read(fds[k].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[k]->append(buf, static_cast<std::size_t>(n));
            } else {
                close(fds[k].fd);
                fds[k].fd = -1;
                --open;
            }
        }
    }
    int ws = 0;
    waitpid(pid, &ws, 0);
    r.status = WIFEXITED(ws) ? WEXITSTATUS(ws) : 128 + WTERMSIG(ws);
    return r;
}

void ExpectResult(const std::vector<std::string>& args, const std::string& out) {
    Outcome r = EfiCall(args);
    EXPECT_EQ(r.out, out + "\n") << args[0];
    EXPECT_EQ(r.err, "") << args[0];
    EXPECT_EQ(r.status, 0) << args[0];
}

TEST(EfiCall, CallsTheBundledSample) {
    ExpectResult({"sample_add", "1+2i", "3-4i"}, "4-2i");
    ExpectResult({"sample_scale", "2", "[1, 2; 3, 4i]"}, "[2, 4; 6, 8i]");
    ExpectResult({"sample_scale", "-1", "[]"}, "[]");
    ExpectResult({"sample_upper", "\"mixed Case\""}, "\"MIXED CASE\"");
    ExpectResult({"sample_upper", "bare text"}, "\"BARE TEXT\"");
    ExpectResult({"sample_sqrt", "0.01"}, "0.1");
    ExpectResult({"sample_sum", "[0.1, 0.2]"}, "0.30000000000000004");
    ExpectResult({"sample_nothing", "1"}, "\"\"");
    ExpectResult({"sample_apply", "sample_sqrt", "2.25"}, "1.5");  // a nested call
    ExpectResult({"--cwd", "/some/dir", "sample_path", "file.txt"}, "\"/some/dir/file.txt\"");
    ExpectResult({"sample_path", "/abs/file"}, "\"/abs/file\"");
}

TEST(EfiCall, CallsTheUnitConversions) {
    ExpectResult({"fif", "5' 3-1/2\""}, "1.6129");
    ExpectResult({"fif", "\"5' 3-1/2\\\"\""}, "1.6129");  // the same text as a literal
    ExpectResult({"hhmmss_inv", "59.9996"}, "\"0:0:60\"");
    ExpectResult({"hhmmss", "1:02:03.5"}, "3723.5");
    ExpectResult({"dms_inv", "0"}, "[0; 0; 0]");
    Outcome r = EfiCall({"fif", "bad"});
    EXPECT_EQ(r.err, "error: bad_fif_string (argument 1)\n");
    EXPECT_EQ(r.status, 1);
    r = EfiCall({"dms", "\"x\""});
    EXPECT_EQ(r.err, "error: must be real vector (argument 1)\n");
}

TEST(EfiCall, NegativeNumbersAreArgumentsAndDoubleDashEndsOptions) {
    ExpectResult({"sample_add", "-1", "-2.5e1"}, "-26");
    ExpectResult({"--", "sample_add", "-1", "-i"}, "-1-1i");
    Outcome r = EfiCall({"fif_inv", "-1"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.substr(0, 2), "\"-");
}

TEST(EfiCall, WorksheetErrorsGoToStandardErrorWithTheirArgument) {
    Outcome r = EfiCall({"sample_sqrt", "-4"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "error: must be non-negative (argument 1)\n");
    EXPECT_EQ(r.status, 1);
    r = EfiCall({"sample_add", "\"x\"", "1"});
    EXPECT_EQ(r.err, "error: must be scalar (argument 1)\n");
    EXPECT_EQ(r.status, 1);
    r = EfiCall({"--ext", EFI_TEST_MODULE, "t_bad_arg", "1"});
    EXPECT_EQ(r.err, "error: argument type not implemented\n");
    EXPECT_EQ(r.status, 1);
    r = EfiCall({"sample_add", "1"});
    EXPECT_EQ(r.err, "error: too few parameters\n");
    EXPECT_EQ(r.status, 1);
}

TEST(EfiCall, ProcessorFaultsAreErrorsAndTheProgramGoesOn) {
    for (auto [args, message] : {std::pair{std::vector<std::string>{"sample_divide", "1", "0"}, "singularity"},
                                 {{"sample_divide", "1e300", "1e-300"}, "overflow"},
                                 {{"sample_divide", "0", "0"}, "floating point error"},
                                 {{"sample_sum", "[1e308, 1e308]"}, "overflow"}}) {
        Outcome r = EfiCall(args);
        EXPECT_EQ(r.err, std::string("error: ") + message + "\n");
        EXPECT_EQ(r.status, 1);
    }
    Outcome r = EfiCall({"-"}, "sample_divide 1 0\nsample_divide 1 0\nsample_divide 1 8\n");
    EXPECT_EQ(r.out, "error: singularity\nerror: singularity\n0.125\n");
}

TEST(EfiCall, UsageErrorsExitWithStatusTwo) {
    struct Case {
        std::vector<std::string> args;
        std::string firstLine;
    };
    const Case cases[] = {
        {{"sample_add", "1", "3-4"}, "efi-call: argument 2: expected 'i' after the imaginary part at column 4"},
        {{"no_such_function"}, "efi-call: unknown function no_such_function (see --list)"},
        {{"--bogus"}, "efi-call: unknown option --bogus"},
        {{}, "efi-call: no function named"},
        {{"--ext"}, "efi-call: --ext needs a value"},
        {{"--ext", "/nonexistent/mod.so", "f"}, "efi-call: module \"/nonexistent/mod.so\": cannot be loaded: "},
    };
    for (const Case& c : cases) {
        Outcome r = EfiCall(c.args);
        EXPECT_EQ(r.status, 2) << c.firstLine;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.substr(0, c.firstLine.size()), c.firstLine);
    }
}

TEST(EfiCall, ListsFunctionsWithTheirKinds) {
    Outcome r = EfiCall({"--list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out, ::testing::HasSubstr("sample_scale(number, matrix) -> matrix\n"));
    EXPECT_THAT(r.out, ::testing::HasSubstr("sample_path(file) -> text\n"));
    r = EfiCall({"--ext", EFI_TEST_MODULE, "--list"});
    EXPECT_THAT(r.out, ::testing::HasSubstr("t_bad_arg(unsupported) -> number\n"));
    EXPECT_THAT(r.out, ::testing::Not(::testing::HasSubstr("sample_add")));
}

TEST(EfiCall, ScriptRunsEveryLineAndKeepsGoing) {
    Outcome r = EfiCall({"-"},
                    "sample_add 1 2\n"
                    "# a comment\n"
                    "\n"
                    "sample_sqrt -1\n"
                    "sample_upper \"two words\"\n"
                    "sample_scale 2 [1, 2; 3, 4]\n"
                    "sample_add 1.2.3 1\n"
                    "nope\n"
                    "sample_add -1 1\n");
    EXPECT_EQ(r.out,
              "3\n"
              "error: must be non-negative (argument 1)\n"
              "\"TWO WORDS\"\n"
              "[2, 4; 6, 8]\n"
              "efi-call: argument 1: unexpected '.' after the value at column 4\n"
              "efi-call: unknown function nope (see --list)\n"
              "0\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
}

TEST(EfiCall, NothingTypedCrashesIt) {
    const std::vector<std::vector<std::string>> inputs = {
        {"sample_add", "", ""},        {"sample_add", "[", "]"},          {"sample_scale", "1", "[1;"},
        {"sample_scale", "1", "[;]"},  {"sample_upper", "\""},            {"sample_upper", "\"\\"},
        {"sample_add", "1e99999", "1"}, {"sample_add", "nan", "inf"},     {"sample_scale", "1", "[1, \"x\"]"},
        {"sample_upper", std::string(100000, 'x')}, {"sample_apply", "sample_apply", "1"},
        {"sample_path", std::string(5000, '/')},   {"sample_add", "-", "-"}, {"sample_sum", "[1e308, 1e308]"},
    };
    for (const auto& args : inputs) {
        Outcome r = EfiCall(args);
        EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 2)
            << args[0] << " " << args[1] << ": status " << r.status << "\n" << r.err;
    }
}

TEST(EfiCall, VersionIsPrintedBeforeAnyModuleIsLoaded) {
    ExpectResult({"--version"}, "efi-call " EFI_VERSION_STRING);
    ExpectResult({"--ext", "/nonexistent/mod.so", "--version"}, "efi-call " EFI_VERSION_STRING);
}

}  // namespace
