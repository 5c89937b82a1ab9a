// The median, sorting the caller's array in place.
//
// The sort is a most-significant-byte-first radix sort on the doubles' bit
// patterns, mapped to unsigned keys that order as the doubles do, permuted
// in place (no buffer), with a comparison sort for short buckets. Every
// level is linear and there are at most eight, so the worst case stays
// O(n log n) and nothing is allocated.
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
// Below this a bucket is finished by a comparison sort: the 256 counters
// of another radix pass would cost more than they save.
constexpr std::size_t kRadixThreshold = 96;
// Up to this the comparison sort is an insertion sort.
constexpr std::size_t kInsertionThreshold = 24;

// Negative doubles have all bits flipped and the others only the sign, so
// that unsigned order of the keys is numeric order of the doubles.
inline std::uint64_t ToKey(std::uint64_t bits) { return bits ^ (bits & kSignBit ? ~0ull : kSignBit); }
inline std::uint64_t FromKey(std::uint64_t key) { return key ^ (key & kSignBit ? kSignBit : ~0ull); }

// Bucket counts fit 32 bits: median() takes an int count.
using Count = std::uint32_t;

// The first level splits on sign and exponent together (11 bits), so that
// values of one sign and similar size (which share most of them) are not
// spread over a level that splits almost nothing; later levels take eight
// bits of the fraction at a time.
constexpr unsigned kTopBits = 11;
constexpr int kTopShift = 53;
constexpr unsigned kLowBits = 8;

template <unsigned kBits>
inline unsigned Digit(std::uint64_t key, int shift) {
    return static_cast<unsigned>(key >> shift) & ((1u << kBits) - 1);
}

// Short buckets: insertion sort for a handful of keys, else introsort.
// Either way the keys go back to doubles here, while they are in cache.
void FinishBucket(Key* keys, std::size_t n) {
    if (n <= kInsertionThreshold) {
        for (std::size_t i = 1; i < n; ++i) {
            const std::uint64_t key = keys[i];
            std::size_t j = i;
            for (; j > 0 && keys[j - 1] > key; --j) keys[j] = keys[j - 1];
            keys[j] = key;
        }
    } else {
        std::sort(keys, keys + n);
    }
    for (std::size_t i = 0; i < n; ++i) keys[i] = FromKey(keys[i]);
}

// Moves every key to its bucket by the digit at `shift`; bucket b is to
// occupy [start[b], start[b + 1]). Rather than follow one chain of displaced
// keys at a time (each step waiting for the last load), every unfinished
// bucket's unplaced keys are swapped to their buckets' next free places in
// independent steps, round after round, until none is left; each swap
// places at least one key for good.
template <unsigned kBits>
__attribute__((noinline)) void Distribute(Key* keys, const Count* start, int shift) {
    constexpr unsigned kN = 1u << kBits;
    Count next[kN];
    std::uint16_t pending[kN];
    unsigned n_pending = 0;
    for (unsigned b = 0; b < kN; ++b) {
        next[b] = start[b];
        if (start[b + 1] != start[b]) pending[n_pending++] = static_cast<std::uint16_t>(b);
    }
    while (n_pending > 1) {
        unsigned kept = 0;
        for (unsigned k = 0; k < n_pending; ++k) {
            const unsigned b = pending[k];
            for (Count i = next[b], stop = start[b + 1]; i < stop; ++i) {
                const unsigned d = Digit<kBits>(keys[i], shift);
                std::swap(keys[i], keys[next[d]++]);
            }
            if (next[b] != start[b + 1]) pending[kept++] = static_cast<std::uint16_t>(b);
        }
        n_pending = kept;
    }
}

void SortBucket(Key* keys, std::size_t n, int shift);

// Sorts keys by the digit at `shift` and the bits below it; every key ends
// up in exactly one finished bucket, which turns it back into a double.
template <unsigned kBits>
void RadixSort(Key* keys, std::size_t n, int shift) {
    constexpr unsigned kN = 1u << kBits;
    Count start[kN + 1] = {};
    for (std::size_t i = 0; i < n; ++i) ++start[Digit<kBits>(keys[i], shift) + 1];
    const int next_shift = shift > static_cast<int>(kLowBits) ? shift - static_cast<int>(kLowBits) : 0;
    // A digit shared by every key splits nothing: go straight to the next.
    if (start[Digit<kBits>(keys[0], shift) + 1] == n) {
        if (shift == 0)
            FinishBucket(keys, n);
        else
            SortBucket(keys, n, next_shift);
        return;
    }
    for (unsigned b = 0; b < kN; ++b) start[b + 1] += start[b];
    Distribute<kBits>(keys, start, shift);
    for (unsigned b = 0; b < kN; ++b) {
        const Count size = start[b + 1] - start[b];
        if (size == 1)  // most buckets of the last levels: no call for them
            keys[start[b]] = FromKey(keys[start[b]]);
        else if (size != 0) {
            if (shift == 0)
                FinishBucket(keys + start[b], size);
            else
                SortBucket(keys + start[b], size, next_shift);
        }
    }
}

void SortBucket(Key* keys, std::size_t n, int shift) {
    if (n < kRadixThreshold)
        FinishBucket(keys, n);
    else
        RadixSort<kLowBits>(keys, n, shift);
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
    if (n < kRadixThreshold)
        FinishBucket(keys, n);
    else
        RadixSort<kTopBits>(keys, n, kTopShift);
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
