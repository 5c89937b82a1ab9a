// The host's numeric value types: numbers, matrices and arrays of doubles.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include <vrnrun/object.h>

namespace Qlt {

using Vrn::Run::Object;

/// A host array of doubles: reference counted, fixed address for its whole
/// life, knows its length. The host never moves one, so holding a reference
/// is all that pinning needs.
class VRN_API DoubleArray {
public:
    DoubleArray() noexcept = default;
    DoubleArray(std::nullptr_t) noexcept {}
    DoubleArray(const DoubleArray& o) noexcept;
    DoubleArray(DoubleArray&& o) noexcept : m_block(o.m_block) { o.m_block = nullptr; }
    DoubleArray& operator=(DoubleArray o) noexcept {
        std::swap(m_block, o.m_block);
        return *this;
    }
    ~DoubleArray();

    /// A new zero-filled array of n doubles. Throws std::bad_alloc.
    static DoubleArray make(std::size_t n);
    /// A new array of n doubles whose elements hold no particular values,
    /// for a caller that writes every element before the array is read or
    /// shared. Throws std::bad_alloc.
    static DoubleArray make_for_overwrite(std::size_t n);
    /// Frees the large blocks the runtime keeps for reuse after their arrays
    /// were released; the number freed.
    static std::size_t release_spare_blocks() noexcept;
    /// How many released large blocks are kept for reuse.
    static std::size_t spare_block_count();

    double* data() const noexcept;
    std::size_t size() const noexcept;
    double& operator[](std::size_t i) const noexcept { return data()[i]; }
    explicit operator bool() const noexcept { return m_block != nullptr; }
    std::uint32_t use_count() const noexcept;
    friend bool operator==(const DoubleArray& a, const DoubleArray& b) noexcept { return a.m_block == b.m_block; }

private:
    struct Block;
    static DoubleArray make_block(std::size_t n, bool zero);
    Block* m_block = nullptr;
};

/// The data of a host number, read and written in place.
struct num_val {
    double rp;  ///< real part
    double ip;  ///< imaginary part
};

/// A host complex number. A reference object: code that holds a handle to it
/// sees changes made in place through `Data`.
class VRN_API NumVal final : public Vrn::Run::HostValue {
public:
    static constexpr Kind kKind = Kind::Number;

    NumVal() noexcept : HostValue(kKind), Data{0.0, 0.0} {}
    explicit NumVal(double re) noexcept : HostValue(kKind), Data{re, 0.0} {}
    NumVal(double re, double im) noexcept : HostValue(kKind), Data{re, im} {}

    /// Nonzero when the imaginary part is zero.
    int IsReal() const noexcept { return Data.ip == 0.0; }
    double asReal() const noexcept { return Data.rp; }

    num_val Data;
};

/// Addresses of the first elements of a marshalled matrix, set by the library.
struct mat_val {
    std::intptr_t m_rv;
    std::intptr_t m_iv;
};

/// Called with (row, column, element) for each nested element of a matrix.
using PtrDelegate = std::function<void(int row, int col, const Object& element)>;

/// A host matrix: column-ordered storage with a leading dimension in host
/// arrays, real and imaginary planes apart, elements optionally nested host
/// values (numbers, matrices, text).
class VRN_API MatVal final : public Vrn::Run::HostValue {
public:
    static constexpr Kind kKind = Kind::Matrix;

    /// Zero-filled, storage contiguous and column-ordered from element 0.
    MatVal(int rows, int cols, bool hasImag);
    /// Views existing arrays with leading dimension rows.
    MatVal(DoubleArray re, DoubleArray im, int rows, int cols);
    /// Views existing arrays with leading dimension ld (the column stride),
    /// the first element at `offset`.
    MatVal(DoubleArray re, DoubleArray im, int rows, int cols, int ld, int offset = 0);

    int Rows() const noexcept { return m_rows; }
    int Cols() const noexcept { return m_cols; }
    int Ld() const noexcept { return m_ld; }
    bool HasImag() const noexcept { return static_cast<bool>(m_iarr); }
    bool IsRealMatrix() const noexcept { return !m_iarr; }
    /// True when some element is a nested host value.
    bool HasPtrs() const noexcept { return !m_nested.empty(); }
    /// Position of element (row, col) in m_rarr / m_iarr.
    int Index(int row, int col) const noexcept { return m_offset + row + col * m_ld; }

    /// Element i (linear, column order, from 0) as a host value: the nested
    /// value when there is one, else a new number.
    Object get_1(int i) const;
    /// Calls d(row, col, element) for every nested element, in column order.
    void IteratePtrs(const PtrDelegate& d) const;

    // Host-side conveniences (not used by the library).
    double re(int row, int col) const noexcept { return m_rarr[Index(row, col)]; }
    double im(int row, int col) const noexcept { return m_iarr ? m_iarr[Index(row, col)] : 0.0; }
    void set(int row, int col, double re, double im = 0.0);
    /// Makes element (row, col) a nested host value.
    void SetNested(int row, int col, Object value);
    /// The nested element at (row, col), or null.
    Object Nested(int row, int col) const;

    mat_val Data{0, 0};
    DoubleArray m_rarr;
    DoubleArray m_iarr;
    int m_offset = 0;

private:
    int m_rows;
    int m_cols;
    int m_ld;
    std::vector<Object> m_nested;  // rows*cols entries once any element is nested
};

}  // namespace Qlt
