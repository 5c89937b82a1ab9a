// The native API for C modules (<efi/capi.h>): thin entries over the C++
// API, and the proof that the C records are the C++ ones byte for byte.
#include <efi/capi.h>

#include <cstddef>
#include <limits>

#include <efi/allocator.h>
#include <efi/call.h>
#include <efi/callback.h>
#include <efi/errors.h>
#include <efi/records.h>

// A C module and the bridge read the same bytes through different type
// names; a field that moved in either would be read as another.
static_assert(sizeof(efi_complex) == sizeof(qlComplex) && offsetof(efi_complex, real) == offsetof(qlComplex, real) &&
              offsetof(efi_complex, imag) == offsetof(qlComplex, imag));
static_assert(sizeof(efi_complex_array) == sizeof(Efi::User::ComplexArray) &&
              offsetof(efi_complex_array, rows) == offsetof(Efi::User::ComplexArray, rows) &&
              offsetof(efi_complex_array, cols) == offsetof(Efi::User::ComplexArray, cols) &&
              offsetof(efi_complex_array, realCols) == offsetof(Efi::User::ComplexArray, realCols) &&
              offsetof(efi_complex_array, imagCols) == offsetof(Efi::User::ComplexArray, imagCols));
static_assert(sizeof(efi_value) == sizeof(Efi::User::Value) && alignof(efi_value) == alignof(Efi::User::Value) &&
              offsetof(efi_value, real) == offsetof(Efi::User::Value, real) &&
              offsetof(efi_value, imag) == offsetof(Efi::User::Value, imag) &&
              offsetof(efi_value, array) == offsetof(Efi::User::Value, array) &&
              offsetof(efi_value, text) == offsetof(Efi::User::Value, text));
static_assert(EFI_NO_ARGUMENT == Efi::kNoArgument);
static_assert(EFI_ERR_MUST_BE_A_NUMBER == 0 && EFI_ERR_UNKNOWN_ERROR == 29 && EFI_ERR_VECTOR_MUST_BE_SORTED == 75 &&
              EFI_ERR_VECTOR_MUST_BE_SORTED + 1 == Efi::kStandardErrorCount);

extern "C" {

void efi_throw(const char* message, std::uint32_t argument) { Efi::Throw(message, argument); }

void efi_throw_code(std::uint32_t code, std::uint32_t argument) { Efi::Throw(code, argument); }

void* efi_call_memory(std::size_t bytes) {
    IqlAllocator* call = IqlAllocator::m_current;
    if (!call) Efi::Throw("no call is running", Efi::kNoArgument);
    if (bytes > std::numeric_limits<unsigned>::max()) Efi::Throw("out of memory", Efi::kNoArgument);
    return call->allocate_array(static_cast<unsigned>(bytes));
}

void efi_call_host(const char* name, const efi_complex* arg, efi_complex* result, std::uint32_t argument) {
    const qlComplex at{arg->real, arg->imag};
    qlComplex value{};
    Efi::call_host(name, at, value, argument);
    result->real = value.real;
    result->imag = value.imag;
}

}  // extern "C"
