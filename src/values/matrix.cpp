// Matrix helper routines on array records.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>

#include <efi/host/requirements.h>
#include <efi/masked_traps.h>
#include <efi/matrix.h>

#include "values/chain.h"

namespace {

// Element (i, j) of a plane with leading dimension anr.
inline double& At(double* plane, const array_val& m, std::int64_t i, std::int64_t j) { return plane[i + j * m.m_anr]; }

// The imaginary part of element (i, j), m_zero for a real record.
inline double ImagAt(const array_val& m, std::int64_t i, std::int64_t j) {
    return m.m_im ? m.m_im[i + j * m.m_anr] : array_val::m_zero;
}

// Whether every element the counts name lies inside planes of m_anr x m_cols.
bool Readable(const array_val* m) {
    if (m == nullptr || m->m_rows < 0 || m->m_cols < 0) return false;
    if (m->m_rows == 0 || m->m_cols == 0) return true;
    return m->m_anr >= m->m_rows && m->m_re != nullptr;
}

constexpr std::uint64_t kMagnitudeBits = 0x7FFFFFFFFFFFFFFFu;
constexpr std::uint64_t kInfinityBits = 0x7FF0000000000000u;

// The bits of the largest |element| of column c, real and imaginary parts
// alike: the bit patterns of non-negative doubles order as their values, and
// integer work raises no floating-point exception (a NaN gives bits above
// infinity's).
std::uint64_t LargestMagnitudeBits(const array_val& m, std::int64_t c) {
    std::uint64_t top = 0;
    for (std::int64_t r = 0; r < m.m_rows; ++r) {
        top = std::max(top, std::bit_cast<std::uint64_t>(At(m.m_re, m, r, c)) & kMagnitudeBits);
        if (m.m_im) top = std::max(top, std::bit_cast<std::uint64_t>(At(m.m_im, m, r, c)) & kMagnitudeBits);
    }
    return top;
}

// The plain sum of squares of column c, which may overflow: formed in a
// masked region, so that it neither traps nor leaves a flag behind.
__attribute__((noinline)) double SumWithTrapsMasked(const array_val& m, std::int64_t c) {
    Efi::CMaskedTraps masked;
    double s = 0;
    for (std::int64_t r = 0; r < m.m_rows; ++r) {
        const double re = At(m.m_re, m, r, c), im = ImagAt(m, r, c);
        s += im * im + re * re;
    }
    asm volatile("" : "+x"(s));  // the sum is complete before the region ends
    return s;
}

// Whether column c's plain sum of squares, whose largest element is top
// (finite, not zero), is a normal double. Within 2^+-480 it must be: every
// square lies within 2^+-960 and there are fewer than 2^32 of them.
bool PlainSumFits(const array_val& m, std::int64_t c, double top) {
    if (top >= 0x1p-480 && top <= 0x1p480) return true;
    const double s = SumWithTrapsMasked(m, c);
    return s <= std::numeric_limits<double>::max() && s >= std::numeric_limits<double>::min();
}

// A result count the records can hold.
bool FitsCount(std::int64_t n) { return n <= std::numeric_limits<std::int32_t>::max(); }

// A zero-filled compact plane of rows x cols from the context's allocator.
double* NewPlane(Efi::EfiCallContext* ctx, std::int64_t rows, std::int64_t cols) {
    return static_cast<double*>(ctx->allocator->allocate_array(Efi::detail::PlaneBytes(rows, cols)));
}

// Copies the real (and, with with_imag, imaginary) parts of src into
// the compact planes of `out`, starting at column `offset`.
void CopyColumns(const array_val& src, array_val& out, std::int64_t offset, bool with_imag) {
    for (std::int64_t j = 0; j < src.m_cols; ++j)
        for (std::int64_t i = 0; i < out.m_rows; ++i) {
            At(out.m_re, out, i, offset + j) = At(src.m_re, src, i, j);
            if (with_imag) At(out.m_im, out, i, offset + j) = ImagAt(src, i, j);
        }
}

}  // namespace

