// What becomes of a native call that does not end well, and of a masked
// call's result: the slow roads out of CallInContext, out of line.
#pragma once

#include <cstdint>

#include <efi/host/bridge.h>

#include "bridge/fp_units.h"

namespace Efi::detail {

/// In a handler of whatever left the native function: drops the matrix
/// results the call made (efi_matrix_result) and throws on. A standard
/// exception that is none of the library's own errors (a worksheet error,
/// the redirector's _com_error) nor one of the host's callbacks becomes a
/// User::ModuleException; anything else goes on as it is.
[[noreturn]] void RaiseNativeFailure();

/// A nonzero result code: drops the call's matrix results and raises the
/// error the code stands for.
[[noreturn]] void RaiseForCode(User::Function& f, std::uint32_t code);

/// Notes that the exception being handled comes from host code a native
/// function called (a callback, a delegate), so that it leaves the call as
/// it is. Called in a handler, which then rethrows.
void NoteHostFailure() noexcept;

/// Native code that runs masked (a function flagged masked, or inside a
/// masked region) gets its state back when the host code it called returns:
/// a bridge call made by that host code ends by loading the host's
/// trapping word, under which the rest of a masked function would trap
/// where it was meant not to. Code that runs trapping is left as every
/// call leaves it, under the host's word.
class KeepMaskedState {
public:
    KeepMaskedState() noexcept : m_cw(ReadX87Control()), m_mxcsr(Masked() ? ReadMxcsr() : 0) {}
    ~KeepMaskedState() {
        if (Masked() && ReadX87Control() != m_cw) ResetUnits(m_cw, m_mxcsr);
    }
    KeepMaskedState(const KeepMaskedState&) = delete;
    KeepMaskedState& operator=(const KeepMaskedState&) = delete;

private:
    bool Masked() const noexcept { return (m_cw & kFpFlagBits) == kFpFlagBits; }
    std::uint16_t m_cw;
    std::uint32_t m_mxcsr;
};

/// Runs host code for native code: whatever it throws is noted as the
/// host's (NoteHostFailure) and passed on, and a masked caller's state
/// comes back (KeepMaskedState).
template <class F>
decltype(auto) AsHostCode(F&& f) {
    KeepMaskedState keep;
    try {
        return f();
    } catch (...) {
        NoteHostFailure();
        throw;
    }
}

/// A masked function's result judged as the trapping word would have: an
/// infinite or NaN result (any element of a matrix) while no number among
/// the arguments was one raises "overflow" for an infinity, "floating
/// point error" for a NaN, the first such element deciding. `records` are
/// the call's N argument records, read by the function's argument codes.
void JudgeMaskedResult(const User::Function& f, const User::Value* result, const User::Value* records);

/// Frees one part of a matrix result as the bridge takes it over: the
/// block (entry 0 of the pointer array, when there is an entry) and the
/// pointer array itself.
void FreeResultPart(double** cols, std::uint32_t ncols) noexcept;

/// The matrix results made by efi_matrix_result in the running call: the
/// bridge holds them until the call has returned 0 and its result is read.
void HoldResultMatrix(const User::ComplexArray& array);
/// The running call's result record is about to be taken over (its
/// arrays freed through it): forgets what is held for the call, freeing
/// held arrays the record no longer points at.
void ReleaseHeldResult(const User::ComplexArray& array) noexcept;

}  // namespace Efi::detail
