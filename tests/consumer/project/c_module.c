/* A module in C: <efi/module.h> is all it needs. It reports a failure by
   its result code, with a message table of its own. */
#include <efi/module.h>

typedef struct {
    double real, imag;
} number;

static uint32_t cons_c_half(number* r, const number* x) {
    if (x->real < 0.0) return (1u << 16) | 1u; /* argument 1, message 1 */
    r->real = x->real / 2.0;
    r->imag = x->imag / 2.0;
    return 0;
}

static const int32_t kOneNumber[] = {1};
static const char* const kMessages[] = {"must be non-negative"};
static const efi_function_entry kFunctions[] = {
    {"cons_c_half", (efi_entry_fn)&cons_c_half, 1, 1, kOneNumber, 1, kMessages},
};

EFI_MODULE_TABLE(kFunctions);
