// The boundary between Python and the bridge: see call.h.
#include "call.h"

#include <efi/errors.h>
#include <efi/host/module_loader.h>
#include <efi/host/session.h>
#include <efi/se_exception.h>
#include <vrnrun/vrnrun.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <stdexcept>
#include <thread>

#include <pthread.h>
#include <unistd.h>

#include "values.h"

namespace efi_python {

namespace {

/// Python's own environment when no guard has saved one: every exception
/// masked, round to nearest.
constexpr FpState kPythonDefault{0x037F, 0x1F80};

// The mutex and condition only carry wake-ups to threads waiting without
// the GIL. Made anew in a forked child, where a thread that is gone may
// have held the mutex.
std::mutex* g_wake_mutex = new std::mutex;
std::condition_variable* g_wake = new std::condition_variable;

/// How long a waiting thread sleeps between looks at its signals: a Ctrl-C
/// reaches the main thread within this time.
constexpr auto kSignalPoll = std::chrono::milliseconds(20);

/// How long interpreter exit waits for calls running on other threads.
constexpr auto kExitDrain = std::chrono::seconds(1);

/// Interpreter exit as the bridge sees it: open, then draining (new calls
/// from other threads are held, running ones may end), then closed (no
/// thread but the exiting one takes the GIL again).
enum Phase : int { kOpen, kDraining, kClosed };
std::atomic<int> g_phase{kOpen};
std::thread::id g_closer;  // written before the phase leaves kOpen
/// Threads between deciding to take the GIL back and having it.
std::atomic<unsigned> g_returning{0};

bool IsCloser() { return std::this_thread::get_id() == g_closer; }

/// A thread kept out of Python for good: the process is ending.
[[noreturn]] void Park() {
    for (;;) ::pause();
}

/// Counts the thread as returning to Python for `take`, unless the bridge
/// is closed to it.
template <class Take>
auto Return(Take take) {
    g_returning.fetch_add(1);
    if (g_phase.load() == kClosed && !IsCloser()) {
        g_returning.fetch_sub(1);
        Park();
    }
    auto r = take();
    g_returning.fetch_sub(1);
    return r;
}

/// Counts up when the turn or the queue changes: what a waiting thread
/// sleeps on without the GIL.
std::atomic<unsigned> g_generation{0};

void WakeAll() {
    std::lock_guard<std::mutex> lock(*g_wake_mutex);
    g_generation.fetch_add(1);
    g_wake->notify_all();
}

}  // namespace

void RestoreThread(PyThreadState* saved) {
    Return([saved] {
        PyEval_RestoreThread(saved);
        return 0;
    });
}

PyGILState_STATE EnsureGil() {
    if (PyGILState_Check()) return PyGILState_Ensure();  // held already: only counted
    return Return([] { return PyGILState_Ensure(); });
}

bool BridgeTurn::Closing() noexcept { return g_phase.load() != kOpen && !IsCloser(); }

namespace {

/// A thread waiting for its turn, in the queue's order. The queue is read
/// and changed with the GIL held.
struct Waiter {
    std::chrono::steady_clock::time_point since;
    Waiter* next = nullptr;
};
Waiter* g_queue_head = nullptr;
Waiter* g_queue_tail = nullptr;

/// How long the first waiting call lets calls that come after it go first
/// when the turn admits them: a thread that calls again and again keeps
/// its turn (handing it over at every call would cost two thread switches
/// a call), and a waiting call has its turn within this time, and the end
/// of the calls then running, however often others call.
constexpr auto kPatience = std::chrono::milliseconds(1);

bool HeadOutOfPatience(std::chrono::steady_clock::time_point now) {
    return g_queue_head && now - g_queue_head->since >= kPatience;
}

void Enqueue(Waiter* w) {
    if (g_queue_tail) g_queue_tail->next = w;
    else g_queue_head = w;
    g_queue_tail = w;
}

void Dequeue(Waiter* w) {
    Waiter** link = &g_queue_head;
    Waiter* before = nullptr;
    while (*link && *link != w) {
        before = *link;
        link = &(*link)->next;
    }
    if (!*link) return;
    *link = w->next;
    if (g_queue_tail == w) g_queue_tail = before;
}

}  // namespace

void BridgeTurn::WaitForTurn(TurnKind kind) {
    using Clock = std::chrono::steady_clock;
    Waiter me{Clock::now()};
    // Goes first while the first waiting call has patience left.
    if (!Closing() && Admits(kind) && !HeadOutOfPatience(me.since)) {
        Enter(kind);
        return;
    }
    Enqueue(&me);
    g_waiting.store(g_waiting.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    struct Leave {
        Waiter* me;
        ~Leave() {
            // Gone from the queue, in turn or interrupted: the next one
            // may go in now (a share behind a share at once).
            Dequeue(me);
            g_waiting.store(g_waiting.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
            WakeAll();
        }
    } leave{&me};
    for (;;) {
        if (Closing()) {
            PyEval_SaveThread();
            Park();
        }
        if (g_queue_head == &me && Admits(kind)) {
            Enter(kind);
            return;
        }
        // Woken when a call ends after this one has run out of patience,
        // or when the queue moves; else when its patience runs out, to be
        // woken then. The time-out also lets the main thread look at its
        // signals.
        auto timeout = std::chrono::duration_cast<Clock::duration>(kSignalPoll);
        if (const auto left = me.since + kPatience - Clock::now();
            g_queue_head == &me && left > Clock::duration::zero())
            timeout = std::min(timeout, left);
        const unsigned seen = g_generation.load();
        PyThreadState* saved = PyEval_SaveThread();
        {
            std::unique_lock<std::mutex> lock(*g_wake_mutex);
            g_wake->wait_for(lock, timeout, [seen] { return g_generation.load() != seen || g_phase.load() != kOpen; });
        }
        RestoreThread(saved);
        if (PyErr_CheckSignals() != 0) throw PythonError::Fetch();
    }
}

void BridgeTurn::WakeWaiters() {
    // A waiting call with patience left wakes by itself when it runs out.
    if (HeadOutOfPatience(std::chrono::steady_clock::now()) || !g_queue_head) WakeAll();
}

void BridgeTurn::ResetInChild() noexcept {
    // A fork from inside a call (a callback) keeps that call: it returns in
    // the child too, and gives back what it took. Threads that ran or
    // waited for other calls were not copied, and the parent's wake mutex
    // may be held by one of them.
    const ThreadTurn mine = t_turn;
    const bool ownCall = mine.depth > 0 && !mine.borrowed;
    g_alone.store(ownCall && mine.alone, std::memory_order_relaxed);
    g_shared.store(ownCall && !mine.alone ? 1 : 0, std::memory_order_relaxed);
    g_queue_head = g_queue_tail = nullptr;
    g_waiting.store(0, std::memory_order_relaxed);
    g_returning.store(0);
    g_wake_mutex = new std::mutex;  // the parent's may be held by a thread not copied
    g_wake = new std::condition_variable;
}

void InitBridgeTurn() {
    static const bool registered = [] {
        ::pthread_atfork(nullptr, nullptr, [] { BridgeTurn::ResetInChild(); });
        return true;
    }();
    (void)registered;
}

namespace {

/// The interpreter's main thread: the one Python runs signal handlers on.
std::atomic<unsigned long> g_main_thread{0};

/// What an isolated call runs while it waits for its worker: on the main
/// thread, the handlers of the signals that came meanwhile (Ctrl-C's raises
/// KeyboardInterrupt), and what one raises ends the call. A signal sent to
/// the process may wake another thread: this runs every few milliseconds
/// too, so the main thread sees it all the same.
void CheckSignalsWhileWaiting() {
    if (PyThread_get_thread_ident() != g_main_thread.load(std::memory_order_relaxed)) return;
    GilHeld gil;
    int failed;
    {
        PythonSection python;
        failed = PyErr_CheckSignals();
    }
    if (failed) throw PythonError::Fetch();
}

}  // namespace

void WatchInterrupts(unsigned long mainThread) {
    g_main_thread.store(mainThread, std::memory_order_relaxed);
    static const bool registered = [] {
        // A child made by fork has one thread, the one that forked: Python
        // makes it the main thread there.
        ::pthread_atfork(nullptr, nullptr,
                         [] { g_main_thread.store(PyThread_get_thread_ident(), std::memory_order_relaxed); });
        return true;
    }();
    (void)registered;
    Efi::SetInterruptCheck(&CheckSignalsWhileWaiting);
}

void CloseBridge() {
    g_closer = std::this_thread::get_id();
    g_phase.store(kDraining);
    BridgeTurn::g_waiting.store(BridgeTurn::g_waiting.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    Py_BEGIN_ALLOW_THREADS;
    {
        WakeAll();  // waiting threads see the phase and stop
        const auto deadline = std::chrono::steady_clock::now() + kExitDrain;
        std::unique_lock<std::mutex> lock(*g_wake_mutex);
        while (!(BridgeTurn::Free() && g_returning.load() == 0) && std::chrono::steady_clock::now() < deadline)
            g_wake->wait_for(lock, std::chrono::milliseconds(1));
        g_phase.store(kClosed);
        // A thread that decided to take the GIL before the phase closed gets
        // it before this one takes it back, so never during shutdown.
        while (g_returning.load() > 0) g_wake->wait_for(lock, std::chrono::milliseconds(1));
    }
    Py_END_ALLOW_THREADS;
    BridgeTurn::g_waiting.store(BridgeTurn::g_waiting.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
}

namespace {

PyObject* ArgumentOrNone(std::uint32_t argument) {
    if (argument == Efi::kNoArgument) Py_RETURN_NONE;
    return PyLong_FromUnsignedLong(argument);
}

// Raises cls(*args) with the instance made here, so its attributes are set
// by the class's own constructor.
void RaiseInstance(PyObject* cls, PyObject* args) {
    if (!args) return;
    // The handler of a signal that came during the call (Ctrl-C) would run
    // inside the class's constructor, and its exception would show that
    // frame: it runs first, and what it raises stands for the failure.
    if (PyErr_CheckSignals() != 0) {
        Py_DECREF(args);
        return;
    }
    PyObject* instance = PyObject_CallObject(cls, args);
    Py_DECREF(args);
    if (!instance) return;
    PyErr_SetObject(cls, instance);
    Py_DECREF(instance);
}

void RaiseWorksheetError(const Vrn::Run::AppException& e) {
    PyObject* message = FromUtf16(e.Message());
    PyObject* argument = message ? ArgumentOrNone(e.Argument()) : nullptr;
    if (!argument) {
        Py_XDECREF(message);
        return;
    }
    RaiseInstance(Errors().worksheet_error, Py_BuildValue("(NN)", message, argument));
}

void RaiseModuleException(const Efi::User::ModuleException& e) {
    PyObject* message = FromUtf16(e.Message());
    PyObject* argument = message ? ArgumentOrNone(e.Argument()) : nullptr;
    if (!argument) {
        Py_XDECREF(message);
        return;
    }
    RaiseInstance(Errors().module_exception, Py_BuildValue("(NsN)", message, e.TypeName().c_str(), argument));
}

void RaiseModuleCrash(const Efi::ModuleProcessEnded& e) {
    PyObject* message = FromUtf16(e.Message());
    if (!message) return;
    RaiseInstance(Errors().module_crash, Py_BuildValue("(NO)", message, e.TimedOut() ? Py_True : Py_False));
}

void RaiseProcessorFault(std::uint32_t code) {
    RaiseInstance(Errors().processor_fault,
                  Py_BuildValue("(sk)", SE_Exception::ExceptionStringFromCode(code), static_cast<unsigned long>(code)));
}

}  // namespace

PythonSection::PythonSection() noexcept : m_native(Efi::User::ReadFpState()) {
    const FpState* python = Efi::User::HostFpScope::Current();
    Efi::User::LoadFpState(python ? *python : kPythonDefault);
}

PythonSection::~PythonSection() { Efi::User::LoadFpState(m_native); }

PythonError PythonError::Fetch() noexcept {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    return PythonError(type, value, tb);
}

PythonError::PythonError(PythonError&& o) noexcept
    : m_type(std::exchange(o.m_type, nullptr)),
      m_value(std::exchange(o.m_value, nullptr)),
      m_tb(std::exchange(o.m_tb, nullptr)) {}

PythonError::~PythonError() {
    Py_XDECREF(m_type);
    Py_XDECREF(m_value);
    Py_XDECREF(m_tb);
}

void PythonError::Restore() noexcept {
    PyErr_Restore(std::exchange(m_type, nullptr), std::exchange(m_value, nullptr), std::exchange(m_tb, nullptr));
}

ErrorClasses& Errors() noexcept {
    static ErrorClasses classes;
    return classes;
}

void RaiseArgumentError(PyObject* message) noexcept {
    RaiseInstance(Errors().argument_error, Py_BuildValue("(N)", message));
}

void RaiseModuleError(const char* message) noexcept {
    RaiseInstance(Errors().module_error, Py_BuildValue("(s)", message));
}

void RaiseFrom(std::exception_ptr failure) noexcept {
    try {
        std::rethrow_exception(std::move(failure));
    } catch (PythonError& e) {
        e.Restore();
    } catch (const Efi::ModuleProcessEnded& e) {
        RaiseModuleCrash(e);
    } catch (const Efi::User::ModuleException& e) {
        RaiseModuleException(e);
    } catch (const Vrn::Run::AppException& e) {
        RaiseWorksheetError(e);
    } catch (const SE_Exception& e) {
        RaiseProcessorFault(e.GetCode());
    } catch (const Efi::ModuleError& e) {
        RaiseModuleError(e.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown error");
    }
}

}  // namespace efi_python
