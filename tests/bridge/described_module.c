/* A module in C whose table describes its functions (version 2): parameter
 * names and help, summaries, help, flags. Its masked functions compute
 * through overflow, or fail, in the ways the masked rule judges, and its
 * matrix results are made with efi_matrix_result. */
#include <efi/capi.h>

#include <math.h>

static uint32_t d_ibeta(efi_value* r, const efi_value* a, const efi_value* b, const efi_value* x) {
    if (a->real <= 0.0) return efi_error_code(1, 1);
    r->real = a->real + b->real * x->real;
    return 0;
}

/* A step that overflows on the way to a finite result, as third-party
 * numeric code does: x * 1e308 is infinite for |x| > 1.8, and the guard
 * then answers x itself. Kept out of line, as code behind a library call. */
__attribute__((noinline)) static double scaled_back(double x) {
    volatile double big = x * 1e308;
    return isinf(big) ? x : big / 1e308;
}

static uint32_t d_guarded(efi_value* r, const efi_value* x) {
    r->real = scaled_back(x->real);
    return 0;
}

/* The same after a callback into the host, which runs a bridge call of
 * its own: the overflow after it must still be masked. */
static uint32_t d_callback_guarded(efi_value* r, const efi_value* name, const efi_value* x) {
    efi_complex arg = {x->real, 0.0}, value;
    efi_call_host(name->text, &arg, &value, 1);
    r->real = scaled_back(value.real);
    return 0;
}

static uint32_t d_scale(efi_value* r, const efi_value* x, const efi_value* factor) {
    r->real = x->real * factor->real;
    r->imag = x->imag * factor->real;
    return 0;
}

static uint32_t d_sqrt(efi_value* r, const efi_value* x) {
    r->real = sqrt(x->real);
    return 0;
}

/* Element-wise log of a real matrix, the result made by efi_matrix_result. */
static uint32_t d_log_m(efi_value* r, const efi_value* m) {
    efi_complex_array* out = efi_matrix_result(r, m->array.rows, m->array.cols, 0);
    for (uint32_t c = 0; c < m->array.cols; ++c)
        for (uint32_t k = 0; k < m->array.rows; ++k) out->realCols[c][k] = log(m->array.realCols[c][k]);
    return 0;
}

/* An n-by-2 grid (with an imaginary part when n is odd) that fails after
 * making its result when n is above 100 (raising) or 50 (an error code):
 * the bridge frees what it holds either way. */
static uint32_t d_grid(efi_value* r, const efi_value* n) {
    const uint32_t rows = (uint32_t)n->real;
    efi_complex_array* out = efi_matrix_result(r, rows, 2, (rows & 1u) != 0);
    for (uint32_t k = 0; k < rows; ++k) {
        out->realCols[0][k] = k;
        out->realCols[1][k] = 2.0 * k;
        if (out->imagCols) out->imagCols[1][k] = -1.0;
    }
    if (rows > 100) efi_throw("too many rows", 1);
    if (rows > 50) return efi_error_code(1, 1);
    return 0;
}

static const int32_t kOne[] = {1};
static const int32_t kTwo[] = {1, 1};
static const int32_t kThree[] = {1, 1, 1};
static const int32_t kMatrix[] = {2};
static const int32_t kTextNumber[] = {8, 1};
static const char* const kPositive[] = {"must be positive"};
static const char* const kAtMost50[] = {"must be at most 50"};

static const efi_function_entry kFunctions[] = {
    {"d_ibeta", (efi_entry_fn)d_ibeta, 1, 3, kThree, 1, kPositive},
    {"d_guarded", (efi_entry_fn)d_guarded, 1, 1, kOne, 0, NULL},
    {"d_guarded_trapping", (efi_entry_fn)d_guarded, 1, 1, kOne, 0, NULL},
    {"d_scale", (efi_entry_fn)d_scale, 1, 2, kTwo, 0, NULL},
    {"d_sqrt", (efi_entry_fn)d_sqrt, 1, 1, kOne, 0, NULL},
    {"d_log_m", (efi_entry_fn)d_log_m, 2, 1, kMatrix, 0, NULL},
    {"d_grid", (efi_entry_fn)d_grid, 2, 1, kOne, 1, kAtMost50},
    {"d_callback_guarded", (efi_entry_fn)d_callback_guarded, 1, 2, kTextNumber, 0, NULL},
};

static const efi_parameter kIbetaParams[] = {
    {"a", "first shape, positive"}, {"b", "second shape"}, {"x", "where, in [0, 1]"}};
static const efi_parameter kX[] = {{"x", NULL}};
static const efi_parameter kScaleParams[] = {{"x", NULL}, {"factor", "what x is multiplied by"}};
static const efi_parameter kM[] = {{"M", "a real matrix"}};
static const efi_parameter kN[] = {{"n", "rows"}};
static const efi_parameter kCallback[] = {{"name", "a host function"}, {"x", NULL}};

static const efi_function_info kInfo[] = {
    {kIbetaParams, "A stand-in for the regularised incomplete beta.", "Returns a + b x.\nThe second line of help.",
     EFI_FUNCTION_THREAD_SAFE},
    {kX, "x, through an overflow it handles itself.", NULL, EFI_FUNCTION_MASKED},
    {kX, "d_guarded under the trapping word.", NULL, 0},
    {kScaleParams, NULL, NULL, EFI_FUNCTION_MASKED | EFI_FUNCTION_THREAD_SAFE},
    {kX, NULL, NULL, EFI_FUNCTION_MASKED},
    {kM, "Element-wise natural logarithm.", NULL, EFI_FUNCTION_MASKED},
    {kN, "An n-by-2 grid.", NULL, 0},
    {kCallback, "d_guarded of what a host function gives for x.", NULL, EFI_FUNCTION_MASKED},
};

EFI_MODULE_TABLE_WITH_INFO(kFunctions, kInfo);
