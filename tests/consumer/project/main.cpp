// Built against the installed package: raises standard error 0 at argument 1
// and checks that the host sees exactly that.
#include <cstdio>
#include <cstring>

#include <efi/efi.h>
#include <vrnrun/vrnrun.h>

int main() {
    try {
        Efi::Throw(0, 1);
    } catch (const Vrn::Run::AppException& e) {
        if (std::strcmp(e.what(), "must be a number") == 0 && e.Argument() == 1) {
            std::puts("ok");
            return 0;
        }
        std::printf("wrong error: %s / %u\n", e.what(), e.Argument());
        return 1;
    }
    std::puts("Throw returned");
    return 1;
}
