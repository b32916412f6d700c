/// AVX-512F forms of the slice kernels, and the AVX-512 fixed-width distances.
///
/// Sixteen lanes: lane j sums elements 16b + j of the full blocks b in block
/// order, with exactly one accumulator per lane and center. Every reduction
/// here is in lane order, ((s0 + s1) + s2) + ... + s15, then the tail is added
/// element by element.
///
/// For speed: loads are unaligned; the nearest-center kernels share one pass
/// over the row among up to eight centers; the distance and addition loops take
/// two blocks per step and argmin four, with one independent minimum per block.
/// AVX-512F makes FMA instructions available to the compiler: every product
/// here is a separate multiply then add, and -ffp-contract=off keeps them
/// apart (the tests hold a witness that fails if they are fused).

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>

#include "simd/distance.hpp"
#include "simd/lookup_rows.hpp"
#include "simd/slice_kernels.hpp"

#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12's AVX-512 intrinsics fill their unused pass-through operand from
// _mm512_undefined_ps(), which -Wmaybe-uninitialized (and, inlined into the
// transposes, -Wuninitialized) reports at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace tarvinex::simd {
namespace {

constexpr std::size_t kLanes = 16;
/// Codebooks of at least this many codewords are scanned in 256-bit lanes.
constexpr float kInfinity = std::numeric_limits<float>::infinity();

enum class Score : std::uint8_t { SquaredDistance, Dot };

inline __m512 load(const float* p) { return _mm512_loadu_ps(p); }

inline __m512 squared_difference(__m512 a, __m512 b) {
    const __m512 d = _mm512_sub_ps(a, b);
    return _mm512_mul_ps(d, d);
}

/// ((s0 + s1) + s2) + ... + s15.
inline float reduce_lane_order(__m512 s) {
    alignas(64) float lanes[kLanes];
    _mm512_store_ps(lanes, s);
    float total = lanes[0];
    for (std::size_t j = 1; j < kLanes; ++j) {
        total = total + lanes[j];
    }
    return total;
}

template <Score S>
inline __m512 block_term(__m512 x, __m512 c) {
    if constexpr (S == Score::Dot) {
        return _mm512_mul_ps(x, c);
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

/// Lane sums of `Group` consecutive centers (the first at `center`, stride
/// dim) over the row's full blocks, one pass over the row.
template <std::size_t Group, Score S>
inline void accumulate_group(const float* row, const float* center, std::size_t dim, std::size_t full, __m512* acc) {
#pragma GCC unroll 16
    for (std::size_t q = 0; q < Group; ++q) {
        acc[q] = _mm512_setzero_ps();
    }
    for (std::size_t i = 0; i < full; i += kLanes) {
        const __m512 x = load(row + i);
#pragma GCC unroll 16
        for (std::size_t q = 0; q < Group; ++q) {
            acc[q] = _mm512_add_ps(acc[q], block_term<S>(x, load(center + q * dim + i)));
        }
    }
}

/// Each center's elements past the full blocks, added to its score in order.
template <std::size_t Group, Score S>
inline void add_tails(const float* row, const float* center, std::size_t dim, std::size_t full, float* scores) {
    for (std::size_t q = 0; q < Group && full < dim; ++q) {
        const float* c = center + q * dim;
        float s = scores[q];
        for (std::size_t i = full; i < dim; ++i) {
            s = s + element_term<S>(row[i], c[i]);
        }
        scores[q] = s;
    }
}

/// Scores of `Group` consecutive centers from their lane sums in lane order,
/// then the tail.
template <std::size_t Group, Score S>
inline void score_group(const float* row, const float* center, std::size_t dim, float* scores) {
    const std::size_t full = dim - dim % kLanes;
    __m512 acc[Group];
    accumulate_group<Group, S>(row, center, dim, full, acc);
#pragma GCC unroll 8
    for (std::size_t q = 0; q < Group; ++q) {
        scores[q] = reduce_lane_order(acc[q]);
    }
    add_tails<Group, S>(row, center, dim, full, scores);
}

/// v[i] = lane i of every one of the 16 vectors a[0..15]: lane q of v[i] is
/// a[q][i]. Unpacks pair the elements within 128-bit lanes, 128-bit lane
/// shuffles then move them across.
inline void transpose_16x16(const __m512* a, __m512* v) {
    __m512 t[kLanes];
#pragma GCC unroll 8
    for (std::size_t p = 0; p < kLanes; p += 2) {
        t[p] = _mm512_unpacklo_ps(a[p], a[p + 1]);
        t[p + 1] = _mm512_unpackhi_ps(a[p], a[p + 1]);
    }
    // u[4g + e], 128-bit lane L: rows 4g .. 4g + 3 at element 4L + e.
    __m512 u[kLanes];
#pragma GCC unroll 4
    for (std::size_t g = 0; g < 4; ++g) {
        const __m512d lo = _mm512_castps_pd(t[4 * g]);
        const __m512d hi = _mm512_castps_pd(t[4 * g + 1]);
        const __m512d lo2 = _mm512_castps_pd(t[4 * g + 2]);
        const __m512d hi2 = _mm512_castps_pd(t[4 * g + 3]);
        u[4 * g + 0] = _mm512_castpd_ps(_mm512_unpacklo_pd(lo, lo2));
        u[4 * g + 1] = _mm512_castpd_ps(_mm512_unpackhi_pd(lo, lo2));
        u[4 * g + 2] = _mm512_castpd_ps(_mm512_unpacklo_pd(hi, hi2));
        u[4 * g + 3] = _mm512_castpd_ps(_mm512_unpackhi_pd(hi, hi2));
    }
    // v[4L + e], 128-bit lane g = u[4g + e], 128-bit lane L.
#pragma GCC unroll 4
    for (std::size_t e = 0; e < 4; ++e) {
        const __m512 x0 = _mm512_shuffle_f32x4(u[e], u[4 + e], _MM_SHUFFLE(1, 0, 1, 0));
        const __m512 x1 = _mm512_shuffle_f32x4(u[e], u[4 + e], _MM_SHUFFLE(3, 2, 3, 2));
        const __m512 y0 = _mm512_shuffle_f32x4(u[8 + e], u[12 + e], _MM_SHUFFLE(1, 0, 1, 0));
        const __m512 y1 = _mm512_shuffle_f32x4(u[8 + e], u[12 + e], _MM_SHUFFLE(3, 2, 3, 2));
        v[0 + e] = _mm512_shuffle_f32x4(x0, y0, _MM_SHUFFLE(2, 0, 2, 0));
        v[4 + e] = _mm512_shuffle_f32x4(x0, y0, _MM_SHUFFLE(3, 1, 3, 1));
        v[8 + e] = _mm512_shuffle_f32x4(x1, y1, _MM_SHUFFLE(2, 0, 2, 0));
        v[12 + e] = _mm512_shuffle_f32x4(x1, y1, _MM_SHUFFLE(3, 1, 3, 1));
    }
}

/// The scores of 16 consecutive centers as `score_group` gives them, each
/// center's lanes added in lane order: the 16 accumulators are transposed so
/// that one vector add performs the same step of every center's sum.
template <Score S>
inline void score_sixteen(const float* row, const float* center, std::size_t dim, float* scores) {
    const std::size_t full = dim - dim % kLanes;
    __m512 acc[kLanes];
    accumulate_group<kLanes, S>(row, center, dim, full, acc);
    __m512 lanes[kLanes];
    transpose_16x16(acc, lanes);
    __m512 total = lanes[0];
#pragma GCC unroll 16
    for (std::size_t i = 1; i < kLanes; ++i) {
        total = _mm512_add_ps(total, lanes[i]);
    }
    _mm512_storeu_ps(scores, total);
    add_tails<kLanes, S>(row, center, dim, full, scores);
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

/// The group of `Group` centers starting at center j, compared in index order.
template <std::size_t Group, Score S>
inline void select_in_group(const float* row, const float* centers, std::size_t j, std::size_t dim,
                            IndexedValue& best) {
    alignas(64) float scores[Group];
    if constexpr (Group == kLanes) {
        score_sixteen<S>(row, centers + j * dim, dim, scores);
    } else {
        score_group<Group, S>(row, centers + j * dim, dim, scores);
    }
    for (std::size_t q = 0; q < Group; ++q) {
        if constexpr (S == Score::Dot) {
            keep_if_greater(best, j + q, scores[q]);
        } else {
            keep_if_less(best, j + q, scores[q]);
        }
    }
}

/// Lane j starts with d_j and adds d_{16b+j} block by block; lane order.
template <std::size_t N>
inline float fixed_width_distance(const float* a, const float* b) {
    __m512 acc = squared_difference(load(a), load(b));
#pragma GCC unroll 4
    for (std::size_t i = kLanes; i < N; i += kLanes) {
        acc = _mm512_add_ps(acc, squared_difference(load(a + i), load(b + i)));
    }
    return reduce_lane_order(acc);
}

}  // namespace

IndexedValue argmin_avx512(std::span<const float> values) noexcept {
    const float* v = values.data();
    const std::size_t n = values.size();
    if (n == 0) {
        return {0, kInfinity};
    }
    const std::size_t full = n - n % kLanes;
    // _mm512_min_ps(x, m) returns m when either is NaN; m starts at +inf and so
    // never holds a NaN, and a NaN element never enters it.
    __m512 m0 = _mm512_set1_ps(kInfinity);
    __m512 m1 = m0;
    __m512 m2 = m0;
    __m512 m3 = m0;
    std::size_t i = 0;
    for (; i + 4 * kLanes <= full; i += 4 * kLanes) {
        m0 = _mm512_min_ps(load(v + i), m0);
        m1 = _mm512_min_ps(load(v + i + kLanes), m1);
        m2 = _mm512_min_ps(load(v + i + 2 * kLanes), m2);
        m3 = _mm512_min_ps(load(v + i + 3 * kLanes), m3);
    }
    for (; i < full; i += kLanes) {
        m0 = _mm512_min_ps(load(v + i), m0);
    }
    float minimum = _mm512_reduce_min_ps(_mm512_min_ps(_mm512_min_ps(m0, m1), _mm512_min_ps(m2, m3)));
    for (; i < n; ++i) {
        if (v[i] < minimum) {
            minimum = v[i];
        }
    }
    // The first index holding the minimum. With every element NaN nothing
    // equals +inf and the result is (0, +inf).
    const __m512 target = _mm512_set1_ps(minimum);
    for (i = 0; i < full; i += kLanes) {
        const __mmask16 mask = _mm512_cmp_ps_mask(load(v + i), target, _CMP_EQ_OQ);
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
    __m512 value;
    __m512i index;
};

inline LaneBest no_least() { return {_mm512_set1_ps(kInfinity), _mm512_setzero_si512()}; }

/// Sixteen distances from scores j .. j + 15, folded into `least`: only a
/// strictly smaller distance enters, so a NaN never does and a lane keeps
/// its first.
inline void keep_least_distances(LaneBest& least, const float* s, const float* c, __m512 row, std::size_t j,
                                 __m512i lanes) {
    const __m512 x = load(s + j);
    const __m512 d = _mm512_sub_ps(_mm512_add_ps(load(c + j), row), _mm512_add_ps(x, x));
    // Below zero only as a rounding artefact; NaN compares false and stays.
    const __m512 distance =
        _mm512_mask_mov_ps(d, _mm512_cmp_ps_mask(d, _mm512_setzero_ps(), _CMP_LT_OQ), _mm512_setzero_ps());
    const __mmask16 less = _mm512_cmp_ps_mask(distance, least.value, _CMP_LT_OQ);
    least.value = _mm512_mask_mov_ps(least.value, less, distance);
    least.index =
        _mm512_mask_mov_epi32(least.index, less, _mm512_add_epi32(lanes, _mm512_set1_epi32(static_cast<int>(j))));
}

}  // namespace

namespace {

/// Sixteen scores from j on, folded into lane-wise greatest-so-far: only a
/// strictly greater score enters, so a NaN never does and a lane keeps its first.
inline void keep_greatest_scores(LaneBest& greatest, const float* s, std::size_t j, __m512i lanes) {
    const __m512 x = load(s + j);
    const __mmask16 greater = _mm512_cmp_ps_mask(x, greatest.value, _CMP_GT_OQ);
    greatest.value = _mm512_mask_mov_ps(greatest.value, greater, x);
    greatest.index =
        _mm512_mask_mov_epi32(greatest.index, greater, _mm512_add_epi32(lanes, _mm512_set1_epi32(static_cast<int>(j))));
}

}  // namespace

IndexedValue greatest_score_avx512(std::span<const float> scores) noexcept {
    const float* s = scores.data();
    const std::size_t n = scores.size();
    const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    // Two sets of lanes, so the compare-and-keep chains of alternate blocks overlap.
    const LaneBest none{_mm512_set1_ps(-kInfinity), _mm512_setzero_si512()};
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
    IndexedValue best{0, -kInfinity};
    const float maximum = _mm512_reduce_max_ps(_mm512_max_ps(even.value, odd.value));
    if (maximum > -kInfinity) {
        const __m512 target = _mm512_set1_ps(maximum);
        const std::int32_t from_even =
            _mm512_mask_reduce_min_epi32(_mm512_cmp_ps_mask(even.value, target, _CMP_EQ_OQ), even.index);
        const std::int32_t from_odd =
            _mm512_mask_reduce_min_epi32(_mm512_cmp_ps_mask(odd.value, target, _CMP_EQ_OQ), odd.index);
        const auto index = static_cast<std::size_t>(std::min(from_even, from_odd));
        best = {index, s[index]};
    }
    // The scores past the last full register, by the portable form.
    const IndexedValue tail = greatest_score_scalar(scores.subspan(j));
    return tail.value > best.value ? IndexedValue{j + tail.index, tail.value} : best;
}

IndexedValue least_l2_from_scores_avx512(std::span<const float> scores, std::span<const float> center_norms,
                                         float row_norm) noexcept {
    const float* s = scores.data();
    const float* c = center_norms.data();
    const std::size_t n = scores.size();
    const __m512 row = _mm512_set1_ps(row_norm);
    const __m512i lanes = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
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
    const float minimum = _mm512_reduce_min_ps(_mm512_min_ps(even.value, odd.value));
    if (minimum < kInfinity) {
        const __m512 target = _mm512_set1_ps(minimum);
        const std::int32_t from_even =
            _mm512_mask_reduce_min_epi32(_mm512_cmp_ps_mask(even.value, target, _CMP_EQ_OQ), even.index);
        const std::int32_t from_odd =
            _mm512_mask_reduce_min_epi32(_mm512_cmp_ps_mask(odd.value, target, _CMP_EQ_OQ), odd.index);
        best = {static_cast<std::uint64_t>(std::min(from_even, from_odd)), minimum};
    }
    // The scores past the last full register, by the portable form.
    const IndexedValue tail = least_l2_from_scores_scalar(scores.subspan(j), center_norms.subspan(j), row_norm);
    return tail.value < best.value ? IndexedValue{j + tail.index, tail.value} : best;
}

float l2_distance_avx512(std::span<const float> a, std::span<const float> b) noexcept {
    const float* pa = a.data();
    const float* pb = b.data();
    const std::size_t n = a.size();
    const std::size_t full = n - n % kLanes;
    __m512 acc = _mm512_setzero_ps();
    std::size_t i = 0;
    for (; i + 2 * kLanes <= full; i += 2 * kLanes) {
        acc = _mm512_add_ps(acc, squared_difference(load(pa + i), load(pb + i)));
        acc = _mm512_add_ps(acc, squared_difference(load(pa + i + kLanes), load(pb + i + kLanes)));
    }
    if (i < full) {
        acc = _mm512_add_ps(acc, squared_difference(load(pa + i), load(pb + i)));
        i += kLanes;
    }
    float total = reduce_lane_order(acc);
    for (; i < n; ++i) {
        total = total + element_term<Score::SquaredDistance>(pa[i], pb[i]);
    }
    return total;
}

void add_assign_avx512(std::span<float> dst, std::span<const float> src) noexcept {
    float* d = dst.data();
    const float* s = src.data();
    const std::size_t n = dst.size();
    std::size_t i = 0;
    for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
        _mm512_storeu_ps(d + i, _mm512_add_ps(load(d + i), load(s + i)));
        _mm512_storeu_ps(d + i + kLanes, _mm512_add_ps(load(d + i + kLanes), load(s + i + kLanes)));
    }
    if (i + kLanes <= n) {
        _mm512_storeu_ps(d + i, _mm512_add_ps(load(d + i), load(s + i)));
        i += kLanes;
    }
    for (; i < n; ++i) {
        d[i] = d[i] + s[i];
    }
}

void scaled_add_assign_avx512(std::span<float> dst, std::span<const float> src, float scale) noexcept {
    float* d = dst.data();
    const float* s = src.data();
    const std::size_t n = dst.size();
    const __m512 factor = _mm512_set1_ps(scale);
    std::size_t i = 0;
    for (; i + 2 * kLanes <= n; i += 2 * kLanes) {
        _mm512_storeu_ps(d + i, _mm512_add_ps(load(d + i), _mm512_mul_ps(factor, load(s + i))));
        _mm512_storeu_ps(d + i + kLanes,
                         _mm512_add_ps(load(d + i + kLanes), _mm512_mul_ps(factor, load(s + i + kLanes))));
    }
    if (i + kLanes <= n) {
        _mm512_storeu_ps(d + i, _mm512_add_ps(load(d + i), _mm512_mul_ps(factor, load(s + i))));
        i += kLanes;
    }
    for (; i < n; ++i) {
        const float product = scale * s[i];
        d[i] = d[i] + product;
    }
}

IndexedValue nearest_l2_center_avx512(std::span<const float> row, std::span<const float> centers, std::size_t k,
                                      std::size_t dim) noexcept {
    IndexedValue best{0, kInfinity};
    std::size_t j = 0;
    for (; j + kLanes <= k; j += kLanes) {
        select_in_group<kLanes, Score::SquaredDistance>(row.data(), centers.data(), j, dim, best);
    }
    for (; j + 8 <= k; j += 8) {
        select_in_group<8, Score::SquaredDistance>(row.data(), centers.data(), j, dim, best);
    }
    for (; j + 4 <= k; j += 4) {
        select_in_group<4, Score::SquaredDistance>(row.data(), centers.data(), j, dim, best);
    }
    for (; j < k; ++j) {
        select_in_group<1, Score::SquaredDistance>(row.data(), centers.data(), j, dim, best);
    }
    return best;
}

IndexedValue nearest_dot_center_avx512(std::span<const float> row, std::span<const float> centers, std::size_t k,
                                       std::size_t dim) noexcept {
    IndexedValue best{0, -kInfinity};
    std::size_t j = 0;
    for (; j + kLanes <= k; j += kLanes) {
        select_in_group<kLanes, Score::Dot>(row.data(), centers.data(), j, dim, best);
    }
    for (; j + 8 <= k; j += 8) {
        select_in_group<8, Score::Dot>(row.data(), centers.data(), j, dim, best);
    }
    for (; j < k; ++j) {
        select_in_group<1, Score::Dot>(row.data(), centers.data(), j, dim, best);
    }
    return best;
}

namespace {

/// Folds `Groups` lane groups of totals (centers first .. first + 16*Groups - 1)
/// into `best` as a walk in center order would, a total replacing it only
/// when strictly smaller: the first center holding the least total, when that
/// total is below `best`. Without a branch per lane (a lane-by-lane walk
/// mispredicted at most folds): VMINPS returns its second operand when
/// either is NaN, so from +inf the lane minimum never holds a NaN and is
/// exact in any order, and the first lane equal to it is the walk's choice,
/// with its own value.
template <std::size_t Groups>
inline void keep_least_lanes(IndexedValue& best, std::size_t first, const __m512* acc) {
    __m512 least = _mm512_set1_ps(kInfinity);
#pragma GCC unroll 4
    for (std::size_t g = 0; g < Groups; ++g) {
        least = _mm512_min_ps(acc[g], least);
    }
    const float minimum = _mm512_reduce_min_ps(least);
    if (!(minimum < best.value)) {
        return;
    }
    const __m512 target = _mm512_set1_ps(minimum);
    for (std::size_t g = 0; g < Groups; ++g) {
        const __mmask16 at_least = _mm512_cmp_ps_mask(acc[g], target, _CMP_EQ_OQ);
        if (at_least != 0) {
            alignas(64) float lanes[kLanes];
            _mm512_store_ps(lanes, acc[g]);
            const auto lane = static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(at_least)));
            best = {first + g * kLanes + lane, lanes[lane]};
            return;
        }
    }
}

/// Whether some lane of the groups is below `threshold` (which holds no
/// NaN). VMINPS returns its second operand when either is NaN, so a NaN total
/// leaves the running least as it was and never counts.
template <std::size_t Groups>
inline bool any_lane_below(const __m512* acc, __m512 threshold) {
    __m512 least = threshold;
#pragma GCC unroll 4
    for (std::size_t g = 0; g < Groups; ++g) {
        least = _mm512_min_ps(acc[g], least);
    }
    return _mm512_cmp_ps_mask(least, threshold, _CMP_LT_OQ) != 0;
}

/// Totals of `Groups` adjacent lane groups of centers, the first at entry j
/// of each table row of `stride` entries. With M fixed (8 or 16, the common
/// widths) the caller has found the row's M table rows once (`entry_rows`);
/// otherwise each step finds them from the codes.
template <std::size_t Groups, std::size_t FixedM>
inline void lookup_totals(const std::uint8_t* code, std::size_t m_count, const float* t, std::size_t ks,
                          std::size_t stride, const float* const* entry_rows, std::size_t j, __m512* acc) {
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
                acc[g] = _mm512_add_ps(acc[g], load(entries + g * kLanes));
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
                acc[g] = _mm512_add_ps(acc[g], load(entry_rows[m] + j + g * kLanes));
            }
        }
    }
}

