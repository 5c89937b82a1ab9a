// The median, sorting the caller's array in place.
//
// The sort is a most-significant-byte-first radix sort on the doubles' bit
// patterns, mapped to unsigned keys that order as the doubles do, permuted
// in place (no buffer), with an introspective comparison sort for short or
// exhausted buckets. Every pass is linear and there are at most eight
// levels, so the worst case stays O(n log n) and nothing is allocated.
//
// Ordering by key puts -0 before +0 (they compare equal as doubles, so
// either order is sorted) and NaNs at the ends by sign: the array is always
// a permutation of its input, whatever it holds.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include <efi/numeric.h>

namespace Efi {
namespace {

// The array's storage viewed as 64-bit keys; may_alias keeps the compiler
// from assuming the doubles and the keys are different objects.
using Key = std::uint64_t __attribute__((__may_alias__));

constexpr std::uint64_t kSignBit = 0x8000000000000000u;
constexpr std::size_t kBuckets = 256;
// Below this a bucket is finished by the comparison sort.
constexpr std::size_t kRadixThreshold = 128;

// Negative doubles have all bits flipped and the others only the sign, so
// that unsigned order of the keys is numeric order of the doubles.
inline std::uint64_t ToKey(std::uint64_t bits) { return bits ^ (bits & kSignBit ? ~0ull : kSignBit); }
inline std::uint64_t FromKey(std::uint64_t key) { return key ^ (key & kSignBit ? kSignBit : ~0ull); }

inline unsigned Digit(std::uint64_t key, int shift) { return static_cast<unsigned>(key >> shift) & 0xFF; }

void RadixSort(Key* keys, std::size_t n, int shift) {
    if (n < kRadixThreshold || shift < 0) {
        std::sort(keys, keys + n);
        return;
    }
    std::size_t count[kBuckets] = {};
    for (std::size_t i = 0; i < n; ++i) ++count[Digit(keys[i], shift)];

    // A digit shared by every key splits nothing: go straight to the next.
    if (count[Digit(keys[0], shift)] == n) {
        RadixSort(keys, n, shift - 8);
        return;
    }

    std::size_t head[kBuckets], tail[kBuckets];
    std::size_t offset = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
        head[b] = offset;
        offset += count[b];
        tail[b] = offset;
    }
    // Cycle each misplaced key to the next free place of its bucket.
    for (std::size_t b = 0; b < kBuckets; ++b) {
        while (head[b] < tail[b]) {
            std::uint64_t key = keys[head[b]];
            unsigned d = Digit(key, shift);
            while (d != b) {
                std::swap(key, keys[head[d]++]);
                d = Digit(key, shift);
            }
            keys[head[b]++] = key;
        }
    }
    std::size_t start = 0;
    for (std::size_t b = 0; b < kBuckets; ++b) {
        if (count[b] > 1) RadixSort(keys + start, count[b], shift - 8);
        start += count[b];
    }
}

void SortInPlace(double* values, std::size_t n) {
    Key* keys = reinterpret_cast<Key*>(values);
    for (std::size_t i = 0; i < n; ++i) keys[i] = ToKey(keys[i]);
    RadixSort(keys, n, 56);
    for (std::size_t i = 0; i < n; ++i) keys[i] = FromKey(keys[i]);
}

}  // namespace

double median(double* values, int count) {
    if (count < 1) return std::numeric_limits<double>::quiet_NaN();
    SortInPlace(values, static_cast<std::size_t>(count));
    const int upper = (count + 2) / 2 - 1;
    const int lower = (count + 1) / 2 - 1;
    // The wider exponent range keeps the midpoint of two huge values finite.
    const long double sum = static_cast<long double>(values[upper]) + values[lower];
    return static_cast<double>(sum * 0.5L);
}

}  // namespace Efi
