// efi-call as a user runs it: a child process, its standard output, its
// standard error and its exit status, all checked exactly.

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>
#include <string>
#include <vector>

#include <gmock/gmock.h>

#include <efi/version.h>
#include "efi_call_runner.h"

namespace {

using efitest::EfiCall;
using efitest::Outcome;

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
    ExpectResult({"sample_upper", ""}, "\"\"");  // an empty word is empty text
    ExpectResult({"sample_upper", "\"a\\tb\""}, "\"A\\tB\"");
    ExpectResult({"sample_sqrt", "0.01"}, "0.1");
    ExpectResult({"sample_sum", "[0.1, 0.2]"}, "0.30000000000000004");
    ExpectResult({"sample_nothing", "1"}, "\"\"");
    ExpectResult({"sample_apply", "sample_sqrt", "2.25"}, "1.5");  // a nested call
    ExpectResult({"--cwd", "/some/dir", "sample_path", "file.txt"}, "\"/some/dir/file.txt\"");
    ExpectResult({"--cwd=/other/dir/", "sample_path", "file.txt"}, "\"/other/dir/file.txt\"");
    ExpectResult({"--ext=" EFI_SAMPLE_MODULE, "sample_sqrt", "4"}, "2");
    ExpectResult({"sample_path", "/abs/file"}, "\"/abs/file\"");
}

// The C sample is the C++ sample's twin: every call, results, errors and
// faults alike, answers the same through both (script lines "f args" and
// "c_f args" in turn; an error's line number is the only difference).
TEST(EfiCall, TheCSampleAnswersAsTheCppSample) {
    const std::string calls[] = {
        "add 1+2i 3-4i",
        "scale 2 [1, 2; 3, 4i]",
        "scale -1 []",
        "scale 1i [1, 2]",
        "scale infi [5i]",
        "sum [0.1, 0.2]",
        "sum [1e308, 1e308]",
        "upper \"mixed Case\"",
        "length \"na\\u00efve\"",
        "path file.txt",
        "path /abs/file",
        "file_size /no/such/file",
        "file_size /",
        "file_size " EFI_CALL_BINARY,
        "sqrt 0.01",
        "sqrt -4",
        "sqrt 1i",
        "throw 5",
        "throw 75",
        "throw -1",
        "throw nan",
        "divide 6 3",
        "divide 1 0",
        "divide 1e300 1e-300",
        "divide 0 0",
        "apply sample_sqrt 2.25",
        "apply c_sample_sqrt 2.25",
        "apply nope 1",
        "nothing 1",
    };
    std::string script;
    for (const std::string& c : calls) script += "sample_" + c + "\nc_sample_" + c + "\n";
    Outcome r = EfiCall({"--ext", EFI_SAMPLE_MODULE, "--ext", EFI_C_SAMPLE_MODULE, "--cwd", "/some/dir", "-"}, script);
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = r.out.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = r.out.substr(at, end - at);
        if (line.rfind("line ", 0) == 0) line.erase(0, line.find(": ") + 2);
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 2 * std::size(calls)) << r.out << r.err;
    for (std::size_t k = 0; k < std::size(calls); ++k) {
        EXPECT_EQ(lines[2 * k + 1], lines[2 * k]) << calls[k];
        EXPECT_NE(lines[2 * k], "") << calls[k];
    }
    EXPECT_EQ(r.status, 1);  // the failing calls among them
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
    ExpectResult({"sample_add", "--", "-1", "-i"}, "-1-1i");
    ExpectResult({"--", "sample_upper", "--", "--"}, "\"--\"");
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
    EXPECT_EQ(r.out, "line 1: error: singularity\nline 2: error: singularity\n0.125\n");
}

