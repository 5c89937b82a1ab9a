// The host's side of an isolated module: a worker process that loads it and
// host function objects that call its functions there.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include <efi/host/module_loader.h>

namespace Efi::detail {

/// Starts a worker for the module at `path` and returns its functions, each
/// with a host function object that calls it in the worker. Throws
/// ModuleError as Efi::LoadModule does, and when no worker can be started.
std::vector<ModuleFunction> LoadIsolatedModule(const std::string& path, std::optional<double> timeout);

}  // namespace Efi::detail
