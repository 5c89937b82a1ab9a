// A host's session with the bridge: the functions it loaded from extension
// modules and the six conversions, each under one name, and the rules every
// host applies to them (which functions take the directory, how a bare
// module name and a directory are given to the bridge, how a signature is
// written). Every host keeps one session, so they all load, list and refuse
// alike.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <efi/export.h>
#include <efi/host/bridge.h>
#include <efi/host/signature.h>
#include <vrnrun/vrnrun.h>

namespace Efi {

/// One function a host can call: a module's registered function or one of
/// the conversions.
struct LoadedFunction {
    std::string name;             ///< worksheet name
    std::vector<ValueKind> args;  ///< one kind per argument the user gives
    ValueKind ret;                ///< the result's kind
    Vrn::Run::Object function;    ///< the host function object
    /// The bridge passes the directory as a first argument the user never
    /// sees (a function with a file-name argument and 1..10 arguments).
    bool takesDirectory = false;
    /// The registered function when it takes and returns numbers only: it
    /// can then be called with plain numbers (CallWithNumbers). Else null.
    User::Function* numbers = nullptr;
    std::string origin;  ///< the module's path, or "built-in"
    /// Why no call of it can ever succeed (ModuleFunction::never_callable),
    /// or empty.
    std::string neverCallable = {};
    /// It runs in the worker process of an isolated module (LoadOptions).
    bool isolated = false;
    /// Names, help, messages and flags from the module's table (empty for
    /// the conversions, whose argument is named by the host).
    FunctionDescription description = {};

    /// "name(number, text) -> number", or with the table's parameter names
    /// "name(x: number, label: text) -> number": how every host lists it.
    /// Flags follow as "  [masked, thread-safe]"; a function no call can
    /// succeed for is listed too, followed by "  (never callable: <why>)".
    EFI_API std::string Signature() const;
};

/// How a module is loaded.
struct LoadOptions {
    /// Runs the module in a worker process of its own (efi-worker, installed
    /// beside efi-call): the same loader and bridge run there, so results
    /// and errors are the same as in process, and a crash of the module
    /// (a bad pointer, abort(), exit()) fails the call with a
    /// ModuleProcessEnded instead of ending the host. The next call starts
    /// a new worker, which loads the module again.
    bool isolated = false;
    /// For an isolated module, the longest a call may run, in seconds
    /// (time in the host's own callbacks included); past it the worker is
    /// killed and the call fails with a ModuleProcessEnded. None: no limit.
    std::optional<double> timeout = {};
};

/// A call of an isolated module's function that ended with its worker
/// process: "f: the module's process ended (signal 11, segmentation
/// fault)", "... (exit status 3)", "f: timed out after 2 s", or, the
/// worker killed for breaking the channel's rules, "f: the module's
/// process sent a malformed reply". A worksheet error (no argument to
/// blame), so hosts that report those report it.
class EFI_API ModuleProcessEnded : public Vrn::Run::AppException {
public:
    ModuleProcessEnded(std::u16string message, bool timedOut)
        : AppException(std::move(message), 0xFFFFFFFFu), m_timedOut(timedOut) {}
    /// True when the worker was killed for running past the time limit.
    bool TimedOut() const noexcept { return m_timedOut; }

private:
    bool m_timedOut;
};

/// Ends the worker processes of every isolated module of this process and
/// waits for them (a worker gets two seconds to end by itself before it is
/// killed); the next call of such a module starts a new one. For a host
/// that ends while its session lives on (an interpreter at exit). Call it
/// when no call runs.
EFI_API void EndModuleWorkers() noexcept;

/// How a host stops a call of an isolated module that waits for its worker
/// (a user's Ctrl-C): `check` runs on the waiting thread every few
/// milliseconds while the worker computes, and at once when a signal
/// interrupts the wait. What it throws ends the call: the busy worker is
/// killed and reaped (the module's next call starts a new one), and the
/// exception reaches the caller as thrown. Null, the default: a call waits
/// for its worker, up to the module's time limit. A call in process is not
/// stopped so: it runs to its end.
EFI_API void SetInterruptCheck(void (*check)()) noexcept;

/// How the worker processes of an isolated module have fared.
struct WorkerHistory {
    unsigned started = 0;  ///< workers started, the first one included
    /// Workers that ended without the host ending them: crashed, killed at
    /// the time limit, by an interrupt or after a malformed reply, or found
    /// dead before a call (which then ran on a new one).
    unsigned lost = 0;
    std::string lastLost;  ///< how the last of those ended ("signal 9, killed"), or empty
};

/// The path to open for the module named `path`: a bare name of a readable
/// file in the working directory becomes "./name", as the dynamic loader
/// would search the library path for the bare name instead.
EFI_API std::string ModulePath(std::string path);

/// The host text the bridge joins relative file names to for directory
/// `dir`: `dir` with a final '/', as the bridge adds no separator.
EFI_API Vrn::Run::Object DirectoryText(std::u16string dir);

/// The functions of one host, by name. A name stands for one function:
/// - a module loaded again (the same file, by its resolved path) gives its
///   functions again, already registered;
/// - a module with a name that another module or a conversion holds is
///   refused whole (ModuleError), nothing of it registered;
/// - a callback may take any name but those, and replaces an earlier
///   callback of its name.
/// Every function is also registered as a host callback, so native code can
/// call it back by name.
class EFI_API HostSession {
public:
    /// Loads the module at `path` (through ModulePath) and registers its
    /// functions. Returns them in the module table's order; the reference
    /// lives as long as the session. Throws ModuleError, also for a module
    /// loaded before in the other way (isolated or in process), and for an
    /// isolated one whose worker cannot be started.
    const std::vector<LoadedFunction>& LoadModule(const std::string& path, const LoadOptions& options = {});

    /// Adds the six conversions ("built-in"); a second call does nothing.
    /// Returns them in their table's order.
    const std::vector<LoadedFunction>& AddConversions();

    /// Makes `f` the host callback `name` (a null `f` removes it). Throws
    /// std::invalid_argument for a name that a loaded function holds.
    void RegisterCallback(const std::string& name, Vrn::Run::Object f);

    /// The function named `name`, or null.
    const LoadedFunction* Find(std::string_view name) const;

    /// How the workers of the module loaded from `path` have fared; none
    /// for a module not loaded, or loaded in process.
    std::optional<WorkerHistory> Workers(const std::string& path) const;

    /// Every function, by name.
    const std::map<std::string, LoadedFunction, std::less<>>& Functions() const noexcept { return m_functions; }

private:
    void Claim(const std::vector<LoadedFunction>& fns);

    std::map<std::string, LoadedFunction, std::less<>> m_functions;
    struct Module {
        std::vector<LoadedFunction> functions;
        bool isolated;
        std::function<WorkerHistory()> workers = {};  ///< an isolated module's
    };
    std::map<std::string, Module> m_modules;  ///< by resolved path
    std::vector<LoadedFunction> m_conversions;
};

}  // namespace Efi
