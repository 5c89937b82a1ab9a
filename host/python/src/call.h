// The boundary between Python and the bridge: what every entry into the
// bridge from Python saves, takes and translates.
//
// Python's arithmetic is written for the masked floating-point environment;
// a bridge call leaves the host's trapping word (0x273) in force. Every entry
// therefore saves the environment and restores it on every exit path, and a
// Python callback reached from native code gets Python's environment while
// it runs and gives the native code its own back afterwards.
#pragma once

#include <Python.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <thread>
#include <utility>

#include <efi/host/bridge.h>

namespace efi_python {

using FpState = Efi::User::HostFpState;

/// Saves the thread's environment and restores it when destroyed. While it
/// lives, its environment is the one Python callbacks on this thread run in
/// (the innermost HostFpScope's), and the one native calls end with: the
/// bridge loads it in place of the worksheet host's trapping word, so a
/// call from Python changes the control word twice (in and out) rather than
/// three times, and this guard finds it in force and has nothing left to
/// load. Inline, as it brackets every call.
class FpGuard {
public:
    FpGuard() noexcept : m_saved(Efi::User::ReadFpState()), m_scope(m_saved) {}
    ~FpGuard() {
        // After a bridge call the saved environment is in force already; a
        // path that changed it some other way gets it back here.
        const FpState now = Efi::User::ReadFpState();
        if (now.x87Control != m_saved.x87Control || now.mxcsr != m_saved.mxcsr) Efi::User::LoadFpState(m_saved);
    }
    FpGuard(const FpGuard&) = delete;
    FpGuard& operator=(const FpGuard&) = delete;

private:
    FpState m_saved;
    Efi::User::HostFpScope m_scope;
};

/// Python code run from inside a native call (a callback): Python's
/// environment while it runs, the native code's own afterwards.
class PythonSection {
public:
    PythonSection() noexcept;
    ~PythonSection();
    PythonSection(const PythonSection&) = delete;
    PythonSection& operator=(const PythonSection&) = delete;

private:
    FpState m_native;
};

/// One thread's turn at the bridge. Bridge calls run one at a time in the
/// process. The GIL is held for a whole call, but a Python callback lets
/// other threads run while it executes Python code; a call from one of them
/// waits here (without the GIL) until the running call ends. Calls nested on
/// the owning thread pass straight through.
class BridgeTurn {
public:
    BridgeTurn() {
        if (SomeoneElsesTurn()) WaitForTurn();
        g_owner = std::this_thread::get_id();
        ++g_depth;
    }
    ~BridgeTurn() {
        if (--g_depth == 0 && g_waiters > 0) WakeWaiters();
    }
    BridgeTurn(const BridgeTurn&) = delete;
    BridgeTurn& operator=(const BridgeTurn&) = delete;

private:
    static bool SomeoneElsesTurn() { return g_depth > 0 && g_owner != std::this_thread::get_id(); }
    static void WaitForTurn();
    static void WakeWaiters();

    // Read and written only with the GIL held.
    static inline std::thread::id g_owner;
    static inline unsigned g_depth = 0;
    static inline unsigned g_waiters = 0;
};

/// A Python exception on its way through native frames: fetched where a
/// callback failed, restored unchanged where the bridge call returns to
/// Python, after every frame in between has cleaned up.
class PythonError {
public:
    /// Takes the current Python error (there must be one).
    static PythonError Fetch() noexcept;
    PythonError(PythonError&& o) noexcept;
    PythonError(const PythonError&) = delete;
    PythonError& operator=(const PythonError&) = delete;
    ~PythonError();
    /// Makes it the current Python error again; gives up the references.
    void Restore() noexcept;

private:
    PythonError(PyObject* type, PyObject* value, PyObject* tb) noexcept : m_type(type), m_value(value), m_tb(tb) {}
    PyObject* m_type;
    PyObject* m_value;
    PyObject* m_tb;
};

/// The package's exception classes (defined in efi/__init__.py).
struct ErrorClasses {
    PyObject* module_error = nullptr;
    PyObject* worksheet_error = nullptr;
    PyObject* processor_fault = nullptr;
};
ErrorClasses& Errors() noexcept;

/// Sets the Python error for a failure that left a bridge call: a worksheet
/// error, a processor fault, a Python exception from a callback, or a C++
/// failure.
void RaiseFrom(std::exception_ptr failure) noexcept;

/// Runs `body`, the work of one CPython entry (a new reference, or null
/// with a Python error set). A C++ exception it lets out becomes the Python
/// error RaiseFrom sets: none may unwind into the interpreter, which would
/// end the process.
template <class Body>
PyObject* GuardEntry(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        RaiseFrom(std::current_exception());
        return nullptr;
    }
}

/// Sets efi.ModuleError with `message`.
void RaiseModuleError(const char* message) noexcept;

/// Runs `body` as one entry into the bridge: in this thread's turn, under a
/// saved floating-point environment. Returns its result, or nothing with the
/// Python error set. Python objects are made only after the environment is
/// restored (by the caller, from the result).
template <class Body>
auto RunInBridge(Body&& body) -> std::optional<decltype(body())> {
    std::exception_ptr failure;
    {
        BridgeTurn turn;
        FpGuard guard;
        try {
            return std::optional<decltype(body())>(body());
        } catch (...) {
            failure = std::current_exception();
        }
    }
    RaiseFrom(std::move(failure));
    return std::nullopt;
}

}  // namespace efi_python
