/* A module whose parameters are named as Python cannot name them: a
 * reserved word, and that word with the underscore Python code puts after
 * it; and a message that is no UTF-8 (Latin-1), which the loader passes. */
#include <efi/capi.h>

static uint32_t k_poisson(efi_value* r, const efi_value* lambda, const efi_value* k) {
    r->real = lambda->real - k->real;
    return 0;
}

static const int32_t kTwo[] = {1, 1};
static const char* const kLatin1[] = {"trop \xe9lev\xe9"};

static const efi_function_entry kFunctions[] = {
    {"k_poisson", (efi_entry_fn)k_poisson, 1, 2, kTwo, 0, NULL},
    {"k_taken", (efi_entry_fn)k_poisson, 1, 2, kTwo, 0, NULL},
    {"k_latin1", (efi_entry_fn)k_poisson, 1, 2, kTwo, 1, kLatin1},
};

static const efi_parameter kPoisson[] = {{"lambda", "the mean"}, {"k", NULL}};
static const efi_parameter kTaken[] = {{"lambda", NULL}, {"lambda_", NULL}};

static const efi_function_info kInfo[] = {
    {kPoisson, "lambda - k.", NULL, 0},
    {kTaken, NULL, NULL, 0},
    {kPoisson, NULL, NULL, 0},
};

EFI_MODULE_TABLE_WITH_INFO(kFunctions, kInfo);
