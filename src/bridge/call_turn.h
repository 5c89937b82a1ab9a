// Bridge calls take turns, and count how deep they nest. Everything a call
// keeps while it runs (the current allocator and its handle numbers, the
// pinned-array and nested-record tables, the nesting depth, the recovery
// point) is the calling thread's own, so the turn no longer guards memory:
// it keeps the promise a function makes about itself. A function whose
// module declares it thread-safe runs at once with other thread-safe calls
// on other threads (they share the turn); any other function runs alone in
// the process, as it always has (it holds the turn alone). A thread that
// holds the turn runs its nested calls (callbacks into the host that call
// native functions again) on it.
//
// A call that cannot have its turn is refused at once with a worksheet
// error, before it changes anything, unless the host asked to wait
// (SetWaitForTurn): then it waits in line, first come first served, so that
// no caller is held back for ever by others that keep calling.
#pragma once

#include <atomic>
#include <cstdint>

namespace Efi::detail {

/// How a call takes the process's turn.
enum class TurnKind : std::uint8_t {
    kAlone,   ///< a function not declared thread-safe: no other call runs meanwhile
    kShared,  ///< a thread-safe function: other thread-safe calls may run at once
    kNone,    ///< no turn (an isolated module's call: its worker's channel is its turn)
};

/// The process's side of the turn, one word: the number of threads holding
/// it shared, and two flags.
namespace turn_word {
inline constexpr std::uint64_t kAlone = std::uint64_t{1} << 63;    ///< held alone by one thread
inline constexpr std::uint64_t kWaiting = std::uint64_t{1} << 62;  ///< threads wait in line: no one jumps it
}  // namespace turn_word
extern std::atomic<std::uint64_t> g_turn;

/// This thread's side: how many turns it has taken and not given back (its
/// invokers, nested), and how it holds the process's turn.
struct ThreadTurn {
    std::uint32_t depth;
    TurnKind held;
    /// The depth at which a nested call made this thread's shared turn its
    /// alone (0 when it did not): given back there, the turn is shared again.
    std::uint32_t aloneFrom;
};
extern constinit thread_local ThreadTurn t_turn [[gnu::tls_model("initial-exec")]];

/// The slow roads, out of line: a nested call that needs the turn alone
/// inside a shared one, a turn that is not free, waking those in line.
void TakeNestedTurn(TurnKind kind);
void TakeBusyTurn(TurnKind kind);
void WakeWaiting() noexcept;

/// Raises "a call is running on another thread" (no argument).
[[noreturn]] void RefuseTurn();

/// Takes a turn for this thread: nested on its own running call it is a
/// comparison; the first turn claims the process with one atomic operation
/// when no one holds it in a way that excludes this call.
inline void TakeTurn(TurnKind kind) {
    ThreadTurn& mine = t_turn;
    if (mine.depth != 0) {
        if (kind == TurnKind::kAlone && mine.held == TurnKind::kShared) TakeNestedTurn(kind);
        ++mine.depth;
        return;
    }
    std::uint64_t word = g_turn.load(std::memory_order_relaxed);
    const bool taken =
        kind == TurnKind::kAlone
            ? word == 0 && g_turn.compare_exchange_strong(word, turn_word::kAlone, std::memory_order_acquire,
                                                          std::memory_order_relaxed)
            : (word & (turn_word::kAlone | turn_word::kWaiting)) == 0 &&
                  g_turn.compare_exchange_strong(word, word + 1, std::memory_order_acquire, std::memory_order_relaxed);
    if (!taken) TakeBusyTurn(kind);
    mine.held = kind;
    mine.depth = 1;
}

/// Gives back one turn; the last one frees this thread's hold on the
/// process, after everything its call wrote.
inline void GiveBackTurn() noexcept {
    ThreadTurn& mine = t_turn;
    if (mine.depth == mine.aloneFrom) {
        // A nested call held it alone inside a shared turn: shared again.
        const std::uint64_t was = g_turn.fetch_sub(turn_word::kAlone - 1, std::memory_order_release);
        mine.held = TurnKind::kShared;
        mine.aloneFrom = 0;
        if (was & turn_word::kWaiting) WakeWaiting();
    }
    if (--mine.depth != 0) return;
    if (mine.held == TurnKind::kAlone && g_turn.load(std::memory_order_relaxed) == turn_word::kAlone) {
        // Held alone with no one in line: a plain store, as cheap as the
        // turn was before it could be shared. A thread that joins the line
        // between the look and the store has its flag wiped and is not
        // woken; the line's timed wait bounds what that costs it.
        g_turn.store(0, std::memory_order_release);
        return;
    }
    const std::uint64_t was = mine.held == TurnKind::kAlone
                                  ? g_turn.fetch_and(~turn_word::kAlone, std::memory_order_release)
                                  : g_turn.fetch_sub(1, std::memory_order_release);
    if (was & turn_word::kWaiting) WakeWaiting();
}

/// Whether this thread holds the turn (runs a bridge call in process).
inline bool HoldsTurn() noexcept { return t_turn.depth != 0; }

/// One turn for the life of a scope (an invoker's whole call).
class CallTurn {
public:
    explicit CallTurn(TurnKind kind) : m_taken(kind != TurnKind::kNone) {
        if (m_taken) TakeTurn(kind);
    }
    ~CallTurn() {
        if (m_taken) GiveBackTurn();
    }
    CallTurn(const CallTurn&) = delete;
    CallTurn& operator=(const CallTurn&) = delete;

private:
    bool m_taken;
};

/// Raises "calls nested too deeply" (no argument).
[[noreturn]] void RefuseNesting();

// How deep calls may nest: a native function that calls back into the host,
// which calls a native function again, and so on. Each level puts the
// invoker, the native function, Efi::call_host and the host's callback on
// the stack: well under a kilobyte in the optimised build, a few times that
// in the unoptimised address-sanitiser build (see bench/README.md, "Stack
// per nesting level"). 256 levels so take a small part of the default 8 MiB
// stack even in the worst case, leaving room for a host whose own frames
// per level are several times larger.
inline constexpr unsigned kMaxNesting = 256;

/// Counts the invokers running on this thread.
extern constinit thread_local unsigned t_nesting [[gnu::tls_model("initial-exec")]];

/// One invoker's level. The check comes first, before the floating-point
/// set-up or the call context, so a refused call changes nothing and the
/// calls it is nested in unwind as from any other error.
class NestingLevel {
public:
    NestingLevel() {
        if (t_nesting >= kMaxNesting) RefuseNesting();
        ++t_nesting;
    }
    ~NestingLevel() { --t_nesting; }
    NestingLevel(const NestingLevel&) = delete;
    NestingLevel& operator=(const NestingLevel&) = delete;
};

}  // namespace Efi::detail
