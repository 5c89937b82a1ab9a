// A module that starts threads of its own, at load and inside a call, and
// divides by zero on them: whatever the host traps, the process lives and
// each division gives its IEEE result.
#include <efi/module.h>

#include <cstdint>
#include <thread>

namespace {

struct Number {
    double real, imag;
};

[[gnu::noinline]] double Divide(double a, double b) { return a / b; }

double OnWorker(double a, double b) {
    double q = 0.0;
    std::thread worker([&] { q = Divide(a, b); });
    worker.join();
    return q;
}

std::uint32_t g_load_mxcsr = 0;
double g_load_quotient = 0.0;

// Runs as the host loads the module, under whatever state the loader gives.
[[gnu::constructor]] void StartAtLoad() {
    asm volatile("stmxcsr %0" : "=m"(g_load_mxcsr)::"memory");
    volatile double zero = 0.0;
    g_load_quotient = OnWorker(1.0, zero);
}

}  // namespace

/// w_load_mxcsr(x): MXCSR as the module's constructor found it.
extern "C" std::uint32_t w_load_mxcsr(Number* r, const Number*) {
    r->real = g_load_mxcsr;
    return 0;
}

/// w_load_quotient(x): what 1 / 0 gave on the thread started at load.
extern "C" std::uint32_t w_load_quotient(Number* r, const Number*) {
    r->real = g_load_quotient;
    return 0;
}

/// w_divide(a, b) = a / b, computed on a thread started for it inside the
/// call (so it starts with the call's trapping word).
extern "C" std::uint32_t w_divide(Number* r, const Number* a, const Number* b) {
    r->real = OnWorker(a->real, b->real);
    return 0;
}

namespace {
const std::int32_t kOne[] = {1};
const std::int32_t kTwo[] = {1, 1};
const efi_function_entry kFunctions[] = {
    {"w_load_mxcsr", reinterpret_cast<efi_entry_fn>(&w_load_mxcsr), 1, 1, kOne, 0, nullptr},
    {"w_load_quotient", reinterpret_cast<efi_entry_fn>(&w_load_quotient), 1, 1, kOne, 0, nullptr},
    {"w_divide", reinterpret_cast<efi_entry_fn>(&w_divide), 1, 2, kTwo, 0, nullptr},
};
}  // namespace

EFI_MODULE_TABLE(kFunctions);
