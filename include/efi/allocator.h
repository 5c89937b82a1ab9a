// The call-scoped arena. Every record and element block made for one native
// call comes from it and goes, all at once, when the call ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include <efi/export.h>
#include <efi/records.h>

namespace gc {
/// Selects the value-area form of operator new (records).
enum Value : int {};
/// Selects the array-block form of operator new (element storage).
enum Array : int {};
}  // namespace gc

class EFI_API IqlAllocator {
public:
    /// Header of every block on the chain.
    struct link {
        link* next;          ///< next older block, or null
        std::uint32_t size;  ///< array block: bytes requested; value buffer: 12;
                             ///< a value of its own: its room in 8-byte units
    };
    /// A further value buffer: a link, then 96 bytes of room.
    struct membuf {
        link hdr;                            ///< its place on the chain
        alignas(8) unsigned char space[96];  ///< the room values are cut from
        /// Takes the chain head as `next`; size 12 (its room in 8-byte units).
        explicit membuf(link* head) noexcept : hdr{head, 12} {}
        /// The 96 bytes of room.
        unsigned char* buf() noexcept { return space; }
    };

    /// Opens a handle scope and makes this allocator current on this thread.
    IqlAllocator();
    /// Releases the chain and restores the previous allocator and handle scope.
    ~IqlAllocator();
    IqlAllocator(const IqlAllocator&) = delete;
    IqlAllocator& operator=(const IqlAllocator&) = delete;

    /// n bytes from the value area, placed just below the free space of the
    /// current buffer. The room left is compared before m_top moves, so the
    /// pointer never leaves its buffer; a request that does not fit starts a
    /// new buffer (out of line) and abandons the rest of this one.
    void* place(std::size_t n) {
        if (n > static_cast<std::size_t>(m_top - m_limit)) {
            NewBuf(n);
            return m_top;
        }
        m_top -= n;
        return m_top;
    }

    /// A zero-filled block of at least n bytes: a chain block up to 1024
    /// bytes, a pinned host array above (a chain block of any size when this
    /// allocator is not the current one: pinned arrays go with the current
    /// allocator's handle numbers).
    void* allocate_array(unsigned n);

    /// A compact copy of array record src, stored in *dst; with add_imag a
    /// real copy gets a zero-filled imaginary plane. flag is not consulted.
    void cp(sAnyval* src, sAnyval** dst, bool flag, bool add_imag);

    // The three below are each thread's own: calls on two threads each have
    // their allocators, handle numbers and pinned arrays (a module built
    // against headers where they were shared by the process reads them
    // wrongly, and is refused at load). Each starts as it always has.

    /// The current allocator on this thread (the newest live one), or null.
    static EFI_CONSTINIT thread_local IqlAllocator* m_current;
    /// Highest pinned-array handle in use on this thread.
    static EFI_CONSTINIT thread_local std::int32_t m_NextHandle;
    /// m_NextHandle when the current allocator was made.
    static EFI_CONSTINIT thread_local std::int32_t m_init_handle;

    alignas(8) unsigned char m_buf[96];  ///< the first value buffer, inside the allocator
    unsigned char* m_top;                ///< low end of the free space of the current value buffer
    unsigned char* m_limit;              ///< start of the current value buffer
    std::int32_t m_prev_init_handle;     ///< m_init_handle when this allocator was made
    IqlAllocator* m_prev_current;        ///< the allocator current when this one was made
    link* m_blocks;                      ///< newest block of the chain, or null
    std::uint32_t m_prev_nested;         ///< size of the nested-record table when made;
                                         ///< this allocator's entries all lie above it

private:
    /// Starts a new value buffer (a membuf on the chain, or for a request
    /// above 96 bytes a block of its own) and places n bytes at its top.
    /// Raises "out of memory" when no block can be had; the chain is kept.
    void NewBuf(std::size_t n);
};

/// Value form: n bytes from a's value area.
inline void* operator new(std::size_t n, IqlAllocator* a, gc::Value) { return a->place(n); }
/// Runs only when a constructor placed with the value form raises: nothing
/// to give back, the arena keeps the bytes.
inline void operator delete(void*, IqlAllocator*, gc::Value) noexcept {}
/// Array form: a->allocate_array(n), zero-filled.
inline void* operator new(std::size_t n, IqlAllocator* a, gc::Array) {
    return a->allocate_array(static_cast<unsigned>(n));
}
inline void operator delete(void*, IqlAllocator*, gc::Array) noexcept {}
inline void* operator new[](std::size_t n, IqlAllocator* a, gc::Array) {
    return a->allocate_array(static_cast<unsigned>(n));
}
inline void operator delete[](void*, IqlAllocator*, gc::Array) noexcept {}

/// Native-callable entry used by allocate_array for blocks above 1024 bytes.
EFI_API void* PinnedArrayMemoryAlloc(int handle, unsigned bytes);

static_assert(offsetof(IqlAllocator, m_buf) == 0);
static_assert(offsetof(IqlAllocator, m_top) == 96);
static_assert(offsetof(IqlAllocator, m_limit) == 104);
static_assert(offsetof(IqlAllocator, m_prev_init_handle) == 112);
static_assert(offsetof(IqlAllocator, m_prev_current) == 120);
static_assert(offsetof(IqlAllocator, m_blocks) == 128);
static_assert(offsetof(IqlAllocator, m_prev_nested) == 136 && sizeof(IqlAllocator) == 144);
static_assert(sizeof(IqlAllocator::link) == 16 && offsetof(IqlAllocator::link, size) == 8);
static_assert(sizeof(IqlAllocator::membuf) == 16 + 96 && offsetof(IqlAllocator::membuf, space) == 16);
