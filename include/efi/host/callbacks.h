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

/// Evaluates a callback that Efi::call_host found no function for, in
/// place of raising "must be a function": a host whose functions live in
/// another process (the worker of an isolated module asks its host) answers
/// there, with call_host's errors.
using UnknownCallbackHandler = void (*)(const char* name, const qlComplex& arg, qlComplex& result,
                                        std::uint32_t argument);

/// Makes `handler` answer the names no function is registered under; null
/// (the default) raises "must be a function" for them.
EFI_API void HandleUnknownCallbacks(UnknownCallbackHandler handler);

}  // namespace Efi
