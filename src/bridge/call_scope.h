// How a call of native code is set up: the turn, the nesting level and the
// floating-point call word, in one scope that every road into native code
// takes (a call, a sweep, a call of an isolated module's function).
#pragma once

#include <cstdint>

#include <efi/call.h>
#include <efi/host/bridge.h>

#include "bridge/call_turn.h"
#include "fp_units.h"

namespace Efi::detail {

/// The word a function flagged masked runs under: the call word with
/// every exception masked (the same precision and rounding).
inline constexpr std::uint16_t kMaskedCallWord = User::kCallControlWord | 0x3F;

/// The call word a function runs under.
inline std::uint16_t CallWordOf(const User::Function& f) noexcept {
    return f.m_masked ? kMaskedCallWord : User::kCallControlWord;
}

/// How a function's calls take the turn: shared when its module declares
/// it thread-safe, alone otherwise.
inline TurnKind TurnOf(const User::Function& f) noexcept {
    return f.m_thread_safe ? TurnKind::kShared : TurnKind::kAlone;
}

/// The directory relative file names of this thread's running file-function
/// call are read against: the call's own, never another thread's.
extern constinit thread_local const Vrn::Run::Object* t_callDirectory;

/// Makes `dir` the running call's directory for the life of a scope.
class CallDirectory {
public:
    explicit CallDirectory(const Vrn::Run::Object& dir) noexcept : m_outer(t_callDirectory) { t_callDirectory = &dir; }
    ~CallDirectory() { t_callDirectory = m_outer; }
    CallDirectory(const CallDirectory&) = delete;
    CallDirectory& operator=(const CallDirectory&) = delete;

private:
    const Vrn::Run::Object* m_outer;
};

/// Keeps `dir` as the function's last directory given (`m_cwd`); under a
/// lock for a thread-safe function, whose calls may give it at once.
void NoteCallDirectory(User::Function& f, const Vrn::Run::Object& dir);

/// Loads a call word on entry and the host's word (or the state of this
/// thread's HostFpScope) on exit, each after a full reset, so no flag
/// raised on one side survives to the other.
class FpuCallWord {
public:
    explicit FpuCallWord(std::uint16_t word) noexcept { ResetUnitsTo(word); }
    ~FpuCallWord() {
        if (const User::HostFpState* host = User::HostFpScope::Current()) ResetUnits(host->x87Control, host->mxcsr);
        else ResetUnitsTo(User::kHostControlWord);
    }
    FpuCallWord(const FpuCallWord&) = delete;
    FpuCallWord& operator=(const FpuCallWord&) = delete;
};

/// One call's set-up, for the life of a scope, taken in this order and
/// undone in reverse however the scope is left:
///   1. the process's turn, first, so that a call refused because another
///      thread's call runs leaves no trace;
///   2. a nesting level, checked before the floating-point set-up, so that
///      a call nested too deeply changes nothing and the calls it is nested
///      in unwind as from any other error;
///   3. the call word: the units reset and loaded with the call word, and
///      the host's state loaded back at the end.
/// The call's memory (an EfiCallContext) is made inside the scope, after
/// it, and so is released before the host's word comes back. A sweep takes
/// one scope for all its elements.
///
/// How a call is set up changes here and nowhere else.
class CallScope {
public:
    /// `word`: the trapping call word, or kMaskedCallWord for a function
    /// that asks to run masked (CallWordOf); loading either costs the same.
    /// `turn`: how the call takes the process's turn (TurnOf).
    CallScope(std::uint16_t word, TurnKind turn) : m_turn(turn), m_word(word) {}
    /// A function's call: its word and its turn.
    explicit CallScope(const User::Function& f) : CallScope(CallWordOf(f), TurnOf(f)) {}
    CallScope(const CallScope&) = delete;
    CallScope& operator=(const CallScope&) = delete;

private:
    // Members are made in the order they are declared and undone in
    // reverse: that order is the one above.
    CallTurn m_turn;
    NestingLevel m_level;
    FpuCallWord m_word;
};

}  // namespace Efi::detail
