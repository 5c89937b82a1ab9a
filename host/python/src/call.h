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

#include <atomic>
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

/// Whether code of other Python threads could run while this one is in
/// native code: true unless this thread's is the only thread state of its
/// interpreter. Without other threads, giving up the GIL for a call would
/// cost its price and let nothing run. A thread state made meanwhile by a
/// thread of native code waits for the GIL until the call ends. Read without
/// a lock: the list changes under the interpreter's own lock, and a stale
/// answer only decides whether the GIL is given up.
inline bool OtherThreadsMayRun() noexcept {
    PyThreadState* self = PyThreadState_Get();
    return __atomic_load_n(&self->next, __ATOMIC_RELAXED) || __atomic_load_n(&self->prev, __ATOMIC_RELAXED);
}

/// Come back into Python from code that ran without the GIL: the first as
/// PyEval_RestoreThread(saved), the second as PyGILState_Ensure (for a
/// callback, whose thread may hold the GIL already). Once the interpreter
/// has begun to exit (see CloseBridge), a thread other than the exiting one
/// never takes the GIL again: shutdown ends a thread there, unwinding the
/// native frames below it, which cannot be unwound. It waits for the
/// process to end instead.
void RestoreThread(PyThreadState* saved);
PyGILState_STATE EnsureGil();

/// The GIL held, as EnsureGil takes it, for the life of the object.
struct GilHeld {
    PyGILState_STATE state = EnsureGil();
    ~GilHeld() { PyGILState_Release(state); }
};

/// Native code running on this thread without the GIL, when other Python
/// threads may use it meanwhile; with the GIL when there are none.
class NativeSection {
public:
    NativeSection() noexcept : m_saved(OtherThreadsMayRun() ? PyEval_SaveThread() : nullptr) {}
    ~NativeSection() {
        if (m_saved) RestoreThread(m_saved);
    }
    NativeSection(const NativeSection&) = delete;
    NativeSection& operator=(const NativeSection&) = delete;

private:
    PyThreadState* m_saved;
};

/// What a call takes of the process's turn: a share of it (a function
/// whose module declares it thread-safe: such calls run at once on several
/// threads), the whole of it (any other function, and loading a module),
/// or nothing (a function of an isolated module: the library keeps its
/// worker's channel to one call at a time itself).
enum class TurnKind : unsigned char { kShared, kAlone, kNone };

/// This thread's part in the turn: how deep its calls nest inside the one
/// that took it, and how it holds it.
struct ThreadTurn {
    unsigned depth = 0;
    bool alone = false;
    /// Held for a map on another thread, which took the share (MapWorkers).
    bool borrowed = false;
};

