// A module of deliberately odd declarations and behaviours, for checking
// how the bridge reports what a well-made module never does.
#include <efi/callback.h>
#include <efi/efi.h>

#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

using Efi::User::Value;

namespace {
unsigned g_calls = 0;

// A module whose own initialisation fails, when EFI_TEST_MODULE_INIT_THROWS
// is set: its static constructor throws while the module is being opened.
struct InitCheck {
    InitCheck() {
        if (std::getenv("EFI_TEST_MODULE_INIT_THROWS")) throw std::runtime_error("module initialisation failed");
    }
} g_init_check;
}  // namespace

extern "C" {

/// How many times any function of this module has run.
EFI_MODULE_EXPORT unsigned test_module_calls() { return g_calls; }

std::uint32_t t_any(Value* result, const Value*) {
    ++g_calls;
    result->real = 1.0;
    return 0;
}

/// Returns the code it is given: (argument << 16) | index, from the real part.
std::uint32_t t_code(Value*, const Value* code) {
    ++g_calls;
    return static_cast<std::uint32_t>(code->real);
}

/// Writes nothing to its result.
std::uint32_t t_blank(Value*, const Value*) {
    ++g_calls;
    return 0;
}

/// sum over k of k * x_k, so a mixed-up argument order shows.
std::uint32_t t_weighted10(Value* r, const Value* a1, const Value* a2, const Value* a3, const Value* a4,
                           const Value* a5, const Value* a6, const Value* a7, const Value* a8, const Value* a9,
                           const Value* a10) {
    ++g_calls;
    const Value* a[] = {a1, a2, a3, a4, a5, a6, a7, a8, a9, a10};
    r->real = 0.0;
    for (int k = 0; k < 10; ++k) r->real += (k + 1) * a[k]->real;
    return 0;
}

/// The text it received, returned as is (the bytes after the low-byte cut).
std::uint32_t t_echo(Value* r, const Value* text) {
    ++g_calls;
    r->text = text->text;
    return 0;
}

/// (matrix, file name): the path it received.
std::uint32_t t_hidden2(Value* r, const Value*, const char* path) {
    ++g_calls;
    r->text = const_cast<char*>(path);
    return 0;
}

/// (file name): the first byte of the file, waiting for it as reading
/// does: a named pipe holds the call until another thread writes to it.
std::uint32_t t_first_byte(Value* r, const char* path) {
    ++g_calls;
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return 1;
    const int c = std::fgetc(f);
    std::fclose(f);
    r->real = c;
    return 0;
}

/// A rows x cols matrix (from two scalars) with element k = k + 1; complex
/// parts -(k + 1) when a third scalar is nonzero. Both parts from malloc.
std::uint32_t t_shape(Value* r, const Value* rows, const Value* cols, const Value* complex) {
    ++g_calls;
    auto nr = static_cast<std::uint32_t>(rows->real), nc = static_cast<std::uint32_t>(cols->real);
    std::size_t n = static_cast<std::size_t>(nr) * nc;
    auto part = [&](double sign) {
        auto** p = static_cast<double**>(std::malloc(sizeof(double*) * (nc ? nc : 1)));
        // No columns, no entry 0: then there is no block to hand over.
        if (nc == 0) return p;
        auto* block = static_cast<double*>(std::malloc(sizeof(double) * (n ? n : 1)));
        for (std::size_t k = 0; k < n; ++k) block[k] = sign * static_cast<double>(k + 1);
        for (std::uint32_t c = 0; c < nc; ++c) p[c] = block + c * nr;
        return p;
    };
    r->array.rows = nr;
    r->array.cols = nc;
    r->array.realCols = part(1.0);
    r->array.imagCols = complex->real != 0.0 ? part(-1.0) : nullptr;
    return 0;
}

/// t_masked(mode, b, c) = 1/b computed in a masked region, + (1/c)i computed
/// after it. Modes: 0 one region; 1 the division in an outer region after an
/// inner one has ended; 2 a region left by an exception; 3 both divisions in
/// x87 arithmetic. Volatile stores keep each division on its side of the
/// region's ends.
std::uint32_t t_masked(Value* r, const Value* mode, const Value* b, const Value* c) {
    ++g_calls;
    volatile double inside = 0.0;
    const int m = static_cast<int>(mode->real);
    if (m == 0) {
        Efi::CMaskedTraps masked;
        inside = 1.0 / b->real;
    } else if (m == 1) {
        Efi::CMaskedTraps outer;
        { Efi::CMaskedTraps inner; }
        inside = 1.0 / b->real;
    } else if (m == 2) {
        try {
            Efi::CMaskedTraps masked;
            inside = 1.0 / b->real;
            Efi::Throw("must be positive", 1);
        } catch (...) {
        }
    } else {
        {
            Efi::CMaskedTraps masked;
            volatile long double q = 1.0L / static_cast<long double>(b->real);
            inside = static_cast<double>(q);
        }
        volatile long double after = 1.0L / static_cast<long double>(c->real);
        r->real = inside;
        r->imag = static_cast<double>(after);
        return 0;
    }
    volatile double after = 1.0 / c->real;
    r->real = inside;
    r->imag = after;
    return 0;
}

/// (number, matrix, text): 1.
std::uint32_t t_three(Value* r, const Value*, const Value*, const Value*) {
    ++g_calls;
    r->real = 1.0;
    return 0;
}

/// A text result in UTF-8, as a module's own texts are written.
std::uint32_t t_utf8(Value* r, const Value*) {
    ++g_calls;
    r->text = const_cast<char*>("\u221a2 \u2248 1.414, caf\u00e9");
    return 0;
}

/// Leaves by a C++ exception that is no worksheet error: kind 0 a
/// std::runtime_error("boom"), otherwise an int.
std::uint32_t t_throw(Value*, const Value* kind) {
    ++g_calls;
    if (kind->real == 0.0) throw std::runtime_error("boom");
    throw 42;
}

/// Ends the process at once, as a crashing module would.
std::uint32_t t_kill(Value*, const Value*) {
    ++g_calls;
    std::raise(SIGKILL);
    return 0;
}

/// t_nest(n): calls the host function "t_nest" (normally this one again) at
/// n - 1 until n reaches 0. The real part of the result counts the levels
/// below; the imaginary part is the address of a local variable of the
/// deepest level, so two chains of different depth started from the same
/// place tell how much stack one level takes.
std::uint32_t t_nest(Value* r, const Value* n) {
    ++g_calls;
    volatile char here = 0;
    if (n->real < 1.0) {
        r->real = 0.0;
        r->imag = static_cast<double>(reinterpret_cast<std::uintptr_t>(&here));
        return 0;
    }
    qlComplex below{}, arg{n->real - 1.0, 0.0};
    Efi::call_host("t_nest", arg, below, 1);
    r->real = below.real + 1.0;
    r->imag = below.imag;
    return 0;
}

/// t_word(mode): the floating-point state it found at entry, as the real
/// part the x87 control word plus 65536 times the x87 flags (but inexact,
/// which a sweep leaves from the element before), as the
/// imaginary part MXCSR; then mode 1 loads a word of its own in both units
/// (everything masked), mode 2 leaves an inexact flag pending in both, and
/// mode 0 changes nothing.
std::uint32_t t_word(Value* r, const Value* mode) {
    ++g_calls;
    std::uint16_t cw, sw;
    std::uint32_t mxcsr;
    asm volatile("fnstcw %0" : "=m"(cw));
    asm volatile("fnstsw %0" : "=m"(sw));
    asm volatile("stmxcsr %0" : "=m"(mxcsr));
    r->real = cw + 65536.0 * (sw & 0x1F);
    r->imag = mxcsr;
    if (mode->real == 1.0) {
        const std::uint16_t masked = 0x037F;
        const std::uint32_t all = 0x1F80;
        asm volatile("fldcw %0" ::"m"(masked));
        asm volatile("ldmxcsr %0" ::"m"(all));
    } else if (mode->real == 2.0) {
        volatile double third = 1.0;
        third = third / 3.0;
        volatile long double third_x87 = 1.0L;
        third_x87 = third_x87 / 3.0L;
    }
    return 0;
}

/// t_memory(x): 1 when the call memory it runs in is fresh (nothing on its
/// chain, its first buffer untouched), else 0; then takes a block and a
/// record from it.
std::uint32_t t_memory(Value* r, const Value*) {
    ++g_calls;
    IqlAllocator* a = IqlAllocator::m_current;
    r->real = a->m_blocks == nullptr && a->m_top == a->m_buf + sizeof a->m_buf ? 1.0 : 0.0;
    a->allocate_array(16);
    string_val::mk(a, u"kept until the call ends");
    return 0;
}

/// t_crash(how): ends the process as a broken module does, during a call:
/// 0 a store to an unmapped address (SIGSEGV; not null, which the
/// undefined-behaviour checks would catch first), 1 abort(), 2 exit(3),
/// 3 an endless loop, 4 an illegal instruction (SIGILL), 5 SIGBUS.
std::uint32_t t_crash(Value* r, const Value* how) {
    ++g_calls;
    switch (static_cast<int>(how->real)) {
        case 0: {
            volatile std::uintptr_t unmapped = 64;  // an address the compiler does not see through
            *reinterpret_cast<volatile int*>(unmapped) = 1;
            break;
        }
        case 1: std::abort();
        case 2: std::exit(3);
        case 3:
            for (;;) asm volatile("" ::: "memory");
        case 4: __builtin_trap();
        case 5: std::raise(SIGBUS); break;
    }
    r->real = 0.0;
    return 0;
}

/// t_pid(x): the process the call runs in, and how many calls of t_pid it
/// ran before (process-wide state of the module).
std::uint32_t t_pid(Value* r, const Value*) {
    static int calls = 0;
    r->real = static_cast<double>(::getpid());
    r->imag = calls++;
    return 0;
}

}  // extern "C"

