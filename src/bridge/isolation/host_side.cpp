// The host's side of an isolated module: see host_side.h.
#include "bridge/isolation/host_side.h"

#include <efi/errors.h>
#include <efi/host/callbacks.h>
#include <efi/host/session.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <span>

#include "bridge/call_scope.h"
#include "bridge/isolation/outcome.h"
#include "bridge/isolation/transport.h"
#include "bridge/isolation/worker_process.h"
#include "bridge/module_error.h"

namespace Efi::detail {

namespace {

using Vrn::Run::Object;
using namespace wire;

/// One isolated module and the process that runs it. Calls run on the
/// channel one at a time, nested strictly: a call waits for its outcome
/// and meanwhile answers the worker's callbacks, which may call the module
/// again. Calls from several threads take turns on the channel (see
/// ChannelTurn); the process, how it last ended and the held failures are
/// the turn holder's alone.
class Worker : public std::enable_shared_from_this<Worker> {
    friend class ChannelLevel;

public:
    Worker(std::string path, std::optional<double> timeout) : m_path(std::move(path)), m_timeout(timeout) {
        if (m_timeout) {
            char text[64];
            std::snprintf(text, sizeof text, "%g s", *m_timeout);
            m_timeoutText = text;
            // Whole nanoseconds, worked out here: a call runs under the
            // trapping word, where a large limit would overflow.
            m_limit = std::chrono::nanoseconds(std::llround(std::min(*m_timeout, 1e9) * 1e9));
        }
    }
    Worker(const Worker&) = delete;
    Worker& operator=(const Worker&) = delete;

    /// Starts the worker and loads the module; the table it reports.
    const std::vector<TableEntry>& Load() {
        m_table = Start();
        return m_table;
    }

    Object Call(std::uint32_t index, std::span<const Object> args);

    /// How its workers fared; read from any thread.
    WorkerHistory History() const {
        std::lock_guard lock(m_historyLock);
        return m_history;
    }

private:
    std::vector<TableEntry> Start();
    void Restart(const std::string& fn);
    bool SendCall(std::uint32_t index, std::span<const Object> args);
    bool Await(Message& m, int timeoutMs);
    void Lost(const std::string& how);
    [[noreturn]] void Ended(const std::string& fn);
    [[noreturn]] void TimedOut(const std::string& fn);
    [[noreturn]] void Malformed(const std::string& fn);
    [[noreturn]] void Refused(const Message& m, const std::string& fn);
    void AnswerCallback(const Message& m, const std::string& fn);
    int RemainingMs(std::chrono::steady_clock::time_point deadline) const;

