// Where the median of a sorted array lies.
#pragma once

#include <cstdint>

namespace Efi::detail {

/// The two middle elements of `count` sorted values: the same one for an odd
/// count, upper the higher for an even one.
struct MiddleIndices {
    std::int64_t upper, lower;
};

/// (count + 2) / 2 - 1 and (count + 1) / 2 - 1, in 64 bits: in the int of the
/// count the sums would overflow for the largest counts. count >= 1.
constexpr MiddleIndices MedianIndices(int count) {
    const std::int64_t n = count;
    return {(n + 2) / 2 - 1, (n + 1) / 2 - 1};
}

}  // namespace Efi::detail
