// Calling back into the host from native code: a native function evaluates
// a host function that the host registered under a name.
#pragma once

#include <cstdint>

#include <efi/export.h>
#include <efi/records.h>

namespace Efi {

/// Evaluates the host function registered under `name` (see
/// Efi::RegisterHostCallback) at the complex point `arg` and stores its
/// value in `result`. Raises "must be a function" when no function has that
/// name and "argument function error" when the value is not a number, both
/// marking `argument`; errors of the host function pass through. A callback
/// may call registered native functions in turn: their calls nest inside
/// the current one, at most 256 calls deep on a thread (a call nested
/// deeper raises "calls nested too deeply", and the calls around it unwind
/// as from any other error).
EFI_API void call_host(const char* name, const qlComplex& arg, qlComplex& result, std::uint32_t argument);

}  // namespace Efi