    std::string m_path;
    std::optional<double> m_timeout;
    std::string m_timeoutText;
    std::chrono::nanoseconds m_limit{0};
    WorkerProcess m_process;
    std::string m_end;  ///< how the last worker ended
    std::vector<TableEntry> m_table;
    std::vector<std::exception_ptr> m_held;  ///< failures of callbacks kept here
    mutable std::mutex m_historyLock;
    WorkerHistory m_history;
};

/// The host's check for interrupts while a call waits for its worker.
std::atomic<InterruptCheck> g_interruptCheck{nullptr};

/// A level of a worker's channel turn for the life of a call, and of the
/// failures its callbacks left with the host: the channel's holder alone
/// reads or writes the worker's state, the process included.
class ChannelLevel {
public:
    ChannelLevel(Worker& worker, const std::string& fn);
    ~ChannelLevel();
    ChannelLevel(const ChannelLevel&) = delete;
    ChannelLevel& operator=(const ChannelLevel&) = delete;

private:
    Worker& m_worker;
    std::size_t m_held = 0;
};

std::vector<TableEntry> Worker::Start() {
    m_process.Start(m_path);
    {
        std::lock_guard lock(m_historyLock);
        ++m_history.started;
    }
    const std::string locale = std::setlocale(LC_ALL, nullptr) ? std::setlocale(LC_ALL, nullptr) : "C";
    const bool sent = Send(m_process.Channel(), Kind::Load, [&](Writer& w) {
        w.Utf8(m_path);
        w.Utf8(locale);
    });
    std::string refusal;
    try {
        Message m;
        if (!sent) throw ChannelBroken{};
        Await(m, -1);
        Reader r = m.Body();
        if (m.kind == Kind::Table) {
            std::vector<TableEntry> table = ReadTable(r);
            r.Done();
            return table;
        }
        if (m.kind != Kind::ModuleRefused) throw MalformedMessage{};
        refusal = r.Utf8();
        r.Done();
    } catch (const ChannelBroken&) {
        Lost(m_process.Ended());
        throw ModuleError(ModuleErrorText(m_path, "the module's process ended while loading it (" + m_end + ")"));
    } catch (const MalformedMessage&) {
        m_process.Kill();
        Lost("killed after a malformed reply");
        throw ModuleError(ModuleErrorText(m_path, "the module's process sent a malformed reply while loading it"));
    }
    m_process.Stop();
    throw ModuleError(refusal);
}

void Worker::Restart(const std::string& fn) {
    std::vector<TableEntry> table;
    try {
        table = Start();
    } catch (const ModuleError& e) {
        throw ModuleProcessEnded(Vrn::Run::FromUtf8(fn + ": the module cannot be loaded again: " + e.what()), false);
    }
    if (table != m_table) {
        m_process.Stop();
        throw ModuleProcessEnded(Vrn::Run::FromUtf8(fn + ": the module's table changed since it was loaded"), false);
    }
}

// The worker ended without the host ending it: how, for the error of a
// call nested in the one that found it, and counted for a host that asks.
void Worker::Lost(const std::string& how) {
    m_end = how;
    std::lock_guard lock(m_historyLock);
    ++m_history.lost;
    m_history.lastLost = how;
}

void Worker::Ended(const std::string& fn) {
    if (m_process.Running()) Lost(m_process.Ended());
    throw ModuleProcessEnded(Vrn::Run::FromUtf8(fn + ": the module's process ended (" + m_end + ")"), false);
}

void Worker::TimedOut(const std::string& fn) {
    m_process.Kill();
    Lost("killed at the time limit");
    throw ModuleProcessEnded(Vrn::Run::FromUtf8(fn + ": timed out after " + m_timeoutText), true);
}

// The worker broke the channel's rules: what else it sends cannot be
// trusted, nor can it be trusted to end by itself.
void Worker::Malformed(const std::string& fn) {
    m_process.Kill();
    Lost("killed after a malformed reply");
    throw ModuleProcessEnded(Vrn::Run::FromUtf8(fn + ": the module's process sent a malformed reply"), false);
}

// The worker refused a request as none the host sends, and ends.
void Worker::Refused(const Message& m, const std::string& fn) {
    Reader r = m.Body();
    const std::string what = r.Utf8();
    r.Done();
    Lost(m_process.Ended());
    throw ModuleProcessEnded(Vrn::Run::FromUtf8(fn + ": the module's process refused the call: " + what), false);
}

// A call made inside another call (from a host callback) already holds
// what that call took, a channel or the process's turn, and the thread
// whose call runs on this channel may be waiting for just that (its own
// callback calling into the host): such a call does not wait, but is
// refused as a call is when the process's turn is taken. Only a thread that
// holds nothing waits, and so no two threads ever wait for each other.
ChannelLevel::ChannelLevel(Worker& worker, const std::string& fn) : m_worker(worker) {
    ChannelTurn& turn = worker.m_process.Turn();
    if (t_nesting > 0) {
        if (!turn.TakeIfFree()) RefuseTurn();
    } else {
        ChannelTurn::Deadline deadline;
        if (worker.m_timeout) deadline = std::chrono::steady_clock::now() + worker.m_limit;
        if (!turn.Take(deadline, g_interruptCheck.load(std::memory_order_relaxed)))
            Vrn::Run::AppException::Raise(Vrn::Run::FromUtf8(fn + ": timed out after " + worker.m_timeoutText +
                                                             " waiting for another call to end"),
                                          Efi::kNoArgument);
    }
    m_held = worker.m_held.size();
}

ChannelLevel::~ChannelLevel() {
    m_worker.m_held.resize(m_held);
    m_worker.m_process.Turn().GiveBack();
}

int Worker::RemainingMs(std::chrono::steady_clock::time_point deadline) const {
    if (!m_timeout) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return left.count() <= 0 ? 0 : static_cast<int>(std::min<long long>(left.count() + 1, 1 << 30));
}

// Waits for the worker's next message, at most `timeoutMs` (negative: no
// limit); false when the time ran out. The host's interrupt check runs
// meanwhile: what it throws ends the call, and the worker, in the middle
// of it, is killed (the next call starts a new one).
bool Worker::Await(Message& m, int timeoutMs) {
    try {
        return Receive(m_process.Channel(), m, timeoutMs, g_interruptCheck.load(std::memory_order_relaxed));
    } catch (const ChannelBroken&) {
        throw;
    } catch (const MalformedMessage&) {
        throw;
    } catch (...) {
        m_process.Kill();
        Lost("killed by an interrupt");
        throw;
    }
}

bool Worker::SendCall(std::uint32_t index, std::span<const Object> args) {
    return Send(m_process.Channel(), Kind::Call, [&](Writer& w) {
        w.Put(index);
        w.Put(static_cast<std::uint32_t>(args.size()));
        for (const Object& a : args) w.Value(a);
    });
}

// The worker asks for a host function by name: answered as Efi::call_host
// answers native code in process, under the call's floating-point state.
void Worker::AnswerCallback(const Message& m, const std::string& fn) {
    Reader r = m.Body();
    const std::string name = r.Utf8();
    qlComplex arg;
    arg.real = r.Get<double>();
    arg.imag = r.Get<double>();
    const auto argument = r.Get<std::uint32_t>();
    r.Done();
    qlComplex result{};
    try {
        Efi::call_host(name.c_str(), arg, result, argument);
    } catch (...) {
        // A call nested in the callback ended the worker: so does this one.
        if (!m_process.Channel().open()) throw;
        if (!SendFailure(m_process.Channel(), std::current_exception(), &m_held)) Ended(fn);
        return;
    }
    if (!m_process.Channel().open()) Ended(fn);
    const bool sent = Send(m_process.Channel(), Kind::CallbackResult, [&](Writer& w) {
        w.Put(result.real);
        w.Put(result.imag);
    });
    if (!sent) Ended(fn);
}

Object Worker::Call(std::uint32_t index, std::span<const Object> args) {
    const std::string& fn = m_table[index].name;
    // The worker's channel first, and only it: calls of other isolated
    // modules, and calls in process, go on meanwhile. A thread that waits
    // here has taken nothing for this call yet (one nested in another call
    // keeps what that call holds), and waits at most the time limit (by
    // which the running call has ended, unless it waits on the host).
    ChannelLevel channel(*this, fn);
    // The scope of a call in process, but for the process's turn (the
    // channel is this call's turn): the same floating-point state is in
    // force around the call and its callbacks, and the call is a level of
    // nesting. A worker's call nests through the host's callbacks as one in
    // process does (a callback may call this or another isolated function
    // again, on this thread, and the channel is this thread's already), and
    // each level puts this frame, the callback's answer and the host's
    // callback on this thread's stack: counted with the others, a chain
    // through isolated functions is refused at the same depth, before
    // anything is sent.
    CallScope scope(User::kCallControlWord, TurnKind::kNone);
    if (m_process.Inherited()) m_process.Stop();
    // Nested in a call of this worker (from a host callback): the worker is
    // in the middle of that call.
    const bool nested = m_process.Turn().Depth() > 1;
    if (!m_process.Running()) {
        if (nested) Ended(fn);  // it ended that call: so ends this one
        Restart(fn);
    }
    auto deadline = std::chrono::steady_clock::now() + m_limit;
    // A worker that died while idle (killed from outside, or by the system
    // short of memory) never took this call, which is no reason for it to
    // fail: the worker is replaced, once, its end counted, and the call runs
    // on the new one. It died idle when the request could not be sent, or
    // lies unread in the pipe when the channel breaks before any answer.
    bool replaced = false;
    const auto replace = [&] {
        if (nested || replaced) return false;
        if (m_process.Running()) Lost(m_process.Ended());
        Restart(fn);
        replaced = true;
        deadline = std::chrono::steady_clock::now() + m_limit;
        return true;
    };
    while (!SendCall(index, args))
        if (!replace()) Ended(fn);
    bool answered = false;  // the worker has taken the call
    for (;;) {
        Message m;
        try {
            if (!Await(m, RemainingMs(deadline))) TimedOut(fn);
            answered = true;
            if (m.kind == Kind::Result) {
                Reader r = m.Body();
                Object result = r.Value();
                r.Done();
                return result;
            }
            if (m.kind == Kind::Callback) {
                AnswerCallback(m, fn);
                continue;
            }
            if (IsFailure(m.kind)) RaiseFailure(m, &m_held);
            if (m.kind == Kind::RequestRefused) Refused(m, fn);
        } catch (const ChannelBroken&) {
            if (answered || m_process.Channel().Untaken() == 0 || !replace()) Ended(fn);
            if (!SendCall(index, args)) Ended(fn);
            continue;
        } catch (const MalformedMessage&) {
            Malformed(fn);
        }
        Malformed(fn);  // a message out of turn
    }
}

}  // namespace

IsolatedModule LoadIsolatedModule(const std::string& path, std::optional<double> timeout) {
    if (timeout && !(std::isfinite(*timeout) && *timeout > 0))
        throw ModuleError(ModuleErrorText(path, "the time limit must be a positive number of seconds"));
    auto worker = std::make_shared<Worker>(path, timeout);
    const std::vector<TableEntry>& table = worker->Load();
    IsolatedModule out{{}, [worker] { return worker->History(); }};
    for (std::uint32_t i = 0; i < table.size(); ++i) {
        const TableEntry& e = table[i];
        Object f = Vrn::Run::Func(e.arity, [worker, i](std::span<const Object> args) { return worker->Call(i, args); });
        out.functions.push_back(ModuleFunction{e.name, e.ret, e.args, std::move(f), e.neverCallable, e.description});
    }
    return out;
}

}  // namespace Efi::detail

namespace Efi {

void SetInterruptCheck(void (*check)()) noexcept { detail::g_interruptCheck.store(check, std::memory_order_relaxed); }

}  // namespace Efi