TEST(EfiCall, UsageErrorsExitWithStatusTwo) {
    struct Case {
        std::vector<std::string> args;
        std::string firstLine;
        bool usage;  ///< an error in the form of the command line: the usage text follows
    };
    const Case cases[] = {
        {{"sample_add", "1", "3-4"}, "efi-call: argument 2: expected 'i' after the imaginary part at column 4", false},
        {{"no_such_function"}, "efi-call: unknown function no_such_function (see --list)", false},
        {{"--bogus"}, "efi-call: unknown option --bogus", true},
        {{}, "efi-call: no function named", true},
        {{"--ext"}, "efi-call: --ext needs a value", true},
        {{"--list", "sample_add"}, "efi-call: --list takes no function or script", true},
        {{"--help", "nope"}, "efi-call: unknown function nope (see --list)", false},
        {{"--help", "sample_add", "--list"}, "efi-call: --help NAME takes no other function, script or --list", true},
        {{"--help=sample_add", "sample_sqrt", "1"},
         "efi-call: --help NAME takes no other function, script or --list",
         true},
        {{"--ext", "/nonexistent/mod.so", "f"}, "efi-call: module \"/nonexistent/mod.so\": cannot be loaded: ", false},
        {{"--script", "/"}, "efi-call: cannot read /: Is a directory", false},
        {{"--script", "/nonexistent/script"},
         "efi-call: cannot read /nonexistent/script: No such file or directory",
         false},
        // A file whose reading fails part way (the first page of the process's memory is not mapped).
        {{"--script", "/proc/self/mem"}, "efi-call: cannot read /proc/self/mem: Input/output error", false},
        {{"--script", "/etc/passwd/x"}, "efi-call: cannot read /etc/passwd/x: Not a directory", false},
        {{"-x"}, "efi-call: unknown option -x", true},
        // A word that starts with a digit or a point after '-' is no option: here, the function's name.
        {{"-5"}, "efi-call: unknown function -5 (see --list)", false},
        {{"-.5"}, "efi-call: unknown function -.5 (see --list)", false},
        {{"--script=/nonexistent/script"},
         "efi-call: cannot read /nonexistent/script: No such file or directory",
         false},
        {{"--cwd"}, "efi-call: --cwd needs a value", true},
        {{"--script"}, "efi-call: --script needs a value", true},
        {{"--isolate", "--timeout"}, "efi-call: --timeout needs a value", true},
        {{"--script", "/nonexistent/script", "sample_add", "1", "2"},
         "efi-call: a script takes no function on the command line",
         true},
        {{"-", "sample_add"}, "efi-call: a script takes no function on the command line", true},
        {{"--list", "--script=/nonexistent/script"}, "efi-call: --list takes no function or script", true},
        {{"--help=sample_add", "--list"}, "efi-call: --help NAME takes no other function, script or --list", true},
        {{"--ext=/nonexistent/mod.so", "f"}, "efi-call: module \"/nonexistent/mod.so\": cannot be loaded: ", false},
        // A time limit is a positive, finite number of seconds, and only an isolated module has one.
        {{"--timeout=5", "sample_add", "1", "2"}, "efi-call: --timeout needs --isolate", true},
        {{"--isolate", "--timeout", "0", "sample_add"},
         "efi-call: --timeout takes a positive number of seconds, not 0",
         true},
        {{"--isolate", "--timeout=-1"}, "efi-call: --timeout takes a positive number of seconds, not -1", true},
        {{"--isolate", "--timeout=inf"}, "efi-call: --timeout takes a positive number of seconds, not inf", true},
        {{"--isolate", "--timeout=nan"}, "efi-call: --timeout takes a positive number of seconds, not nan", true},
        {{"--isolate", "--timeout=5s"}, "efi-call: --timeout takes a positive number of seconds, not 5s", true},
        {{"--isolate", "--timeout="}, "efi-call: --timeout takes a positive number of seconds, not ", true},
        {{"--isolate", "--timeout=1e999"}, "efi-call: --timeout takes a positive number of seconds, not 1e999", true},
    };
    for (const Case& c : cases) {
        Outcome r = EfiCall(c.args);
        EXPECT_EQ(r.status, 2) << c.firstLine;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.substr(0, c.firstLine.size()), c.firstLine);
        if (c.usage) EXPECT_THAT(r.err, ::testing::HasSubstr("\nusage: efi-call")) << c.firstLine;
        else EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
    }
}

TEST(EfiCall, WhatNativeCodeThrowsIsAnError) {
    struct Case {
        std::vector<std::string> args;
        std::string input, env;
        std::string out, err;
    };
    const std::string T = EFI_TEST_MODULE;
    const Case cases[] = {
        {{"--ext", T, "t_throw", "0"}, "", "", "", "error: boom\n"},
        {{"--ext", T, "t_throw", "1"}, "", "", "", "error: unknown error\n"},
        // From a callback: through the host and the outer native function.
        {{"--ext", T, "--ext", EFI_SAMPLE_MODULE, "sample_apply", "t_throw", "0"}, "", "", "", "error: boom\n"},
        {{"--ext", T, "-"}, "t_throw 0\nhhmmss 1:00:00\n", "", "line 1: error: boom\n3600\n", ""},
        // A static constructor of the module throws while it is opened.
        {{"--ext", T, "--list"},
         "",
         "EFI_TEST_MODULE_INIT_THROWS=1",
         "",
         "error: module \"" + T + "\": module initialisation failed\n"},
    };
    for (const Case& c : cases) {
        Outcome r = EfiCall(c.args, c.input, c.env.empty() ? std::vector<std::string>{} : std::vector{c.env});
        EXPECT_EQ(r.out, c.out) << c.args.back();
        EXPECT_EQ(r.err, c.err) << c.args.back();
        EXPECT_EQ(r.status, 1) << c.args.back();
    }
}

