// How an error of one module is worded: `module "PATH": what`, the form of
// every ModuleError and of a module's failure reported where none can be
// thrown.
#pragma once

#include <string>
#include <string_view>

namespace Efi::detail {

/// `module "PATH": what`.
std::string ModuleErrorText(std::string_view path, std::string_view what);

}  // namespace Efi::detail
