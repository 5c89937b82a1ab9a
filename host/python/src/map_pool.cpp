// The helper threads of maps: see map_pool.h.
#include "map_pool.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include <pthread.h>
#include <signal.h>

namespace efi_python {

class Pool {
public:
    void Share(PoolJob& job, unsigned helpers) {
        std::lock_guard<std::mutex> lock(m_mutex);
        job.m_running = 0;
        // A job offered to no helper is not queued: a helper takes a queued
        // job until as many as it wants have, and 0 is never reached.
        helpers = std::min(helpers, kMaxHelpers);
        if (helpers == 0) return;
        while (m_threads < helpers && Start()) ++m_threads;
        job.m_wanted = helpers;
        m_queue.push_back(&job);
        m_work.notify_all();
    }

    void Withdraw(PoolJob& job) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.erase(std::remove(m_queue.begin(), m_queue.end(), &job), m_queue.end());
    }

    bool WaitForHelpers(PoolJob& job, std::chrono::milliseconds timeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_idle.wait_for(lock, timeout, [&] { return job.m_running == 0; });
    }

private:
    bool Start() {
        // Signals sent to the process go to Python's threads, never to a
        // helper in native code; faults a helper's own code raises still
        // reach it (they are sent to the faulting thread whatever its mask).
        sigset_t all, before;
        sigfillset(&all);
        pthread_sigmask(SIG_BLOCK, &all, &before);
        bool started = true;
        try {
            std::thread(&Pool::Help, this).detach();
        } catch (const std::system_error&) {
            started = false;
        }
        pthread_sigmask(SIG_SETMASK, &before, nullptr);
        return started;
    }

    void Help() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_work.wait(lock, [this] { return !m_queue.empty(); });
            PoolJob* job = m_queue.front();
            ++job->m_running;
            if (--job->m_wanted == 0) m_queue.pop_front();
            lock.unlock();
            job->Work();
            lock.lock();
            if (--job->m_running == 0) m_idle.notify_all();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_work;  // helpers wait for a job
    std::condition_variable m_idle;  // a map waits for its helpers
    std::deque<PoolJob*> m_queue;
    unsigned m_threads = 0;
};

namespace {

// Made at first use, by a thread holding the GIL, and kept to the end: its
// threads are never joined, and end with the process. A child made by fork
// has none of them, and the mutex may be held by one: it makes its own.
Pool* g_pool = nullptr;

Pool& ThePool() {
    static const bool registered = [] {
        ::pthread_atfork(nullptr, nullptr, [] { g_pool = nullptr; });
        return true;
    }();
    (void)registered;
    if (!g_pool) g_pool = new Pool;
    return *g_pool;
}

}  // namespace

void Share(PoolJob& job, unsigned helpers) { ThePool().Share(job, helpers); }

void Withdraw(PoolJob& job) { ThePool().Withdraw(job); }

bool WaitForHelpers(PoolJob& job, std::chrono::milliseconds timeout) { return ThePool().WaitForHelpers(job, timeout); }

}  // namespace efi_python
