/* The sample extension module in C: the same functions as the C++ sample
 * (examples/sample), named c_sample_..., written against <efi/capi.h>
 * alone, to the raw calling contract (C++ modules have the typed layer
 * <efi/bind.h> above it). The starting point for a module in C.
 *
 * Every function follows the calling contract of registered native
 * functions: a pointer to the result record, then one pointer per
 * argument, and an unsigned result code, 0 for success, else
 * efi_error_code(argument, index) with index from 1 into the function's
 * message table. The table at the end lists the functions for the host
 * under the symbol "efi_module", with a description of each that declares
 * it thread-safe (EFI_FUNCTION_THREAD_SAFE): these functions work on their
 * arguments, call memory and their own locals alone, so calls on several
 * threads may run at once. c_sample_apply leaves the flag out and runs
 * alone: it runs whichever host function it is named, and a module cannot
 * promise that every host function is safe on several threads at once. A
 * function that used process-wide state of its own (a static, a library's
 * global setting) without a lock would leave it out too.
 *
 * What each argument pointer is, by the code the table declares:
 *   0 or 1   const efi_value*  scalar view: real, imag
 *   2        const efi_value*  array view: rows, cols, realCols, imagCols
 *   8        const efi_value*  text view: narrow NUL-terminated text
 *   13, 14   const char*       the full path of a file name
 * Results, by the return code: 1 scalar view; 2 array view whose pointer
 * arrays and blocks come from malloc (the host frees them, after a success
 * only: a function that fails owns what it allocated, so hand them over
 * last); 8 text view (the host only reads it: call memory is the right
 * place for it).
 *
 * efi_throw and efi_throw_code leave the function as an exception: this
 * file is built with -fexceptions (efi's CMake target gives it), and holds
 * nothing that needs freeing when it raises.
 */
#include <efi/capi.h>

#include <ctype.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

/* One part of a matrix result the way the host expects it: a pointer array
   of `cols` entries and one block of rows x cols doubles at entry 0, filled
   from `from` (column order). With no columns there is no entry 0, so no
   block either. Null when the heap refuses; nothing is kept then. */
static double** new_part(uint32_t rows, uint32_t cols, const double* from) {
    const size_t n = (size_t)rows * cols;
    double** columns = malloc(sizeof(double*) * (cols ? cols : 1));
    double* block = cols ? malloc(sizeof(double) * (n ? n : 1)) : NULL;
    if (!columns || (cols && !block)) {
        free(columns);
        free(block);
        return NULL;
    }
    if (n) memcpy(block, from, sizeof(double) * n);
    for (uint32_t c = 0; c < cols; ++c) columns[c] = block + (size_t)c * rows;
    return columns;
}

static void free_part(double** part, uint32_t cols) {
    if (!part) return;
    if (cols) free(part[0]);
    free(part);
}

/* Hands finished planes over as the matrix result, the last step of a
   function: either every block is made and stored in `out`, or none is
   kept and "out of memory" is raised. */
static void hand_over(efi_complex_array* out, uint32_t rows, uint32_t cols, const double* re, const double* im) {
    double** realCols = new_part(rows, cols, re);
    double** imagCols = realCols && im ? new_part(rows, cols, im) : NULL;
    if (!realCols || (im && !imagCols)) {
        free_part(realCols, cols);
        efi_throw("out of memory", EFI_NO_ARGUMENT);
    }
    out->rows = rows;
    out->cols = cols;
    out->realCols = realCols;
    out->imagCols = imagCols;
}

/* c_sample_add(a, b) = a + b, complex. */
static uint32_t c_sample_add(efi_value* result, const efi_value* a, const efi_value* b) {
    result->real = a->real + b->real;
    result->imag = a->imag + b->imag;
    return 0;
}

/* c_sample_scale(s, M) = s * M, complex: a matrix result allocated with
   malloc. The product is computed in call memory first, since any element
   may trap (0 * inf is an invalid operation); only a finished product is
   handed over. */
