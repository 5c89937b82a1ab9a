#include "lock_keeper.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include <pthread.h>
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

    std::uint32_t Keep(const std::string& url, const std::string& token, int seconds) {
        const auto every = std::chrono::milliseconds(std::max(seconds, 1) * 1000 / 3);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (++m_lastId == 0) ++m_lastId;
        m_held.push_back({m_lastId, url, token, every, Clock::now() + every});
        if (::getpid() == m_owner && !m_stopping && !m_worker.joinable()) {
            m_worker = std::thread([this] { Run(); });
            std::atexit([] { Instance().Stop(); });
        }
        m_wake.notify_all();
        return m_lastId;
    }

    std::string Token(std::uint32_t id) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const auto held = Find(id);
        return held == m_held.end() ? std::string() : held->token;
    }

    /// Stops keeping lock `id` and releases it on the server.
    void Release(std::uint32_t id) noexcept {
        std::string url, token;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const auto held = Find(id);
            if (held == m_held.end()) return;
            url = std::move(held->url);
            token = std::move(held->token);
            m_held.erase(held);
        }
        // Releasing is a courtesy to other clients, never a condition of
        // the save: a lock that cannot be released (the server gone, no
        // component to ask) lapses by the timeout it was taken with, so the
        // failure is not raised over the outcome of the write-back.
        OnLock(url, token, [](TransferSession& session) { session.Unlock(); });
    }

private:
    struct Held {
        std::uint32_t id;
        std::string url, token;
        Clock::duration every;
        Clock::time_point next;
    };

    LockKeeper() : m_owner(::getpid()) {
        // A child made by fork while another thread held the mutex would
        // find it locked for ever: it starts with a fresh one. Its copy of
        // the renewing thread does not exist there and is never joined.
        ::pthread_atfork(nullptr, nullptr, [] { new (&Instance().m_mutex) std::mutex; });
    }

    std::vector<Held>::iterator Find(std::uint32_t id) {
        return id == 0 ? m_held.end()
                       : std::find_if(m_held.begin(), m_held.end(), [id](const Held& h) { return h.id == id; });
    }

    void Stop() {
        if (::getpid() != m_owner) return;
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
        OnLock(url, token, [](TransferSession& session) { session.RefreshLock(); });
    }

    /// Runs `request` on the lock `token` of `url`; a failure is dropped.
    template <class Request>
    static void OnLock(const std::string& url, const std::string& token, Request request) noexcept {
        try {
            TransferSession session;
            session.OpenURL(url.c_str());
            session.UseLock(token.c_str());
            request(session);
        } catch (...) {
        }
    }

    const pid_t m_owner;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::vector<Held> m_held;
    std::thread m_worker;
    bool m_stopping = false;
    std::uint32_t m_lastId = 0;
};

}  // namespace

std::uint32_t KeepLock(const std::string& url, const std::string& token, int seconds) {
    return LockKeeper::Instance().Keep(url, token, seconds);
}

std::string LockToken(std::uint32_t id) { return LockKeeper::Instance().Token(id); }

void ReleaseLock(std::uint32_t id) noexcept { LockKeeper::Instance().Release(id); }

}  // namespace Efi::detail
