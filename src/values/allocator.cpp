// The call-scoped arena: value buffers cut downward, array blocks on a chain,
// everything released in one sweep when the allocator goes.
#include <cstdlib>
#include <cstring>
#include <new>

#include <efi/allocator.h>
#include <efi/errors.h>

#include "asan.h"
#include "values/alloc_hook.h"
#include "values/chain.h"

namespace {

// Room a buffer gives up is never handed out again; under the address
// sanitizer touching it is reported. The inline buffer is made whole again
// when the allocator goes, since its bytes are the caller's frame.
inline void PoisonAbandoned([[maybe_unused]] unsigned char* from, [[maybe_unused]] unsigned char* to) {
#ifdef EFI_ASAN
    if (to > from) __asan_poison_memory_region(from, static_cast<std::size_t>(to - from));
#endif
}
inline void UnpoisonInline([[maybe_unused]] unsigned char* buf, [[maybe_unused]] std::size_t n) {
#ifdef EFI_ASAN
    __asan_unpoison_memory_region(buf, n);
#endif
}

}  // namespace

namespace Efi::detail {

#ifdef EFI_TESTING
BlockAllocFn g_block_alloc = &std::malloc;
#endif

void* ChainBlock(IqlAllocator& a, std::size_t payload, std::uint32_t size, bool zero) {
    const std::size_t rounded = (payload + 7) & ~std::size_t{7};
    const std::size_t total = sizeof(IqlAllocator::link) + rounded;
    void* block = AllocBlock(total);
    if (block == nullptr) Efi::Throw("out of memory", Efi::kNoArgument);
    if (zero) std::memset(block, 0, total);
    auto* head = new (block) IqlAllocator::link{a.m_blocks, size};
    a.m_blocks = head;
    return head + 1;
}

unsigned PlaneBytes(std::int64_t rows, std::int64_t cols) {
    constexpr std::uint64_t kMaxDoubles = 0xFFFFFFFFu / 8;
    const std::uint64_t r = rows > 0 ? static_cast<std::uint64_t>(rows) : 0;
    const std::uint64_t c = cols > 0 ? static_cast<std::uint64_t>(cols) : 0;
    if (c != 0 && r > kMaxDoubles / c) Efi::Throw("out of memory", Efi::kNoArgument);
    return static_cast<unsigned>(r * c * 8);
}

}  // namespace Efi::detail

// Initial-exec: every call reads and writes them twice, and a module's
// access need not go through the resolver either.
constinit thread_local IqlAllocator* IqlAllocator::m_current [[gnu::tls_model("initial-exec")]] = nullptr;
constinit thread_local std::int32_t IqlAllocator::m_NextHandle [[gnu::tls_model("initial-exec")]] = -1;
constinit thread_local std::int32_t IqlAllocator::m_init_handle [[gnu::tls_model("initial-exec")]] = -1;

IqlAllocator::IqlAllocator() {
    m_top = m_buf + sizeof m_buf;
    m_limit = m_buf;
    m_prev_init_handle = m_init_handle;
    m_prev_current = m_current;
    m_blocks = nullptr;
    m_prev_nested = Efi::detail::NestedTableSize();
    m_init_handle = m_NextHandle;
    m_current = this;
}

IqlAllocator::~IqlAllocator() {
    UnpoisonInline(m_buf, sizeof m_buf);
    while (m_blocks != nullptr) {
        link* older = m_blocks->next;
        std::free(m_blocks);
        m_blocks = older;
    }
    // The handle numbers go back for reuse, and with them the table's hold
    // on their arrays: kept until reuse, a call's large blocks would stay
    // alive long after the call.
    if (m_NextHandle != m_init_handle) Efi::detail::PinnedRelease(m_init_handle);
    m_NextHandle = m_init_handle;
    m_init_handle = m_prev_init_handle;
    m_current = m_prev_current;
    Efi::detail::NestedTableRelease(this, m_prev_nested);
}

void IqlAllocator::NewBuf(std::size_t n) {
    constexpr std::size_t kRoom = sizeof(membuf::space);
    if (n <= kRoom) {
        void* block = Efi::detail::AllocBlock(sizeof(membuf));
        if (block == nullptr) Efi::Throw("out of memory", Efi::kNoArgument);
        PoisonAbandoned(m_limit, m_top);
        auto* buffer = new (block) membuf(m_blocks);
        m_blocks = &buffer->hdr;
        m_limit = buffer->buf();
        m_top = m_limit + kRoom - n;
        return;
    }
    // A value larger than a whole buffer gets a block of its own, which is
    // then full: the next value starts a fresh buffer.
    constexpr std::size_t kMaxValue = 0xFFFFFFFFu;
    if (n > kMaxValue) Efi::Throw("out of memory", Efi::kNoArgument);
    const std::size_t rounded = (n + 7) & ~std::size_t{7};
    void* block = Efi::detail::AllocBlock(sizeof(link) + rounded);
    if (block == nullptr) Efi::Throw("out of memory", Efi::kNoArgument);
    PoisonAbandoned(m_limit, m_top);
    auto* head = new (block) link{m_blocks, static_cast<std::uint32_t>(rounded / 8)};
    m_blocks = head;
    m_limit = m_top = reinterpret_cast<unsigned char*>(head + 1);
}

namespace {

// Array blocks above 1024 bytes are pinned host arrays under the next
// handle number; smaller ones are heap blocks on a's chain. Handle numbers
// belong to the current allocator, whose end releases them: an outer
// allocator asked while a newer one is current takes a chain block of any
// size instead, which lives exactly as long as it does.
void* ArrayBlock(IqlAllocator& a, unsigned n, bool zero) {
    if (n > 1024 && &a == IqlAllocator::m_current) {
        ++IqlAllocator::m_NextHandle;
        try {
            return zero ? PinnedArrayMemoryAlloc(IqlAllocator::m_NextHandle, n)
                        : Efi::detail::PinnedAlloc(IqlAllocator::m_NextHandle, n, false);
        } catch (const std::bad_alloc&) {
            // The number was never given an array: keep the handles in use
            // within the table so unref and lookup stay inside it. A host
            // array refused is call memory exhausted, as a chain block is.
            --IqlAllocator::m_NextHandle;
            Efi::Throw("out of memory", Efi::kNoArgument);
        } catch (...) {
            --IqlAllocator::m_NextHandle;
            throw;
        }
    }
    return Efi::detail::ChainBlock(a, n, n, zero);
}

}  // namespace

void* IqlAllocator::allocate_array(unsigned n) { return ArrayBlock(*this, n, true); }

void* Efi::detail::AllocateArrayForOverwrite(IqlAllocator& a, unsigned n) { return ArrayBlock(a, n, false); }

void IqlAllocator::cp(sAnyval* src, sAnyval** dst, bool /*flag*/, bool add_imag) {
    auto* from = reinterpret_cast<array_val*>(src);
    auto* copy = new (this, gc::Value(1)) array_val(this, from);
    *dst = reinterpret_cast<sAnyval*>(copy);
    if (add_imag && copy->isRealMatrix()) {
        // The plane comes from the allocator that holds the copy, which need
        // not be the current one: taken from a newer allocator it would go
        // when that one ends and leave the copy pointing at freed memory.
        const unsigned bytes = Efi::detail::PlaneBytes(copy->anr(), copy->cols());
        copy->set_imag_vec(static_cast<double*>(operator new(bytes, this, gc::Array(0))));
    }
}
