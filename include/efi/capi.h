/* The native API for modules written in C: the records a registered
 * function reads its arguments from and writes its result to, raising
 * worksheet errors, call memory and callbacks into the host. Plain C (C99
 * and later; C++ may include it too), every name prefixed with efi_ or EFI_.
 *
 *     #include <efi/capi.h>
 *
 *     static uint32_t my_half(efi_value* r, const efi_value* x) {
 *         if (x->imag != 0.0) efi_throw_code(EFI_ERR_MUST_BE_A_REAL, 1);
 *         r->real = x->real / 2.0;
 *         return 0;
 *     }
 *
 * The records are the C spelling of the ones C++ code sees (<efi/call.h>,
 * <efi/records.h>), byte for byte: the library checks every size and
 * offset when it is built. Members keep the C++ names, so both languages
 * read an argument alike (x->real, m->array.realCols[c][r], t->text).
 *
 * efi_throw and efi_throw_code leave the calling function as a C++
 * exception, as the C++ raise does: build C modules with -fexceptions (the
 * package's CMake target and pkg-config flags give it), and hold nothing
 * that needs freeing when they are called.
 */
#ifndef EFI_CAPI_H
#define EFI_CAPI_H

#include <stddef.h>
#include <stdint.h>

#include <efi/export.h>
#include <efi/module.h>
#include <efi/standard_errors.h>

#if defined(__GNUC__) || defined(__clang__)
#define EFI_C_NORETURN __attribute__((__noreturn__))
#elif defined(__cplusplus)
#define EFI_C_NORETURN [[noreturn]]
#else
#define EFI_C_NORETURN _Noreturn
#endif

#ifdef __cplusplus
extern "C" {
#endif

/** Argument number meaning that no particular argument is to blame. */
#define EFI_NO_ARGUMENT 0xFFFFFFFFu

/** Complex scalar (C++: qlComplex). */
typedef struct efi_complex {
    double real; /**< real part */
    double imag; /**< imaginary part */
} efi_complex;

/** Complex-array view of a matrix argument or result (C++:
 *  Efi::User::ComplexArray): one column pointer per column per part, each
 *  part one contiguous block of rows * cols doubles by columns. */
typedef struct efi_complex_array {
    uint32_t rows;
    uint32_t cols;
    double** realCols; /**< null when there is no real part */
    double** imagCols; /**< null when there is no imaginary part (a real matrix) */
} efi_complex_array;

/** One argument (codes 0, 1, 2, 8) or the result of a registered function
 *  (C++: Efi::User::Value): the scalar view real and imag, the array view,
 *  or the text view (narrow, NUL-terminated). File-name arguments (codes 13
 *  and 14) are no record: the function receives the const char* path. */
typedef union efi_value {
    EFI_EXTENSION struct {
        double real;
        double imag;
    };
    efi_complex_array array;
    char* text;
} efi_value;

/** The result code that raises message `index` (from 1) of the entry's
 *  message table, marking argument `argument` (from 1). Argument 0 is none
 *  of the function's own: hosts report it as argument 0, the number they
 *  give the directory that relative file names are joined to. */
static inline uint32_t efi_error_code(uint32_t argument, uint32_t index) { return (argument << 16) | index; }

/** Raises the worksheet error `message` (narrow text, current locale)
 *  marking `argument` (from 1; EFI_NO_ARGUMENT for none). Never returns. A
 *  null message raises "unknown error". */
EFI_C_NORETURN EFI_API void efi_throw(const char* message, uint32_t argument);

/** Raises entry `code` of the standard error table (EFI_ERR_..., from
 *  <efi/standard_errors.h>) marking `argument`. Never returns. A code above
 *  75 raises "unknown error". */
EFI_C_NORETURN EFI_API void efi_throw_code(uint32_t code, uint32_t argument);

/** `bytes` zero-filled bytes of call memory, aligned for doubles and pointers, which
 *  live until the call has ended and its result has been read, and are
 *  released with the call however it ends: the place for a text result
 *  and for working storage. Never null: raises "out of memory" when no
 *  memory can be had (also for a request of 4 GiB or more), and "no call
 *  is running" outside a call. */
EFI_API void* efi_call_memory(size_t bytes);

/** Makes `*result` a matrix result of `rows` by `cols` numbers as the
 *  bridge takes one over (malloc'ed column pointers and block, zero-filled;
 *  an imaginary part too when `with_imag` is nonzero) and returns its view
 *  for filling. The bridge holds it until the function has returned: when
 *  the call fails (an error code, a raise, a fault) it is freed with the
 *  call, so a function never frees it by hand. A second one in the same
 *  call replaces the first, which is freed. Raises "out of memory" (also
 *  for more than 2^32 - 1 numbers) and "no call is running" outside a call. */
EFI_API efi_complex_array* efi_matrix_result(efi_value* result, uint32_t rows, uint32_t cols, int with_imag);

/** Evaluates the host function registered under `name` at `*arg` and
 *  stores its value in `*result`. Raises "must be a function" (marking
 *  `argument`) when no function has that name and "argument function
 *  error" when its value is not a number; errors of the host function pass
 *  through. Callbacks nest at most 256 calls deep. */
EFI_API void efi_call_host(const char* name, const efi_complex* arg, efi_complex* result, uint32_t argument);

#ifdef __cplusplus
}
#endif

#endif /* EFI_CAPI_H */
