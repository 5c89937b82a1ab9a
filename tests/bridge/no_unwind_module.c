/* Arithmetic without unwind information of any kind, as hand-written
   assembly kernels have: a trapped fault here cannot be unwound and must
   still end the call as its error. */
#include <efi/module.h>

typedef struct {
    double real, imag;
} number;

typedef struct {
    uint32_t rows, cols;
    double** realCols;
    double** imagCols;
} matrix;

/* c_div(a, b) = a / b, straight in the native entry, with every register
   a callee must preserve overwritten first: an abandoned frame never puts
   them back. */
static uint32_t c_div(number* r, const number* a, const number* b) {
    __asm__ volatile("mov $-1, %%rbx\n\tmov $-1, %%r12\n\tmov $-1, %%r13\n\tmov $-1, %%r14\n\tmov $-1, %%r15" ::
                         : "rbx", "r12", "r13", "r14", "r15");
    r->real = a->real / b->real;
    r->imag = 0.0;
    return 0;
}

/* One frame further down, so more than the entry is abandoned. */
__attribute__((noinline)) static double ratio(const double* v) { return v[0] / v[1]; }

/* c_ratio(M) = M[0] / M[1], by columns: the argument lives in call memory. */
static uint32_t c_ratio(number* r, const matrix* m) {
    r->real = ratio(m->realCols[0]);
    r->imag = 0.0;
    return 0;
}

static const int32_t kTwoNumbers[] = {1, 1};
static const int32_t kMatrix[] = {2};
static const efi_function_entry kFunctions[] = {
    {"c_div", (efi_entry_fn)&c_div, 1, 2, kTwoNumbers, 0, 0},
    {"c_ratio", (efi_entry_fn)&c_ratio, 1, 1, kMatrix, 0, 0},
};

EFI_MODULE_TABLE(kFunctions);
