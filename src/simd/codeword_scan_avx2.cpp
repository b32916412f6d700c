/// AVX2 forms of the codeword scans and of the transposed scores.
///
/// A block of 16 codewords is two registers of eight lanes, one codeword per
/// lane. For the fixed-width routines, lane position j of the per-pair routine
/// (elements j, 8 + j, 16 + j, ... of the sub-vector) becomes one register
/// sum per codeword, added block by block in the same order, and the eight
/// position sums are combined by the routine's own tree; the slice form does
/// the same from zero, in lane order, then adds the tail. So every codeword's
/// distance is the per-pair routine's, bit for bit.
///
/// For speed: the row is broadcast from memory, each block costs one pass
/// over its Ds runs, and the first-minimum selection keeps one running
/// minimum and index per lane (strict less, so within a lane the first
/// codeword wins), merged across lanes by value and then index at the end.
/// Never FMA: -ffp-contract=off keeps every product rounded.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <limits>

#include "simd/codeword_scan.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

#include "simd/avx2_lane_least.hpp"

namespace tarvinex::simd {
namespace {

constexpr std::size_t kLanes = 8;
constexpr std::size_t kBlock = kCodewordBlockLanes;
constexpr float kInfinity = std::numeric_limits<float>::infinity();

enum class Order : std::uint8_t { Pairwise, LaneOrder, Simd4 };

/// (x_d − t)² for the eight codewords at t.
inline __m256 term(const float* row, std::size_t d, const float* t) {
    const __m256 difference = _mm256_sub_ps(_mm256_broadcast_ss(row + d), _mm256_loadu_ps(t + d * kBlock));
    return _mm256_mul_ps(difference, difference);
}

/// Position sum j over the full eight-element blocks: d_j, then + d_{8b+j}.
inline __m256 position_sum(const float* row, const float* t, std::size_t j, std::size_t full) {
    __m256 s = term(row, j, t);
    for (std::size_t i = kLanes + j; i < full; i += kLanes) {
        s = _mm256_add_ps(s, term(row, i, t));
    }
    return s;
}

/// Distances of the eight codewords whose element runs start at t (stride 16).
template <Order O, std::size_t FixedDs>
inline __m256 distances(const float* row, const float* t, std::size_t runtime_ds) {
    const std::size_t ds = FixedDs != 0 ? FixedDs : runtime_ds;
    if constexpr (O == Order::Simd4) {
        return _mm256_add_ps(_mm256_add_ps(term(row, 0, t), term(row, 2, t)),
                             _mm256_add_ps(term(row, 1, t), term(row, 3, t)));
    } else if constexpr (O == Order::Pairwise) {
        // h_i = s_i + s_{i+4}, then (h0 + h1) + (h2 + h3).
        const __m256 h0 = _mm256_add_ps(position_sum(row, t, 0, ds), position_sum(row, t, 4, ds));
        const __m256 h1 = _mm256_add_ps(position_sum(row, t, 1, ds), position_sum(row, t, 5, ds));
        const __m256 h2 = _mm256_add_ps(position_sum(row, t, 2, ds), position_sum(row, t, 6, ds));
        const __m256 h3 = _mm256_add_ps(position_sum(row, t, 3, ds), position_sum(row, t, 7, ds));
        return _mm256_add_ps(_mm256_add_ps(h0, h1), _mm256_add_ps(h2, h3));
    } else {
        // From zero, ((s0 + s1) + s2) + ... + s7, then the tail in order. A
        // position sum from zero is the sum itself: its terms are squares.
        const std::size_t full = ds - ds % kLanes;
        __m256 total = _mm256_setzero_ps();
        if (full != 0) {
            total = position_sum(row, t, 0, full);
            for (std::size_t j = 1; j < kLanes; ++j) {
                total = _mm256_add_ps(total, position_sum(row, t, j, full));
            }
        }
        for (std::size_t i = full; i < ds; ++i) {
            total = _mm256_add_ps(total, term(row, i, t));
        }
        return total;
    }
}

/// Lane-wise running minimum and its codeword index; a NaN never enters.
struct LaneBest {
    __m256 value;
    __m256i index;
};

inline LaneBest no_best() { return {_mm256_set1_ps(kInfinity), _mm256_setzero_si256()}; }

inline void keep_less(LaneBest& best, __m256 scores, __m256i indices) {
    const __m256 less = _mm256_cmp_ps(scores, best.value, _CMP_LT_OQ);
    best.value = _mm256_blendv_ps(best.value, scores, less);
    best.index =
        _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(best.index), _mm256_castsi256_ps(indices), less));
}

/// The least value over lanes, the lowest index among equal ones: the first
/// codeword of least distance, or (0, +inf) when none is below +inf. No lane
/// holds a NaN (only a strictly smaller distance enters), so the lane minimum
/// is exact; the value returned is the chosen lane's own. Without branches:
/// a scalar walk over the lanes mispredicted on most rows.
inline IndexedValue merge(const LaneBest& low, const LaneBest& high) {
    const __m256 least = all_lanes_least<false>(_mm256_min_ps(low.value, high.value));
    // Lanes off the least hold the largest index, so they never win the index minimum.
    const __m256i none = _mm256_set1_epi32(std::numeric_limits<std::int32_t>::max());
    const __m256 low_at = _mm256_cmp_ps(low.value, least, _CMP_EQ_OQ);
    const __m256 high_at = _mm256_cmp_ps(high.value, least, _CMP_EQ_OQ);
    const __m256i low_index =
        _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(none), _mm256_castsi256_ps(low.index), low_at));
    const __m256i high_index =
        _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(none), _mm256_castsi256_ps(high.index), high_at));
    const __m256i chosen_index =
        _mm256_castps_si256(all_lanes_least<true>(_mm256_castsi256_ps(_mm256_min_epi32(low_index, high_index))));
    const int low_chosen = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(low_index, chosen_index)));
    const int high_chosen = _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(high_index, chosen_index)));
    const unsigned chosen = static_cast<unsigned>(low_chosen) | static_cast<unsigned>(high_chosen) << kLanes;
    alignas(32) float values[2 * kLanes];
    _mm256_store_ps(values, low.value);
    _mm256_store_ps(values + kLanes, high.value);
    return {static_cast<std::uint64_t>(_mm256_cvtsi256_si32(chosen_index)), values[__builtin_ctz(chosen)]};
}

