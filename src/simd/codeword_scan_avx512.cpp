/// AVX-512F forms of the codeword scans and of the transposed scores.
///
/// A block of 16 codewords is one register, one codeword per lane. Lane
/// position j of l2_distance_avx512 (elements j, 16 + j, ... of the
/// sub-vector) becomes one register sum per codeword, added block by block;
/// the sixteen position sums are added in lane order and the tail after them
/// element by element, so every distance is the per-pair routine's bit for bit
/// (Simd16Avx512 .. Simd64Avx512 give the same numbers at their widths). The
/// AVX2 routines Simd4 .. Simd64 are reproduced the same way, their position
/// sums and trees computed for sixteen codewords at once.
///
/// For speed: the row is broadcast from memory and the first-minimum
/// selection keeps one running minimum and index per lane, merged by value and
/// then index at the end. AVX-512F offers FMA to the compiler: -ffp-contract=off
/// keeps every product rounded.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <limits>

#include "simd/codeword_scan.hpp"

#pragma GCC push_options
#pragma GCC target("avx512f")
// GCC 12's AVX-512 intrinsics fill their unused pass-through operand from
// _mm512_undefined_ps(), which -Wmaybe-uninitialized (and, once inlined into
// the in-register argmin, -Wuninitialized) reports at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#pragma GCC diagnostic ignored "-Wuninitialized"

