#pragma once
/// The farthest-first and k-means++ pass kernel: every row's code-space
/// distance to one new center, the running minimum lowered by it, and the
/// farthest row after the pass, in one read of the rows. A portable, an AVX2
/// and an AVX-512 form, declared side by side.
///
/// A row's distance is the float sum, from +0.0 in ascending subquantizer
/// order, of lookup[s*Ks + code[s]]. The vector forms score 8 or 16 rows side
/// by side, one row per lane, so every form gives the same distances bit for
/// bit (+0.0 as the start matters: a lone -0.0 entry sums to +0.0).

#include <cstddef>
#include <cstdint>
#include <span>

#include "simd/preference.hpp"

namespace tarvinex::simd {

/// Where the upward scan "position i takes over unless the best so far is
/// strictly greater" ends over a run of lowered minima, relative to the run's
/// first row. With no NaN among the minima that scan keeps the largest value
/// and, among equal values, the last row, so the results of consecutive runs
/// combine by the same rule in run order. `saw_nan` says a minimum is NaN:
/// then `index` is not that scan's and the caller must scan the entries itself.
struct FarthestRow {
    std::uint64_t index;
    float value;
    bool saw_nan;
};

// For each row i of the run: unless min_distances[i] < 0 (a chosen row), the
// entry becomes the row's distance when strictly greater than it (a NaN entry
// stays, a NaN distance replaces nothing). `codes` holds the run's rows, M
// bytes each, C order; `lookup` is (M, Ks). Callers guarantee at least one
// and fewer than 2^31 rows, M >= 1 and codes below Ks.
[[nodiscard]] FarthestRow lower_min_distances_scalar(std::span<float> min_distances,
                                                     std::span<const std::uint8_t> codes, std::span<const float> lookup,
                                                     std::size_t ks) noexcept;
[[nodiscard]] FarthestRow lower_min_distances_avx2(std::span<float> min_distances, std::span<const std::uint8_t> codes,
                                                   std::span<const float> lookup, std::size_t ks) noexcept;
[[nodiscard]] FarthestRow lower_min_distances_avx512(std::span<float> min_distances,
                                                     std::span<const std::uint8_t> codes, std::span<const float> lookup,
                                                     std::size_t ks) noexcept;

/// The end of a vector form: the lanes' scans over the first `vector_rows`
/// rows (lane l saw rows l, l + L, ...) merged in row order, then the portable
/// loop over the rest. Out of line in the portable file, so no vector target
/// compiles it.
[[nodiscard]] FarthestRow finish_lower_min_distances(std::span<const float> lane_values,
                                                     std::span<const std::int32_t> lane_rows, bool saw_nan,
                                                     std::size_t vector_rows, std::span<float> min_distances,
                                                     std::span<const std::uint8_t> codes, std::span<const float> lookup,
                                                     std::size_t ks) noexcept;

using LowerMinDistances = FarthestRow (*)(std::span<float> min_distances, std::span<const std::uint8_t> codes,
                                          std::span<const float> lookup, std::size_t ks) noexcept;

/// The one place a family turns into this kernel.
[[nodiscard]] constexpr LowerMinDistances lower_min_distances_kernel(SliceKernel family) noexcept {
    return by_family(family, lower_min_distances_scalar, lower_min_distances_avx2, lower_min_distances_avx512);
}

/// Where the same scan ends over `earlier` then `later` (exact while neither
/// saw a NaN); `later_offset` is the first row of `later` counted from that of
/// `earlier`.
[[nodiscard]] constexpr FarthestRow follow_farthest(FarthestRow earlier, FarthestRow later,
                                                    std::uint64_t later_offset) noexcept {
    const bool saw_nan = earlier.saw_nan || later.saw_nan;
    if (earlier.value > later.value) {
        return {earlier.index, earlier.value, saw_nan};
    }
    return {later.index + later_offset, later.value, saw_nan};
}

}  // namespace tarvinex::simd
