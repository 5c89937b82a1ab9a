// The median, sorting the caller's array in place.
//
// The sort is a vectorized quicksort (the best instruction set of the
// processor is chosen at run time), which turns to heap sort when its
// partitioning goes too deep, so the worst case stays O(n log n); it works
// in the array itself and in a buffer of its own that each thread makes
// once, on its first median.
//
// The quicksort sorts doubles soundly only when values that compare equal
// have the same bits and none lies beyond its own end markers, the largest
// finite value and its negative: it puts the largest finite value in place
// of infinities and one zero's bits in place of the other's. A read-only
// pass finds whether the array holds anything outside that: a NaN, an
// infinity, a negative zero, or a subnormal (which could raise the denormal
// flag when compared, and which compare as zero where denormals are taken
// as zero). Arrays of normal values and +0 only, as measurements mostly
// are, are sorted as they are; the pass costs a fraction of the sort.
//
// Any other array is sorted as keys: its bit patterns are mapped, in place,
// to signed 64-bit keys that order as the doubles do, sorted, and mapped
// back. Sorting keys keeps floating-point arithmetic and comparisons out of
// the sort: whatever the array holds and whatever the control word, it
// raises nothing, and no value is ever rewritten. Ordering by key puts -0
// before +0 (they compare equal as doubles, so either order is sorted) and
// NaNs at the ends by sign: the array is always a permutation of its input.
// Signed keys, because the vector units compare signed 64-bit integers in
// one instruction and unsigned ones in three.
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
using Key = std::int64_t __attribute__((__may_alias__));

constexpr std::int64_t kMagnitudeBits = std::numeric_limits<std::int64_t>::max();

// Negative doubles keep their sign bit and have the others flipped, so that
// a larger magnitude gives a smaller key; the others stay as they are.
// Signed order of the keys is then numeric order of the doubles. The map is
// its own inverse. Written with masks rather than a choice so that the
// loops vectorize.
inline std::int64_t FlipNegative(std::int64_t bits) { return bits ^ ((bits >> 63) & kMagnitudeBits); }

// The passes around the sort are what the median adds to it. They are
// branch-free integer loops for the vectorizer, cloned for AVX2 and chosen
// at load where the processor has it: four values a step instead of one.
// (clang vectorizes at -O2 and has no per-function optimize attribute.)
// The thread sanitizer's build has one plain version of each: the loader
// runs a clone's chooser while it relocates the library, before the
// sanitizer's runtime is set up, and the sanitizer's calls compiled into
// the chooser then crash the process at load.
#if defined(__SANITIZE_THREAD__)
#define EFI_TSAN_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define EFI_TSAN_BUILD 1
#endif
#endif
#if defined(EFI_TSAN_BUILD) && defined(__clang__)
#define EFI_MAPPING_PASS
#elif defined(EFI_TSAN_BUILD)
#define EFI_MAPPING_PASS __attribute__((optimize("tree-vectorize")))
#elif defined(__clang__)
#define EFI_MAPPING_PASS __attribute__((target_clones("avx2", "default")))
#else
#define EFI_MAPPING_PASS __attribute__((target_clones("avx2", "default"), optimize("tree-vectorize")))
#endif

// Maps the n doubles to keys (or back) in place and tells whether one was a
// NaN (either sign), in the same pass. A NaN's magnitude bits exceed those
// of infinity, so adding the largest mantissa to them carries into the sign
// bit for NaNs alone; OR-ing the sums keeps the test branch-free.
EFI_MAPPING_PASS bool MapFindingNaN(Key* keys, std::size_t n) {
    constexpr std::uint64_t kLargestMantissa = 0x000FFFFFFFFFFFFFu;
    std::uint64_t any = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t bits = keys[i];
        any |= (static_cast<std::uint64_t>(bits & kMagnitudeBits) + kLargestMantissa);
        keys[i] = FlipNegative(bits);
    }
    return (any >> 63) != 0;
}

// Whether every one of the n doubles is normal or +0, the values the
// quicksort sorts as doubles: an exponent field neither all ones
// (infinities and NaNs) nor all zeros, unless the whole pattern is +0.
// Three lane-wise comparisons a value, which the vectorizer makes into
// compare instructions: the pass runs at the speed the array is read.
EFI_MAPPING_PASS bool OnlyNormalOrPositiveZero(const Key* keys, std::size_t n) {
    constexpr std::int64_t kExponentBits = 0x7FF0000000000000;
    std::int64_t any = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::int64_t bits = keys[i];
        const std::int64_t exponent = bits & kExponentBits;
        const std::int64_t notFinite = -static_cast<std::int64_t>(exponent == kExponentBits);
        const std::int64_t subnormalOrNegativeZero =
            -static_cast<std::int64_t>(exponent == 0) & ~-static_cast<std::int64_t>(bits == 0);
        any |= notFinite | subnormalOrNegativeZero;
    }
    return any == 0;
}

// Compares a NaN the way a comparison sort would, with an ordered (signalling)
// comparison: the invalid-operation flag is raised, and under a control word
// that traps it the processor faults here, before the array is touched.
// (Spelled out: compilers may otherwise pick the quiet comparison.)
inline void SignalUnorderedValue(double nan) {
    const double zero = 0.0;
    asm volatile("comisd %1, %0" : : "x"(nan), "x"(zero) : "cc");
}

void SortInPlace(double* values, std::size_t n) {
    // The sorter's buffer is made once per thread; sorting allocates nothing.
    static thread_local const hwy::Sorter sorter;
    Key* keys = reinterpret_cast<Key*>(values);
    if (OnlyNormalOrPositiveZero(keys, n)) {
        sorter(values, n, hwy::SortAscending());
        return;
    }
    if (MapFindingNaN(keys, n)) {
        // The caller's values come back before a fault can unwind past here.
        (void)MapFindingNaN(keys, n);
        SignalUnorderedValue(std::numeric_limits<double>::quiet_NaN());
        (void)MapFindingNaN(keys, n);
    }
    sorter(reinterpret_cast<std::int64_t*>(keys), n, hwy::SortAscending());
    (void)MapFindingNaN(keys, n);
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