namespace tarvinex::simd {
namespace {

constexpr std::size_t kLanes = 16;
static_assert(kLanes == kCodewordBlockLanes);
constexpr float kInfinity = std::numeric_limits<float>::infinity();

inline __m512 term(const float* row, std::size_t d, const float* t) {
    const __m512 difference = _mm512_sub_ps(_mm512_set1_ps(row[d]), _mm512_loadu_ps(t + d * kLanes));
    return _mm512_mul_ps(difference, difference);
}

/// Position sum j over the full sixteen-element blocks: d_j, then + d_{16b+j}.
inline __m512 position_sum(const float* row, const float* t, std::size_t j, std::size_t full) {
    __m512 s = term(row, j, t);
    for (std::size_t i = kLanes + j; i < full; i += kLanes) {
        s = _mm512_add_ps(s, term(row, i, t));
    }
    return s;
}

/// The per-pair routine a scan reproduces: the slice kernel's lane order, the
/// eight-position pairwise tree of Simd8 .. Simd64, or Simd4's pairs.
enum class Order : std::uint8_t { LaneOrder, Pairwise, Simd4 };

/// The fixed-width routines' eight positions: position j of a sub-vector of
/// `ds` is elements j, 8 + j, 16 + j, ...
constexpr std::size_t kPositions = 8;

/// Position sum j of the eight positions: d_j, then + d_{8b+j}.
inline __m512 eight_position_sum(const float* row, const float* t, std::size_t j, std::size_t ds) {
    __m512 s = term(row, j, t);
    for (std::size_t i = kPositions + j; i < ds; i += kPositions) {
        s = _mm512_add_ps(s, term(row, i, t));
    }
    return s;
}

/// Distances of the sixteen codewords whose element runs start at t (stride 16).
template <Order O, std::size_t FixedDs>
inline __m512 distances(const float* row, const float* t, std::size_t runtime_ds) {
    const std::size_t ds = FixedDs != 0 ? FixedDs : runtime_ds;
    if constexpr (O == Order::Simd4) {
        return _mm512_add_ps(_mm512_add_ps(term(row, 0, t), term(row, 2, t)),
                             _mm512_add_ps(term(row, 1, t), term(row, 3, t)));
    } else if constexpr (O == Order::Pairwise) {
        // h_i = s_i + s_{i+4}, then (h0 + h1) + (h2 + h3), as the AVX2 routine reduces.
        const __m512 h0 = _mm512_add_ps(eight_position_sum(row, t, 0, ds), eight_position_sum(row, t, 4, ds));
        const __m512 h1 = _mm512_add_ps(eight_position_sum(row, t, 1, ds), eight_position_sum(row, t, 5, ds));
        const __m512 h2 = _mm512_add_ps(eight_position_sum(row, t, 2, ds), eight_position_sum(row, t, 6, ds));
        const __m512 h3 = _mm512_add_ps(eight_position_sum(row, t, 3, ds), eight_position_sum(row, t, 7, ds));
        return _mm512_add_ps(_mm512_add_ps(h0, h1), _mm512_add_ps(h2, h3));
    }
    // From zero, ((s0 + s1) + s2) + ... + s15, then the tail in order. A
    // position sum from zero is the sum itself: its terms are squares.
    const std::size_t full = ds - ds % kLanes;
    __m512 total = _mm512_setzero_ps();
    if (full != 0) {
        total = position_sum(row, t, 0, full);
        for (std::size_t j = 1; j < kLanes; ++j) {
            total = _mm512_add_ps(total, position_sum(row, t, j, full));
        }
    }
    for (std::size_t i = full; i < ds; ++i) {
        total = _mm512_add_ps(total, term(row, i, t));
    }
    return total;
}

/// The least value over lanes, the lowest index among equal ones: the first
/// codeword of least distance, or (0, +inf) when none is below +inf. No lane
/// holds a NaN (only a strictly smaller distance enters), so the lane minimum
/// is exact; the value returned is the chosen lane's own. Without branches:
/// a scalar walk over the lanes mispredicted on most rows.
inline IndexedValue first_least_lane(__m512 values, __m512i indices) {
    const __mmask16 at_least = _mm512_cmp_ps_mask(values, _mm512_set1_ps(_mm512_reduce_min_ps(values)), _CMP_EQ_OQ);
    const std::int32_t index = _mm512_mask_reduce_min_epi32(at_least, indices);
    const __mmask16 chosen =
        static_cast<__mmask16>(at_least & _mm512_cmpeq_epi32_mask(indices, _mm512_set1_epi32(index)));
    alignas(64) float lane_values[kLanes];
    _mm512_store_ps(lane_values, values);
    return {static_cast<std::uint64_t>(index), lane_values[__builtin_ctz(chosen)]};
}

template <Order O, std::size_t FixedDs>
IndexedValue scan(const float* row, const float* blocks, std::size_t ks, std::size_t runtime_ds) {
    const std::size_t ds = FixedDs != 0 ? FixedDs : runtime_ds;
    __m512 best_value = _mm512_set1_ps(kInfinity);
    __m512i best_index = _mm512_setzero_si512();
    __m512i indices = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i step = _mm512_set1_epi32(kLanes);
    for (std::size_t first = 0; first < ks; first += kLanes) {
        const __m512 scores = distances<O, FixedDs>(row, blocks + first * ds, ds);
        // Strict less: a NaN never enters, and within a lane the first codeword wins.
        const __mmask16 less = _mm512_cmp_ps_mask(scores, best_value, _CMP_LT_OQ);
        best_value = _mm512_mask_mov_ps(best_value, less, scores);
        best_index = _mm512_mask_mov_epi32(best_index, less, indices);
        indices = _mm512_add_epi32(indices, step);
    }
    return first_least_lane(best_value, best_index);
}

}  // namespace

IndexedValue nearest_codeword_pairwise_avx512(const float* row, const float* blocks, std::size_t ks,
                                              std::size_t ds) noexcept {
    return scan<Order::Pairwise, 0>(row, blocks, ks, ds);
}

IndexedValue nearest_codeword_slice_avx512(const float* row, const float* blocks, std::size_t ks,
                                           std::size_t ds) noexcept {
    switch (ds) {
        case 16:
            return scan<Order::LaneOrder, 16>(row, blocks, ks, ds);
        case 32:
            return scan<Order::LaneOrder, 32>(row, blocks, ks, ds);
        case 64:
            return scan<Order::LaneOrder, 64>(row, blocks, ks, ds);
        default:
            return scan<Order::LaneOrder, 0>(row, blocks, ks, ds);
    }
}

IndexedValue nearest_codeword_simd4_avx512(const float* row, const float* blocks, std::size_t ks,
                                           std::size_t) noexcept {
    return scan<Order::Simd4, 4>(row, blocks, ks, 4);
}
IndexedValue nearest_codeword_simd8_avx512(const float* row, const float* blocks, std::size_t ks,
                                           std::size_t) noexcept {
    return scan<Order::Pairwise, 8>(row, blocks, ks, 8);
}
IndexedValue nearest_codeword_simd16_avx512(const float* row, const float* blocks, std::size_t ks,
                                            std::size_t) noexcept {
    return scan<Order::Pairwise, 16>(row, blocks, ks, 16);
}
IndexedValue nearest_codeword_simd32_avx512(const float* row, const float* blocks, std::size_t ks,
                                            std::size_t) noexcept {
    return scan<Order::Pairwise, 32>(row, blocks, ks, 32);
}
IndexedValue nearest_codeword_simd64_avx512(const float* row, const float* blocks, std::size_t ks,
                                            std::size_t) noexcept {
    return scan<Order::Pairwise, 64>(row, blocks, ks, 64);
}

void transposed_scores_avx512(const float* row, const float* transposed, const float* norms, std::size_t ks,
                              std::size_t ds, float* scores) noexcept {
    // Four registers of codewords at a time stay in registers over all ds
    // scaled additions; each lane adds in d order, as the slice kernel does.
    std::size_t c = 0;
    for (; c + 4 * kLanes <= ks; c += 4 * kLanes) {
        __m512 s0 = _mm512_loadu_ps(norms + c);
        __m512 s1 = _mm512_loadu_ps(norms + c + kLanes);
        __m512 s2 = _mm512_loadu_ps(norms + c + 2 * kLanes);
        __m512 s3 = _mm512_loadu_ps(norms + c + 3 * kLanes);
        for (std::size_t d = 0; d < ds; ++d) {
            const __m512 scale = _mm512_set1_ps(row[d] * -2.0F);
            const float* t = transposed + d * ks + c;
            s0 = _mm512_add_ps(s0, _mm512_mul_ps(scale, _mm512_loadu_ps(t)));
            s1 = _mm512_add_ps(s1, _mm512_mul_ps(scale, _mm512_loadu_ps(t + kLanes)));
            s2 = _mm512_add_ps(s2, _mm512_mul_ps(scale, _mm512_loadu_ps(t + 2 * kLanes)));
            s3 = _mm512_add_ps(s3, _mm512_mul_ps(scale, _mm512_loadu_ps(t + 3 * kLanes)));
        }
        _mm512_storeu_ps(scores + c, s0);
        _mm512_storeu_ps(scores + c + kLanes, s1);
        _mm512_storeu_ps(scores + c + 2 * kLanes, s2);
        _mm512_storeu_ps(scores + c + 3 * kLanes, s3);
    }
    for (; c + kLanes <= ks; c += kLanes) {
        __m512 s = _mm512_loadu_ps(norms + c);
        for (std::size_t d = 0; d < ds; ++d) {
            s = _mm512_add_ps(s,
                              _mm512_mul_ps(_mm512_set1_ps(row[d] * -2.0F), _mm512_loadu_ps(transposed + d * ks + c)));
        }
        _mm512_storeu_ps(scores + c, s);
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

namespace {

/// Scores of `Registers` x 16 codewords from c, each register one chain of
/// scaled additions over d, all chains side by side.
template <std::size_t Registers>
inline void transposed_register_scores(const float* row, const float* transposed, const float* norms, std::size_t ks,
                                       std::size_t ds, __m512* s) {
#pragma GCC unroll 16
    for (std::size_t q = 0; q < Registers; ++q) {
        s[q] = _mm512_loadu_ps(norms + q * kLanes);
    }
    for (std::size_t d = 0; d < ds; ++d) {
        const __m512 scale = _mm512_set1_ps(row[d] * -2.0F);
        const float* t = transposed + d * ks;
#pragma GCC unroll 16
        for (std::size_t q = 0; q < Registers; ++q) {
            s[q] = _mm512_add_ps(s[q], _mm512_mul_ps(scale, _mm512_loadu_ps(t + q * kLanes)));
        }
    }
}

/// argmin_avx512 of the scores in registers: four running minima fed with
/// the registers in memory order, the same tree, then the first register and
/// lane equal to the minimum.
template <std::size_t Registers>
inline IndexedValue register_argmin(const __m512* s) {
    __m512 m[4];
#pragma GCC unroll 4
    for (std::size_t g = 0; g < 4; ++g) {
        m[g] = _mm512_min_ps(s[g], _mm512_set1_ps(kInfinity));
    }
#pragma GCC unroll 16
    for (std::size_t q = 4; q < Registers; ++q) {
        m[q % 4] = _mm512_min_ps(s[q], m[q % 4]);
    }
    const float minimum = _mm512_reduce_min_ps(_mm512_min_ps(_mm512_min_ps(m[0], m[1]), _mm512_min_ps(m[2], m[3])));
    const __m512 target = _mm512_set1_ps(minimum);
    for (std::size_t q = 0; q < Registers; ++q) {
        const __mmask16 mask = _mm512_cmp_ps_mask(s[q], target, _CMP_EQ_OQ);
        if (mask != 0) {
            return {q * kLanes + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask))), minimum};
        }
    }
    return {0, minimum};
}

template <std::size_t Registers>
inline IndexedValue nearest_in_registers(const float* row, const float* transposed, const float* norms, std::size_t ks,
                                         std::size_t ds) {
    __m512 s[Registers];
    transposed_register_scores<Registers>(row, transposed, norms, ks, ds, s);
    return register_argmin<Registers>(s);
}

}  // namespace

IndexedValue transposed_nearest_avx512(const float* row, const float* transposed, const float* norms, std::size_t ks,
                                       std::size_t ds, float* scores) noexcept {
    switch (ks) {
        case 64:
            return nearest_in_registers<4>(row, transposed, norms, ks, ds);
        case 128:
            return nearest_in_registers<8>(row, transposed, norms, ks, ds);
        case 192:
            return nearest_in_registers<12>(row, transposed, norms, ks, ds);
        case 256:
            return nearest_in_registers<16>(row, transposed, norms, ks, ds);
        default:
            transposed_scores_avx512(row, transposed, norms, ks, ds, scores);
            return argmin_avx512({scores, ks});
    }
}

}  // namespace tarvinex::simd

#pragma GCC diagnostic pop
#pragma GCC pop_options