static uint32_t c_sample_scale(efi_value* result, const efi_value* s, const efi_value* m) {
    const efi_complex_array* in = &m->array;
    const int complex_result = in->imagCols || s->imag != 0.0;
    const size_t n = (size_t)in->rows * in->cols;
    double* re = efi_call_memory(n * sizeof(double));
    double* im = complex_result ? efi_call_memory(n * sizeof(double)) : NULL;
    for (uint32_t c = 0; c < in->cols; ++c) {
        for (uint32_t r = 0; r < in->rows; ++r) {
            const size_t k = (size_t)c * in->rows + r;
            const double x = in->realCols[c][r];
            const double y = in->imagCols ? in->imagCols[c][r] : 0.0;
            re[k] = s->real * x - s->imag * y;
            if (complex_result) im[k] = s->real * y + s->imag * x;
        }
    }
    hand_over(&result->array, in->rows, in->cols, re, im);
    return 0;
}

/* c_sample_sum(M) = the sum of the elements of M. */
static uint32_t c_sample_sum(efi_value* result, const efi_value* m) {
    const efi_complex_array* in = &m->array;
    double re = 0.0, im = 0.0;
    for (uint32_t c = 0; c < in->cols; ++c) {
        for (uint32_t r = 0; r < in->rows; ++r) {
            re += in->realCols[c][r];
            if (in->imagCols) im += in->imagCols[c][r];
        }
    }
    result->real = re;
    result->imag = im;
    return 0;
}

/* c_sample_upper(text): the text in upper case, built in call memory,
   which the host releases after it has read the result. */
static uint32_t c_sample_upper(efi_value* result, const efi_value* text) {
    const size_t n = strlen(text->text);
    char* out = efi_call_memory(n + 1);
    for (size_t i = 0; i < n; ++i) out[i] = (char)toupper((unsigned char)text->text[i]);
    result->text = out;
    return 0;
}

/* c_sample_length(text): the number of bytes native code received. */
static uint32_t c_sample_length(efi_value* result, const efi_value* text) {
    result->real = (double)strlen(text->text);
    return 0;
}

/* c_sample_path(file): the full path native code received for a file name
   (relative names arrive prefixed with the host's directory). */
static uint32_t c_sample_path(efi_value* result, const char* path) {
    result->text = (char*)path;
    return 0;
}

/* c_sample_file_size(file): the size in bytes of an existing file. */
static uint32_t c_sample_file_size(efi_value* result, const char* path) {
    struct stat st;
    if (stat(path, &st) != 0) return efi_error_code(1, 1); /* "file not found" */
    if (!S_ISREG(st.st_mode)) return efi_error_code(1, 2); /* "not a regular file" */
    result->real = (double)st.st_size;
    return 0;
}

/* c_sample_sqrt(x): the square root of a non-negative real number; the
   result code names argument 1 and the message. NaN is tested first: an
   ordered comparison (<) of a NaN is an invalid operation, which traps
   during a call; isnan and != never trap. */
static uint32_t c_sample_sqrt(efi_value* result, const efi_value* x) {
    if (x->imag != 0.0) return efi_error_code(1, 1); /* "must be real" */
    if (isnan(x->real)) return efi_error_code(1, 3); /* "must be a number" */
    if (x->real < 0.0) return efi_error_code(1, 2);  /* "must be non-negative" */
    result->real = sqrt(x->real);
    return 0;
}

/* c_sample_throw(code): raises standard error `code` marking argument 1,
   straight from native code (the host unwinds through this frame). */
static uint32_t c_sample_throw(efi_value* result, const efi_value* code) {
    (void)result;
    /* Only a number a code can hold is converted (converting any other
       double is undefined); the rest, NaN included, is an unknown code. The
       comparisons are the quiet ones: >= and < of a NaN would trap. */
    const double c = code->real;
    efi_throw_code(isgreaterequal(c, 0.0) && isless(c, 4294967296.0) ? (uint32_t)c : 0xFFFFFFFFu, 1);
}

