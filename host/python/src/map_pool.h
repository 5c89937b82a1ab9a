// Threads kept for the process that run parts of maps (Function.map with
// threads=), so that a map pays no thread start.
#pragma once

#include <chrono>

namespace efi_python {

/// Work a map shares out: each helper thread that takes the job runs
/// Work() once; Work() takes parts of the map until none is left, so the
/// map ends whether or not any helper comes (the calling thread takes
/// parts too).
class PoolJob {
public:
    /// Runs on a helper thread, without the GIL.
    virtual void Work() noexcept = 0;

protected:
    PoolJob() = default;
    ~PoolJob() = default;
    PoolJob(const PoolJob&) = delete;
    PoolJob& operator=(const PoolJob&) = delete;

private:
    friend class Pool;
    unsigned m_wanted = 0;   ///< helpers still to take it
    unsigned m_running = 0;  ///< helpers in its Work()
};

/// Offers `job` to `helpers` threads of the pool, starting threads up to
/// that many (a thread that cannot be started leaves the work to fewer).
void Share(PoolJob& job, unsigned helpers);

/// Takes `job` back from the threads that have not taken it yet.
void Withdraw(PoolJob& job);

/// Waits up to `timeout` for every helper running `job` to leave its
/// Work(); true when none runs it. Call without the GIL, after Withdraw.
bool WaitForHelpers(PoolJob& job, std::chrono::milliseconds timeout);

/// The most helper threads the pool starts.
inline constexpr unsigned kMaxHelpers = 255;

}  // namespace efi_python
