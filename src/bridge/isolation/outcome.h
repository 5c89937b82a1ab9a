// How a call or a callback that failed crosses the channel: the exception
// encoded as a message on one side, raised again on the other as the same
// kind of error with the same contents, so a host sees what the call would
// have raised in process.
#pragma once

#include <cstdint>
#include <exception>
#include <vector>

#include "bridge/isolation/transport.h"

namespace Efi::detail::wire {

/// Raised in the worker in place of an exception the host keeps (one that
/// cannot cross: a Python exception of a callback); the worker's call that
/// ends with it reports the index back, and the host raises its own again.
struct HeldException {
    std::uint32_t index;
};

/// Sends the exception `failure` as the outcome of a call or callback.
/// Worksheet errors, processor faults, std::bad_alloc and HeldException are
/// sent as what they are; anything else goes to `held` when given (the
/// host keeps it and sends its index), else as its what() text. False when
/// the other side has gone.
bool SendFailure(Channel& channel, std::exception_ptr failure, std::vector<std::exception_ptr>* held);

/// Raises what a failure message (WorksheetError, Fault, Foreign, Held)
/// encodes. A Held index is looked up in `held` on the host's side and
/// raised as HeldException in the worker (`held` null).
[[noreturn]] void RaiseFailure(const Message& m, const std::vector<std::exception_ptr>* held);

/// True for the kinds a failure is sent as.
inline bool IsFailure(Kind k) noexcept {
    return k == Kind::WorksheetError || k == Kind::Fault || k == Kind::Foreign || k == Kind::Held;
}

}  // namespace Efi::detail::wire
