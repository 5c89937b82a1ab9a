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
 * efi_matrix_result (<efi/capi.h>) makes such a result in one call and
 * keeps it in the bridge's hands until the function returns 0, so a call
 * that fails after it frees it too.
 *
 * Since version 2 a table may describe its functions (efi_function_info):
 * parameter names, which hosts show and accept as keywords, help, and the
 * flags that say how a function runs. <efi/bind.h> writes the entries and
 * descriptions of typed C++ functions.
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

/** Version of the table layout below; a module states the one it was built for.
 *  Version 2 added the descriptions (efi_function_info); a table of version 1
 *  ends before them and still loads, as it always did. */
#define EFI_MODULE_VERSION 2u
#define EFI_MODULE_VERSION_1 1u

/** The exported symbol the host looks the table up by. */
#define EFI_MODULE_TABLE_SYMBOL "efi_module"

/** Bounds the host enforces on a table (anything beyond is malformed). */
#define EFI_MODULE_MAX_FUNCTIONS 4096u
#define EFI_MODULE_MAX_ARGS 64
#define EFI_MODULE_MAX_MESSAGES 65535
#define EFI_MODULE_MAX_NAME 255
#define EFI_MODULE_MAX_PARAM_NAME 64
#define EFI_MODULE_MAX_SUMMARY 1024
#define EFI_MODULE_MAX_HELP 65536

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

/** Flags of a function (efi_function_info::flags). */
/** Runs with every floating-point exception masked instead of the trapping
 *  call word, for code that is not written for traps (most third-party
 *  numeric libraries). Its result is judged afterwards: an infinite or NaN
 *  result (any element of a matrix) while no argument was one is reported
 *  as the trap would have been, "overflow" for an infinity and "floating
 *  point error" for a NaN; a finite result is returned even when a step on
 *  the way to it overflowed. */
#define EFI_FUNCTION_MASKED 0x1u
/** The function may run on several threads at once: its calls share the
 *  turn with other thread-safe calls, where any other call runs alone. It
 *  may use its call memory, Efi::Throw and callbacks; not Efi::rand or
 *  Efi::random_seed, nor state of its own shared between calls without a
 *  lock. */
#define EFI_FUNCTION_THREAD_SAFE 0x2u

/** One parameter's description. */
typedef struct efi_parameter {
    const char* name; /**< an identifier: ASCII letters, digits and '_', not starting with a digit, at most 64 bytes */
    const char* help; /**< UTF-8 text, or null */
} efi_parameter;

/** What a function says of itself (version 2), all of it optional: the
 *  hosts show the names and help, accept the names as keywords, and run the
 *  function as its flags ask. */
typedef struct efi_function_info {
    const efi_parameter* params; /**< one per argument (nargs of them), or null for none */
    const char* summary;         /**< one line of UTF-8 text, or null */
    const char* help;            /**< UTF-8 text, lines separated by '\n', or null */
    uint32_t flags;              /**< EFI_FUNCTION_MASKED, EFI_FUNCTION_THREAD_SAFE */
} efi_function_info;

/** The module's table. */
typedef struct efi_module_table {
    uint32_t version;                    /**< EFI_MODULE_VERSION */
    uint32_t count;                      /**< number of entries */
    const efi_function_entry* functions; /**< the entries */
    /** Version 2: the descriptions, one per entry and in the same order, or
     *  null when the module gives none. A table of version 1 has no such
     *  member and is never read past `functions`. */
    const efi_function_info* info;
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
#define EFI_MODULE_NO_INFO nullptr
/* A C++ cast, so that modules built with -Wold-style-cast stay quiet. */
#define EFI_MODULE_COUNT(entries) static_cast<uint32_t>(sizeof(entries) / sizeof((entries)[0]))
#else
#define EFI_MODULE_EXTERN_C
#define EFI_MODULE_NO_INFO ((const efi_function_info*)0)
#define EFI_MODULE_COUNT(entries) (uint32_t)(sizeof(entries) / sizeof((entries)[0]))
#endif

/** Defines the module's exported table from an array of entries:
 *    EFI_MODULE_TABLE(kFunctions);
 */
#define EFI_MODULE_TABLE(entries)                                               \
    EFI_MODULE_EXTERN_C EFI_MODULE_EXPORT const efi_module_table efi_module = { \
        EFI_MODULE_VERSION, EFI_MODULE_COUNT(entries), (entries), EFI_MODULE_NO_INFO}

/** The same with descriptions, one per entry (the counts must agree):
 *    EFI_MODULE_TABLE_WITH_INFO(kFunctions, kInfo);
 */
#define EFI_MODULE_TABLE_WITH_INFO(entries, infos)                                                           \
    typedef char efi_module_info_count_check[EFI_MODULE_COUNT(entries) == EFI_MODULE_COUNT(infos) ? 1 : -1]; \
    EFI_MODULE_EXTERN_C EFI_MODULE_EXPORT const efi_module_table efi_module = {                              \
        EFI_MODULE_VERSION, EFI_MODULE_COUNT(entries), (entries), (infos)}

#endif /* EFI_MODULE_H */
