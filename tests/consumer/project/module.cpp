// A module as an author writes it: one function that raises a standard
// error by name and reports the package's version.
#include <efi/efi.h>

extern "C" std::uint32_t cons_sqrt(Efi::User::Value* r, const Efi::User::Value* x) {
    if (x->real < 0.0 || x->imag != 0.0) Efi::Throw(Efi::StandardError::MustBeNonNegative, 1);
    r->real = __builtin_sqrt(x->real);
    r->imag = 0.0;
    return 0;
}

extern "C" std::uint32_t cons_version(Efi::User::Value* r, const Efi::User::Value*) {
    r->real = EFI_VERSION_MAJOR * 10000 + EFI_VERSION_MINOR * 100 + EFI_VERSION_PATCH;
    r->imag = 0.0;
    return 0;
}

namespace {
const std::int32_t kOneNumber[] = {1};
const efi_function_entry kFunctions[] = {
    {"cons_sqrt", reinterpret_cast<efi_entry_fn>(&cons_sqrt), 1, 1, kOneNumber, 0, nullptr},
    {"cons_version", reinterpret_cast<efi_entry_fn>(&cons_version), 1, 1, kOneNumber, 0, nullptr},
};
}  // namespace

EFI_MODULE_TABLE(kFunctions);
