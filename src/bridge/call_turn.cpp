// The turn and the nesting depth of bridge calls: see call_turn.h.
#include "bridge/call_turn.h"

#include <efi/errors.h>
#include <efi/host/bridge.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

#include <pthread.h>

namespace Efi::detail {

std::atomic<std::uint64_t> g_turn{0};
constinit thread_local ThreadTurn t_turn{0, TurnKind::kAlone, 0};
constinit thread_local unsigned t_nesting = 0;

namespace {

std::atomic<bool> g_wait{false};

/// How long a thread in line may wait for a wake-up that was lost.
constexpr auto kLostWakeBound = std::chrono::milliseconds(2);

// The line of threads waiting for the turn: tickets handed out in order,
// served in order. Made anew in a child made by fork, where a thread that
// is not copied may have held the mutex.
struct Line {
    std::mutex mutex;
    std::condition_variable moved;
    std::uint64_t next = 0;     ///< the ticket the next thread in line gets
    std::uint64_t serving = 0;  ///< the ticket whose turn is next
};
Line* g_line = new Line;

bool Excludes(std::uint64_t word, TurnKind kind) noexcept {
    return kind == TurnKind::kAlone ? (word & ~turn_word::kWaiting) != 0 : (word & turn_word::kAlone) != 0;
}

// Takes the turn for the thread at the head of the line if nothing holds it
// in a way that excludes `kind`; the flag stays while others wait behind.
bool TakeAtHead(TurnKind kind, bool othersBehind) noexcept {
    std::uint64_t word = g_turn.load(std::memory_order_relaxed);
    for (;;) {
        if (Excludes(word, kind)) return false;
        std::uint64_t taken = kind == TurnKind::kAlone ? turn_word::kAlone : (word & ~turn_word::kWaiting) + 1;
        if (othersBehind) taken |= turn_word::kWaiting;
        if (g_turn.compare_exchange_weak(word, taken, std::memory_order_acquire, std::memory_order_relaxed))
            return true;
    }
}

void WaitInLine(TurnKind kind) {
    Line& line = *g_line;
    std::unique_lock<std::mutex> lock(line.mutex);
    const std::uint64_t ticket = line.next++;
    g_turn.fetch_or(turn_word::kWaiting, std::memory_order_relaxed);
    // The flag is set under the mutex, before the look at the turn: a call
    // that gives the turn back after it sees the flag and wakes the line;
    // one that gave it back before is seen here as a free turn.
    while (!(ticket == line.serving && TakeAtHead(kind, ticket + 1 != line.next))) {
        // A turn given back alone with a plain store may have wiped the
        // flag unseen (see GiveBackTurn): the line looks again after a
        // while, and sets the flag again, so no call waits for ever.
        if (line.moved.wait_for(lock, kLostWakeBound) == std::cv_status::timeout)
            g_turn.fetch_or(turn_word::kWaiting, std::memory_order_relaxed);
    }
    ++line.serving;
    // Shared turns behind this one may be taken together with it.
    line.moved.notify_all();
}

// A child made by fork holds only the thread that called fork. Calls that
// other threads were running are not in it, so their turns and levels must
// not stay taken: no call could ever run there. A fork from inside a call (a
// callback that forks) keeps that call, which returns in the child too.
void ForgetOtherThreads() noexcept {
    const ThreadTurn& mine = t_turn;
    g_turn.store(mine.depth == 0                 ? 0
                 : mine.held == TurnKind::kAlone ? turn_word::kAlone
                                                 : 1,
                 std::memory_order_relaxed);
    g_line = new Line;  // the parent's may be held by a thread that is not copied
}

[[maybe_unused]] const int g_fork_reset = ::pthread_atfork(nullptr, nullptr, &ForgetOtherThreads);

}  // namespace

void TakeNestedTurn(TurnKind kind) {
    // Inside its own shared turn a thread may call a function that runs
    // alone only while no other thread holds the turn; waiting for them
    // could wait for ever (two threads each waiting for the other's shared
    // turn to end), so it is refused, wait or not.
    std::uint64_t word = g_turn.load(std::memory_order_relaxed);
    for (;;) {
        if ((word & ~turn_word::kWaiting) != 1) RefuseTurn();
        if (g_turn.compare_exchange_weak(word, (word & turn_word::kWaiting) | turn_word::kAlone,
                                         std::memory_order_acquire, std::memory_order_relaxed))
            break;
    }
    t_turn.held = kind;
    t_turn.aloneFrom = t_turn.depth + 1;
}

void TakeBusyTurn(TurnKind kind) {
    if (!g_wait.load(std::memory_order_relaxed)) {
        // Refused only when the turn is really held against this call: a
        // host that stopped waiting may leave threads in line, whose flag
        // alone refuses nothing.
        if (Excludes(g_turn.load(std::memory_order_relaxed), kind)) RefuseTurn();
    }
    WaitInLine(kind);
}

void WakeWaiting() noexcept {
    Line& line = *g_line;
    std::lock_guard<std::mutex> lock(line.mutex);
    line.moved.notify_all();
}

void RefuseTurn() { Efi::Throw("a call is running on another thread", Efi::kNoArgument); }

void RefuseNesting() { Efi::Throw("calls nested too deeply", Efi::kNoArgument); }

}  // namespace Efi::detail

namespace Efi::User {

void SetWaitForTurn(bool wait) noexcept { detail::g_wait.store(wait, std::memory_order_relaxed); }

}  // namespace Efi::User
