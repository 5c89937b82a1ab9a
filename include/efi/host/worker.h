// The worker process of an isolated module (efi-worker): it loads the module
// a host names with the same loader and calls its functions through the same
// bridge, answering the host over a channel (HostSession::LoadModule with
// LoadOptions::isolated starts one).
#pragma once

#include <efi/export.h>

namespace Efi {

/// Serves one host on the channel that starts at descriptor `channel` (the
/// pipe from the host, the pipe to it, then a local socket) until the host
/// closes it; returns the exit status, 0 then. Run in a process of its own,
/// with the host's fault translation installed.
EFI_API int ServeIsolatedModule(int channel);

}  // namespace Efi
