#include "lock_keeper.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include <unistd.h>

#include <efi/redirector.h>

#include "transfer_session.h"

namespace Efi::detail {

namespace {

using Clock = std::chrono::steady_clock;

class LockKeeper {
public:
    /// Made once and never destroyed: a redirector destroyed at exit may
    /// still drop its lock after the thread has stopped.
    static LockKeeper& Instance() {
        static LockKeeper* keeper = new LockKeeper();
        return *keeper;
    }

    void Keep(const std::string& url, const std::string& token, int seconds) {
        if (::getpid() != m_owner) return;
        const auto every = std::chrono::milliseconds(std::max(seconds, 1) * 1000 / 3);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping) return;
        m_held.push_back({url, token, every, Clock::now() + every});
        if (!m_worker.joinable()) {
            m_worker = std::thread([this] { Run(); });
            std::atexit([] { Instance().Stop(); });
        }
        m_wake.notify_all();
    }

    void Drop(const std::string& token) noexcept {
        if (::getpid() != m_owner) return;
        std::lock_guard<std::mutex> lock(m_mutex);
        std::erase_if(m_held, [&](const Held& h) { return h.token == token; });
    }

private:
    struct Held {
        std::string url, token;
        Clock::duration every;
        Clock::time_point next;
    };

    LockKeeper() : m_owner(::getpid()) {}

    void Stop() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        if (m_worker.joinable()) m_worker.join();
    }

    void Run() {
        std::unique_lock<std::mutex> lock(m_mutex);
        while (!m_stopping) {
            if (m_held.empty()) {
                m_wake.wait(lock);
                continue;
            }
            const auto due = std::min_element(m_held.begin(), m_held.end(),
                                              [](const Held& a, const Held& b) { return a.next < b.next; });
            if (Clock::now() < due->next) {
                m_wake.wait_until(lock, due->next);
                continue;
            }
            due->next = Clock::now() + due->every;
            const std::string url = due->url, token = due->token;
            lock.unlock();
            Renew(url, token);
            lock.lock();
        }
    }

    /// A renewal that fails leaves the lock to lapse: the write-back then
    /// finds it gone and checks the resource as it does without a lock.
    static void Renew(const std::string& url, const std::string& token) noexcept {
        try {
            TransferSession session;
            session.OpenURL(url.c_str());
            session.UseLock(token.c_str());
            session.RefreshLock();
        } catch (...) {
        }
    }

    const pid_t m_owner;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<Held> m_held;
    std::thread m_worker;
    bool m_stopping = false;
};

}  // namespace

void KeepLock(const std::string& url, const std::string& token, int seconds) {
    LockKeeper::Instance().Keep(url, token, seconds);
}

void DropLock(const std::string& token) noexcept { LockKeeper::Instance().Drop(token); }

}  // namespace Efi::detail
