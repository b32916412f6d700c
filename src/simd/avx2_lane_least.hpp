#pragma once
/// Lane reductions shared by the AVX2 files: include only inside an AVX2
/// target region, after <immintrin.h>. The helpers have internal linkage, so
/// no copy compiled for one target can stand in for another's.

#include <immintrin.h>

namespace tarvinex::simd {
namespace {

/// The lane-wise minimum of two registers, as floats or as 32-bit indices.
template <bool Indices>
inline __m256 least_of(__m256 a, __m256 b) {
    if constexpr (Indices) {
        return _mm256_castsi256_ps(_mm256_min_epi32(_mm256_castps_si256(a), _mm256_castps_si256(b)));
    } else {
        return _mm256_min_ps(a, b);
    }
}

/// The smallest of the eight lanes, in every lane. Exact in any order for
/// indices and for floats with no NaN.
template <bool Indices>
inline __m256 all_lanes_least(__m256 v) {
    v = least_of<Indices>(v, _mm256_permute2f128_ps(v, v, 1));
    v = least_of<Indices>(v, _mm256_permute_ps(v, _MM_SHUFFLE(1, 0, 3, 2)));
    return least_of<Indices>(v, _mm256_permute_ps(v, _MM_SHUFFLE(2, 3, 0, 1)));
}

}  // namespace
}  // namespace tarvinex::simd
