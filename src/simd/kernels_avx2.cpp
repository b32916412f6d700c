/// AVX2 forms of the slice kernels, and the AVX2 fixed-width distances.
///
/// Eight lanes: lane j sums elements 8b + j of the full blocks b in block
/// order, with exactly one accumulator per lane and center (a second
/// accumulator would regroup the sums and change their last bits). The lane
/// sums are reduced pairwise or in lane order as each kernel documents, then
/// the tail is added element by element.
///
/// For speed: loads are unaligned; the nearest-center kernels share one pass
/// over the row among a group of four centers; the distance and addition loops
/// take two blocks per step and argmin four, with one independent minimum per
/// block (a minimum does not depend on grouping). Never FMA: every product is
/// rounded before it is added, which -ffp-contract=off guarantees.

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "simd/distance.hpp"
#include "simd/lookup_rows.hpp"
#include "simd/slice_kernels.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

#include "simd/avx2_lane_least.hpp"

namespace tarvinex::simd {
namespace {

constexpr std::size_t kLanes = 8;
constexpr float kInfinity = std::numeric_limits<float>::infinity();

enum class Reduction : std::uint8_t { Pairwise, LaneOrder };
enum class Score : std::uint8_t { SquaredDistance, Dot };

inline __m256 load(const float* p) { return _mm256_loadu_ps(p); }

inline __m256 squared_difference(__m256 a, __m256 b) {
    const __m256 d = _mm256_sub_ps(a, b);
    return _mm256_mul_ps(d, d);
}

/// h_i = s_i + s_{i+4}, then (h0 + h1) + (h2 + h3).
inline float reduce_pairwise(__m256 s) {
    const __m128 h = _mm_add_ps(_mm256_castps256_ps128(s), _mm256_extractf128_ps(s, 1));
    // [h0 + h1, h1 + h0, h2 + h3, h3 + h2]
    const __m128 pairs = _mm_add_ps(h, _mm_shuffle_ps(h, h, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_movehl_ps(pairs, pairs)));
}

/// ((s0 + s1) + s2) + ... + s7.
inline float reduce_lane_order(__m256 s) {
    alignas(32) float lanes[kLanes];
    _mm256_store_ps(lanes, s);
    float total = lanes[0];
    for (std::size_t j = 1; j < kLanes; ++j) {
        total = total + lanes[j];
    }
    return total;
}

template <Reduction R>
inline float reduce(__m256 s) {
    if constexpr (R == Reduction::Pairwise) {
        return reduce_pairwise(s);
    } else {
        return reduce_lane_order(s);
    }
}

template <Score S>
inline __m256 block_term(__m256 x, __m256 c) {
    if constexpr (S == Score::Dot) {
        return _mm256_mul_ps(x, c);
    } else {
        return squared_difference(x, c);
    }
}

template <Score S>
inline float element_term(float x, float c) {
    if constexpr (S == Score::Dot) {
        return x * c;
    } else {
        const float d = x - c;
        return d * d;
    }
}

/// Scores of `Group` consecutive centers (the first at `center`, stride dim),
/// from one pass over the row's full blocks, then the reduction, then the tail.
template <std::size_t Group, Reduction R, Score S>
inline void score_group(const float* row, const float* center, std::size_t dim, float* scores) {
    const std::size_t full = dim - dim % kLanes;
    __m256 acc[Group];
#pragma GCC unroll 8
    for (std::size_t q = 0; q < Group; ++q) {
        acc[q] = _mm256_setzero_ps();
    }
    for (std::size_t i = 0; i < full; i += kLanes) {
        const __m256 x = load(row + i);
#pragma GCC unroll 8
        for (std::size_t q = 0; q < Group; ++q) {
            acc[q] = _mm256_add_ps(acc[q], block_term<S>(x, load(center + q * dim + i)));
        }
    }
#pragma GCC unroll 8
    for (std::size_t q = 0; q < Group; ++q) {
        const float* c = center + q * dim;
        float s = reduce<R>(acc[q]);
        for (std::size_t i = full; i < dim; ++i) {
            s = s + element_term<S>(row[i], c[i]);
        }
        scores[q] = s;
    }
}

inline void keep_if_less(IndexedValue& best, std::size_t index, float score) {
    if (score < best.value) {
        best = {index, score};
    }
}

inline void keep_if_greater(IndexedValue& best, std::size_t index, float score) {
    if (score > best.value) {
        best = {index, score};
    }
}

/// Lane minimum of the non-NaN lanes; `v` holds no NaN.
inline float horizontal_min(__m256 v) {
    __m128 m = _mm_min_ps(_mm256_castps256_ps128(v), _mm256_extractf128_ps(v, 1));
    m = _mm_min_ps(m, _mm_movehl_ps(m, m));
    m = _mm_min_ss(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 1, 1, 1)));
    return _mm_cvtss_f32(m);
}

