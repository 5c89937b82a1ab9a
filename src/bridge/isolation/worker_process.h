// The worker processes of isolated modules, as the host sees them: finding
// efi-worker, starting it on a new channel, the turns of the host's threads
// on that channel, ending and reaping it, and what a copy of the host made
// by fork does with its parent's workers.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bridge/isolation/transport.h"

namespace Efi::detail {

/// Whose turn it is on one worker's channel. The worker serves one call at a
/// time, so calls of its module take turns on the channel: a thread that asks
/// while another thread's call runs waits, first come first served (a thread
/// that keeps calling takes a new place at the back each time), and no other
/// worker's calls wait for it. The thread whose call runs takes the turn again
/// at once: a host callback that calls the module again nests on the running
/// call, as the channel's messages nest.
class ChannelTurn {
public:
    using Deadline = std::optional<std::chrono::steady_clock::time_point>;

    /// Takes a level of the turn for this thread, waiting until `deadline`
    /// at most (none: for as long as it takes). False when the deadline came
    /// first: the thread then holds nothing and keeps no place in the line.
    /// `check`, when given, runs every few milliseconds of the wait, without
    /// the lock; what it throws ends the wait so too.
    bool Take(Deadline deadline, wire::InterruptCheck check = nullptr);
    /// Takes a level of the turn only if this thread holds it already, or
    /// nobody does and nobody waits; else false at once.
    bool TakeIfFree();
    /// Gives back a level; the last one lets the next thread in line in.
    void GiveBack() noexcept;
    /// The levels the holder holds: read by the holder only.
    unsigned Depth() const noexcept { return m_depth; }
    /// In a copy of the host made by fork only the thread that forked lives
    /// on: the turn stays its own if it held it, and nobody waits.
    void ForgetOtherThreads() noexcept;

private:
    /// How often a wait with a check runs it.
    static constexpr std::chrono::milliseconds kCheckEvery{20};
    /// The turn goes to the next place in line that is still waiting; with
    /// the lock held.
    void PassOn() noexcept;

    std::mutex m_lock;
    std::condition_variable m_moved;
    std::thread::id m_holder;
    unsigned m_depth = 0;
    std::uint64_t m_next = 0;                ///< the place the next thread to ask takes
    std::uint64_t m_serving = 0;             ///< the place whose turn it is
    std::vector<std::uint64_t> m_abandoned;  ///< places left by threads that stopped waiting
};

/// One worker process and the host's end of its channel. Every live one is
/// known to the process, so that EndModuleWorkers ends them all and a copy
/// of the host made by fork lets go of its parent's.
class WorkerProcess {
public:
    WorkerProcess();
    ~WorkerProcess();
    WorkerProcess(const WorkerProcess&) = delete;
    WorkerProcess& operator=(const WorkerProcess&) = delete;

    bool Running() const noexcept { return m_pid > 0; }
    /// Running, but started by another process: this one is a copy of that
    /// host, made by fork.
    bool Inherited() const noexcept;
    wire::Channel& Channel() noexcept { return m_channel; }
    /// The turn of calls on the channel: only its holder uses the rest.
    ChannelTurn& Turn() noexcept { return m_turn; }

    /// Starts efi-worker on a new channel. Throws ModuleError naming the
    /// module at `path` when it cannot.
    void Start(const std::string& path);
    /// Closes the channel and lets the worker end by itself (the module's
    /// static destructors run), for a moment; then kills it. Reaped either way.
    void Stop() noexcept;
    /// The worker closed its end of the channel, or is ending: closes this
    /// end too and reaps it, killed if it lingers (as Stop). How it ended,
    /// as a call's error names it.
    std::string Ended();
    /// Kills the worker now and reaps it.
    void Kill() noexcept;
    /// In a copy of the host made by fork: the worker is the parent's, and
    /// the copy's ends of the channel would keep it from seeing its host
    /// close them. Dropped, and so are the turns of the threads not copied.
    void Forget() noexcept;

private:
    pid_t m_pid = -1;
    pid_t m_owner = -1;  ///< the process that started the worker
    wire::Channel m_channel;
    ChannelTurn m_turn;
};

}  // namespace Efi::detail
