// efi-call: load extension modules, register their functions with the call
// bridge, call one and print its result in worksheet-literal syntax.
//
//   efi-call [--isolate [--timeout SECONDS]] [--ext MODULE]... [--cwd DIR] FUNCTION [--] ARG...
//   efi-call [--isolate] [--ext MODULE]... --list
//   efi-call [--isolate] [--ext MODULE]... --help NAME
//   efi-call [--isolate [--timeout SECONDS]] [--ext MODULE]... [--cwd DIR] (--script FILE | -)
//
// Exit status: 0 success, 1 a worksheet error, processor fault or other
// failure of native code, 2 a usage error (unknown option or function,
// malformed literal, module not loaded, script not readable).
// efi-call.1 beside this file is the manual.
#include <efi/errors.h>
#include <efi/host/bridge.h>
#include <efi/host/error_text.h>
#include <efi/host/module_loader.h>
#include <efi/host/session.h>
#include <efi/version.h>
#include <vrnrun/faults.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <new>
#include <optional>
#include <string>
#include <vector>
#include "cli.h"
#include "literal.h"

namespace {

using Vrn::Run::Object;

using Kind = Efi::ValueKind;
using Callable = Efi::LoadedFunction;

/// A usage error: reported with exit status 2. Errors in the form of the
/// command line are followed by the usage text; the others (a module that
/// does not load, an unreadable script) are one line.
struct UsageError {
    std::string message;
    bool showUsage = false;
};

// A module's static constructor that throws while the dynamic loader opens
// it ends the program (nothing has been printed yet): reported as an error,
// with exit status 1.
void ReportModuleInitFailure(const std::string& text) noexcept {
    const std::string line = "error: " + text + "\n";
    std::fputs(line.c_str(), stderr);
}

struct Options {
    bool help = false;                   ///< --help: the usage text, and nothing else is done
    std::optional<std::string> helpFor;  ///< --help NAME: what the function's table entry says of it
    std::vector<std::string> modules;
    Efi::LoadOptions load;
    std::optional<std::string> cwd;
    bool list = false;
    bool version = false;
    std::optional<std::string> script;  ///< "-" for standard input
    std::vector<std::string> call;      ///< FUNCTION ARG...
};

const char* const kUsage =
    "usage: efi-call [--isolate [--timeout SECONDS]] [--ext MODULE]... [--cwd DIR] FUNCTION [--] ARG...\n"
    "       efi-call [--isolate] [--ext MODULE]... --list\n"
    "       efi-call [--isolate] [--ext MODULE]... --help NAME\n"
    "       efi-call [--isolate [--timeout SECONDS]] [--ext MODULE]... [--cwd DIR] (--script FILE | -)\n"
    "       efi-call --version\n"
    "       efi-call --help\n"
    "Arguments and results are worksheet literals: 2, -1.5e3, 3-4i, \"text\", [1, 2; 3, 4].\n"
    "A text argument may also be given bare, without quotes.\n";

// Exit statuses, as the manual gives them.
constexpr int kFailed = 1;   ///< a worksheet error, processor fault or other failure
constexpr int kMisused = 2;  ///< a usage error

/// What efi-call reports for a failure: the message (without what stands
/// before it: the program's name, or a script's line number), the exit
/// status, and whether the usage text follows.
struct Failure {
    std::string message;
    int status;
    bool showUsage = false;
};

/// The one road from an exception to what efi-call reports. A usage error is
/// its own message. Any other failure is "error: " and its text: a worksheet
/// error with the argument to blame, a processor fault in native code in the
/// host's words, anything else native code threw as Efi::ThrownText
/// gives it. The call's clean-up has run however it ended, and the host goes
/// on.
Failure FailureOf(std::exception_ptr e) {
    try {
        std::rethrow_exception(std::move(e));
    } catch (const UsageError& x) {
        return {x.message, kMisused, x.showUsage};
    } catch (const Vrn::Run::AppException& x) {
        return {"error: " + Efi::ErrorText(x), kFailed};
    } catch (const std::bad_alloc&) {
        return {"error: out of memory", kFailed};
    } catch (...) {
        return {"error: " + Efi::ThrownText(std::current_exception()), kFailed};
    }
}

/// Prints the failure of a command on standard error and returns its exit
/// status: a usage error names the program, an error of the call stands as
/// "error: ..." alone.
int Report(const Failure& f) {
    std::cerr << (f.status == kMisused ? "efi-call: " : "") << f.message << "\n" << (f.showUsage ? kUsage : "");
    return f.status;
}

// A time limit: a positive number of seconds.
double Seconds(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const double s = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !(s > 0) || !std::isfinite(s))
        throw UsageError{"--timeout takes a positive number of seconds, not " + text, true};
    return s;
}

