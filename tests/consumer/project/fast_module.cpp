// A module built with -O3 -ffast-math, as numeric code often is: its own
// catch of a trapped division by zero must still run.
#include <efi/efi.h>

extern "C" std::uint32_t cons_fast_inverse(Efi::User::Value* r, const Efi::User::Value* x) {
    // The quotient is used outside the try block, as in the documented
    // idiom: -ffast-math alone moves the division out of the block's range.
    double q;
    try {
        q = 1.0 / x->real;
    } catch (const SE_FPEDivByZero_Exception&) {
        return (1u << 16) | 1;  // message 1, argument 1
    }
    r->real = q;
    r->imag = 0.0;
    return 0;
}

namespace {
const std::int32_t kOneNumber[] = {1};
const char* const kMessages[] = {"caught division by zero"};
const efi_function_entry kFunctions[] = {
    {"cons_fast_inverse", reinterpret_cast<efi_entry_fn>(&cons_fast_inverse), 1, 1, kOneNumber, 1, kMessages},
};
}  // namespace

EFI_MODULE_TABLE(kFunctions);