void matrix_copy(Efi::EfiCallContext* ctx, aMatrix* src, aMatrix** dst, bool add_imag) {
    if (ctx == nullptr || dst == nullptr || !Readable(src)) return;
    ctx->allocator->cp(reinterpret_cast<sAnyval*>(src), reinterpret_cast<sAnyval**>(dst), true, add_imag);
}

void matrix_copy_add_imag(Efi::EfiCallContext* ctx, aMatrix* src, aMatrix** dst) { matrix_copy(ctx, src, dst, true); }

bool symmetry(aMatrix* m) {
    if (!Readable(m) || m->m_rows != m->m_cols) return false;
    const std::int64_t n = m->m_rows;
    for (std::int64_t i = 0; i + 1 < n; ++i)
        for (std::int64_t j = i + 1; j < n; ++j) {
            if (!(At(m->m_re, *m, j, i) == At(m->m_re, *m, i, j))) return false;
            if (!(ImagAt(*m, j, i) == ImagAt(*m, i, j))) return false;
        }
    return true;
}

void renormalize_matrix_cols(aMatrix* m) {
    if (!Readable(m)) return;
    for (std::int64_t c = 0; c < m->m_cols; ++c) {
        const std::uint64_t top = LargestMagnitudeBits(*m, c);
        // A column of zeros ends the routine: it and all later ones stay.
        if (top == 0) return;
        // Columns whose sum of squares stays in the normal range are scaled
        // exactly as they always have been; the others are first brought
        // near 1 by a power of two (exact), which changes nothing but the
        // exponents the sum passes through.
        int shift = 0;
        if (top < kInfinityBits && !PlainSumFits(*m, c, std::bit_cast<double>(top)))
            shift = std::ilogb(std::bit_cast<double>(top));
        const auto scaled = [shift](double v) { return shift == 0 ? v : std::ldexp(v, -shift); };
        double s = 0;
        for (std::int64_t r = 0; r < m->m_rows; ++r) {
            const double re = scaled(At(m->m_re, *m, r, c)), im = scaled(ImagAt(*m, r, c));
            s += im * im + re * re;
        }
        // Multiplying by the rounded reciprocal, not dividing: 3/5 becomes
        // 0.6000000000000001, as callers of this routine have always seen.
        const double f = 1.0 / std::sqrt(s);
        for (std::int64_t r = 0; r < m->m_rows; ++r) {
            // set_element gives a real record its imaginary plane the first
            // time a scaled imaginary part is non-zero.
            const double re = scaled(At(m->m_re, *m, r, c)), im = scaled(ImagAt(*m, r, c));
            m->set_element(static_cast<int>(r + c * m->m_anr), f * re, f * im);
        }
    }
}

bool pack_two_rr(Efi::EfiCallContext* ctx, aMatrix* top, aMatrix* bottom, aMatrix** out) {
    if (ctx == nullptr || out == nullptr || !Readable(top) || !Readable(bottom)) return false;
    const std::int64_t rows = std::int64_t{top->m_rows} + bottom->m_rows;
    const std::int64_t cols = top->m_cols;
    if (bottom->m_rows > 0 && bottom->m_cols < cols) return false;
    if (!FitsCount(rows)) return false;
    array_val* result = array_val::mk(ctx->allocator, static_cast<unsigned>(rows), static_cast<unsigned>(cols),
                                      NewPlane(ctx, rows, cols), nullptr);
    for (std::int64_t j = 0; j < cols; ++j) {
        for (std::int64_t i = 0; i < top->m_rows; ++i) At(result->m_re, *result, i, j) = At(top->m_re, *top, i, j);
        for (std::int64_t i = 0; i < bottom->m_rows; ++i)
            At(result->m_re, *result, top->m_rows + i, j) = At(bottom->m_re, *bottom, i, j);
    }
    *out = result;
    return true;
}

