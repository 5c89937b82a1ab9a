// The median, sorting the caller's array in place.
//
// The doubles' bit patterns are mapped, in place, to unsigned keys that
// order as the doubles do, sorted by a vectorized quicksort (the best
// instruction set of the processor is chosen at run time) and mapped back.
// The quicksort turns to heap sort when its partitioning goes too deep, so
// the worst case stays O(n log n); it works in the array itself and in a
// buffer of its own that each thread makes once, on its first median.
//
// Sorting keys rather than doubles keeps floating-point arithmetic and
// comparisons out of the sort: whatever the array holds and whatever the
// control word, it raises nothing. Ordering by key puts -0 before +0 (they
// compare equal as doubles, so either order is sorted) and NaNs at the ends
// by sign: the array is always a permutation of its input.
#include <cstddef>
#include <cstdint>
#include <limits>

#include <hwy/contrib/sort/vqsort.h>

#include <efi/numeric.h>

#include "median_index.h"

namespace Efi {
namespace {

// The array's storage viewed as 64-bit keys; may_alias keeps the compiler
// from assuming the doubles and the keys are different objects.
using Key = std::uint64_t __attribute__((__may_alias__));

constexpr std::uint64_t kSignBit = 0x8000000000000000u;

// Negative doubles have all bits flipped and the others only the sign, so
// that unsigned order of the keys is numeric order of the doubles. Written
// with masks rather than a choice so that the loops vectorize.
inline std::uint64_t ToKey(std::uint64_t bits) {
    const std::uint64_t negative = static_cast<std::uint64_t>(static_cast<std::int64_t>(bits) >> 63);
    return bits ^ (negative | kSignBit);
}
inline std::uint64_t FromKey(std::uint64_t key) {
    const std::uint64_t was_negative = ~static_cast<std::uint64_t>(static_cast<std::int64_t>(key) >> 63);
    return key ^ (was_negative | kSignBit);
}

// True for the bit pattern of a NaN (either sign).
inline bool IsNaNBits(std::uint64_t bits) { return (bits << 1) > (0x7FF0000000000000ull << 1); }

// Compares a NaN the way a comparison sort would, with an ordered (signalling)
// comparison: the invalid-operation flag is raised, and under a control word
// that traps it the processor faults here, before the array is touched.
// (Spelled out: compilers may otherwise pick the quiet comparison.)
inline void SignalUnorderedValue(double nan) {
    const double zero = 0.0;
    asm volatile("comisd %1, %0" : : "x"(nan), "x"(zero) : "cc");
}

void SortInPlace(double* values, std::size_t n) {
    Key* keys = reinterpret_cast<Key*>(values);
    bool nan_seen = false;
    for (std::size_t i = 0; i < n; ++i) {
        nan_seen |= IsNaNBits(keys[i]);
        keys[i] = ToKey(keys[i]);
    }
    if (nan_seen) {
        // The caller's values come back before a fault can unwind past here.
        for (std::size_t i = 0; i < n; ++i) keys[i] = FromKey(keys[i]);
        SignalUnorderedValue(std::numeric_limits<double>::quiet_NaN());
        for (std::size_t i = 0; i < n; ++i) keys[i] = ToKey(keys[i]);
    }
    // The sorter's buffer is made once per thread; sorting allocates nothing.
    static thread_local const hwy::Sorter sorter;
    sorter(reinterpret_cast<std::uint64_t*>(keys), n, hwy::SortAscending());
    for (std::size_t i = 0; i < n; ++i) keys[i] = FromKey(keys[i]);
}

}  // namespace

double median(double* values, int count) {
    if (count < 1) return std::numeric_limits<double>::quiet_NaN();
    SortInPlace(values, static_cast<std::size_t>(count));
    const detail::MiddleIndices middle = detail::MedianIndices(count);
    // The wider exponent range keeps the midpoint of two huge values finite.
    const long double sum = static_cast<long double>(values[middle.upper]) + values[middle.lower];
    return static_cast<double>(sum * 0.5L);
}

}  // namespace Efi