/// Lane j starts with d_j and adds d_{8b+j} block by block; pairwise reduction.
template <std::size_t N>
inline float fixed_width_distance(const float* a, const float* b) {
    __m256 acc = squared_difference(load(a), load(b));
#pragma GCC unroll 8
    for (std::size_t i = kLanes; i < N; i += kLanes) {
        acc = _mm256_add_ps(acc, squared_difference(load(a + i), load(b + i)));
    }
    return reduce_pairwise(acc);
}

}  // namespace

IndexedValue argmin_avx2(std::span<const float> values) noexcept {
    const float* v = values.data();
    const std::size_t n = values.size();
    if (n == 0) {
        return {0, kInfinity};
    }
    const std::size_t full = n - n % kLanes;
    // _mm256_min_ps(x, m) returns m when either is NaN; m starts at +inf and so
    // never holds a NaN, and a NaN element never enters it.
    __m256 m0 = _mm256_set1_ps(kInfinity);
    __m256 m1 = m0;
    __m256 m2 = m0;
    __m256 m3 = m0;
    std::size_t i = 0;
    for (; i + 4 * kLanes <= full; i += 4 * kLanes) {
        m0 = _mm256_min_ps(load(v + i), m0);
        m1 = _mm256_min_ps(load(v + i + kLanes), m1);
        m2 = _mm256_min_ps(load(v + i + 2 * kLanes), m2);
        m3 = _mm256_min_ps(load(v + i + 3 * kLanes), m3);
    }
    for (; i < full; i += kLanes) {
        m0 = _mm256_min_ps(load(v + i), m0);
    }
    float minimum = horizontal_min(_mm256_min_ps(_mm256_min_ps(m0, m1), _mm256_min_ps(m2, m3)));
    for (; i < n; ++i) {
        if (v[i] < minimum) {
            minimum = v[i];
        }
    }
    // The first index holding the minimum. With every element NaN nothing
    // equals +inf and the result is (0, +inf).
    const __m256 target = _mm256_set1_ps(minimum);
    for (i = 0; i < full; i += kLanes) {
        const int mask = _mm256_movemask_ps(_mm256_cmp_ps(load(v + i), target, _CMP_EQ_OQ));
        if (mask != 0) {
            const std::size_t index = i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
            return {index, minimum};
        }
    }
    for (; i < n; ++i) {
        if (v[i] == minimum) {
            return {i, minimum};
        }
    }
    return {0, minimum};
}

namespace {

/// Lane-wise the best value so far (least distance or greatest score) and
/// its index.
struct LaneBest {
    __m256 value;
    __m256i index;
};

inline LaneBest no_least() { return {_mm256_set1_ps(kInfinity), _mm256_setzero_si256()}; }

/// Eight distances from scores j .. j + 7, folded into `least`: only a
/// strictly smaller distance enters, so a NaN never does and a lane keeps
/// its first.
inline void keep_least_distances(LaneBest& least, const float* s, const float* c, __m256 row, std::size_t j,
                                 __m256i lanes) {
    const __m256 x = load(s + j);
    const __m256 d = _mm256_sub_ps(_mm256_add_ps(load(c + j), row), _mm256_add_ps(x, x));
    // Below zero only as a rounding artefact; NaN compares false and stays.
    const __m256 distance = _mm256_andnot_ps(_mm256_cmp_ps(d, _mm256_setzero_ps(), _CMP_LT_OQ), d);
    const __m256 less = _mm256_cmp_ps(distance, least.value, _CMP_LT_OQ);
    least.value = _mm256_blendv_ps(least.value, distance, less);
    const __m256i index = _mm256_add_epi32(lanes, _mm256_set1_epi32(static_cast<int>(j)));
    least.index =
        _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(least.index), _mm256_castsi256_ps(index), less));
}

