#pragma once
/// The parts of the lookup-minimum kernels that every family shares: each
/// family's file includes this inside its own target region, so the helpers
/// are compiled, and the per-row call inlined, in every form.

#include <cstddef>
#include <cstdint>
#include <span>

#include "simd/slice_kernels.hpp"

namespace tarvinex::simd::detail {

/// Centers j_begin .. k-1 of a table of row stride k, one at a time in
/// order: the portable form's whole walk and the vector forms' leftovers.
inline IndexedValue lookup_min_one_by_one(const std::uint8_t* code, std::size_t m_count, const float* t, std::size_t ks,
                                          std::size_t k, std::size_t j_begin, std::size_t first_center,
                                          IndexedValue best) noexcept {
    for (std::size_t j = j_begin; j < k; ++j) {
        float s = t[code[0] * k + j];
        for (std::size_t m = 1; m < m_count; ++m) {
            s = s + t[(m * ks + code[m]) * k + j];
        }
        if (s < best.value) {
            best = {first_center + j, s};
        }
    }
    return best;
}

/// Every row of a block's scan with M fixed: the family's walk over full lane
/// groups (`LaneGroups`, returning the first center left over) and the walk
/// of the rest, inlined into the row loop, so no row pays a call or a
/// dispatch on M per block.
template <std::size_t FixedM, auto LaneGroups>
inline void lookup_rows_of_fixed_width(std::span<const std::uint8_t> codes, const float* t, std::size_t ks,
                                       std::size_t width, std::size_t first_center, std::span<std::size_t> labels,
                                       std::span<float> distances) noexcept {
    for (std::size_t r = 0; r < labels.size(); ++r) {
        const std::uint8_t* code = codes.data() + r * FixedM;
        IndexedValue best{labels[r], distances[r]};
        const std::size_t j = LaneGroups(code, FixedM, t, ks, width, first_center, best);
        best = lookup_min_one_by_one(code, FixedM, t, ks, width, j, first_center, best);
        labels[r] = static_cast<std::size_t>(best.index);
        distances[r] = best.value;
    }
}

template <auto LookupMinFrom>
inline void lookup_min_rows_with(std::span<const std::uint8_t> codes, std::size_t m_count, std::span<const float> block,
                                 std::size_t ks, std::size_t width, std::size_t first_center,
                                 std::span<std::size_t> labels, std::span<float> distances) noexcept {
    for (std::size_t r = 0; r < labels.size(); ++r) {
        const IndexedValue best = LookupMinFrom(codes.subspan(r * m_count, m_count), block, ks, width, first_center,
                                                IndexedValue{labels[r], distances[r]});
        labels[r] = static_cast<std::size_t>(best.index);
        distances[r] = best.value;
    }
}

}  // namespace tarvinex::simd::detail