// Options end at the first word that is not one (a function name), at "--",
// or at "-": negative numbers after the function are arguments.
Options ParseOptions(int argc, char** argv) {
    Options o;
    int i = 1;
    auto value = [&](const std::string& opt) -> std::string {
        if (i + 1 >= argc) throw UsageError{opt + " needs a value", true};
        return argv[++i];
    };
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--") {
            ++i;
            break;
        }
        if (a == "-") {
            o.script.emplace(1, '-');  // standard input
            continue;
        }
        if (a == "--help" || a == "-h") {
            // Followed by a name, the help of that function; alone (or
            // before an option), the usage, and what follows is not read.
            if (i + 1 < argc && argv[i + 1][0] != '-') {
                o.helpFor = argv[++i];
                continue;
            }
            o.help = true;
            return o;
        }
        if (a.rfind("--help=", 0) == 0) {
            o.helpFor = a.substr(7);
            continue;
        }
        if (a == "--ext") o.modules.push_back(value(a));
        else if (a.rfind("--ext=", 0) == 0) o.modules.push_back(a.substr(6));
        else if (a == "--cwd") o.cwd = value(a);
        else if (a.rfind("--cwd=", 0) == 0) o.cwd = a.substr(6);
        else if (a == "--script") o.script = value(a);
        else if (a.rfind("--script=", 0) == 0) o.script = a.substr(9);
        else if (a == "--list") o.list = true;
        else if (a == "--isolate") o.load.isolated = true;
        else if (a == "--timeout") o.load.timeout = Seconds(value(a));
        else if (a.rfind("--timeout=", 0) == 0) o.load.timeout = Seconds(a.substr(10));
        else if (a == "--version") o.version = true;
        else if (a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9') && a[1] != '.')
            throw UsageError{"unknown option " + a, true};
        else break;
    }
    for (; i < argc; ++i) o.call.emplace_back(argv[i]);
    if (o.load.timeout && !o.load.isolated) throw UsageError{"--timeout needs --isolate", true};
    return o;
}

std::string ExecutableDir() {
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    std::string path(buf, static_cast<std::size_t>(n));
    return path.substr(0, path.find_last_of('/'));
}

