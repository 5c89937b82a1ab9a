// efi-call: load extension modules, call one of their functions and print
// the result in worksheet-literal syntax (efi-call.1 is the manual).
#include "cli.h"
#include "interrupt.h"

int main(int argc, char** argv) {
    // The program's own: the fuzz target runs Main and must not end on a signal.
    InstallInterruptCleanup();
    return efi_call::Main(argc, argv);
}