/// The indices of the lanes holding `least`, the largest index elsewhere.
inline __m256i indices_at(const LaneBest& set, __m256 least) {
    const __m256i none = _mm256_set1_epi32(std::numeric_limits<std::int32_t>::max());
    return _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(none), _mm256_castsi256_ps(set.index),
                                                _mm256_cmp_ps(set.value, least, _CMP_EQ_OQ)));
}

}  // namespace

namespace {

/// Eight scores from j on, folded into lane-wise greatest-so-far: only a
/// strictly greater score enters, so a NaN never does and a lane keeps its first.
inline void keep_greatest_scores(LaneBest& greatest, const float* s, std::size_t j, __m256i lanes) {
    const __m256 x = load(s + j);
    const __m256 greater = _mm256_cmp_ps(x, greatest.value, _CMP_GT_OQ);
    greatest.value = _mm256_blendv_ps(greatest.value, x, greater);
    const __m256i index = _mm256_add_epi32(lanes, _mm256_set1_epi32(static_cast<int>(j)));
    greatest.index =
        _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(greatest.index), _mm256_castsi256_ps(index), greater));
}

}  // namespace

IndexedValue greatest_score_avx2(std::span<const float> scores) noexcept {
    const float* s = scores.data();
    const std::size_t n = scores.size();
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    // Two sets of lanes, so the compare-and-keep chains of alternate blocks overlap.
    const LaneBest none{_mm256_set1_ps(-kInfinity), _mm256_setzero_si256()};
    LaneBest even = none;
    LaneBest odd = none;
    std::size_t j = 0;
    for (; j + 2 * kLanes <= n; j += 2 * kLanes) {
        keep_greatest_scores(even, s, j, lanes);
        keep_greatest_scores(odd, s, j + kLanes, lanes);
    }
    if (j + kLanes <= n) {
        keep_greatest_scores(even, s, j, lanes);
        j += kLanes;
    }
    // The greatest over both sets, then the lowest index holding it: the first
    // greatest score of the blocks, with its own value.
    alignas(32) float values[2 * kLanes];
    alignas(32) std::int32_t indices[2 * kLanes];
    _mm256_store_ps(values, even.value);
    _mm256_store_ps(values + kLanes, odd.value);
    _mm256_store_si256(reinterpret_cast<__m256i*>(indices), even.index);
    _mm256_store_si256(reinterpret_cast<__m256i*>(indices + kLanes), odd.index);
    float maximum = -kInfinity;
    for (const float v : values) {
        maximum = std::max(maximum, v);
    }
    IndexedValue best{0, -kInfinity};
    if (maximum > -kInfinity) {
        std::int32_t index = std::numeric_limits<std::int32_t>::max();
        for (std::size_t lane = 0; lane < 2 * kLanes; ++lane) {
            index = values[lane] == maximum ? std::min(index, indices[lane]) : index;
        }
        best = {static_cast<std::size_t>(index), s[index]};
    }
    // The scores past the last full register, by the portable form.
    const IndexedValue tail = greatest_score_scalar(scores.subspan(j));
    return tail.value > best.value ? IndexedValue{j + tail.index, tail.value} : best;
}

IndexedValue least_l2_from_scores_avx2(std::span<const float> scores, std::span<const float> center_norms,
                                       float row_norm) noexcept {
    const float* s = scores.data();
    const float* c = center_norms.data();
    const std::size_t n = scores.size();
    const __m256 row = _mm256_set1_ps(row_norm);
    const __m256i lanes = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    // Two sets of lanes, so the compare-and-keep chains of alternate blocks overlap.
    LaneBest even = no_least();
    LaneBest odd = no_least();
    std::size_t j = 0;
    for (; j + 2 * kLanes <= n; j += 2 * kLanes) {
        keep_least_distances(even, s, c, row, j, lanes);
        keep_least_distances(odd, s, c, row, j + kLanes, lanes);
    }
    if (j + kLanes <= n) {
        keep_least_distances(even, s, c, row, j, lanes);
        j += kLanes;
    }
    // The least over both sets, then the lowest index holding it: the first
    // least distance of the blocks. Distances are never -0 (norms are sums of
    // squares from +0), so the least value is one number.
    IndexedValue best{0, kInfinity};
    const __m256 least = all_lanes_least<false>(_mm256_min_ps(even.value, odd.value));
    const float minimum = _mm256_cvtss_f32(least);
    if (minimum < kInfinity) {
        const __m256 index = all_lanes_least<true>(
            _mm256_castsi256_ps(_mm256_min_epi32(indices_at(even, least), indices_at(odd, least))));
        best = {static_cast<std::uint64_t>(_mm256_cvtsi256_si32(_mm256_castps_si256(index))), minimum};
    }
    // The scores past the last full register, by the portable form.
    const IndexedValue tail = least_l2_from_scores_scalar(scores.subspan(j), center_norms.subspan(j), row_norm);
    return tail.value < best.value ? IndexedValue{j + tail.index, tail.value} : best;
}