bool Exists(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

// The bundled sample: in the modules folder of an installed tree, or in the
// build tree next to this program's directory.
std::string BundledSample() {
    const std::string dir = ExecutableDir();
    for (const char* rel : {EFI_CALL_SAMPLE_FROM_BINDIR, EFI_CALL_SAMPLE_FROM_BUILD}) {
        std::string candidate = dir + "/" + rel + "/" EFI_CALL_SAMPLE_NAME;
        if (Exists(candidate)) return candidate;
    }
    throw UsageError{"the sample module " EFI_CALL_SAMPLE_NAME " was not found beside efi-call; name one with --ext"};
}

class Session {
public:
    void LoadModule(const std::string& name, const Efi::LoadOptions& options) {
        const std::string path = Efi::ModulePath(name);  // outlives the load, which may report it
        try {
            const Efi::ModuleInitReport report(path, ReportModuleInitFailure);
            m_functions.LoadModule(path, options);
        } catch (const Efi::ModuleError& e) {
            throw UsageError{e.what()};
        }
    }

    void AddBuiltins() { m_functions.AddConversions(); }

    void List(std::ostream& out) const {
        for (const auto& [name, c] : m_functions.Functions()) out << c.Signature() << "\n";
    }

    /// What `name`'s table entry says of it, as HelpText writes it.
    void Help(const std::string& name, std::ostream& out) const { out << HelpText(Find(name)); }

    void SetCwd(const std::string& dir) { m_cwd = Efi::DirectoryText(Vrn::Run::FromUtf8(dir)); }

    /// Runs one call, FUNCTION ARG..., and prints its result to `out`.
    /// Throws what FailureOf reports.
    void Run(const std::vector<std::string>& words, std::ostream& out) const {
        if (words.empty()) throw UsageError{"no function named"};
        const Callable& c = Find(words[0]);
        std::vector<Object> args;
        if (c.takesDirectory) args.push_back(m_cwd);
        // A "--" straight after the name ends the options there too.
        std::size_t first = words.size() > 1 && words[1] == "--" ? 2 : 1;
        for (std::size_t k = first; k < words.size(); ++k) args.push_back(ParseArgument(c, k - first, words[k]));
        out << Call(c, args) << "\n";
    }

private:
    const Callable& Find(const std::string& name) const {
        const Callable* found = m_functions.Find(name);
        if (!found) throw UsageError{"unknown function " + name + " (see --list)"};
        return *found;
    }

    // The signature, then each part of the description the table gives, a
    // blank line between: the summary, the help, the parameters with their
    // help, the flags in words and the messages the function raises.
    static std::string HelpText(const Callable& c) {
        const Efi::FunctionDescription& d = c.description;
        std::string text = c.Signature() + "\n";
        const auto part = [&text](const std::string& body) {
            if (!body.empty()) text += "\n" + body + (body.back() == '\n' ? "" : "\n");
        };
        part(d.summary);
        part(d.help);
        std::string list;
        for (std::size_t k = 0; k < d.params.size(); ++k) {
            const bool helped = k < d.paramHelp.size() && !d.paramHelp[k].empty();
            list += "  " + d.params[k] + (helped ? ": " + d.paramHelp[k] : "") + "\n";
        }
        part(list.empty() ? list : "Parameters:\n" + list);
        list.clear();
        if (d.masked)
            list +=
                "  masked: runs with floating-point exceptions masked; an infinite or NaN result no argument "
                "explains is a fault\n";
        if (d.threadSafe) list += "  thread-safe: declared safe to run on several threads at once\n";
        part(list.empty() ? list : "Flags:\n" + list);
        list.clear();
        for (const std::string& m : d.messages) list += "  " + m + "\n";
        part(list.empty() ? list : "Errors:\n" + list);
        return text;
    }

    Object ParseArgument(const Callable& c, std::size_t k, const std::string& word) const {
        // A text argument may be given bare; quoted, it reads as a literal.
        bool textual = k < c.args.size() && (c.args[k] == Kind::Text || c.args[k] == Kind::File);
        if (textual && (word.empty() || word[0] != '"')) return Vrn::Run::TextUtf8(word);
        try {
            return efi_call::ParseLiteral(word);
        } catch (const efi_call::LiteralError& e) {
            throw UsageError{"argument " + std::to_string(k + 1) + ": " + e.what() + " at column " +
                             std::to_string(e.column())};
        }
    }

    // Host code here is not written for trapping arithmetic: the call ends
    // with the state it began with, however it ends. Its result as a literal.
    static std::string Call(const Callable& c, const std::vector<Object>& args) {
        const Efi::User::HostFpScope host(Efi::User::ReadFpState());
        return efi_call::FormatValue(c.function.as<Vrn::Run::Function>()->Call(args));
    }

    Efi::HostSession m_functions;
    Object m_cwd;
};

// Splits a script line into words: blanks separate, except inside quotes
// and brackets. Outside quotes, a '#' that starts a word starts a comment
// that runs to the end of the line.
std::vector<std::string> SplitLine(const std::string& line) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, escaped = false, inWord = false;
    int depth = 0;
    for (char ch : line) {
        if (quoted) {
            word += ch;
            if (escaped) escaped = false;
            else if (ch == '\\') escaped = true;
            else if (ch == '"') quoted = false;
            continue;
        }
        if ((ch == ' ' || ch == '\t' || ch == '\r') && depth == 0) {
            if (inWord) words.push_back(word), word.clear(), inWord = false;
            continue;
        }
        if (ch == '#' && !inWord) break;
        inWord = true;
        word += ch;
        if (ch == '"') quoted = true;
        else if (ch == '[') ++depth;
        else if (ch == ']' && depth > 0) --depth;
    }
    if (inWord) words.push_back(word);
    return words;
}

