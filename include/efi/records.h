// Native value records: the plain data through which extension code sees
// worksheet values. Separately built code reads and writes these layouts, so
// every size, offset and tag below is checked when the library is compiled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include <efi/export.h>

class IqlAllocator;

/// Empty head type: a pointer to it stands for a pointer to any record.
struct Anyval {};
using sAnyval = Anyval;

/// Complex scalar.
struct qlComplex {
    double real;  ///< real part
    double imag;  ///< imaginary part
};
/// The complex scalar under the name of its argument role.
using aComplex = qlComplex;

/// Array record: a matrix or vector, real or complex, stored by columns with
/// leading dimension `m_anr`. Element (i, j) is m_re[i + j * m_anr].
struct array_val {
    std::int32_t m_anr;   ///< rows stored per column (>= m_rows)
    std::uint32_t m_tag;  ///< always kTag
    std::int32_t m_rows;  ///< number of rows
    std::int32_t m_cols;  ///< number of columns
    double* m_re;         ///< real plane
    double* m_im;         ///< imaginary plane, null for a real record

    static constexpr std::uint32_t kTag = 0x7FF40000u;

    /// Uninitialised record, for placing in a value area.
    array_val() noexcept = default;

    /// 0.0 for ever: the imaginary part of every element of a real record.
    EFI_API static const double m_zero;

    /// Places a new record in a's value area referring to the given planes
    /// (no copy); m_anr = rows.
    EFI_API static array_val* mk(IqlAllocator* a, unsigned rows, unsigned cols, double* re, double* im);

    /// A compact copy of src in a (m_anr = src->m_rows, planes packed).
    EFI_API array_val(IqlAllocator* a, array_val* src);

    /// A compact copy of one plane of this record, taken from a.
    EFI_API double* Pack(IqlAllocator* a, double* plane) const;

    /// Number of columns.
    int cols() const noexcept { return m_cols; }
    /// Leading dimension.
    int anr() const noexcept { return m_anr; }
    /// True exactly when there is no imaginary plane (an all-zero plane counts).
    bool isRealMatrix() const noexcept { return m_im == nullptr; }
    /// Makes im the imaginary plane; no copy, no check.
    void set_imag_vec(double* im) noexcept { m_im = im; }
    /// Stores re + i*im at element index k; a real record gains a zero-filled
    /// imaginary plane from the current allocator only when im != 0.0.
    EFI_API void set_element(int k, double re, double im);
};
using sMatrix = array_val;
using aMatrix = array_val;
using aRealMatrix = array_val;
using aVector = array_val;
using aRealVec = array_val;

/// A nested element: stands in a real plane in place of a double. Read as a
/// double it is a NaN whose high word is 0xFFFFFFFF.
struct dblptr {
    std::uint32_t ptr;     ///< 0: no record; otherwise 1 + index in the nested-record table
    std::uint32_t marker;  ///< always kMarker

    static constexpr std::uint32_t kMarker = 0xFFFFFFFFu;

    /// Enters `record` in the nested-record table and returns the element
    /// that refers to it; a null record gives ptr 0. The entry lives exactly
    /// as long as the allocator `a` the record was made in (the current one
    /// when `a` is null), whether or not `a` is the current allocator.
    EFI_API static dblptr make(IqlAllocator* a, sAnyval* record);
    /// The record this element refers to, or null (ptr 0, or a handle whose
    /// allocator has gone).
    EFI_API sAnyval* get() const noexcept;
};

/// Narrow string record. `m_text` is NUL-terminated; `m_length` counts the
/// UTF-16 code units of the text it was made from.
struct string_val {
    char* m_text;            ///< NUL-terminated narrow text
    std::uint32_t m_length;  ///< UTF-16 code units of the source text

    /// Places a string record in a's value area holding the narrow (current
    /// locale) form of `text`, at most m_length bytes plus the NUL. The text
    /// block is released with the allocator.
    EFI_API static string_val* mk(IqlAllocator* a, const char16_t* text);
};
using sString = string_val;
using aString = string_val;

namespace Efi {
/// The tag rule: true when the record's second 32-bit word, masked with
/// 0x7FFC0000, is 0x7FF40000 (an array record); false for a complex scalar.
EFI_API bool IsArrayRecord(const sAnyval* record) noexcept;
}  // namespace Efi

static_assert(sizeof(qlComplex) == 16 && offsetof(qlComplex, imag) == 8);
static_assert(sizeof(array_val) == 32);
static_assert(array_val::kTag == 0x7FF40000u && dblptr::kMarker == 0xFFFFFFFFu);
static_assert(std::is_standard_layout_v<array_val> && std::is_trivially_copyable_v<array_val>);
static_assert(std::is_standard_layout_v<string_val> && std::is_standard_layout_v<dblptr>);
static_assert(std::is_empty_v<Anyval>);
static_assert(offsetof(array_val, m_anr) == 0 && offsetof(array_val, m_tag) == 4);
static_assert(offsetof(array_val, m_rows) == 8 && offsetof(array_val, m_cols) == 12);
static_assert(offsetof(array_val, m_re) == 16 && offsetof(array_val, m_im) == 24);
static_assert(sizeof(dblptr) == 8 && offsetof(dblptr, marker) == 4);
static_assert(alignof(array_val) == 8 && alignof(qlComplex) == 8);
static_assert(sizeof(string_val) == 16 && offsetof(string_val, m_length) == 8);