float l2_distance_avx2(std::span<const float> a, std::span<const float> b) noexcept {
    const float* pa = a.data();
    const float* pb = b.data();
    const std::size_t n = a.size();
    const std::size_t full = n - n % kLanes;
    __m256 acc = _mm256_setzero_ps();
    std::size_t i = 0;
    for (; i + 2 * kLanes <= full; i += 2 * kLanes) {
        acc = _mm256_add_ps(acc, squared_difference(load(pa + i), load(pb + i)));
        acc = _mm256_add_ps(acc, squared_difference(load(pa + i + kLanes), load(pb + i + kLanes)));
    }
    if (i < full) {
        acc = _mm256_add_ps(acc, squared_difference(load(pa + i), load(pb + i)));
        i += kLanes;
    }
    float total = reduce_lane_order(acc);
    for (; i < n; ++i) {
        total = total + element_term<Score::SquaredDistance>(pa[i], pb[i]);
    }
    return total;
}

void add_assign_avx2(std::span<float> dst, std::span<const float> src) noexcept {
    float* d = dst.data();
    const float* s = src.data();
    const std::size_t n = dst.size();
    std::size_t i = 0;
    for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
        _mm256_storeu_ps(d + i, _mm256_add_ps(load(d + i), load(s + i)));
        _mm256_storeu_ps(d + i + kLanes, _mm256_add_ps(load(d + i + kLanes), load(s + i + kLanes)));
    }
    if (i + kLanes <= n) {
        _mm256_storeu_ps(d + i, _mm256_add_ps(load(d + i), load(s + i)));
        i += kLanes;
    }
    for (; i < n; ++i) {
        d[i] = d[i] + s[i];
    }
}

void scaled_add_assign_avx2(std::span<float> dst, std::span<const float> src, float scale) noexcept {
    float* d = dst.data();
    const float* s = src.data();
    const std::size_t n = dst.size();
    const __m256 factor = _mm256_set1_ps(scale);
    std::size_t i = 0;
    for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
        _mm256_storeu_ps(d + i, _mm256_add_ps(load(d + i), _mm256_mul_ps(factor, load(s + i))));
        _mm256_storeu_ps(d + i + kLanes,
                         _mm256_add_ps(load(d + i + kLanes), _mm256_mul_ps(factor, load(s + i + kLanes))));
    }
    if (i + kLanes <= n) {
        _mm256_storeu_ps(d + i, _mm256_add_ps(load(d + i), _mm256_mul_ps(factor, load(s + i))));
        i += kLanes;
    }
    for (; i < n; ++i) {
        const float product = scale * s[i];
        d[i] = d[i] + product;
    }
}

IndexedValue nearest_l2_center_avx2(std::span<const float> row, std::span<const float> centers, std::size_t k,
                                    std::size_t dim) noexcept {
    IndexedValue best{0, kInfinity};
    float scores[4];
    std::size_t j = 0;
    for (; j + 4 <= k; j += 4) {
        score_group<4, Reduction::Pairwise, Score::SquaredDistance>(row.data(), centers.data() + j * dim, dim, scores);
        for (std::size_t q = 0; q < 4; ++q) {
            keep_if_less(best, j + q, scores[q]);
        }
    }
    for (; j < k; ++j) {
        score_group<1, Reduction::LaneOrder, Score::SquaredDistance>(row.data(), centers.data() + j * dim, dim, scores);
        keep_if_less(best, j, scores[0]);
    }
    return best;
}

IndexedValue nearest_dot_center_avx2(std::span<const float> row, std::span<const float> centers, std::size_t k,
                                     std::size_t dim) noexcept {
    IndexedValue best{0, -kInfinity};
    float scores[4];
    std::size_t j = 0;
    for (; j + 4 <= k; j += 4) {
        score_group<4, Reduction::Pairwise, Score::Dot>(row.data(), centers.data() + j * dim, dim, scores);
        for (std::size_t q = 0; q < 4; ++q) {
            keep_if_greater(best, j + q, scores[q]);
        }
    }
    for (; j < k; ++j) {
        score_group<1, Reduction::Pairwise, Score::Dot>(row.data(), centers.data() + j * dim, dim, scores);
        keep_if_greater(best, j, scores[0]);
    }
    return best;
}

