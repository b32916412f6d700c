#pragma once
/// The selection rule every dense path shares, and how a selection becomes a
/// row's label and distance. Not for the AVX-512 files: an inline function
/// instantiated there could become the copy every caller links to.

#include <cstddef>
#include <limits>
#include <span>

#include "simd/slice_kernels.hpp"

namespace tarvinex::dense::detail {

/// The best of k candidates with values value(0) .. value(k - 1), visited in
/// index order from (0, +inf), or (0, -inf) for `greatest`: the least (the
/// greatest), the first on ties, never a NaN.
template <typename Value>
[[nodiscard]] simd::IndexedValue best_of(std::size_t k, bool greatest, Value&& value) {
    constexpr float kInf = std::numeric_limits<float>::infinity();
    simd::IndexedValue best{0, greatest ? -kInf : kInf};
    for (std::size_t j = 0; j < k; ++j) {
        const float v = value(j);
        if (greatest ? v > best.value : v < best.value) {
            best = {j, v};
        }
    }
    return best;
}

/// Row `row`'s label and distance: the value in plain mode, 1 - the dot
/// product in spherical mode, so an all-NaN row's (0, -inf) becomes +inf.
inline void store(const simd::IndexedValue& best, bool spherical, std::size_t row, std::span<std::size_t> labels,
                  std::span<float> distances) {
    labels[row] = static_cast<std::size_t>(best.index);
    distances[row] = spherical ? 1.0F - best.value : best.value;
}

}  // namespace tarvinex::dense::detail
