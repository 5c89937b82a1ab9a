#include <cstdlib>
#include <cstring>
#include <new>

#include <vrnrun/vrnrun.h>

namespace Vrn::Run {

AllocFaultHook g_alloc_fault = nullptr;

HostValue::~HostValue() = default;

}  // namespace Vrn::Run

namespace Qlt {

// One allocation per array: the header, then the doubles at a 16-byte
// boundary so the elements suit any vector load.
struct DoubleArray::Block {
    std::atomic<std::uint32_t> refs;
    std::size_t length;
    double* elements() noexcept { return reinterpret_cast<double*>(reinterpret_cast<char*>(this) + kHeader); }
    static constexpr std::size_t kHeader = 16;
};
static_assert(sizeof(std::atomic<std::uint32_t>) + sizeof(std::size_t) <= 16);

DoubleArray::DoubleArray(const DoubleArray& o) noexcept : m_block(o.m_block) {
    if (m_block) m_block->refs.fetch_add(1, std::memory_order_relaxed);
}

DoubleArray::~DoubleArray() {
    if (m_block && m_block->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) {
        m_block->~Block();
        std::free(m_block);
    }
}

DoubleArray DoubleArray::make(std::size_t n) {
    if (n > (SIZE_MAX - Block::kHeader) / sizeof(double)) throw std::bad_alloc();
    Vrn::Run::CheckAllocFault();
    void* raw = std::calloc(1, Block::kHeader + n * sizeof(double));
    if (!raw) throw std::bad_alloc();
    DoubleArray a;
    a.m_block = new (raw) Block{{1}, n};
    return a;
}

double* DoubleArray::data() const noexcept { return m_block ? m_block->elements() : nullptr; }
std::size_t DoubleArray::size() const noexcept { return m_block ? m_block->length : 0; }
std::uint32_t DoubleArray::use_count() const noexcept {
    return m_block ? m_block->refs.load(std::memory_order_relaxed) : 0;
}

MatVal::MatVal(int rows, int cols, bool hasImag)
    : HostValue(kKind), m_rows(rows), m_cols(cols), m_ld(rows) {
    std::size_t n = static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols);
    m_rarr = DoubleArray::make(n);
    if (hasImag) m_iarr = DoubleArray::make(n);
}

MatVal::MatVal(DoubleArray re, DoubleArray im, int rows, int cols)
    : MatVal(std::move(re), std::move(im), rows, cols, rows, 0) {}

MatVal::MatVal(DoubleArray re, DoubleArray im, int rows, int cols, int ld, int offset)
    : HostValue(kKind), m_rarr(std::move(re)), m_iarr(std::move(im)), m_offset(offset),
      m_rows(rows), m_cols(cols), m_ld(ld) {}

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