namespace {

/// Folds `Groups` lane groups of totals (centers first .. first + 8*Groups - 1)
/// into `best` as a walk in center order would, a total replacing it only
/// when strictly smaller: the first center holding the least total, when that
/// total is below `best`. Without a branch per lane (a lane-by-lane walk
/// mispredicted at most folds): MINPS returns its second operand when either
/// is NaN, so from +inf the lane minimum never holds a NaN and is exact in
/// any order, and the first lane equal to it is the walk's choice, with its
/// own value.
template <std::size_t Groups>
inline void keep_least_lanes(IndexedValue& best, std::size_t first, const __m256* acc) {
    __m256 least = _mm256_set1_ps(kInfinity);
#pragma GCC unroll 4
    for (std::size_t g = 0; g < Groups; ++g) {
        least = _mm256_min_ps(acc[g], least);
    }
    least = all_lanes_least<false>(least);
    if (!(_mm256_cvtss_f32(least) < best.value)) {
        return;
    }
    for (std::size_t g = 0; g < Groups; ++g) {
        const int at_least = _mm256_movemask_ps(_mm256_cmp_ps(acc[g], least, _CMP_EQ_OQ));
        if (at_least != 0) {
            alignas(32) float lanes[kLanes];
            _mm256_store_ps(lanes, acc[g]);
            const auto lane = static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(at_least)));
            best = {first + g * kLanes + lane, lanes[lane]};
            return;
        }
    }
}

/// Whether some lane of the groups is below `threshold` (which holds no
/// NaN). MINPS returns its second operand when either is NaN, so a NaN total
/// leaves the running least as it was and never counts.
template <std::size_t Groups>
inline bool any_lane_below(const __m256* acc, __m256 threshold) {
    __m256 least = threshold;
#pragma GCC unroll 4
    for (std::size_t g = 0; g < Groups; ++g) {
        least = _mm256_min_ps(acc[g], least);
    }
    return _mm256_movemask_ps(_mm256_cmp_ps(least, threshold, _CMP_LT_OQ)) != 0;
}

/// Totals of `Groups` adjacent lane groups of centers, the first at entry j
/// of each table row of `stride` entries. With M fixed (8 or 16, the common
/// widths) the caller has found the row's M table rows once (`entry_rows`);
/// otherwise each step finds them from the codes.
template <std::size_t Groups, std::size_t FixedM>
inline void lookup_totals(const std::uint8_t* code, std::size_t m_count, const float* t, std::size_t ks,
                          std::size_t stride, const float* const* entry_rows, std::size_t j, __m256* acc) {
    if constexpr (FixedM == 0) {
        const float* first = t + code[0] * stride + j;
#pragma GCC unroll 4
        for (std::size_t g = 0; g < Groups; ++g) {
            acc[g] = load(first + g * kLanes);
        }
        for (std::size_t m = 1; m < m_count; ++m) {
            const float* entries = t + (m * ks + code[m]) * stride + j;
#pragma GCC unroll 4
            for (std::size_t g = 0; g < Groups; ++g) {
                acc[g] = _mm256_add_ps(acc[g], load(entries + g * kLanes));
            }
        }
    } else {
#pragma GCC unroll 4
        for (std::size_t g = 0; g < Groups; ++g) {
            acc[g] = load(entry_rows[0] + j + g * kLanes);
        }
#pragma GCC unroll 16
        for (std::size_t m = 1; m < FixedM; ++m) {
#pragma GCC unroll 4
            for (std::size_t g = 0; g < Groups; ++g) {
                acc[g] = _mm256_add_ps(acc[g], load(entry_rows[m] + j + g * kLanes));
            }
        }
    }
}

/// One step of `Groups` lane groups at center j: the totals, and only when
/// some lane beats the best so far, the fold in center order.
template <std::size_t Groups, std::size_t FixedM>
inline void lookup_step(const std::uint8_t* code, std::size_t m_count, const float* t, std::size_t ks, std::size_t k,
                        const float* const* entry_rows, std::size_t j, std::size_t first_center, IndexedValue& best,
                        __m256& threshold) {
    __m256 acc[Groups];
    lookup_totals<Groups, FixedM>(code, m_count, t, ks, k, entry_rows, j, acc);
    if (any_lane_below<Groups>(acc, threshold)) {
        keep_least_lanes<Groups>(best, first_center + j, acc);
        threshold = _mm256_set1_ps(best.value);
    }
}