/// One thread's turn at the bridge, readers and writer: calls of
/// thread-safe functions share it, any other call has it alone, as the
/// library's own turn has it (which would refuse what this one makes
/// wait). A call that cannot have its turn waits here, without the GIL and
/// answering Ctrl-C, in a queue served in order: a waiting call that needs
/// the turn alone holds back shares asked for after it, and shares waiting
/// behind it all go in together once it is done, so neither kind waits for
/// ever while the other keeps calling. Calls nested on a thread that holds
/// the turn (from a callback) pass straight through; the library decides
/// whether such a call may run. The turn is taken and given back with the
/// GIL held, which orders it between threads; the process-wide counts are
/// atomics only because CloseBridge reads them without it.
class BridgeTurn {
public:
    /// Throws PythonError when a signal handler raises while waiting
    /// (KeyboardInterrupt).
    explicit BridgeTurn(TurnKind kind = TurnKind::kAlone) : m_kind(kind) {
        if (kind == TurnKind::kNone) return;
        ThreadTurn& mine = t_turn;
        if (mine.depth == 0) {
            if (!(g_waiting.load(std::memory_order_relaxed) == 0 && Admits(kind)) || Closing()) WaitForTurn(kind);
            else Enter(kind);
            mine.alone = kind == TurnKind::kAlone;
        }
        ++mine.depth;
    }
    ~BridgeTurn() {
        if (m_kind == TurnKind::kNone) return;
        ThreadTurn& mine = t_turn;
        if (--mine.depth > 0) return;
        if (mine.alone) g_alone.store(false, std::memory_order_relaxed);
        else g_shared.store(g_shared.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
        if (g_waiting.load(std::memory_order_relaxed) > 0) WakeWaiters();
    }
    BridgeTurn(const BridgeTurn&) = delete;
    BridgeTurn& operator=(const BridgeTurn&) = delete;

    /// True when no call runs: what CloseBridge waits for.
    static bool Free() noexcept {
        return g_shared.load(std::memory_order_acquire) == 0 && !g_alone.load(std::memory_order_acquire);
    }
    /// True when this thread holds the turn (its call is running).
    static bool Held() noexcept { return t_turn.depth > 0; }
    /// Threads waiting for their turn.
    static unsigned Waiting() noexcept { return g_waiting.load(std::memory_order_relaxed); }
    /// In a child made by fork: no call runs there but the forking thread's
    /// own (the threads that ran or waited for others are not copied).
    static void ResetInChild() noexcept;

private:
    friend void CloseBridge();
    friend class BorrowedTurn;
    static bool Admits(TurnKind kind) noexcept {
        return !g_alone.load(std::memory_order_relaxed) &&
               (kind == TurnKind::kShared || g_shared.load(std::memory_order_relaxed) == 0);
    }
    static void Enter(TurnKind kind) noexcept {
        if (kind == TurnKind::kAlone) g_alone.store(true, std::memory_order_relaxed);
        else g_shared.store(g_shared.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    }
    static bool Closing() noexcept;
    static void WaitForTurn(TurnKind kind);
    static void WakeWaiters();

    // Read on every call: the initial-exec model makes that one load from
    // the thread's block, where the default for a library opened at run
    // time costs a call into the dynamic loader each time. Its few bytes
    // fit in the room the loader keeps for such libraries.
    [[gnu::tls_model("initial-exec")]] static constinit inline thread_local ThreadTurn t_turn{};
    static inline std::atomic<unsigned> g_shared{0};
    static inline std::atomic<bool> g_alone{false};
    /// Threads in the queue (WaitForTurn), and CloseBridge while it waits.
    static inline std::atomic<unsigned> g_waiting{0};

    TurnKind m_kind;
};

/// A share of the turn that another thread took, held by a thread that
/// runs part of that thread's map: calls nested on it (from a callback)
/// pass through as on the thread that took it. No GIL needed.
class BorrowedTurn {
public:
    BorrowedTurn() noexcept { BridgeTurn::t_turn = ThreadTurn{1, false, true}; }
    ~BorrowedTurn() { BridgeTurn::t_turn = ThreadTurn{}; }
    BorrowedTurn(const BorrowedTurn&) = delete;
    BorrowedTurn& operator=(const BorrowedTurn&) = delete;
};

/// Readies the turn for the life of the process: the reset in a forked
/// child. Call once, at import.
void InitBridgeTurn();

/// Lets Ctrl-C stop a call of an isolated module while it waits for its
/// worker (Efi::SetInterruptCheck): the handlers of pending signals run on
/// the main thread, `mainThread` (threading.main_thread().ident), and
/// what one raises ends the call. Call once, at import.
void WatchInterrupts(unsigned long mainThread);

/// Run at interpreter exit (atexit), with the GIL: lets every call running
/// on another thread (a daemon thread) end, up to a bound, and from then on
/// keeps every thread but this one out of the bridge and out of Python.
/// Interpreter shutdown ends a thread that takes the GIL, and a thread in
/// a callback has native frames below it that must not be unwound so.
void CloseBridge();

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
    PyObject* argument_error = nullptr;    ///< a WorksheetError that is a TypeError
    PyObject* module_crash = nullptr;      ///< a WorksheetError: an isolated module's process ended
    PyObject* module_exception = nullptr;  ///< a WorksheetError: a C++ exception a module let out
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

/// Sets efi.ArgumentCountError with `message` (a str, stolen).
void RaiseArgumentError(PyObject* message) noexcept;

/// Sets efi.ModuleError with `message`.
void RaiseModuleError(const char* message) noexcept;

/// Python's side of one entry into the bridge, undone in reverse however it
/// is left: this thread's turn first (waited for, so that nothing is saved
/// or changed for a call that cannot run yet), then Python's floating-point
/// environment saved and lent to every call made inside it.
///
/// It wraps the library's own call scope rather than being it: each call
/// made inside still takes the library's turn, nesting level and call word.
/// What it adds is Python's, which the library has no part in: a second
/// thread waits here for its turn, without the GIL and answering Ctrl-C,
/// where the library would refuse it; and the environment kept is Python's
/// masked one, which the HostFpScope set here makes every call inside end
/// with, in place of the worksheet host's word. The GIL is given up inside
/// it (NativeSection, or a sweep's blocks, which take it back in between).
class BridgeEntry {
public:
    /// Throws PythonError as BridgeTurn does.
    explicit BridgeEntry(TurnKind kind) : m_turn(kind) {}
    BridgeEntry(const BridgeEntry&) = delete;
    BridgeEntry& operator=(const BridgeEntry&) = delete;

private:
    // Made in this order and undone in reverse: the order above.
    BridgeTurn m_turn;
    FpGuard m_guard;
};

/// Runs `body` as one entry into the bridge (a BridgeEntry taking `kind`
/// of the turn), without the GIL when other threads may want it (callbacks
/// take it back). Returns its result, or nothing with the Python error
/// set. Python objects are made only after the environment is restored (by
/// the caller, from the result).
template <class Body>
auto RunInBridge(TurnKind kind, Body&& body) -> std::optional<decltype(body())> {
    std::exception_ptr failure;
    try {
        BridgeEntry entry(kind);
        NativeSection native;
        return std::optional<decltype(body())>(body());
    } catch (...) {
        failure = std::current_exception();
    }
    RaiseFrom(std::move(failure));
    return std::nullopt;
}

}  // namespace efi_python
