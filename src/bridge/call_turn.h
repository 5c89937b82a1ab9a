// Bridge calls take turns, and count how deep they nest. The current
// allocator, the handle counters, the pinned-array table and the
// nested-record table are process-wide and unguarded (and so is the
// nesting depth), so only one thread at a time may have a call running. The
// thread whose call runs holds the turn; its nested calls and allocators
// count on it. Another thread asking meanwhile is refused with a worksheet
// error before it reads or writes any of that state, so the running call is
// never disturbed.
#pragma once

#include <atomic>
#include <cstdint>

#include <pthread.h>

namespace Efi::detail {

/// The thread holding the turn (its thread pointer), 0 when no call runs.
extern std::atomic<std::uintptr_t> g_turn_thread;
/// Turns the holder has taken and not yet given back (invokers and
/// allocators, nested). Only the holder reads or writes it; taking and
/// giving back the turn orders it between successive holders.
extern std::uint32_t g_turn_depth;

/// Raises "a call is running on another thread" (no argument).
[[noreturn]] void RefuseTurn();

/// A value that tells live threads apart: the thread pointer on x86-64 (one
/// register read), the thread handle elsewhere. Never 0 for a live thread.
inline std::uintptr_t ThisThread() noexcept {
#if defined(__x86_64__)
    return reinterpret_cast<std::uintptr_t>(__builtin_thread_pointer());
#else
    return static_cast<std::uintptr_t>(pthread_self());
#endif
}

/// Takes a turn for this thread: nested on its own running call it is one
/// comparison; the first turn claims the process with one compare-and-swap.
/// Raises when another thread holds the turn.
inline void TakeTurn() {
    const std::uintptr_t self = ThisThread();
    std::uintptr_t holder = g_turn_thread.load(std::memory_order_relaxed);
    if (holder != self) {
        if (holder != 0 ||
            !g_turn_thread.compare_exchange_strong(holder, self, std::memory_order_acquire, std::memory_order_relaxed))
            RefuseTurn();
    }
    ++g_turn_depth;
}

/// Gives back one turn; the last one frees the process for any thread, after
/// everything this thread wrote to the shared state.
inline void GiveBackTurn() noexcept {
    if (--g_turn_depth == 0) g_turn_thread.store(0, std::memory_order_release);
}

/// One turn for the life of a scope (an invoker's whole call).
class CallTurn {
public:
    CallTurn() { TakeTurn(); }
    ~CallTurn() { GiveBackTurn(); }
    CallTurn(const CallTurn&) = delete;
    CallTurn& operator=(const CallTurn&) = delete;
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

/// Counts the invokers running, all on the thread that holds the turn (a
/// level is taken only inside a turn, so no other thread reads or writes it).
extern unsigned g_nesting;

/// One invoker's level. The check comes first, before the floating-point
/// set-up or the call context, so a refused call changes nothing and the
/// calls it is nested in unwind as from any other error.
class NestingLevel {
public:
    NestingLevel() {
        if (g_nesting >= kMaxNesting) RefuseNesting();
        ++g_nesting;
    }
    ~NestingLevel() { --g_nesting; }
    NestingLevel(const NestingLevel&) = delete;
    NestingLevel& operator=(const NestingLevel&) = delete;
};

}  // namespace Efi::detail
