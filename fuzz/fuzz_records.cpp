// Well-formed native records with random shapes and contents: the tag rule
// must call every array record an array, copies must keep every element bit
// for bit (nested-element NaNs included), and a nested element with any
// handle at all must resolve to a live record or to nothing.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <efi/call.h>
#include <efi/records.h>

#include "fuzz_support.h"

namespace {

struct Shape {
    std::uint32_t rows, cols, anr;
    bool complex;
};

Shape TakeShape(efifuzz::ByteReader& in) {
    Shape s{};
    s.rows = in.below(40);
    s.cols = in.below(40);
    s.anr = s.rows + in.below(4);
    s.complex = in.take<std::uint8_t>() & 1;
    return s;
}

// A plane of anr x cols doubles from call memory (a chain block or, above
// 1024 bytes, a pinned host array), filled with raw input bits.
double* TakePlane(IqlAllocator& a, const Shape& s, efifuzz::ByteReader& in) {
    const unsigned bytes = s.anr * s.cols * 8;
    auto* plane = static_cast<double*>(a.allocate_array(bytes));
    for (std::uint32_t k = 0; k < s.anr * s.cols; ++k) plane[k] = in.take<double>();
    return plane;
}

bool SameBits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

// Every element whose high word is the marker is read as a nested element;
// whatever its handle, get() answers a live record or null.
void ResolveNested(const double* plane, std::uint32_t n) {
    for (std::uint32_t k = 0; k < n; ++k) {
        dblptr element;
        std::memcpy(&element, &plane[k], sizeof element);
        if (element.marker != dblptr::kMarker) continue;
        if (sAnyval* record = element.get()) (void)Efi::IsArrayRecord(record);
    }
}

// With addImag a real source gets a zero-filled imaginary plane in the copy.
void CheckCopy(const array_val& src, const array_val& copy, bool addImag) {
    REQUIRE(Efi::IsArrayRecord(reinterpret_cast<const sAnyval*>(&copy)));
    REQUIRE(copy.m_rows == src.m_rows && copy.m_cols == src.m_cols && copy.m_anr == src.m_rows);
    REQUIRE((copy.m_im == nullptr) == (src.m_im == nullptr && !addImag));
    for (int j = 0; j < src.m_cols; ++j)
        for (int i = 0; i < src.m_rows; ++i) {
            REQUIRE(SameBits(copy.m_re[i + j * copy.m_anr], src.m_re[i + j * src.m_anr]));
            if (copy.m_im == nullptr) continue;
            const double im = src.m_im ? src.m_im[i + j * src.m_anr] : 0.0;
            REQUIRE(SameBits(copy.m_im[i + j * copy.m_anr], im));
        }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    efifuzz::ByteReader in(data, size);
    Efi::EfiCallContext context;
    IqlAllocator& a = *context.allocator;

    // Some nested records first, so that random handles can hit live entries.
    const std::uint32_t nested = in.below(4);
    for (std::uint32_t k = 0; k < nested; ++k) {
        auto* scalar = new (&a, gc::Value(1)) qlComplex{in.take<double>(), in.take<double>()};
        (void)dblptr::make(&a, reinterpret_cast<sAnyval*>(scalar));
    }

    const Shape s = TakeShape(in);
    double* re = TakePlane(a, s, in);
    double* im = s.complex ? TakePlane(a, s, in) : nullptr;
    array_val* record = array_val::mk(&a, s.rows, s.cols, re, im);
    record->m_anr = static_cast<std::int32_t>(s.anr);
    REQUIRE(Efi::IsArrayRecord(reinterpret_cast<sAnyval*>(record)));
    ResolveNested(re, s.anr * s.cols);

    // A complex scalar is an array record exactly when its real part's high
    // word carries the tag: a NaN of that payload is ambiguous by design.
    qlComplex scalar{in.take<double>(), in.take<double>()};
    std::uint32_t high;
    std::memcpy(&high, reinterpret_cast<const unsigned char*>(&scalar) + 4, sizeof high);
    REQUIRE(Efi::IsArrayRecord(reinterpret_cast<sAnyval*>(&scalar)) == ((high & 0x7FFC0000u) == array_val::kTag));

    sAnyval* copied = nullptr;
    const bool addImag = in.take<std::uint8_t>() & 1;
    a.cp(reinterpret_cast<sAnyval*>(record), &copied, false, addImag);
    CheckCopy(*record, *reinterpret_cast<array_val*>(copied), addImag);

    // Writing a complex element into a real copy gives it an imaginary plane.
    auto* copy = reinterpret_cast<array_val*>(copied);
    if (s.rows * s.cols > 0) {
        const int k = static_cast<int>(in.below(static_cast<std::uint32_t>(copy->m_anr) * s.cols));
        const double x = in.take<double>(), y = in.take<double>();
        copy->set_element(k, x, y);
        REQUIRE(SameBits(copy->m_re[k], x));
        if (copy->m_im != nullptr) REQUIRE(SameBits(copy->m_im[k], y));
        else REQUIRE(y == 0.0);
    }
    return 0;
}
