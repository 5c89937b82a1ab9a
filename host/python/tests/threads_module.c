/* A module of thread-safe functions for the Python host's thread tests: a
 * meeting of threads that shows calls overlap, a callback that can hold a
 * call open, and a root that turns complex or fails at chosen elements. */
#include <efi/capi.h>

#include <math.h>
#include <pthread.h>
#include <stdatomic.h>
#include <time.h>

enum { kMaxSeen = 64 };
static pthread_mutex_t g_seen_lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_t g_seen[kMaxSeen];
static atomic_int g_seen_count;

static int seen_before(pthread_t self) {
    for (int k = 0; k < atomic_load(&g_seen_count); ++k)
        if (pthread_equal(g_seen[k], self)) return 1;
    return 0;
}

/* p_meet(n, seconds): how many threads have called it since p_meet(0, 0).
 * A thread's first call waits, up to `seconds`, for n threads to have
 * come: it returns n only if n calls were inside at once or came one
 * after another while it waited. */
static uint32_t p_meet(efi_value* r, const efi_value* n, const efi_value* seconds) {
    if (n->real <= 0.0) {
        atomic_store(&g_seen_count, 0);
        r->real = 0.0;
        return 0;
    }
    pthread_t self = pthread_self();
    pthread_mutex_lock(&g_seen_lock);
    int first = !seen_before(self) && atomic_load(&g_seen_count) < kMaxSeen;
    if (first) g_seen[atomic_fetch_add(&g_seen_count, 1)] = self;
    pthread_mutex_unlock(&g_seen_lock);
    struct timespec now, until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    until.tv_sec += (time_t)seconds->real;
    until.tv_nsec += (long)((seconds->real - floor(seconds->real)) * 1e9);
    if (until.tv_nsec >= 1000000000L) {
        until.tv_sec += 1;
        until.tv_nsec -= 1000000000L;
    }
    while (first && atomic_load(&g_seen_count) < (int)n->real) {
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (now.tv_sec > until.tv_sec || (now.tv_sec == until.tv_sec && now.tv_nsec >= until.tv_nsec)) break;
        struct timespec pause = {0, 200000};
        nanosleep(&pause, NULL);
    }
    r->real = atomic_load(&g_seen_count);
    return 0;
}

/* p_apply(name, x): the host function `name` at x. */
static uint32_t p_apply(efi_value* r, const efi_value* name, const efi_value* x) {
    efi_complex arg = {x->real, x->imag}, value;
    efi_call_host(name->text, &arg, &value, 1);
    r->real = value.real;
    r->imag = value.imag;
    return 0;
}

/* p_root(x): the square root of a real x, i sqrt(-x) below 0; a NaN and
 * an infinity fail, each with a message of its own. */
static uint32_t p_root(efi_value* r, const efi_value* x) {
    if (isnan(x->real)) return efi_error_code(1, 1);
    if (isinf(x->real)) return efi_error_code(1, 2);
    r->real = x->real < 0.0 ? 0.0 : sqrt(x->real);
    r->imag = x->real < 0.0 ? sqrt(-x->real) : 0.0;
    return 0;
}

/* p_spin(us): x, after spinning for x microseconds. */
static uint32_t p_spin(efi_value* r, const efi_value* us) {
    struct timespec start, now;
    clock_gettime(CLOCK_MONOTONIC, &start);
    do clock_gettime(CLOCK_MONOTONIC, &now);
    while ((now.tv_sec - start.tv_sec) * 1e6 + (now.tv_nsec - start.tv_nsec) / 1e3 < us->real);
    r->real = us->real;
    return 0;
}

static const int32_t kOne[] = {1};
static const int32_t kTwo[] = {1, 1};
static const int32_t kTextNumber[] = {8, 1};
static const char* const kRootErrors[] = {"must be a number", "must be finite"};

static const efi_function_entry kFunctions[] = {
    {"p_meet", (efi_entry_fn)p_meet, 1, 2, kTwo, 0, NULL},
    {"p_apply", (efi_entry_fn)p_apply, 1, 2, kTextNumber, 0, NULL},
    {"p_root", (efi_entry_fn)p_root, 1, 1, kOne, 2, kRootErrors},
    {"p_meet_alone", (efi_entry_fn)p_meet, 1, 2, kTwo, 0, NULL},
    {"p_spin", (efi_entry_fn)p_spin, 1, 1, kOne, 0, NULL},
};

static const efi_parameter kMeet[] = {{"n", NULL}, {"seconds", NULL}};
static const efi_parameter kApply[] = {{"name", NULL}, {"x", NULL}};
static const efi_parameter kX[] = {{"x", NULL}};

static const efi_function_info kInfo[] = {
    {kMeet, "How many threads have met.", NULL, EFI_FUNCTION_THREAD_SAFE},
    {kApply, "A host function at x.", NULL, EFI_FUNCTION_THREAD_SAFE},
    {kX, "A root, complex below 0.", NULL, EFI_FUNCTION_THREAD_SAFE},
    {kMeet, "p_meet, not declared thread-safe.", NULL, 0},
    {kX, "x, after x microseconds.", NULL, EFI_FUNCTION_THREAD_SAFE},
};

EFI_MODULE_TABLE_WITH_INFO(kFunctions, kInfo);
