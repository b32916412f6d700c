/// The portable form of the minimum-lowering pass, and the row-by-row loop
/// the vector forms finish their runs with.

#include <cmath>
#include <limits>

#include "simd/min_distance_kernels.hpp"

namespace tarvinex::simd {

FarthestRow lower_min_distances_scalar(std::span<float> min_distances, std::span<const std::uint8_t> codes,
                                       std::span<const float> lookup, std::size_t ks) noexcept {
    const std::size_t n = min_distances.size();
    const std::size_t m_count = codes.size() / n;
    // -inf loses to every entry, NaN included, so row 0 always takes over.
    FarthestRow best{0, -std::numeric_limits<float>::infinity(), false};
    for (std::size_t i = 0; i < n; ++i) {
        float entry = min_distances[i];
        if (!(entry < 0.0F)) {
            const std::uint8_t* row = codes.data() + i * m_count;
            float distance = 0.0F;
            for (std::size_t s = 0; s < m_count; ++s) {
                distance = distance + lookup[s * ks + row[s]];
            }
            if (entry > distance) {
                entry = distance;
                min_distances[i] = entry;
            }
        }
        best.saw_nan = best.saw_nan || std::isnan(entry);
        if (!(best.value > entry)) {
            best.index = i;
            best.value = entry;
        }
    }
    return best;
}

FarthestRow finish_lower_min_distances(std::span<const float> lane_values, std::span<const std::int32_t> lane_rows,
                                       bool saw_nan, std::size_t vector_rows, std::span<float> min_distances,
                                       std::span<const std::uint8_t> codes, std::span<const float> lookup,
                                       std::size_t ks) noexcept {
    const std::size_t n = min_distances.size();
    const std::size_t m_count = codes.size() / n;
    FarthestRow best{0, -std::numeric_limits<float>::infinity(), saw_nan};
    if (vector_rows > 0) {
        // Without NaN each lane holds its largest entry and the last row of
        // it, so the largest value and then the last row wins.
        best = {static_cast<std::uint64_t>(lane_rows[0]), lane_values[0], saw_nan};
        for (std::size_t lane = 1; lane < lane_values.size(); ++lane) {
            const auto row = static_cast<std::uint64_t>(lane_rows[lane]);
            if (lane_values[lane] > best.value || (lane_values[lane] == best.value && row > best.index)) {
                best.index = row;
                best.value = lane_values[lane];
            }
        }
    }
    if (vector_rows < n) {
        const FarthestRow tail = lower_min_distances_scalar(min_distances.subspan(vector_rows),
                                                            codes.subspan(vector_rows * m_count), lookup, ks);
        best = vector_rows > 0 ? follow_farthest(best, tail, vector_rows) : tail;
    }
    return best;
}

}  // namespace tarvinex::simd