template <Order O, std::size_t FixedDs>
IndexedValue scan(const float* row, const float* blocks, std::size_t ks, std::size_t runtime_ds) {
    const std::size_t ds = FixedDs != 0 ? FixedDs : runtime_ds;
    LaneBest low = no_best();
    LaneBest high = no_best();
    __m256i low_indices = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    __m256i high_indices = _mm256_add_epi32(low_indices, _mm256_set1_epi32(kLanes));
    const __m256i step = _mm256_set1_epi32(kBlock);
    for (std::size_t first = 0; first < ks; first += kBlock) {
        const float* t = blocks + first * ds;
        keep_less(low, distances<O, FixedDs>(row, t, ds), low_indices);
        keep_less(high, distances<O, FixedDs>(row, t + kLanes, ds), high_indices);
        low_indices = _mm256_add_epi32(low_indices, step);
        high_indices = _mm256_add_epi32(high_indices, step);
    }
    return merge(low, high);
}

}  // namespace

IndexedValue nearest_codeword_simd4_avx2(const float* row, const float* blocks, std::size_t ks, std::size_t) noexcept {
    return scan<Order::Simd4, 4>(row, blocks, ks, 4);
}
IndexedValue nearest_codeword_simd8_avx2(const float* row, const float* blocks, std::size_t ks, std::size_t) noexcept {
    return scan<Order::Pairwise, 8>(row, blocks, ks, 8);
}
IndexedValue nearest_codeword_simd16_avx2(const float* row, const float* blocks, std::size_t ks, std::size_t) noexcept {
    return scan<Order::Pairwise, 16>(row, blocks, ks, 16);
}
IndexedValue nearest_codeword_simd32_avx2(const float* row, const float* blocks, std::size_t ks, std::size_t) noexcept {
    return scan<Order::Pairwise, 32>(row, blocks, ks, 32);
}
IndexedValue nearest_codeword_simd64_avx2(const float* row, const float* blocks, std::size_t ks, std::size_t) noexcept {
    return scan<Order::Pairwise, 64>(row, blocks, ks, 64);
}
IndexedValue nearest_codeword_pairwise_avx2(const float* row, const float* blocks, std::size_t ks,
                                            std::size_t ds) noexcept {
    return scan<Order::Pairwise, 0>(row, blocks, ks, ds);
}

IndexedValue nearest_codeword_slice_avx2(const float* row, const float* blocks, std::size_t ks,
                                         std::size_t ds) noexcept {
    return scan<Order::LaneOrder, 0>(row, blocks, ks, ds);
}

void transposed_scores_avx2(const float* row, const float* transposed, const float* norms, std::size_t ks,
                            std::size_t ds, float* scores) noexcept {
    // Four registers of codewords at a time stay in registers over all ds
    // scaled additions; each lane adds in d order, as the slice kernel does.
    std::size_t c = 0;
    for (; c + 4 * kLanes <= ks; c += 4 * kLanes) {
        __m256 s0 = _mm256_loadu_ps(norms + c);
        __m256 s1 = _mm256_loadu_ps(norms + c + kLanes);
        __m256 s2 = _mm256_loadu_ps(norms + c + 2 * kLanes);
        __m256 s3 = _mm256_loadu_ps(norms + c + 3 * kLanes);
        for (std::size_t d = 0; d < ds; ++d) {
            const __m256 scale = _mm256_set1_ps(row[d] * -2.0F);
            const float* t = transposed + d * ks + c;
            s0 = _mm256_add_ps(s0, _mm256_mul_ps(scale, _mm256_loadu_ps(t)));
            s1 = _mm256_add_ps(s1, _mm256_mul_ps(scale, _mm256_loadu_ps(t + kLanes)));
            s2 = _mm256_add_ps(s2, _mm256_mul_ps(scale, _mm256_loadu_ps(t + 2 * kLanes)));
            s3 = _mm256_add_ps(s3, _mm256_mul_ps(scale, _mm256_loadu_ps(t + 3 * kLanes)));
        }
        _mm256_storeu_ps(scores + c, s0);
        _mm256_storeu_ps(scores + c + kLanes, s1);
        _mm256_storeu_ps(scores + c + 2 * kLanes, s2);
        _mm256_storeu_ps(scores + c + 3 * kLanes, s3);
    }
    for (; c + kLanes <= ks; c += kLanes) {
        __m256 s = _mm256_loadu_ps(norms + c);
        for (std::size_t d = 0; d < ds; ++d) {
            s = _mm256_add_ps(s,
                              _mm256_mul_ps(_mm256_set1_ps(row[d] * -2.0F), _mm256_loadu_ps(transposed + d * ks + c)));
        }
        _mm256_storeu_ps(scores + c, s);
    }
    for (; c < ks; ++c) {
        float s = norms[c];
        for (std::size_t d = 0; d < ds; ++d) {
            const float product = (row[d] * -2.0F) * transposed[d * ks + c];
            s = s + product;
        }
        scores[c] = s;
    }
}

}  // namespace tarvinex::simd

#pragma GCC pop_options
