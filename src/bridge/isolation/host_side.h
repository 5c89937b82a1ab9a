// The host's side of an isolated module: a worker process that loads it and
// host function objects that call its functions there.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <efi/host/module_loader.h>
#include <efi/host/session.h>

namespace Efi::detail {

/// An isolated module as its host holds it: its functions, each with a host
/// function object that calls it in the worker, and how its workers fared.
struct IsolatedModule {
    std::vector<ModuleFunction> functions;
    std::function<WorkerHistory()> workers;
};

/// Starts a worker for the module at `path` and loads it there. Throws
/// ModuleError as Efi::LoadModule does, and when no worker can be started.
IsolatedModule LoadIsolatedModule(const std::string& path, std::optional<double> timeout);

}  // namespace Efi::detail
