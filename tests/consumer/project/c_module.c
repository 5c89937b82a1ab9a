/* A module in C: <efi/capi.h> is all it needs. It reports one failure by
   its result code, with a message table of its own, and another by raising
   a standard error. */
#include <efi/capi.h>

static uint32_t cons_c_half(efi_value* r, const efi_value* x) {
    if (x->real < 0.0) return efi_error_code(1, 1); /* argument 1, message 1 */
    r->real = x->real / 2.0;
    r->imag = x->imag / 2.0;
    return 0;
}

/* A third of x, worked out in call memory. */
static uint32_t cons_c_third(efi_value* r, const efi_value* x) {
    if (x->real <= 0.0) efi_throw_code(EFI_ERR_MUST_BE_POSITIVE, 1);
    double* work = efi_call_memory(sizeof(double));
    *work = x->real / 3.0;
    r->real = *work;
    return 0;
}

static const int32_t kOneNumber[] = {1};
static const char* const kMessages[] = {"must be non-negative"};
static const efi_function_entry kFunctions[] = {
    {"cons_c_half", (efi_entry_fn)&cons_c_half, 1, 1, kOneNumber, 1, kMessages},
    {"cons_c_third", (efi_entry_fn)&cons_c_third, 1, 1, kOneNumber, 0, NULL},
};

EFI_MODULE_TABLE(kFunctions);
