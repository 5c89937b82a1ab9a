#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#define VRN_HAS_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VRN_HAS_ASAN 1
#endif
#endif
#ifdef VRN_HAS_ASAN
#include <sanitizer/asan_interface.h>
#define VRN_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define VRN_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define VRN_POISON(p, n) ((void)(p), (void)(n))
#define VRN_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

#include <vrnrun/vrnrun.h>

#ifdef VRN_TESTING
#include "alloc_fault_hook.h"
#endif

namespace Vrn::Run {

#ifdef VRN_TESTING
AllocFaultHook g_alloc_fault = nullptr;

void CheckAllocFault() {
    if (g_alloc_fault != nullptr && g_alloc_fault()) throw std::bad_alloc();
}
#else
void CheckAllocFault() {}
#endif

HostValue::~HostValue() = default;

}  // namespace Vrn::Run

namespace Qlt {

namespace {

// Bytes before the first element: the header, rounded to a whole cache
// line. The elements then sit at the heap's own alignment within a line, as
// does any block native code takes with malloc, so whole-block copies
// between the two run with source and destination equally aligned.
constexpr std::size_t kHeader = 64;

// Large arrays come and go in pairs of equal size with every worksheet
// matrix operation (an argument copy, a result). Handing such blocks back
// to the heap returns their pages to the kernel, and the next array of the
// same size pays a page fault and a kernel clear for every page before its
// first element is written. The runtime therefore keeps a few freed large
// blocks for reuse: bounded in count and bytes, oldest dropped first.
class SpareBlocks {
public:
    static constexpr std::size_t kMinBytes = std::size_t{256} << 10;
    static constexpr std::size_t kMaxBlocks = 4;
    static constexpr std::size_t kMaxBytes = std::size_t{64} << 20;

    struct Spare {
        void* raw;             // the whole allocation, header included
        std::size_t capacity;  // doubles it holds
    };

    // A kept block holding n doubles without wasting more than a quarter of
    // itself; raw is null when there is none.
    Spare Take(std::size_t n) {
        if (Bytes(n) < kMinBytes) return {nullptr, 0};
        std::lock_guard lock(m_mutex);
        std::size_t best = m_count;
        for (std::size_t i = 0; i < m_count; ++i) {
            const std::size_t cap = m_slots[i].capacity;
            if (cap >= n && cap - n <= n / 4 && (best == m_count || cap < m_slots[best].capacity)) best = i;
        }
        if (best == m_count) return {nullptr, 0};
        const Spare s = RemoveAt(best);
        VRN_UNPOISON(s.raw, Bytes(s.capacity));
        return s;
    }

    // Keeps the block when it is large and fits the bounds; otherwise frees it.
    void Give(Spare s) {
        const std::size_t bytes = Bytes(s.capacity);
        if (bytes < kMinBytes || bytes > kMaxBytes) return std::free(s.raw);
        Spare dropped[kMaxBlocks];
        std::size_t ndropped = 0;
        {
            std::lock_guard lock(m_mutex);
            while (m_count == kMaxBlocks || m_bytes + bytes > kMaxBytes) dropped[ndropped++] = RemoveAt(0);
            // Stale elements are never to be read: the sanitizer reports any
            // access to a kept block until it is handed out again.
            VRN_POISON(s.raw, bytes);
            m_slots[m_count++] = s;
            m_bytes += bytes;
        }
        for (std::size_t i = 0; i < ndropped; ++i) Free(dropped[i]);
    }

    std::size_t Release() noexcept {
        Spare all[kMaxBlocks];
        std::size_t n;
        {
            std::lock_guard lock(m_mutex);
            n = m_count;
            for (std::size_t i = 0; i < n; ++i) all[i] = m_slots[i];
            m_count = 0;
            m_bytes = 0;
        }
        for (std::size_t i = 0; i < n; ++i) Free(all[i]);
        return n;
    }

    std::size_t Count() {
        std::lock_guard lock(m_mutex);
        return m_count;
    }

private:
    static std::size_t Bytes(std::size_t n) noexcept { return kHeader + n * sizeof(double); }

    static void Free(Spare s) noexcept {
        VRN_UNPOISON(s.raw, Bytes(s.capacity));
        std::free(s.raw);
    }

    // Called with the lock held.
    Spare RemoveAt(std::size_t i) noexcept {
        const Spare s = m_slots[i];
        for (std::size_t j = i + 1; j < m_count; ++j) m_slots[j - 1] = m_slots[j];
        --m_count;
        m_bytes -= Bytes(s.capacity);
        return s;
    }