TEST(EfiCall, CallsNestedTooDeeplyFailAndTheNextCallRuns) {
    // t_nest n calls itself back through the host n levels deep.
    Outcome r = EfiCall({"--ext", EFI_TEST_MODULE, "-"}, "t_nest 20000\nt_nest 200\n");
    const std::string expected = "line 1: error: calls nested too deeply\n200+";  // then the stack address
    EXPECT_EQ(r.out.substr(0, expected.size()), expected);
    EXPECT_EQ(r.status, 1);
}

TEST(EfiCall, ScriptOutputSurvivesALaterLineThatKillsTheProcess) {
    // A script file (here the pipe, by name): reading it does not flush the
    // output the way reading std::cin does.
    Outcome r = EfiCall({"--ext", EFI_TEST_MODULE, "--script", "/dev/stdin"},
                        "hhmmss 1:00:00\nhhmmss 1:02:03.5\nt_kill 1\nhhmmss 1:00:00\n");
    EXPECT_EQ(r.out, "3600\n3723.5\n");
    EXPECT_EQ(r.status, 128 + 9);
}

TEST(EfiCall, TextsOfNativeCodeAreReadInTheLocale) {
    Outcome r = EfiCall({"--ext", EFI_TEST_MODULE, "t_utf8", "1"}, "", {"LC_ALL=C.UTF-8"});
    EXPECT_EQ(r.out, "\"\u221a2 \u2248 1.414, caf\u00e9\"\n");
    EXPECT_EQ(r.status, 0);
}

TEST(EfiCall, ListsFunctionsWithTheirKinds) {
    Outcome r = EfiCall({"--list"});
    EXPECT_EQ(r.status, 0);
    EXPECT_THAT(r.out, ::testing::HasSubstr("sample_scale(number, matrix) -> matrix  [thread-safe]\n"));
    EXPECT_THAT(r.out, ::testing::HasSubstr("sample_path(file) -> text  [thread-safe]\n"));
    EXPECT_THAT(r.out, ::testing::HasSubstr("sample_apply(text, number) -> number\n"));
    r = EfiCall({"--ext", EFI_TEST_MODULE, "--ext", EFI_DESCRIBED_MODULE, "--list"});
    EXPECT_THAT(r.out, ::testing::Not(::testing::HasSubstr("sample_add")));
    // Entries no call can succeed for are listed, with the reason.
    for (const char* line : {
             "t_bad_arg(unsupported) -> number  (never callable: argument 1 has unknown code 5)\n",
             "t_none() -> number  (never callable: declares 0 arguments; calls take 1 to 10)\n",
             "t_ret3(number) -> unsupported  (never callable: unknown return code 3)\n",
             "t_weighted10(number, number, number, number, number, number, number, number, number, number) -> number\n",
             // A table that names its parameters and flags its functions.
             "d_ibeta(a: number, b: number, x: number) -> number  [thread-safe]\n",
             "d_scale(x: number, factor: number) -> number  [masked, thread-safe]\n",
             "d_log_m(M: matrix) -> matrix  [masked]\n",
             "d_guarded_trapping(x: number) -> number\n",
         })
        EXPECT_THAT(r.out, ::testing::HasSubstr(line));
}

