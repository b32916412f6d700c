/// The AVX-512F form of the minimum-lowering pass: sixteen rows at a time, one per
/// lane. Each row's sum is its own chain of scalar loads and adds from +0.0
/// in subquantizer order, exactly as in the portable loop, with the chains of
/// the sixteen rows interleaved; the vector does the lowering, the farthest-row
/// scan per lane and the NaN check. (Vector gathers of the lookup entries
/// measured slower than these interleaved loads on AMD Zen AVX2 hardware.)
///
/// The rows after the last full block go through the portable loop.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <limits>

#include "simd/min_distance_kernels.hpp"

#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12's AVX-512 intrinsics fill their unused pass-through operand from
// _mm512_undefined_ps(), which -Wmaybe-uninitialized reports at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace tarvinex::simd {
namespace {

constexpr std::size_t kLanes = 16;

/// Sixteen independent running sums, one per row, each in subquantizer order.
/// `Fixed` is M when known at compile time (0 when not), so the common M = 8
/// unrolls into straight loads.
template <std::size_t Fixed>
__m512 block_distances(const std::uint8_t* block, std::size_t m_count, const float* table, std::size_t ks) {
    const std::size_t m = Fixed != 0 ? Fixed : m_count;
    alignas(64) float sums[kLanes] = {};
    for (std::size_t sq = 0; sq < m; ++sq) {
        const float* column = table + sq * ks;
        for (std::size_t r = 0; r < kLanes; ++r) {
            sums[r] = sums[r] + column[block[r * m + sq]];
        }
    }
    return _mm512_load_ps(sums);
}

}  // namespace

FarthestRow lower_min_distances_avx512(std::span<float> min_distances, std::span<const std::uint8_t> codes,
                                       std::span<const float> lookup, std::size_t ks) noexcept {
    const std::size_t n = min_distances.size();
    const std::size_t m_count = codes.size() / n;
    float* entries = min_distances.data();
    const float* table = lookup.data();

    const __m512i lane_index = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512 zero = _mm512_setzero_ps();
    // Per lane, the scan over that lane's rows: -inf loses to every entry.
    __m512 best_value = _mm512_set1_ps(-std::numeric_limits<float>::infinity());
    __m512i best_row = _mm512_setzero_si512();
    __m512i rows = lane_index;
    __mmask16 nan_seen = 0;

    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        const std::uint8_t* block = codes.data() + i * m_count;
        const __m512 distance = m_count == 8 ? block_distances<8>(block, m_count, table, ks)
                                             : block_distances<0>(block, m_count, table, ks);
        const __m512 entry = _mm512_loadu_ps(entries + i);
        // Lowered where the entry is not a chosen row's (below zero) and is
        // strictly greater; both comparisons fail on NaN.
        const __mmask16 lower =
            _mm512_cmp_ps_mask(entry, distance, _CMP_GT_OQ) & _mm512_cmp_ps_mask(entry, zero, _CMP_GE_OQ);
        const __m512 lowered = _mm512_mask_blend_ps(lower, entry, distance);
        _mm512_storeu_ps(entries + i, lowered);
        nan_seen = static_cast<__mmask16>(nan_seen | _mm512_cmp_ps_mask(lowered, lowered, _CMP_UNORD_Q));
        const __mmask16 take = _mm512_cmp_ps_mask(best_value, lowered, _CMP_NGT_UQ);
        best_value = _mm512_mask_blend_ps(take, best_value, lowered);
        best_row = _mm512_mask_blend_epi32(take, best_row, rows);
        rows = _mm512_add_epi32(rows, _mm512_set1_epi32(static_cast<int>(kLanes)));
    }

    alignas(64) float lane_values[kLanes];
    alignas(64) std::int32_t lane_rows[kLanes];
    _mm512_store_ps(lane_values, best_value);
    _mm512_store_si512(lane_rows, best_row);
    return finish_lower_min_distances(lane_values, lane_rows, nan_seen != 0, i, min_distances, codes, lookup, ks);
}

}  // namespace tarvinex::simd

#pragma GCC diagnostic pop
#pragma GCC pop_options
