// A host matrix's plane as native records hold one: its columns back to
// back, whatever the host's leading dimension.
#pragma once

#include <cstddef>

#include <vrnrun/vrnrun.h>

namespace Efi::detail {

/// Hands the part of `plane` (m.m_rarr or m.m_iarr) that `m` covers to
/// `take(first, count)` in column order, as runs of `count` doubles from
/// `first`: one run of the whole part when the columns lie back to back
/// (the leading dimension is the row count), else one run a column; none
/// for a matrix without elements. Laid end to end, the runs are the plane
/// with columns back to back.
template <class Take>
void ForEachColumnRun(const Qlt::MatVal& m, const Qlt::DoubleArray& plane, Take&& take) {
    if (m.Rows() <= 0 || m.Cols() <= 0) return;
    const double* base = plane.data();
    const auto rows = static_cast<std::size_t>(m.Rows());
    if (m.Ld() == m.Rows()) {
        take(base + m.Index(0, 0), rows * static_cast<std::size_t>(m.Cols()));
        return;
    }
    for (int c = 0; c < m.Cols(); ++c) take(base + m.Index(0, c), rows);
}

}  // namespace Efi::detail
