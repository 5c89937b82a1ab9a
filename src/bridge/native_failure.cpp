// The slow roads out of a native call: a failure (a result code, anything
// thrown), a masked call's result that stands for a fault, and the matrix
// results the bridge holds for a call until it has ended well.
#include "bridge/native_failure.h"

#include <efi/allocator.h>
#include <efi/errors.h>
#include <efi/host/fault_recovery.h>
#include <efi/redirector.h>
#include <efi/se_exception.h>

#include <cxxabi.h>

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <exception>
#include <memory>
#include <typeinfo>
#include <utility>
#include <vector>

namespace Efi {

namespace User {

ModuleException::ModuleException(std::u16string message, std::string typeName)
    : AppException(std::move(message), kNoArgument), m_typeName(std::move(typeName)) {}

}  // namespace User

namespace detail {

namespace {

// The exception host code last let out into native code on this thread.
thread_local std::exception_ptr t_hostFailure;

// A matrix result made by efi_matrix_result, held for the call whose call
// memory was current when it was made.
struct HeldResult {
    const IqlAllocator* owner;
    User::ComplexArray array;
};

thread_local std::vector<HeldResult> t_held;

void FreeHeld(const User::ComplexArray& a) noexcept {
    FreeResultPart(a.realCols, a.cols);
    FreeResultPart(a.imagCols, a.cols);
}

// Frees and forgets what the running call holds; the call failed.
void DropHeldResults() noexcept {
    const IqlAllocator* owner = IqlAllocator::m_current;
    std::erase_if(t_held, [owner](const HeldResult& h) {
        if (h.owner != owner) return false;
        FreeHeld(h.array);
        return true;
    });
}

std::string TypeNameOf(const std::exception& e) {
    const char* mangled = typeid(e).name();
    int status = 0;
    std::unique_ptr<char, void (*)(void*)> name(abi::__cxa_demangle(mangled, nullptr, nullptr, &status), std::free);
    return status == 0 && name ? std::string(name.get()) : std::string(mangled);
}

// Bit tests, so that nothing here can trap whatever word is loaded: all
// exponent bits set is an infinity or a NaN, and a NaN's magnitude bits lie
// above an infinity's.
constexpr std::uint64_t kMagnitude = 0x7FFFFFFFFFFFFFFFu, kInfinity = 0x7FF0000000000000u;

bool IsNonFinite(double x) noexcept { return (std::bit_cast<std::uint64_t>(x) & kInfinity) == kInfinity; }

bool IsNaN(double x) noexcept { return (std::bit_cast<std::uint64_t>(x) & kMagnitude) > kInfinity; }

// The first non-finite number of a part of a matrix, or null.
const double* FirstNonFinite(double* const* cols, std::uint32_t rows, std::uint32_t ncols) noexcept {
    if (!cols) return nullptr;
    for (std::uint32_t c = 0; c < ncols; ++c)
        for (std::uint32_t r = 0; r < rows; ++r)
            if (IsNonFinite(cols[c][r])) return &cols[c][r];
    return nullptr;
}

const double* FirstNonFinite(const User::ComplexArray& a) noexcept {
    if (const double* x = FirstNonFinite(a.realCols, a.rows, a.cols)) return x;
    return FirstNonFinite(a.imagCols, a.rows, a.cols);
}

const double* FirstNonFinite(const User::Value& scalar) noexcept {
    if (IsNonFinite(scalar.real)) return &scalar.real;
    return IsNonFinite(scalar.imag) ? &scalar.imag : nullptr;
}

bool AnyArgumentNonFinite(const User::Function& f, const User::Value* records) noexcept {
    for (std::size_t n = 0; n < f.m_args.size(); ++n) {
        switch (f.m_args[n]) {
            case User::kArgScalar0:
            case User::kArgScalar:
                if (FirstNonFinite(records[n])) return true;
                break;
            case User::kArgMatrix:
                if (FirstNonFinite(records[n].array)) return true;
                break;
            default: break;  // text and file names hold no numbers
        }
    }
    return false;
}

}  // namespace

void FreeResultPart(double** cols, std::uint32_t ncols) noexcept {
    if (!cols) return;
    if (ncols > 0) std::free(cols[0]);
    std::free(cols);
}

void NoteHostFailure() noexcept { t_hostFailure = std::current_exception(); }

void RaiseNativeFailure() {
    DropHeldResults();
    const std::exception_ptr host = std::exchange(t_hostFailure, nullptr);
    try {
        throw;
    } catch (const Vrn::Run::AppException&) {
        throw;
    } catch (const _com_error&) {
        throw;  // the redirector's own error, which hosts report as it is
    } catch (const std::exception& e) {
        if (host && host == std::current_exception()) throw;
        throw User::ModuleException(Vrn::Run::FromUtf8(e.what()), TypeNameOf(e));
    }
}

void RaiseForCode(User::Function& f, std::uint32_t code) {
    DropHeldResults();
    f.CheckError(code);
    std::abort();  // CheckError raises for every nonzero code
}

void JudgeMaskedResult(const User::Function& f, const User::Value* result, const User::Value* records) {
    const double* bad = nullptr;
    switch (f.m_ret) {
        case User::kRetScalar: bad = FirstNonFinite(*result); break;
        case User::kRetMatrix: bad = FirstNonFinite(result->array); break;
        default: return;
    }
    if (!bad || AnyArgumentNonFinite(f, records)) return;
    const std::uint32_t code = IsNaN(*bad) ? EXCEPTION_FLT_INVALID_OPERATION : EXCEPTION_FLT_OVERFLOW;
    if (f.m_ret == User::kRetMatrix) {
        // The result is refused: the bridge frees it as it would have
        // after reading it.
        ReleaseHeldResult(result->array);
        FreeHeld(result->array);
    }
    User::ThrowProcessorFault(code, nullptr);
}

void HoldResultMatrix(const User::ComplexArray& array) {
    const IqlAllocator* owner = IqlAllocator::m_current;
    for (HeldResult& h : t_held)
        if (h.owner == owner) {
            FreeHeld(std::exchange(h.array, array));
            return;
        }
    t_held.push_back({owner, array});
}

void ReleaseHeldResult(const User::ComplexArray& array) noexcept {
    const IqlAllocator* owner = IqlAllocator::m_current;
    std::erase_if(t_held, [owner, &array](const HeldResult& h) {
        if (h.owner != owner) return false;
        // Arrays the record no longer points at would be lost.
        if (h.array.realCols != array.realCols) FreeResultPart(h.array.realCols, h.array.cols);
        if (h.array.imagCols != array.imagCols) FreeResultPart(h.array.imagCols, h.array.cols);
        return true;
    });
}

}  // namespace detail

}  // namespace Efi