[[noreturn]] void CannotRead(const std::string& path, int error) {
    throw UsageError{"cannot read " + path + ": " + std::strerror(error)};
}

// Opens the script at `path`. A directory opens like a file and only fails
// to read later, so it is refused here.
void OpenScript(std::ifstream& file, const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) CannotRead(path, errno);
    if (S_ISDIR(st.st_mode)) CannotRead(path, EISDIR);
    errno = 0;
    file.open(path);
    if (!file) CannotRead(path, errno ? errno : EIO);
}

// One call per line; blank lines and comments are skipped. Every call
// prints one line on standard output, its result or its error (an error
// begins "line N: " to name the line), so the output lines up with the
// input. Each line is flushed as it is done, so what was printed survives
// a later line that ends the process.
int RunScript(Session& s, std::istream& in, const std::string& path) {
    int status = 0;
    unsigned long lineNo = 0;
    std::string line;
    while (std::getline(in, line)) {
        ++lineNo;
        std::vector<std::string> words = SplitLine(line);
        if (words.empty()) continue;
        try {
            s.Run(words, std::cout);
        } catch (...) {
            // The line number stands where a message of the program would
            // name the program.
            const Failure f = FailureOf(std::current_exception());
            std::cout << "line " << lineNo << ": " << f.message << "\n";
            status = status ? status : f.status;
        }
        std::cout.flush();
    }
    if (in.bad()) CannotRead(path, errno ? errno : EIO);
    return status;
}

// The command the options name. Throws what FailureOf reports.
int RunCommand(Options o) {
    if (o.help) {
        std::cout << kUsage;
        return 0;
    }
    if (o.version) {
        std::cout << "efi-call " EFI_VERSION_STRING "\n";
        return 0;
    }
    if (o.modules.empty()) o.modules.push_back(BundledSample());
    Session s;
    for (const std::string& m : o.modules) s.LoadModule(m, o.load);
    s.AddBuiltins();
    if (o.cwd) {
        s.SetCwd(*o.cwd);
    } else {
        char buf[PATH_MAX];
        s.SetCwd(getcwd(buf, sizeof buf) ? buf : ".");
    }
    if (o.helpFor) {
        if (!o.call.empty() || o.script || o.list)
            throw UsageError{"--help NAME takes no other function, script or --list", true};
        s.Help(*o.helpFor, std::cout);
        return 0;
    }
    if (o.list) {
        if (!o.call.empty() || o.script) throw UsageError{"--list takes no function or script", true};
        s.List(std::cout);
        return 0;
    }
    if (o.script) {
        if (!o.call.empty()) throw UsageError{"a script takes no function on the command line", true};
        if (*o.script == "-") return RunScript(s, std::cin, "standard input");
        std::ifstream file;
        OpenScript(file, *o.script);
        return RunScript(s, file, *o.script);
    }
    if (o.call.empty()) throw UsageError{"no function named", true};
    s.Run(o.call, std::cout);
    return 0;
}

}  // namespace

int efi_call::Main(int argc, char** argv) {
    // Texts of native code are read in the user's locale.
    std::setlocale(LC_ALL, "");
    std::ios::sync_with_stdio(true);
    Vrn::Run::InstallFaultTranslation();
    try {
        return RunCommand(ParseOptions(argc, argv));
    } catch (...) {
        return Report(FailureOf(std::current_exception()));
    }
}