TEST(EfiCall, ScriptRunsEveryLineAndKeepsGoing) {
    Outcome r = EfiCall({"-"},
                        "sample_add 1 2  # a comment after a call\n"
                        "# a comment\n"
                        "\n"
                        "sample_sqrt -1\n"
                        "sample_upper \"two # words\" #x\n"
                        "sample_scale 2 [1, 2; 3, 4]\n"
                        "sample_add 1.2.3 1\n"
                        "nope\n"
                        "sample_add -1 1\n"
                        "sample_upper a#b\n");
    EXPECT_EQ(r.out,
              "3\n"
              "line 4: error: must be non-negative (argument 1)\n"
              "\"TWO # WORDS\"\n"
              "[2, 4; 6, 8]\n"
              "line 7: argument 1: unexpected '.' after the value at column 4\n"
              "line 8: unknown function nope (see --list)\n"
              "0\n"
              "\"A#B\"\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
}

TEST(EfiCall, NothingTypedCrashesIt) {
    const std::vector<std::vector<std::string>> inputs = {
        {"sample_add", "", ""},
        {"sample_add", "[", "]"},
        {"sample_scale", "1", "[1;"},
        {"sample_scale", "1", "[;]"},
        {"sample_upper", "\""},
        {"sample_upper", "\"\\"},
        {"sample_add", "1e99999", "1"},
        {"sample_add", "nan", "inf"},
        {"sample_scale", "1", "[1, \"x\"]"},
        {"sample_upper", std::string(100000, 'x')},
        {"sample_apply", "sample_apply", "1"},
        {"sample_path", std::string(5000, '/')},
        {"sample_add", "-", "-"},
        {"sample_sum", "[1e308, 1e308]"},
    };
    for (const auto& args : inputs) {
        Outcome r = EfiCall(args);
        EXPECT_TRUE(r.status == 0 || r.status == 1 || r.status == 2)
            << args[0] << " " << args[1] << ": status " << r.status << "\n"
            << r.err;
    }
}

TEST(EfiCall, VersionIsPrintedBeforeAnyModuleIsLoaded) {
    ExpectResult({"--version"}, "efi-call " EFI_VERSION_STRING);
    ExpectResult({"--ext", "/nonexistent/mod.so", "--version"}, "efi-call " EFI_VERSION_STRING);
}

TEST(EfiCall, HelpIsTheUsageAloneAndWhatFollowsIsNotRead) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"-h", "--ext", "/nonexistent/mod.so", "--timeout", "x", "nope"}}) {
        Outcome r = EfiCall(args);
        EXPECT_TRUE(r.out.starts_with("usage: efi-call ") && r.out.ends_with("without quotes.\n")) << r.out;
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
    Outcome late = EfiCall({"--bogus", "--help"});
    EXPECT_EQ(late.out, "");
    EXPECT_TRUE(late.err.starts_with("efi-call: unknown option --bogus\nusage: efi-call ")) << late.err;
    EXPECT_EQ(late.status, 2);
}

// --help NAME: the signature, then what the table says of the function,
// each part only when it says anything.
TEST(EfiCall, HelpOfAFunctionShowsWhatItsTableSays) {
    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"d_ibeta",
         "d_ibeta(a: number, b: number, x: number) -> number  [thread-safe]\n"
         "\n"
         "A stand-in for the regularised incomplete beta.\n"
         "\n"
         "Returns a + b x.\n"
         "The second line of help.\n"
         "\n"
         "Parameters:\n"
         "  a: first shape, positive\n"
         "  b: second shape\n"
         "  x: where, in [0, 1]\n"
         "\n"
         "Flags:\n"
         "  thread-safe: declared safe to run on several threads at once\n"
         "\n"
         "Errors:\n"
         "  must be positive\n"},
        {"d_sqrt",
         "d_sqrt(x: number) -> number  [masked]\n"
         "\n"
         "Parameters:\n"
         "  x\n"
         "\n"
         "Flags:\n"
         "  masked: runs with floating-point exceptions masked; an infinite or NaN result no argument explains is a "
         "fault\n"},
        {"d_scale",
         "d_scale(x: number, factor: number) -> number  [masked, thread-safe]\n"
         "\n"
         "Parameters:\n"
         "  x\n"
         "  factor: what x is multiplied by\n"
         "\n"
         "Flags:\n"
         "  masked: runs with floating-point exceptions masked; an infinite or NaN result no argument explains is a "
         "fault\n"
         "  thread-safe: declared safe to run on several threads at once\n"},
        {"d_grid",
         "d_grid(n: number) -> matrix\n"
         "\n"
         "An n-by-2 grid.\n"
         "\n"
         "Parameters:\n"
         "  n: rows\n"
         "\n"
         "Errors:\n"
         "  must be at most 50\n"},
        {"hhmmss", "hhmmss(text) -> number\n"},  // nothing described
    };
    for (const auto& c : cases)
        for (bool isolated : {false, true}) {
            std::vector<std::string> args = {"--ext", EFI_DESCRIBED_MODULE, "--help", c.name};
            if (isolated) args.insert(args.begin(), "--isolate");
            const Outcome r = EfiCall(args);
            EXPECT_EQ(r.out, c.text) << c.name << (isolated ? " isolated" : "");
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(r.status, 0);
        }
}

