// The native API for C modules (<efi/capi.h>): thin entries over the C++
// API, and the proof that the C records are the C++ ones byte for byte.
#include <efi/capi.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <limits>

#include <efi/allocator.h>
#include <efi/call.h>
#include <efi/callback.h>
#include <efi/errors.h>
#include <efi/records.h>

#include "bridge/native_failure.h"

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

namespace {

// One part of a matrix result as the bridge frees it: `cols` column
// pointers into one zero-filled block. False when memory is short.
bool MakeResultPart(double**& part, std::uint32_t rows, std::uint32_t cols) {
    part = static_cast<double**>(std::malloc(std::max<std::size_t>(cols, 1) * sizeof(double*)));
    if (!part) return false;
    if (cols == 0) return true;
    auto* block = static_cast<double*>(std::calloc(std::max<std::size_t>(std::size_t{rows} * cols, 1), sizeof(double)));
    if (!block) {
        std::free(part);
        part = nullptr;
        return false;
    }
    for (std::uint32_t c = 0; c < cols; ++c) part[c] = block + std::size_t{rows} * c;
    return true;
}

}  // namespace

extern "C" {

void efi_throw(const char* message, std::uint32_t argument) { Efi::Throw(message, argument); }

void efi_throw_code(std::uint32_t code, std::uint32_t argument) { Efi::Throw(code, argument); }

efi_complex_array* efi_matrix_result(efi_value* result, std::uint32_t rows, std::uint32_t cols, int with_imag) {
    if (!IqlAllocator::m_current) Efi::Throw("no call is running", Efi::kNoArgument);
    const std::uint64_t count = std::uint64_t{rows} * cols;
    if (count > std::numeric_limits<std::uint32_t>::max()) Efi::Throw("out of memory", Efi::kNoArgument);
    Efi::User::ComplexArray made{rows, cols, nullptr, nullptr};
    if (!MakeResultPart(made.realCols, rows, cols) || (with_imag && !MakeResultPart(made.imagCols, rows, cols))) {
        Efi::detail::FreeResultPart(made.realCols, cols);
        Efi::Throw("out of memory", Efi::kNoArgument);
    }
    Efi::detail::HoldResultMatrix(made);
    result->array = {rows, cols, made.realCols, made.imagCols};
    return &result->array;
}

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
