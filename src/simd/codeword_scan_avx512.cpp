/// AVX-512F forms of the codeword scans and of the transposed scores.
///
/// A block of 16 codewords is one register, one codeword per lane. Lane
/// position j of l2_distance_avx512 (elements j, 16 + j, ... of the
/// sub-vector) becomes one register sum per codeword, added block by block;
/// the sixteen position sums are added in lane order and the tail after them
/// element by element, so every distance is the per-pair routine's bit for bit
/// (Simd16Avx512 .. Simd64Avx512 give the same numbers at their widths).
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
// _mm512_undefined_ps(), which -Wmaybe-uninitialized reports at every use.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

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

/// From zero, ((s0 + s1) + s2) + ... + s15, then the tail in order. A position
/// sum from zero is the sum itself: its terms are squares.
template <std::size_t FixedDs>
inline __m512 distances(const float* row, const float* t, std::size_t runtime_ds) {
    const std::size_t ds = FixedDs != 0 ? FixedDs : runtime_ds;
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

template <std::size_t FixedDs>
IndexedValue scan(const float* row, const float* blocks, std::size_t ks, std::size_t runtime_ds) {
    const std::size_t ds = FixedDs != 0 ? FixedDs : runtime_ds;
    __m512 best_value = _mm512_set1_ps(kInfinity);
    __m512i best_index = _mm512_setzero_si512();
    __m512i indices = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
    const __m512i step = _mm512_set1_epi32(kLanes);
    for (std::size_t first = 0; first < ks; first += kLanes) {
        const __m512 scores = distances<FixedDs>(row, blocks + first * ds, ds);
        // Strict less: a NaN never enters, and within a lane the first codeword wins.
        const __mmask16 less = _mm512_cmp_ps_mask(scores, best_value, _CMP_LT_OQ);
        best_value = _mm512_mask_mov_ps(best_value, less, scores);
        best_index = _mm512_mask_mov_epi32(best_index, less, indices);
        indices = _mm512_add_epi32(indices, step);
    }
    alignas(64) float values[kLanes];
    alignas(64) std::int32_t lane_indices[kLanes];
    _mm512_store_ps(values, best_value);
    _mm512_store_si512(lane_indices, best_index);
    IndexedValue best{0, kInfinity};
    for (std::size_t lane = 0; lane < kLanes; ++lane) {
        const auto index = static_cast<std::uint64_t>(lane_indices[lane]);
        if (values[lane] < best.value || (values[lane] == best.value && index < best.index)) {
            best = {index, values[lane]};
        }
    }
    return best;
}

}  // namespace

IndexedValue nearest_codeword_slice_avx512(const float* row, const float* blocks, std::size_t ks,
                                           std::size_t ds) noexcept {
    switch (ds) {
        case 16:
            return scan<16>(row, blocks, ks, ds);
        case 32:
            return scan<32>(row, blocks, ks, ds);
        case 64:
            return scan<64>(row, blocks, ks, ds);
        default:
            return scan<0>(row, blocks, ks, ds);
    }
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

}  // namespace tarvinex::simd

#pragma GCC diagnostic pop
#pragma GCC pop_options
