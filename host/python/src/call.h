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

/// The two floating-point control registers of a thread.
struct FpEnv {
    std::uint16_t x87;    ///< x87 control word
    std::uint32_t mxcsr;  ///< SSE control and status
};

inline FpEnv SaveFp() noexcept {
    FpEnv e;
    asm volatile("fnstcw %0" : "=m"(e.x87)::"memory");
    asm volatile("stmxcsr %0" : "=m"(e.mxcsr)::"memory");
    return e;
}

/// Loads `e`. A word that unmasks x87 exceptions (a native call's) is
/// loaded with no flag pending, or the next x87 instruction would trap on a
/// flag raised before; clearing is skipped for a word that masks them all
/// (Python's), as FNCLEX costs more than the rest of the switch.
inline void LoadFp(const FpEnv& e) noexcept {
    constexpr std::uint16_t kAllMasked = 0x3F;
    if ((e.x87 & kAllMasked) != kAllMasked) asm volatile("fnclex" ::: "memory");
    asm volatile("fldcw %0" ::"m"(e.x87) : "memory");
    asm volatile("ldmxcsr %0" ::"m"(e.mxcsr) : "memory");
}

/// Loads `e` where nothing of the x87 state but its control word is worth
/// keeping (no flag pending, an empty register stack), as after a bridge
/// call. One environment load sets the word and clears the status; on x87
/// that costs a fraction of a plain control-word load that changes the word.
void LoadFpAfterCall(const FpEnv& e) noexcept;

/// The environment Python computes in: the one the innermost FpGuard saved
/// (null outside every bridge call). Guards live only on the thread whose
/// turn it is (see BridgeTurn), so one variable serves every thread.
inline const FpEnv* g_python = nullptr;

/// Saves the thread's environment and restores it when destroyed. While it
/// lives, its environment is the one Python callbacks on this thread run in,
/// and the one native calls end with: the bridge loads it in place of the
/// worksheet host's trapping word, so a call from Python changes the
/// control word twice (in and out) rather than three times, and this guard
/// finds it in force and has nothing left to load. Inline, as it brackets
/// every call.
class FpGuard {
public:
    FpGuard() noexcept : m_saved(SaveFp()), m_outer(g_python), m_bridge_exit({m_saved.x87, m_saved.mxcsr}) {
        g_python = &m_saved;
    }
    ~FpGuard() {
        // After a bridge call the saved environment is in force already; a
        // path that changed it some other way gets it back here.
        const FpEnv now = SaveFp();
        if (now.x87 != m_saved.x87 || now.mxcsr != m_saved.mxcsr) LoadFpAfterCall(m_saved);
        g_python = m_outer;
    }
    FpGuard(const FpGuard&) = delete;
    FpGuard& operator=(const FpGuard&) = delete;

private:
    FpEnv m_saved;
    const FpEnv* m_outer;
    Efi::User::HostFpScope m_bridge_exit;
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
    FpEnv m_native;
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
