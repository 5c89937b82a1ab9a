// A module as an author writes it: one function that raises a standard
// error by name, one that reports the package's version, and one whose
// arithmetic faults between call memory and a destructor.
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
struct Scratch {
    double* values;
    ~Scratch() { values[0] = 0.0; }  // a clean-up the compiler must keep
};
}  // namespace

/// 1 / x through a block of call memory (large enough to be a pinned host
/// array) held by an object with a destructor: x = 0 is a division by zero
/// in the middle of both, which must end the call as its error and give the
/// call memory back, whichever compiler built the module.
extern "C" std::uint32_t cons_inverse(Efi::User::Value* r, const Efi::User::Value* x) {
    Scratch s{static_cast<double*>(IqlAllocator::m_current->allocate_array(4096))};
    // A call that may throw while s lives gives the function its clean-up
    // table; the division after it lies outside what clang's table covers.
    double* quotient = static_cast<double*>(IqlAllocator::m_current->allocate_array(8));
    *quotient = 1.0 / x->real;
    r->real = *quotient;
    r->imag = 0.0;
    return 0;
}

namespace {
const std::int32_t kOneNumber[] = {1};
const efi_function_entry kFunctions[] = {
    {"cons_sqrt", reinterpret_cast<efi_entry_fn>(&cons_sqrt), 1, 1, kOneNumber, 0, nullptr},
    {"cons_version", reinterpret_cast<efi_entry_fn>(&cons_version), 1, 1, kOneNumber, 0, nullptr},
    {"cons_inverse", reinterpret_cast<efi_entry_fn>(&cons_inverse), 1, 1, kOneNumber, 0, nullptr},
};
}  // namespace

EFI_MODULE_TABLE(kFunctions);