/* c_sample_divide(a, b) = a / b in real arithmetic. A call runs with zero
   divide and overflow trapped, so b = 0 or an overflowing quotient is a
   processor fault that the host reports as an error. */
static uint32_t c_sample_divide(efi_value* result, const efi_value* a, const efi_value* b) {
    result->real = a->real / b->real;
    return 0;
}

/* c_sample_apply(name, x): the host function registered as `name`,
   evaluated at x. The callback may call other registered functions. */
static uint32_t c_sample_apply(efi_value* result, const efi_value* name, const efi_value* x) {
    const efi_complex at = {x->real, x->imag};
    efi_complex value = {0.0, 0.0};
    efi_call_host(name->text, &at, &value, 1);
    result->real = value.real;
    result->imag = value.imag;
    return 0;
}

/* c_sample_nothing(x): a text function with nothing to say (null text:
   the host shows the empty string). */
static uint32_t c_sample_nothing(efi_value* result, const efi_value* x) {
    (void)x;
    result->text = NULL;
    return 0;
}

#define ENTRY(f) ((efi_entry_fn) & (f))

static const int32_t kScalar[] = {1};
static const int32_t kScalarScalar[] = {1, 1};
static const int32_t kScalarMatrix[] = {0, 2};
static const int32_t kMatrix[] = {2};
static const int32_t kText[] = {8};
static const int32_t kTextScalar[] = {8, 1};
static const int32_t kFileIn[] = {13};
static const int32_t kFileOut[] = {14};

static const char* const kFileMessages[] = {"file not found", "not a regular file"};
static const char* const kSqrtMessages[] = {"must be real", "must be non-negative", "must be a number"};

static const efi_function_entry kFunctions[] = {
    {"c_sample_add", ENTRY(c_sample_add), 1, 2, kScalarScalar, 0, NULL},
    {"c_sample_scale", ENTRY(c_sample_scale), 2, 2, kScalarMatrix, 0, NULL},
    {"c_sample_sum", ENTRY(c_sample_sum), 1, 1, kMatrix, 0, NULL},
    {"c_sample_upper", ENTRY(c_sample_upper), 8, 1, kText, 0, NULL},
    {"c_sample_length", ENTRY(c_sample_length), 1, 1, kText, 0, NULL},
    {"c_sample_path", ENTRY(c_sample_path), 8, 1, kFileIn, 0, NULL},
    {"c_sample_file_size", ENTRY(c_sample_file_size), 1, 1, kFileOut, 2, kFileMessages},
    {"c_sample_sqrt", ENTRY(c_sample_sqrt), 1, 1, kScalar, 3, kSqrtMessages},
    {"c_sample_throw", ENTRY(c_sample_throw), 1, 1, kScalar, 0, NULL},
    {"c_sample_divide", ENTRY(c_sample_divide), 1, 2, kScalarScalar, 0, NULL},
    {"c_sample_apply", ENTRY(c_sample_apply), 1, 2, kTextScalar, 0, NULL},
    {"c_sample_nothing", ENTRY(c_sample_nothing), 8, 1, kScalar, 0, NULL},
};

/* Descriptions, one per entry in the same order: no parameter names or
   help here (the listings show the argument kinds), only the flag. */
#define THREAD_SAFE \
    { NULL, NULL, NULL, EFI_FUNCTION_THREAD_SAFE }
#define RUNS_ALONE \
    { NULL, NULL, NULL, 0 }

static const efi_function_info kInfo[] = {
    THREAD_SAFE, THREAD_SAFE, THREAD_SAFE, THREAD_SAFE, THREAD_SAFE, THREAD_SAFE,
    THREAD_SAFE, THREAD_SAFE, THREAD_SAFE, THREAD_SAFE, RUNS_ALONE,  THREAD_SAFE,
};

EFI_MODULE_TABLE_WITH_INFO(kFunctions, kInfo);