    std::mutex m_mutex;
    Spare m_slots[kMaxBlocks] = {};
    std::size_t m_count = 0;
    std::size_t m_bytes = 0;
};

// Never destroyed: arrays may be released by static destructors that run
// after this library's own would have.
SpareBlocks& Spares() {
    static SpareBlocks* spares = new SpareBlocks;
    return *spares;
}

// Memory for the header and n doubles, from the kept blocks or the heap;
// the elements zero-filled when asked. Throws std::bad_alloc.
SpareBlocks::Spare Allocate(std::size_t n, bool zero) {
    if (n > (SIZE_MAX - kHeader) / sizeof(double)) throw std::bad_alloc();
    const std::size_t elementBytes = n * sizeof(double);
    SpareBlocks::Spare s = Spares().Take(n);
    if (s.raw) {
        if (zero) std::memset(static_cast<char*>(s.raw) + kHeader, 0, elementBytes);
        return s;
    }
    void* raw = zero ? std::calloc(1, kHeader + elementBytes) : std::malloc(kHeader + elementBytes);
    if (!raw) throw std::bad_alloc();
    return {raw, n};
}

}  // namespace

// One allocation per array: this header, then the elements. `capacity` is
// what the allocation holds; a reused block may carry a shorter `length`.
struct DoubleArray::Block {
    std::atomic<std::uint32_t> refs;
    std::size_t length;
    std::size_t capacity;
    double* elements() noexcept { return reinterpret_cast<double*>(reinterpret_cast<char*>(this) + kHeader); }
};

DoubleArray::DoubleArray(const DoubleArray& o) noexcept : m_block(o.m_block) {
    if (m_block) m_block->refs.fetch_add(1, std::memory_order_relaxed);
}

DoubleArray::~DoubleArray() {
    if (m_block && m_block->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        const std::size_t capacity = m_block->capacity;
        m_block->~Block();
        Spares().Give({m_block, capacity});
    }
}

DoubleArray DoubleArray::make_block(std::size_t n, bool zero) {
    static_assert(sizeof(Block) <= kHeader && kHeader % 64 == 0);
    Vrn::Run::CheckAllocFault();
    const SpareBlocks::Spare s = Allocate(n, zero);
    DoubleArray a;
    a.m_block = new (s.raw) Block{{1}, n, s.capacity};
    return a;
}

DoubleArray DoubleArray::make(std::size_t n) { return make_block(n, true); }

DoubleArray DoubleArray::make_for_overwrite(std::size_t n) { return make_block(n, false); }

std::size_t DoubleArray::release_spare_blocks() noexcept { return Spares().Release(); }

std::size_t DoubleArray::spare_block_count() { return Spares().Count(); }

double* DoubleArray::data() const noexcept { return m_block ? m_block->elements() : nullptr; }
std::size_t DoubleArray::size() const noexcept { return m_block ? m_block->length : 0; }
std::uint32_t DoubleArray::use_count() const noexcept {
    return m_block ? m_block->refs.load(std::memory_order_relaxed) : 0;
}

MatVal::MatVal(int rows, int cols, bool hasImag) : HostValue(kKind), m_rows(rows), m_cols(cols), m_ld(rows) {
    std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    m_rarr = DoubleArray::make(n);
    if (hasImag) m_iarr = DoubleArray::make(n);
}

MatVal::MatVal(DoubleArray re, DoubleArray im, int rows, int cols)
    : MatVal(std::move(re), std::move(im), rows, cols, rows, 0) {}

MatVal::MatVal(DoubleArray re, DoubleArray im, int rows, int cols, int ld, int offset)
    : HostValue(kKind),
      m_rarr(std::move(re)),
      m_iarr(std::move(im)),
      m_offset(offset),
      m_rows(rows),
      m_cols(cols),
      m_ld(ld) {}

Object MatVal::get_1(int i) const {
    if (!m_nested.empty() && m_nested[static_cast<std::size_t>(i)]) return m_nested[static_cast<std::size_t>(i)];
    int row = m_rows ? i % m_rows : 0;
    int col = m_rows ? i / m_rows : 0;
    return Vrn::Run::Number(re(row, col), im(row, col));
}

void MatVal::IteratePtrs(const PtrDelegate& d) const {
    if (m_nested.empty()) return;
    for (int c = 0; c < m_cols; ++c)
        for (int r = 0; r < m_rows; ++r) {
            const Object& v = m_nested[static_cast<std::size_t>(r + c * m_rows)];
            if (v) d(r, c, v);
        }
}

void MatVal::set(int row, int col, double re, double im) {
    m_rarr[Index(row, col)] = re;
    if (m_iarr) m_iarr[Index(row, col)] = im;
}

void MatVal::SetNested(int row, int col, Object value) {
    if (m_nested.empty()) m_nested.resize(static_cast<std::size_t>(m_rows) * static_cast<std::size_t>(m_cols));
    m_nested[static_cast<std::size_t>(row + col * m_rows)] = std::move(value);
}

Object MatVal::Nested(int row, int col) const {
    if (m_nested.empty()) return nullptr;
    return m_nested[static_cast<std::size_t>(row + col * m_rows)];
}

}  // namespace Qlt