bool pack_two_r(Efi::EfiCallContext* ctx, aMatrix* left, aMatrix* right, aMatrix** out) {
    if (ctx == nullptr || out == nullptr || !Readable(left) || !Readable(right)) return false;
    const std::int64_t rows = left->m_rows;
    const std::int64_t cols = std::int64_t{left->m_cols} + right->m_cols;
    if (right->m_cols > 0 && right->m_rows < rows) return false;
    if (!FitsCount(cols)) return false;
    array_val* result = array_val::mk(ctx->allocator, static_cast<unsigned>(rows), static_cast<unsigned>(cols),
                                      NewPlane(ctx, rows, cols), nullptr);
    CopyColumns(*left, *result, 0, false);
    CopyColumns(*right, *result, left->m_cols, false);
    *out = result;
    return true;
}

bool pack_three_c(Efi::EfiCallContext* ctx, aMatrix* a, aMatrix* b, aMatrix* c, aMatrix** out) {
    if (ctx == nullptr || out == nullptr || !Readable(a) || !Readable(b) || !Readable(c)) return false;
    const std::int64_t rows = a->m_rows;
    const std::int64_t cols = std::int64_t{a->m_cols} + b->m_cols + c->m_cols;
    if ((b->m_cols > 0 && b->m_rows < rows) || (c->m_cols > 0 && c->m_rows < rows)) return false;
    if (!FitsCount(cols)) return false;
    double* re = NewPlane(ctx, rows, cols);
    double* im = NewPlane(ctx, rows, cols);
    array_val* result = array_val::mk(ctx->allocator, static_cast<unsigned>(rows), static_cast<unsigned>(cols), re, im);
    CopyColumns(*a, *result, 0, true);
    CopyColumns(*b, *result, a->m_cols, true);
    CopyColumns(*c, *result, std::int64_t{a->m_cols} + b->m_cols, true);
    *out = result;
    return true;
}

const char* MtoVcol(aMatrix* m, int col, aVector* v) {
    if (m == nullptr || v == nullptr) return "unknown error";
    if (m->m_rows < 1 || m->m_cols < 1 || !Readable(m)) return "invalid dimension";
    if (col < 0 || col > m->m_cols - 1) return "index out of bounds";
    // v is addressed by element index: its planes hold m_anr x m_cols values.
    if (v->m_anr < 0 || v->m_cols < 0 || std::int64_t{v->m_anr} * v->m_cols < m->m_rows) return "invalid dimension";
    for (std::int64_t i = 0; i < m->m_rows; ++i) v->set_element(static_cast<int>(i), At(m->m_re, *m, i, col), 0.0);
    return nullptr;
}

void zero_col(int col, int first_row, aMatrix* m) {
    if (!Readable(m) || col < 0 || col >= m->m_cols) return;
    for (std::int64_t r = first_row < 0 ? 0 : first_row; r < m->m_rows; ++r) At(m->m_re, *m, r, col) = 0.0;
}

bool pure_real(const aMatrix* m) {
    if (m == nullptr) return false;
    if (m->m_im == nullptr) return true;
    if (!Readable(m)) return false;
    for (std::int64_t j = 0; j < m->m_cols; ++j)
        for (std::int64_t i = 0; i < m->m_rows; ++i)
            if (!(At(m->m_im, *m, i, j) == 0.0)) return false;
    // The plane's storage stays with its allocator.
    const_cast<aMatrix*>(m)->m_im = nullptr;
    return true;
}

namespace Efi::Error {

bool is_rmatrix(const Vrn::Run::Object& v, const ofsize_t<Qlt::MatVal>& test, Vrn::Run::Ref<Qlt::MatVal>* ret) {
    Qlt::MatVal* m = v.as<Qlt::MatVal>();
    if (!m || !m->IsRealMatrix()) return false;
    if (test.cols != -1 && m->Cols() != test.cols) return false;
    if (test.rows != -1 && m->Rows() != test.rows) return false;
    if (ret) *ret = Vrn::Run::Ref<Qlt::MatVal>(m);
    return true;
}

}  // namespace Efi::Error
