// Renews the write locks of live redirectors, so that a lock outlasts its
// timeout only while the object that holds it lives: a process that dies
// leaves locks that lapse by themselves.
#pragma once

#include <cstdint>
#include <string>

namespace Efi::detail {

/// Keeps the lock `token` on `url` for a redirector and returns the number
/// it is kept under (never 0). It is renewed every third of `seconds` from a
/// thread of its own until ReleaseLock. Nothing is renewed in a process made by
/// fork (the thread is its parent's): there locks last their timeout, and
/// their tokens are still found by number.
std::uint32_t KeepLock(const std::string& url, const std::string& token, int seconds);

/// The token of lock `id`; empty for 0 or a lock no longer kept.
std::string LockToken(std::uint32_t id);

/// Stops keeping lock `id` and releases it on the server, whose refusal
/// is not raised (the lock then lapses by its timeout); nothing for 0 or a
/// lock no longer kept.
void ReleaseLock(std::uint32_t id) noexcept;

}  // namespace Efi::detail
