/* Extension modules: how a native shared object lists its functions for
 * the host. Plain C, so a module can be written in C or C++.
 *
 * A module exports one table under the C symbol EFI_MODULE_TABLE_SYMBOL
 * ("efi_module"), most simply with EFI_MODULE_TABLE below.
 * The host opens the module, checks the whole table and only then registers
 * every function in it; a module with a malformed entry registers nothing.
 *
 * A matrix result (return code 2) is, for each part returned, a pointer
 * array of `cols` entries from malloc whose entry 0 points at one malloc'ed
 * block of rows * cols doubles; the host copies and frees both. With 0
 * columns the pointer array has no entries and no block is given.
 *
 * A function that fails owns what it allocated. The host frees result
 * arrays only after the function has returned 0: when it returns an error
 * code, raises an error or traps, whatever it stored in the result record is
 * left alone (a partly filled result cannot be freed safely). So compute
 * first, in call memory (IqlAllocator::m_current, released however the
 * call ends), and hand the malloc'ed arrays over last, or free them on
 * every failing path.
 *
 * Worksheet errors (Efi::Throw, errors of host callbacks) and processor
 * faults leave a native function as C++ exceptions, so a module's code must
 * have unwind tables: C++ built with -fnon-call-exceptions (efi's CMake
 * target and pkg-config flags give it), C built with -fexceptions too.
 *
 * Each function follows the calling contract of registered functions:
 *   uint32_t f(Efi::User::Value* result, void* arg1, ..., void* argN);
 * (efi_value* in C: <efi/capi.h> gives C the records, raising and call
 * memory)
 * returning 0, or (argument << 16) | index, where index counts from 1 into
 * the entry's message table.
 */
#ifndef EFI_MODULE_H
#define EFI_MODULE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/** Version of the table layout below; a module states the one it was built for. */
#define EFI_MODULE_VERSION 1u

/** The exported symbol the host looks the table up by. */
#define EFI_MODULE_TABLE_SYMBOL "efi_module"

/** Bounds the host enforces on a table (anything beyond is malformed). */
#define EFI_MODULE_MAX_FUNCTIONS 4096u
#define EFI_MODULE_MAX_ARGS 64
#define EFI_MODULE_MAX_MESSAGES 65535
#define EFI_MODULE_MAX_NAME 255

/** Untyped native entry address: cast the function to it in the table. */
typedef void (*efi_entry_fn)(void);

/** One registered function. */
typedef struct efi_function_entry {
    const char* name;            /**< worksheet name: letters, digits, '_' and '.', not starting with a digit */
    efi_entry_fn entry;          /**< the native function, never null */
    int32_t ret;                 /**< return-type code: 1 scalar, 2 matrix, 8 text */
    int32_t nargs;               /**< number of argument codes (1..10 to be callable) */
    const int32_t* args;         /**< argument-type codes: 0/1 scalar, 2 matrix, 8 text, 13/14 file name */
    int32_t nmessages;           /**< number of error messages (0: no table) */
    const char* const* messages; /**< UTF-8 messages; message k-1 is error index k */
} efi_function_entry;

/** The module's table. */
typedef struct efi_module_table {
    uint32_t version;                    /**< EFI_MODULE_VERSION */
    uint32_t count;                      /**< number of entries */
    const efi_function_entry* functions; /**< the entries */
} efi_module_table;

/** Exports a declaration from a module built with hidden visibility. */
#if defined(__GNUC__) || defined(__clang__)
#define EFI_MODULE_EXPORT __attribute__((visibility("default")))
#else
#define EFI_MODULE_EXPORT
#endif

#ifdef __cplusplus
}
#define EFI_MODULE_EXTERN_C extern "C"
/* A C++ cast, so that modules built with -Wold-style-cast stay quiet. */
#define EFI_MODULE_COUNT(entries) static_cast<uint32_t>(sizeof(entries) / sizeof((entries)[0]))
#else
#define EFI_MODULE_EXTERN_C
#define EFI_MODULE_COUNT(entries) (uint32_t)(sizeof(entries) / sizeof((entries)[0]))
#endif

/** Defines the module's exported table from an array of entries:
 *    EFI_MODULE_TABLE(kFunctions);
 */
#define EFI_MODULE_TABLE(entries)                                                                  \
    EFI_MODULE_EXTERN_C EFI_MODULE_EXPORT const efi_module_table efi_module = {EFI_MODULE_VERSION, \
                                                                               EFI_MODULE_COUNT(entries), (entries)}

#endif /* EFI_MODULE_H */