/// One step of `Groups` lane groups at center j: the totals, and only when
/// some lane beats the best so far, the fold in center order.
template <std::size_t Groups, std::size_t FixedM>
inline void lookup_step(const std::uint8_t* code, std::size_t m_count, const float* t, std::size_t ks, std::size_t k,
                        const float* const* entry_rows, std::size_t j, std::size_t first_center, IndexedValue& best,
                        __m512& threshold) {
    __m512 acc[Groups];
    lookup_totals<Groups, FixedM>(code, m_count, t, ks, k, entry_rows, j, acc);
    if (any_lane_below<Groups>(acc, threshold)) {
        keep_least_lanes<Groups>(best, first_center + j, acc);
        threshold = _mm512_set1_ps(best.value);
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
    __m512 threshold = _mm512_set1_ps(best.value);
    std::size_t j = 0;
    // With the M table rows found once per row (M = 8 or 16), steps of two
    // groups (128 bytes of each row) kept the loads streaming best; the
    // general loop gains from four.
    if constexpr (FixedM == 0) {
        for (; j + 4 * kLanes <= k; j += 4 * kLanes) {
            lookup_step<4, FixedM>(code, m_count, t, ks, k, entry_rows, j, first_center, best, threshold);
        }
    } else {
        for (; j + 2 * kLanes <= k; j += 2 * kLanes) {
            lookup_step<2, FixedM>(code, m_count, t, ks, k, entry_rows, j, first_center, best, threshold);
        }
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

IndexedValue lookup_min_from_avx512(std::span<const std::uint8_t> codes, std::span<const float> table, std::size_t ks,
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

void lookup_min_rows_avx512(std::span<const std::uint8_t> codes, std::size_t m_count, std::span<const float> block,
                            std::size_t ks, std::size_t width, std::size_t first_center, std::span<std::size_t> labels,
                            std::span<float> distances) noexcept {
    // With the table in huge pages this form beats the 256-bit one at Ks = 256
    // too (M = 16: 12-15% faster); on 4 KiB pages TLB misses had hidden its width.
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
    detail::lookup_min_rows_with<lookup_min_from_avx512>(codes, m_count, block, ks, width, first_center, labels,
                                                         distances);
}

IndexedValue select_lookup_min_avx512(std::span<const std::uint8_t> codes, std::span<const float> table, std::size_t ks,
                                      std::size_t k) noexcept {
    return lookup_min_from_avx512(codes, table, ks, k, 0, IndexedValue{0, kInfinity});
}

float simd16_distance_avx512_impl(const float* a, const float* b) noexcept { return fixed_width_distance<16>(a, b); }
float simd32_distance_avx512_impl(const float* a, const float* b) noexcept { return fixed_width_distance<32>(a, b); }
float simd64_distance_avx512_impl(const float* a, const float* b) noexcept { return fixed_width_distance<64>(a, b); }

}  // namespace tarvinex::simd

#pragma GCC diagnostic pop
#pragma GCC pop_options