/// Every full lane group of the walk; returns the first center left over.
template <std::size_t FixedM>
inline std::size_t lookup_lane_groups(const std::uint8_t* code, std::size_t m_count, const float* t, std::size_t ks,
                                      std::size_t k, std::size_t first_center, IndexedValue& best) {
    const float* entry_rows[FixedM == 0 ? 1 : FixedM];
    if constexpr (FixedM != 0) {
#pragma GCC unroll 16
        for (std::size_t m = 0; m < FixedM; ++m) {
            entry_rows[m] = t + (m * ks + code[m]) * k;
        }
    }
    // `best` never holds a NaN: it starts at a total that won or at +inf.
    __m256 threshold = _mm256_set1_ps(best.value);
    std::size_t j = 0;
    for (; j + 4 * kLanes <= k; j += 4 * kLanes) {
        lookup_step<4, FixedM>(code, m_count, t, ks, k, entry_rows, j, first_center, best, threshold);
    }
    if (j + 2 * kLanes <= k) {
        lookup_step<2, FixedM>(code, m_count, t, ks, k, entry_rows, j, first_center, best, threshold);
        j += 2 * kLanes;
    }
    if (j + kLanes <= k) {
        lookup_step<1, FixedM>(code, m_count, t, ks, k, entry_rows, j, first_center, best, threshold);
        j += kLanes;
    }
    return j;
}

}  // namespace

IndexedValue lookup_min_from_avx2(std::span<const std::uint8_t> codes, std::span<const float> table, std::size_t ks,
                                  std::size_t k, std::size_t first_center, IndexedValue best) noexcept {
    const std::uint8_t* code = codes.data();
    const std::size_t m_count = codes.size();
    const float* t = table.data();
    // One lane per center: the lanes are never summed across, so the totals
    // equal the portable ones bit for bit. Four lane groups at a time read
    // each table row in one run of adjacent cache lines, and most steps end
    // after one vector comparison with the best so far.
    std::size_t j = 0;
    if (m_count == 8) {
        j = lookup_lane_groups<8>(code, m_count, t, ks, k, first_center, best);
    } else if (m_count == 16) {
        j = lookup_lane_groups<16>(code, m_count, t, ks, k, first_center, best);
    } else {
        j = lookup_lane_groups<0>(code, m_count, t, ks, k, first_center, best);
    }
    return detail::lookup_min_one_by_one(code, m_count, t, ks, k, j, first_center, best);
}

void lookup_min_rows_avx2(std::span<const std::uint8_t> codes, std::size_t m_count, std::span<const float> block,
                          std::size_t ks, std::size_t width, std::size_t first_center, std::span<std::size_t> labels,
                          std::span<float> distances) noexcept {
    if (m_count == 8) {
        detail::lookup_rows_of_fixed_width<8, lookup_lane_groups<8>>(codes, block.data(), ks, width, first_center,
                                                                     labels, distances);
        return;
    }
    if (m_count == 16) {
        detail::lookup_rows_of_fixed_width<16, lookup_lane_groups<16>>(codes, block.data(), ks, width, first_center,
                                                                       labels, distances);
        return;
    }
    detail::lookup_min_rows_with<lookup_min_from_avx2>(codes, m_count, block, ks, width, first_center, labels,
                                                       distances);
}

IndexedValue select_lookup_min_avx2(std::span<const std::uint8_t> codes, std::span<const float> table, std::size_t ks,
                                    std::size_t k) noexcept {
    return lookup_min_from_avx2(codes, table, ks, k, 0, IndexedValue{0, kInfinity});
}

float simd8_distance_impl(const float* a, const float* b) noexcept { return fixed_width_distance<8>(a, b); }
float simd16_distance_impl(const float* a, const float* b) noexcept { return fixed_width_distance<16>(a, b); }
float simd32_distance_impl(const float* a, const float* b) noexcept { return fixed_width_distance<32>(a, b); }
float simd64_distance_impl(const float* a, const float* b) noexcept { return fixed_width_distance<64>(a, b); }

}  // namespace tarvinex::simd

#pragma GCC pop_options
