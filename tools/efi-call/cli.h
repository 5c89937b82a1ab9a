// efi-call as a library: the whole program behind one entry, so that its
// main is one line and the fuzz target runs the very same code.
#pragma once

namespace efi_call {

/// Runs efi-call with these arguments (argv[0] the program's name) and
/// returns its exit status. The manual (efi-call.1) describes both.
int Main(int argc, char** argv);

}  // namespace efi_call
