// efi-call: load extension modules, call one of their functions and print
// the result in worksheet-literal syntax (efi-call.1 is the manual).
#include "cli.h"

int main(int argc, char** argv) { return efi_call::Main(argc, argv); }
