/* A module as one built against the headers of before 0.2, where the call
   allocator's statics were the process's: it reads IqlAllocator::m_current
   as a plain variable. Linked without the library: the static linker would
   refuse to pair this reference with the thread-local definition, which
   the dynamic linker binds to it without a word. */
#include <efi/module.h>

extern void* _ZN12IqlAllocator9m_currentE;

typedef struct {
    double real, imag;
} number;

static uint32_t has_memory(number* r, const number* x) {
    (void)x;
    r->real = _ZN12IqlAllocator9m_currentE != 0;
    r->imag = 0.0;
    return 0;
}

static const int32_t kNumber[] = {1};
static const efi_function_entry kFunctions[] = {
    {"has_memory", (efi_entry_fn)&has_memory, 1, 1, kNumber, 0, 0},
};
EFI_MODULE_TABLE(kFunctions);
