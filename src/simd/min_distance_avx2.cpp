/// The AVX2 form of the minimum-lowering pass: eight rows at a time, one per
/// lane. Each row's sum is its own chain of scalar loads and adds from +0.0
/// in subquantizer order, exactly as in the portable loop, with the chains of
/// the eight rows interleaved; the vector does the lowering, the farthest-row
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
#pragma GCC target("avx2")

namespace tarvinex::simd {
namespace {

constexpr std::size_t kLanes = 8;

/// Eight independent running sums, one per row, each in subquantizer order.
/// `Fixed` is M when known at compile time (0 when not), so the common M = 8
/// unrolls into straight loads.
template <std::size_t Fixed>
__m256 block_distances(const std::uint8_t* block, std::size_t m_count, const float* table, std::size_t ks) {
    const std::size_t m = Fixed != 0 ? Fixed : m_count;
    alignas(32) float sums[kLanes] = {};
    for (std::size_t sq = 0; sq < m; ++sq) {
        const float* column = table + sq * ks;
        for (std::size_t r = 0; r < kLanes; ++r) {
            sums[r] = sums[r] + column[block[r * m + sq]];
        }
    }
    return _mm256_load_ps(sums);
}

}  // namespace

FarthestRow lower_min_distances_avx2(std::span<float> min_distances, std::span<const std::uint8_t> codes,
                                     std::span<const float> lookup, std::size_t ks) noexcept {
    const std::size_t n = min_distances.size();
    const std::size_t m_count = codes.size() / n;
    float* entries = min_distances.data();
    const float* table = lookup.data();

    const __m256 zero = _mm256_setzero_ps();
    // Per lane, the scan over that lane's rows: -inf loses to every entry.
    __m256 best_value = _mm256_set1_ps(-std::numeric_limits<float>::infinity());
    __m256i best_row = _mm256_setzero_si256();
    __m256i rows = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    __m256 nan_seen = zero;

    std::size_t i = 0;
    for (; i + kLanes <= n; i += kLanes) {
        const std::uint8_t* block = codes.data() + i * m_count;
        const __m256 distance = m_count == 8 ? block_distances<8>(block, m_count, table, ks)
                                             : block_distances<0>(block, m_count, table, ks);
        const __m256 entry = _mm256_loadu_ps(entries + i);
        // Lowered where the entry is not a chosen row's (below zero) and is
        // strictly greater; both comparisons fail on NaN.
        const __m256 lower =
            _mm256_and_ps(_mm256_cmp_ps(entry, distance, _CMP_GT_OQ), _mm256_cmp_ps(entry, zero, _CMP_GE_OQ));
        const __m256 lowered = _mm256_blendv_ps(entry, distance, lower);
        _mm256_storeu_ps(entries + i, lowered);
        nan_seen = _mm256_or_ps(nan_seen, _mm256_cmp_ps(lowered, lowered, _CMP_UNORD_Q));
        const __m256 take = _mm256_cmp_ps(best_value, lowered, _CMP_NGT_UQ);
        best_value = _mm256_blendv_ps(best_value, lowered, take);
        best_row =
            _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(best_row), _mm256_castsi256_ps(rows), take));
        rows = _mm256_add_epi32(rows, _mm256_set1_epi32(static_cast<int>(kLanes)));
    }

    alignas(32) float lane_values[kLanes];
    alignas(32) std::int32_t lane_rows[kLanes];
    _mm256_store_ps(lane_values, best_value);
    _mm256_store_si256(reinterpret_cast<__m256i*>(lane_rows), best_row);
    return finish_lower_min_distances(lane_values, lane_rows, _mm256_movemask_ps(nan_seen) != 0, i, min_distances,
                                      codes, lookup, ks);
}

}  // namespace tarvinex::simd

#pragma GCC pop_options
