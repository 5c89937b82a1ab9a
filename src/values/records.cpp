// Native value records: making, copying and filling them in call memory.
#include <cstring>
#include <string_view>

#include <efi/allocator.h>
#include <efi/errors.h>
#include <efi/records.h>

#include "text.h"
#include "values/chain.h"

const double array_val::m_zero = 0.0;

array_val* array_val::mk(IqlAllocator* a, unsigned rows, unsigned cols, double* re, double* im) {
    auto* record = new (a, gc::Value(1)) array_val;
    record->m_anr = static_cast<std::int32_t>(rows);
    record->m_tag = kTag;
    record->m_rows = static_cast<std::int32_t>(rows);
    record->m_cols = static_cast<std::int32_t>(cols);
    record->m_re = re;
    record->m_im = im;
    return record;
}

array_val::array_val(IqlAllocator* a, array_val* src)
    : m_anr(src->m_rows),
      m_tag(kTag),
      m_rows(src->m_rows),
      m_cols(src->m_cols),
      m_re(src->Pack(a, src->m_re)),
      m_im(src->m_im != nullptr ? src->Pack(a, src->m_im) : nullptr) {}

double* array_val::Pack(IqlAllocator* a, double* plane) const {
    Efi::detail::CheckLeadingDimension(*this);
    auto* out = static_cast<double*>(a->allocate_array(Efi::detail::PlaneBytes(m_rows, m_cols)));
    double* next = out;
    for (std::int32_t j = 0; j < m_cols; ++j) {
        const double* column = plane + static_cast<std::ptrdiff_t>(j) * m_anr;
        for (std::int32_t i = 0; i < m_rows; ++i) *next++ = column[i];
    }
    return out;
}

void array_val::set_element(int k, double re, double im) {
    m_re[k] = re;
    if (m_im == nullptr) {
        if (im == 0.0) return;  // -0.0 too: the record stays real
        const unsigned bytes = Efi::detail::PlaneBytes(m_anr, m_cols);
        m_im = static_cast<double*>(IqlAllocator::m_current->allocate_array(bytes));
    }
    m_im[k] = im;
}

string_val* string_val::mk(IqlAllocator* a, const char16_t* text) {
    auto* record = new (a, gc::Value(2)) string_val{};
    const std::size_t n = std::u16string_view(text).size();
    if (n > 0x7FFFFFFFu) Efi::Throw("out of memory", Efi::kNoArgument);
    // The block has room for two bytes a unit, but the narrow text is cut to
    // n bytes so that m_length also bounds it; it goes with a's chain.
    const std::size_t bytes = 2 * n + 1;
    auto* out = static_cast<char*>(Efi::detail::ChainBlock(*a, bytes, static_cast<std::uint32_t>(bytes), false));
    const std::size_t written = Efi::detail::EncodeNarrow(text, n, out, n);
    out[written] = '\0';
    record->m_text = out;
    record->m_length = static_cast<std::uint32_t>(n);
    return record;
}

namespace Efi {

void detail::CheckLeadingDimension(const array_val& record) {
    if (record.m_rows > 0 && record.m_anr < record.m_rows) Throw("invalid matrix size", kNoArgument);
}

bool IsArrayRecord(const sAnyval* record) noexcept {
    std::uint32_t high;
    std::memcpy(&high, reinterpret_cast<const unsigned char*>(record) + 4, sizeof high);
    return (high & 0x7FFC0000u) == array_val::kTag;
}

}  // namespace Efi