namespace {

template <class F>
efi_entry_fn Entry(F* f) {
    return reinterpret_cast<efi_entry_fn>(f);
}

const std::int32_t kOne[] = {1};
const std::int32_t kEleven[] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
const std::int32_t kTen[] = {1, 1, 1, 1, 1, 1, 1, 1, 1, 1};
const std::int32_t kBadCode[] = {5};
const std::int32_t kText[] = {8};
const std::int32_t kMatrixFile[] = {2, 14};
const std::int32_t kFileIn[] = {13};
const std::int32_t kShape[] = {1, 1, 1};
const std::int32_t kThree[] = {1, 2, 8};
const char* const kThreeMessages[] = {"first failure", "second failure", "third failure"};

const efi_function_entry kFunctions[] = {
    {"t_none", Entry(t_any), 1, 0, nullptr, 0, nullptr},
    {"t_eleven", Entry(t_any), 1, 11, kEleven, 0, nullptr},
    {"t_bad_arg", Entry(t_any), 1, 1, kBadCode, 0, nullptr},
    {"t_ret0", Entry(t_any), 0, 1, kOne, 0, nullptr},
    {"t_ret3", Entry(t_any), 3, 1, kOne, 0, nullptr},
    {"t_code", Entry(t_code), 1, 1, kOne, 3, kThreeMessages},
    {"t_code_untabled", Entry(t_code), 1, 1, kOne, 0, nullptr},
    {"t_blank", Entry(t_blank), 1, 1, kOne, 0, nullptr},
    {"t_blank_matrix", Entry(t_blank), 2, 1, kOne, 0, nullptr},
    {"t_weighted10", Entry(t_weighted10), 1, 10, kTen, 0, nullptr},
    {"t_echo", Entry(t_echo), 8, 1, kText, 0, nullptr},
    {"t_hidden2", Entry(t_hidden2), 8, 2, kMatrixFile, 0, nullptr},
    {"t_shape", Entry(t_shape), 2, 3, kShape, 0, nullptr},
    {"t_three", Entry(t_three), 1, 3, kThree, 0, nullptr},
    {"t_utf8", Entry(t_utf8), 8, 1, kOne, 0, nullptr},
    {"t_throw", Entry(t_throw), 1, 1, kOne, 0, nullptr},
    {"t_kill", Entry(t_kill), 1, 1, kOne, 0, nullptr},
    {"t_nest", Entry(t_nest), 1, 1, kOne, 0, nullptr},
    {"t_masked", Entry(t_masked), 1, 3, kShape, 0, nullptr},
    {"t_word", Entry(t_word), 1, 1, kOne, 0, nullptr},
    {"t_memory", Entry(t_memory), 1, 1, kOne, 0, nullptr},
    {"t_first_byte", Entry(t_first_byte), 1, 1, kFileIn, 0, nullptr},
    {"t_crash", Entry(t_crash), 1, 1, kOne, 0, nullptr},
    {"t_pid", Entry(t_pid), 1, 1, kOne, 0, nullptr},
};

}  // namespace

EFI_MODULE_TABLE(kFunctions);
