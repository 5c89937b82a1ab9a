// efi-call's script mode, the whole program: the input is the script, read
// from standard input, against the sample module and the built-in
// conversions. Whatever the lines say, every one is answered with a result
// or an error and the program ends with one of its exit codes; nothing may
// escape it. Its output goes to /dev/null.
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <sstream>
#include <string>

#include "cli.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    const int devnull = ::open("/dev/null", O_WRONLY);
    REQUIRE(devnull >= 0 && ::dup2(devnull, STDOUT_FILENO) >= 0);
    ::close(devnull);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::stringbuf script(std::string(reinterpret_cast<const char*>(data), size));
    std::streambuf* saved = std::cin.rdbuf(&script);
    std::cin.clear();
    char program[] = "efi-call", ext[] = "--ext", module[] = EFI_FUZZ_SAMPLE_MODULE, fromStdin[] = "-";
    char* argv[] = {program, ext, module, fromStdin, nullptr};
    const int status = efi_call::Main(4, argv);
    std::cin.rdbuf(saved);
    std::cout.clear();
    REQUIRE(status == 0 || status == 1 || status == 2);
    return 0;
}
