/* A module whose functions declare themselves thread-safe, one for each
 * kind of argument and each way a call can fail, and one that does not.
 * Every function calls the test's hook first, inside its call: there the
 * test holds two threads' calls until both are inside, or parks one. */
#include <efi/capi.h>

#include <ctype.h>
#include <string.h>

typedef void (*p_hook_fn)(void);
static p_hook_fn g_hook;

/* Set by the test (through dlsym) before it starts the threads that call. */
__attribute__((visibility("default"))) void p_set_hook(p_hook_fn hook) { g_hook = hook; }

static void inside(void) {
    if (g_hook) g_hook();
}

static uint32_t p_scale(efi_value* r, const efi_value* x, const efi_value* factor) {
    inside();
    r->real = x->real * factor->real;
    r->imag = x->imag * factor->real;
    return 0;
}

/* 2 M + 1, real and imaginary parts alike. */
static uint32_t p_twice(efi_value* r, const efi_value* m) {
    inside();
    const int complex = m->array.imagCols != NULL;
    efi_complex_array* out = efi_matrix_result(r, m->array.rows, m->array.cols, complex);
    for (uint32_t c = 0; c < m->array.cols; ++c)
        for (uint32_t k = 0; k < m->array.rows; ++k) {
            out->realCols[c][k] = 2.0 * m->array.realCols[c][k] + 1.0;
            if (complex) out->imagCols[c][k] = 2.0 * m->array.imagCols[c][k];
        }
    return 0;
}

/* The text in capitals, in call memory. */
static uint32_t p_upper(efi_value* r, const efi_value* t) {
    inside();
    const size_t n = strlen(t->text);
    char* out = efi_call_memory(n + 1);
    for (size_t k = 0; k < n; ++k) out[k] = (char)toupper((unsigned char)t->text[k]);
    r->text = out;
    return 0;
}

/* The full path the bridge made of a file name. */
static uint32_t p_path(efi_value* r, const char* path) {
    inside();
    r->text = (char*)path;
    return 0;
}

/* One more than what the host function `name` gives for x. */
static uint32_t p_via_host(efi_value* r, const efi_value* name, const efi_value* x) {
    inside();
    efi_complex arg = {x->real, x->imag}, value;
    efi_call_host(name->text, &arg, &value, 1);
    r->real = value.real + 1.0;
    r->imag = value.imag;
    return 0;
}

/* a / b under the trapping word: b = 0 is a processor fault. */
static uint32_t p_divide(efi_value* r, const efi_value* a, const efi_value* b) {
    inside();
    r->real = a->real / b->real;
    return 0;
}

/* x squared for positive x, else message 1 marking x. */
static uint32_t p_square(efi_value* r, const efi_value* x) {
    inside();
    if (x->real <= 0.0) return efi_error_code(1, 1);
    r->real = x->real * x->real;
    return 0;
}

/* The same as p_scale, but not declared thread-safe. */
static uint32_t p_alone(efi_value* r, const efi_value* x, const efi_value* factor) { return p_scale(r, x, factor); }

static const int32_t kOne[] = {1};
static const int32_t kTwo[] = {1, 1};
static const int32_t kMatrix[] = {2};
static const int32_t kText[] = {8};
static const int32_t kFile[] = {13};
static const int32_t kTextNumber[] = {8, 1};
static const char* const kPositive[] = {"must be positive"};

static const efi_function_entry kFunctions[] = {
    {"p_scale", (efi_entry_fn)p_scale, 1, 2, kTwo, 0, NULL},
    {"p_twice", (efi_entry_fn)p_twice, 2, 1, kMatrix, 0, NULL},
    {"p_upper", (efi_entry_fn)p_upper, 8, 1, kText, 0, NULL},
    {"p_path", (efi_entry_fn)p_path, 8, 1, kFile, 0, NULL},
    {"p_via_host", (efi_entry_fn)p_via_host, 1, 2, kTextNumber, 0, NULL},
    {"p_divide", (efi_entry_fn)p_divide, 1, 2, kTwo, 0, NULL},
    {"p_square", (efi_entry_fn)p_square, 1, 1, kOne, 1, kPositive},
    {"p_alone", (efi_entry_fn)p_alone, 1, 2, kTwo, 0, NULL},
};

static const efi_function_info kInfo[] = {
    {NULL, NULL, NULL, EFI_FUNCTION_THREAD_SAFE}, {NULL, NULL, NULL, EFI_FUNCTION_THREAD_SAFE},
    {NULL, NULL, NULL, EFI_FUNCTION_THREAD_SAFE}, {NULL, NULL, NULL, EFI_FUNCTION_THREAD_SAFE},
    {NULL, NULL, NULL, EFI_FUNCTION_THREAD_SAFE}, {NULL, NULL, NULL, EFI_FUNCTION_THREAD_SAFE},
    {NULL, NULL, NULL, EFI_FUNCTION_THREAD_SAFE}, {NULL, NULL, NULL, 0},
};

EFI_MODULE_TABLE_WITH_INFO(kFunctions, kInfo);
