// Masked regions: running third-party numeric code inside a native call.
#pragma once

#include <cstdint>

#include <efi/export.h>

namespace Efi {

/// While an object of this class lives, no floating-point exception traps,
/// in either unit (x87 and SSE). When it ends, the control words in force
/// before it are loaded again and every flag raised inside it is discarded,
/// so the code after it traps exactly as before and nothing raised inside
/// faults later.
///
/// A native call runs with invalid operation, zero divide and overflow
/// trapped, and the host reports a trap as a worksheet error ("floating
/// point error", "singularity", "overflow"). Third-party libraries are not
/// written for trapping arithmetic: many overflow or divide by zero in an
/// intermediate step on the way to a finite, correct result, and a trap
/// inside them also skips their clean-up (workspaces, locks). Wrap each call
/// into such a library in a masked region and check its result afterwards:
///
///     #include <efi/efi.h>
///     #include <gsl/gsl_errno.h>
///     #include <gsl/gsl_sf_bessel.h>
///
///     extern "C" std::uint32_t my_j0(Efi::User::Value* r, const Efi::User::Value* x) {
///         gsl_sf_result j;
///         int status;
///         {
///             Efi::CMaskedTraps masked;  // J0(1e300) overflows inside, finite outside
///             gsl_error_handler_t* handler = gsl_set_error_handler_off();
///             status = gsl_sf_bessel_J0_e(x->real, &j);
///             gsl_set_error_handler(handler);
///         }
///         if (status != GSL_SUCCESS) return (1u << 16) | 1;  // message 1, argument 1
///         r->real = j.val;                                     // traps are back here
///         return 0;
///     }
///
/// (GSL's default error handler aborts the process; switched off, failures
/// come back as status codes. examples/gsl wraps both in one region class.)
///
/// Rules of use:
/// - Regions nest: an inner region ends with the outer one still masking,
///   and the outer one restores what was in force before it.
/// - The region ends however its scope is left, by an exception too.
/// - Flags pending before the region are kept (in both units); only those
///   raised inside it are discarded.
/// - The compiler does not follow the floating-point environment: keep the
///   masked work in calls (a library function, or a function of your own
///   that is not inlined) rather than in arithmetic written inline around
///   the region, which may be moved across its ends.
/// - A callback into the host (`Efi::call_host`, a delegate) inside a
///   region runs a bridge call, which ends under the host's trapping word;
///   the region's masked words are loaded again when the callback returns
///   (its flags are cleared then).
/// - Objects are tied to the scope and thread that made them: not copyable,
///   not movable.
class EFI_API CMaskedTraps {
public:
    /// Saves both units' control words and masks every exception in both.
    CMaskedTraps() noexcept;
    /// Discards the flags raised since construction and loads the saved words.
    ~CMaskedTraps();
    CMaskedTraps(const CMaskedTraps&) = delete;
    CMaskedTraps& operator=(const CMaskedTraps&) = delete;

private:
    std::uint16_t m_x87Control;  ///< x87 control word before the region
    std::uint16_t m_x87Flags;    ///< x87 exception flags pending before the region
    std::uint32_t m_mxcsr;       ///< MXCSR (traps, flags, modes) before the region
};

}  // namespace Efi