// The same script in process and isolated: the same lines, byte for byte,
// on every road a call takes (a listing too).
TEST(EfiCall, AnIsolatedModuleAnswersAsInProcess) {
    const std::string script =
        "sample_add 1+2i 3-4i\nsample_scale 2 [1, 2; 3, 4]\nsample_scale 0.5 [1i, 2; 3, 4-1e-300i]\n"
        "sample_sum [1, 2, 3]\nsample_upper \"caf\u00e9\"\nsample_path data.txt\nsample_path /abs\n"
        "sample_sqrt -1\nsample_divide 1 0\nsample_add 1\nsample_add [1] 2\n"
        "sample_apply \"sample_sqrt\" 2\nsample_apply fif 1\nsample_apply nowhere 1\n"
        "t_masked 0 0 2\nt_word 0\nt_throw 0\nt_throw 1\nt_utf8 0\nd_guarded 10\nd_sqrt -1\nd_log_m [1, 0]\n"
        "t_nest 20000\nt_nest 30\n";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--cwd", "/data", "--script", "-"}, std::vector<std::string>{"--list"}}) {
        std::vector<std::string> inProcess = {"--ext",         EFI_SAMPLE_MODULE, "--ext",
                                              EFI_TEST_MODULE, "--ext",           EFI_DESCRIBED_MODULE};
        inProcess.insert(inProcess.end(), args.begin(), args.end());
        std::vector<std::string> isolated = inProcess;
        isolated.insert(isolated.begin(), "--isolate");
        const Outcome a = EfiCall(inProcess, script, {"LC_ALL=C.UTF-8"});
        const Outcome b = EfiCall(isolated, script, {"LC_ALL=C.UTF-8"});
        // t_nest's imaginary part is an address on the stack of the process it ran in.
        const auto cut = [](std::string s) { return s.substr(0, s.rfind("30+")); };
        EXPECT_EQ(cut(b.out), cut(a.out)) << args[0];
        EXPECT_EQ(b.err, a.err);
        EXPECT_EQ(b.status, a.status);
        EXPECT_GT(a.out.size(), 200u);
    }
}

// A call that ends its worker, or runs out of time, is an error of its
// line; the next line runs in a new worker.
TEST(EfiCall, AnIsolatedCrashIsAnErrorOfItsLine) {
    // (The address sanitizer's leak check at exit would change the exit status.)
    Outcome r = EfiCall({"--isolate", "--timeout", "0.5", "--ext", EFI_TEST_MODULE, "-"},
                        "t_kill 1\nt_crash 2\nt_crash 3\nt_three 1 [1] x\n", {"ASAN_OPTIONS=detect_leaks=0"});
    EXPECT_EQ(r.out,
              "line 1: error: t_kill: the module's process ended (signal 9, killed)\n"
              "line 2: error: t_crash: the module's process ended (exit status 3)\n"
              "line 3: error: t_crash: timed out after 0.5 s\n"
              "1\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(EfiCall({"--timeout", "1", "t_pid", "0"}).status, 2);  // a limit for calls in process: refused
    // A static constructor that throws while the worker loads the module:
    // the module is refused with what it threw.
    r = EfiCall({"--isolate", "--ext", EFI_TEST_MODULE, "--list"}, "", {"EFI_TEST_MODULE_INIT_THROWS=1"});
    EXPECT_EQ(r.err, "efi-call: module \"" EFI_TEST_MODULE "\": module initialisation failed\n");
    EXPECT_EQ(r.status, 2);
}

// efi-call killed while its worker runs a call: the worker goes too. This
// process takes in the orphans of its children, so it reaps the worker
// and sees how it ended.
TEST(EfiCall, AKilledCallerTakesItsWorkerWithIt) {
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    int in[2], out[2];
    ASSERT_EQ(::pipe(in), 0);
    ASSERT_EQ(::pipe(out), 0);
    const pid_t caller = ::fork();
    if (caller == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        for (int fd : {in[0], in[1], out[0], out[1]}) ::close(fd);
        ::execl(EFI_CALL_BINARY, EFI_CALL_BINARY, "--isolate", "--ext", EFI_TEST_MODULE, "-", nullptr);
        ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    const std::string script = "t_pid 0\nt_crash 3\n";  // the worker's pid, then a call that never ends
    ASSERT_EQ(::write(in[1], script.data(), script.size()), static_cast<ssize_t>(script.size()));
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    const pid_t worker = static_cast<pid_t>(std::stol(line));
    ::kill(caller, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(caller, &status, 0), caller);
    // Reaped here once it has ended; a generous bound, never reached when it works.
    pid_t reaped = 0;
    for (int tries = 0; tries < 3000 && reaped == 0; ++tries) {
        reaped = ::waitpid(worker, &status, WNOHANG);
        if (reaped == 0) ::usleep(10000);
    }
    if (reaped == 0) ::kill(worker, SIGKILL);
    EXPECT_EQ(reaped, worker);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    ::close(in[1]);
    ::close(out[0]);
    ::prctl(PR_SET_CHILD_SUBREAPER, 0);
}

}  // namespace
