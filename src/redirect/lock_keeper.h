// Renews the write locks of live redirectors, so that a lock outlasts its
// timeout only while the object that holds it lives: a process that dies
// leaves locks that lapse by themselves.
#pragma once

#include <string>

namespace Efi::detail {

/// Renews the lock `token` on `url` every third of `seconds` from a thread
/// of its own until DropLock(token). Nothing is renewed in a process made by
/// fork after the first lock was kept (the thread is its parent's); those
/// locks last their timeout.
void KeepLock(const std::string& url, const std::string& token, int seconds);

/// Stops renewing the lock `token`; no effect when it is not kept.
void DropLock(const std::string& token) noexcept;

}  // namespace Efi::detail
