// The worker processes of isolated modules, as the host sees them: finding
// efi-worker, starting it on a new channel, ending and reaping it, and what
// a copy of the host made by fork does with its parent's workers.
#pragma once

#include <sys/types.h>

#include <string>

#include "bridge/isolation/transport.h"

namespace Efi::detail {

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
    /// close them. Dropped.
    void Forget() noexcept;

private:
    pid_t m_pid = -1;
    pid_t m_owner = -1;  ///< the process that started the worker
    wire::Channel m_channel;
};

}  // namespace Efi::detail
