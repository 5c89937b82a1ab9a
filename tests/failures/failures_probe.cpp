// Child program for the diagnostics and message-table tests: runs one
// command in a fresh process, so that KS_DEBUG and the message-table cache
// start from their load-time state. Results go to standard output,
// diagnostics to standard error.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include <efi/efi.h>

namespace {

void PrintAnswer(bool answer) { std::fputc(answer ? '1' : '0', stdout); }

// How many references the loader holds on the message library: each
// iteration adds one with RTLD_NOLOAD and drops two.
int LoaderReferences() {
    int count = 0;
    while (void* handle = ::dlopen("libnewmsg.so", RTLD_NOW | RTLD_NOLOAD)) {
        ::dlclose(handle);
        ::dlclose(handle);
        ++count;
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    const std::string command = argv[1];
    if (command == "valid") {  // valid TEXT...: one answer per text
        for (int i = 2; i < argc; ++i) PrintAnswer(Efi::IsValidError(argv[i]));
    } else if (command == "null") {  // both checks with a null message
        PrintAnswer(Efi::IsValidError(nullptr));
        Efi::AssertValidError(nullptr);
    } else if (command == "assert") {  // assert TEXT
        Efi::AssertValidError(argv[2]);
        std::fputs("returned", stdout);
    } else if (command == "loads") {  // loads N: N checks, then the loader's count
        const int calls = std::atoi(argv[2]);
        for (int i = 0; i < calls; ++i) PrintAnswer(Efi::IsValidError("must be a real"));
        std::printf(" %d", LoaderReferences());
    } else if (command == "retry") {  // retry DIR LIBRARY: check, install the library, check again
        PrintAnswer(Efi::IsValidError("must be a real"));
        std::filesystem::copy_file(argv[3], std::filesystem::path(argv[2]) / "libnewmsg.so");
        PrintAnswer(Efi::IsValidError("must be a real"));
    } else if (command == "trace") {  // trace LENGTH NEWLINE: a message of LENGTH x's
        const std::string message(std::strtoul(argv[2], nullptr, 10), 'x');
        const std::uint32_t flag = std::atoi(argv[3]) ? kstracer_newline : 0;
        kstracer{"probe.cpp", 42 | flag}.trace("%s", message.c_str());
    } else if (command == "assertion") {  // assertion TEXT: the answer of assertion_failed
        PrintAnswer(kstracer{"probe.cpp", 7}.assertion_failed(argv[2]));
    } else {
        return 2;
    }
    return 0;
}
