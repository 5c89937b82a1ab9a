// The host's side of native callbacks: which host functions native code may
// evaluate by name through Efi::call_host.
#pragma once

#include <string>

#include <efi/callback.h>
#include <efi/export.h>
#include <vrnrun/vrnrun.h>

namespace Efi {

/// Makes `function` reachable from native code as `name`, replacing any
/// earlier function of that name. A null function removes the name.
EFI_API void RegisterHostCallback(const std::string& name, Vrn::Run::Object function);

/// Forgets every registered callback.
EFI_API void ClearHostCallbacks();

}  // namespace Efi
