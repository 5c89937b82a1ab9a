// What crosses to a registered native function: the call context, the
// argument/result record, and the floating-point set-up around the call.
#pragma once

#include <cstddef>
#include <cstdint>

#include <efi/allocator.h>
#include <efi/export.h>

namespace Efi {

/// The call-scoped allocator made current for one native call. Native code
/// handed a context allocates through `allocator`. Raises as IqlAllocator
/// does when another thread's call is running.
class EFI_API EfiCallContext : public IqlAllocator {
public:
    EfiCallContext() : allocator(this) {}
    IqlAllocator* allocator;  ///< the context itself
};

namespace User {

/// Complex-array view of an argument or result: one column pointer per
/// column per part; each part one contiguous column-ordered block.
struct ComplexArray {
    std::uint32_t rows;
    std::uint32_t cols;
    double** realCols;  ///< null when there is no real part
    double** imagCols;  ///< null when there is no imaginary part
};

/// One argument or the result of a registered native function: the scalar
/// view (`real`, `imag`), the complex-array view or the text view.
union Value {
    EFI_EXTENSION struct {
        double real;
        double imag;
    };
    ComplexArray array;
    char* text;
};

/// Fills *m with rows x cols blocks from the current allocator for the parts
/// asked for. False when m is null or the real column array cannot be had.
/// With 0 columns a requested part gets an empty record (no column pointers).
EFI_API bool QuilletArrayAllocate(ComplexArray* m, std::uint32_t rows, std::uint32_t cols, int allocateReal,
                                  int allocateImag);

/// Resets the floating-point units: x87 to 0x037F, SSE to 0x1F80, flags clear.
EFI_API void init_fpu() noexcept;
/// Clears pending flags, loads cw (x87, and the same trap set into SSE), and
/// returns the previous x87 control word.
EFI_API std::uint32_t set_control_word(std::uint16_t cw) noexcept;

/// Control word while a native call runs: invalid, zero divide and overflow trapped.
inline constexpr std::uint16_t kCallControlWord = 0x372;
/// Control word after every call: zero divide and overflow trapped.
inline constexpr std::uint16_t kHostControlWord = 0x273;

// Every registered native function has the signature
//   extern "C" std::uint32_t f(Efi::User::Value* result, void* arg1, ..., void* argN);
// returning 0 for success, else (argument << 16) | message index (from 1).

}  // namespace User
}  // namespace Efi

/// Status bits of pending floating-point exceptions of both units combined
/// (_SW_INEXACT 0x1, _SW_UNDERFLOW 0x2, _SW_OVERFLOW 0x4, _SW_ZERODIVIDE 0x8,
/// _SW_INVALID 0x10, _SW_DENORMAL 0x80000), clearing them.
extern "C" EFI_API unsigned int _clearfp() noexcept;

static_assert(sizeof(Efi::User::ComplexArray) == 24);
static_assert(offsetof(Efi::User::ComplexArray, realCols) == 8);
static_assert(offsetof(Efi::User::ComplexArray, imagCols) == 16);
static_assert(sizeof(Efi::User::Value) == 24);
static_assert(offsetof(Efi::User::Value, imag) == 8 && offsetof(Efi::User::Value, text) == 0);
