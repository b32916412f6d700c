/// The AVX2 direct sums: eight rows side by side. The rows' slices of the
/// codeword-distance table are interleaved first (8x8 transposes), so a
/// center's M lookups for all eight rows are M vector loads indexed by the
/// center's own codes, which the rows share.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>

#include "simd/direct_sums.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

namespace tarvinex::simd {
namespace {

constexpr std::size_t kLanes = kDirectRows;

/// Rows 0..7 of an 8x8 block (row r at sources[r] + c) written as columns:
/// out[c*8 + r].
inline void transpose_8x8(const float* const* sources, std::size_t c, float* out) {
    const __m256 r0 = _mm256_loadu_ps(sources[0] + c);
    const __m256 r1 = _mm256_loadu_ps(sources[1] + c);
    const __m256 r2 = _mm256_loadu_ps(sources[2] + c);
    const __m256 r3 = _mm256_loadu_ps(sources[3] + c);
    const __m256 r4 = _mm256_loadu_ps(sources[4] + c);
    const __m256 r5 = _mm256_loadu_ps(sources[5] + c);
    const __m256 r6 = _mm256_loadu_ps(sources[6] + c);
    const __m256 r7 = _mm256_loadu_ps(sources[7] + c);
    const __m256 t0 = _mm256_unpacklo_ps(r0, r1);
    const __m256 t1 = _mm256_unpackhi_ps(r0, r1);
    const __m256 t2 = _mm256_unpacklo_ps(r2, r3);
    const __m256 t3 = _mm256_unpackhi_ps(r2, r3);
    const __m256 t4 = _mm256_unpacklo_ps(r4, r5);
    const __m256 t5 = _mm256_unpackhi_ps(r4, r5);
    const __m256 t6 = _mm256_unpacklo_ps(r6, r7);
    const __m256 t7 = _mm256_unpackhi_ps(r6, r7);
    const __m256 u0 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u1 = _mm256_shuffle_ps(t0, t2, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u2 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u3 = _mm256_shuffle_ps(t1, t3, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u4 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u5 = _mm256_shuffle_ps(t4, t6, _MM_SHUFFLE(3, 2, 3, 2));
    const __m256 u6 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(1, 0, 1, 0));
    const __m256 u7 = _mm256_shuffle_ps(t5, t7, _MM_SHUFFLE(3, 2, 3, 2));
    _mm256_storeu_ps(out + 0 * kLanes, _mm256_permute2f128_ps(u0, u4, 0x20));
    _mm256_storeu_ps(out + 1 * kLanes, _mm256_permute2f128_ps(u1, u5, 0x20));
    _mm256_storeu_ps(out + 2 * kLanes, _mm256_permute2f128_ps(u2, u6, 0x20));
    _mm256_storeu_ps(out + 3 * kLanes, _mm256_permute2f128_ps(u3, u7, 0x20));
    _mm256_storeu_ps(out + 4 * kLanes, _mm256_permute2f128_ps(u0, u4, 0x31));
    _mm256_storeu_ps(out + 5 * kLanes, _mm256_permute2f128_ps(u1, u5, 0x31));
    _mm256_storeu_ps(out + 6 * kLanes, _mm256_permute2f128_ps(u2, u6, 0x31));
    _mm256_storeu_ps(out + 7 * kLanes, _mm256_permute2f128_ps(u3, u7, 0x31));
}

/// Lanes of `total` strictly below the lane's best take center j.
inline void keep_least(__m256 total, __m256i center, __m256& best, __m256i& best_center) {
    const __m256 less = _mm256_cmp_ps(total, best, _CMP_LT_OQ);
    best = _mm256_blendv_ps(best, total, less);
    best_center =
        _mm256_castps_si256(_mm256_blendv_ps(_mm256_castsi256_ps(best_center), _mm256_castsi256_ps(center), less));
}

template <std::size_t FixedM>
void nearest_rows(const float* interleaved, const std::uint8_t* centers, std::size_t m_count, std::size_t ks,
                  std::size_t k, std::size_t* labels, float* distances) {
    __m256 best = _mm256_set1_ps(std::numeric_limits<float>::infinity());
    __m256i best_center = _mm256_setzero_si256();
    __m256i center = _mm256_setzero_si256();
    const __m256i one = _mm256_set1_epi32(1);
    const std::size_t subquantizer_stride = ks * kLanes;
    for (std::size_t j = 0; j < k; ++j) {
        __m256 total = _mm256_setzero_ps();
        if constexpr (FixedM == 8) {
            std::uint64_t c = 0;
            std::memcpy(&c, centers + j * 8, 8);
#pragma GCC unroll 8
            for (std::size_t s = 0; s < 8; ++s) {
                const std::size_t code = (c >> (8 * s)) & 0xFF;
                total = _mm256_add_ps(total, _mm256_loadu_ps(interleaved + s * subquantizer_stride + code * kLanes));
            }
        } else {
            const std::uint8_t* codes = centers + j * m_count;
            for (std::size_t s = 0; s < m_count; ++s) {
                total =
                    _mm256_add_ps(total, _mm256_loadu_ps(interleaved + s * subquantizer_stride + codes[s] * kLanes));
            }
        }
        keep_least(total, center, best, best_center);
        center = _mm256_add_epi32(center, one);
    }
    alignas(32) float values[kLanes];
    alignas(32) std::int32_t indices[kLanes];
    _mm256_store_ps(values, best);
    _mm256_store_si256(reinterpret_cast<__m256i*>(indices), best_center);
    for (std::size_t r = 0; r < kLanes; ++r) {
        labels[r] = static_cast<std::size_t>(indices[r]);
        distances[r] = values[r];
    }
}

}  // namespace

void interleave_row_tables_avx2(const std::uint8_t* rows, std::size_t m_count, const float* codeword_distances,
                                std::size_t ks, float* interleaved) noexcept {
    const float* sources[kLanes];
    for (std::size_t s = 0; s < m_count; ++s) {
        for (std::size_t r = 0; r < kLanes; ++r) {
            sources[r] = codeword_distances + (s * ks + rows[r * m_count + s]) * ks;
        }
        float* out = interleaved + s * ks * kLanes;
        std::size_t c = 0;
        for (; c + kLanes <= ks; c += kLanes) {
            transpose_8x8(sources, c, out + c * kLanes);
        }
        for (; c < ks; ++c) {
            for (std::size_t r = 0; r < kLanes; ++r) {
                out[c * kLanes + r] = sources[r][c];
            }
        }
    }
}

void nearest_direct_rows_avx2(const float* interleaved, const std::uint8_t* centers, std::size_t m_count,
                              std::size_t ks, std::size_t k, std::size_t* labels, float* distances) noexcept {
    if (m_count == 8) {
        nearest_rows<8>(interleaved, centers, m_count, ks, k, labels, distances);
    } else {
        nearest_rows<0>(interleaved, centers, m_count, ks, k, labels, distances);
    }
}

}  // namespace tarvinex::simd

#pragma GCC pop_options
