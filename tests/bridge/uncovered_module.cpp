// C++ built without -fnon-call-exceptions, as a module compiled by hand with
// the compiler's defaults is: the clean-up table lists calls only, so a
// faulting division while a destructor is pending lies in no entry, and
// the C++ runtime would end the process rather than unwind from it.
#include <efi/efi.h>

namespace {

struct Pending {
    double* block;
    ~Pending() { block[0] = 0.0; }
};

}  // namespace

extern "C" std::uint32_t u_inverse(Efi::User::Value* r, const Efi::User::Value* x) {
    Pending p{static_cast<double*>(IqlAllocator::m_current->allocate_array(16))};
    if (x->imag != 0.0) Efi::Throw("must be real", 1);  // a call that throws while p lives
    p.block[1] = 1.0 / x->real;
    r->real = p.block[1];
    r->imag = 0.0;
    return 0;
}

namespace {
const std::int32_t kOne[] = {1};
const efi_function_entry kFunctions[] = {
    {"u_inverse", reinterpret_cast<efi_entry_fn>(&u_inverse), 1, 1, kOne, 0, nullptr},
};
}  // namespace

EFI_MODULE_TABLE(kFunctions);
