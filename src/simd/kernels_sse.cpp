/// The 128-bit SSE distance of exactly four elements. SSE is part of every
/// x86-64 processor, so this file needs no target region.

#include <immintrin.h>

#include "simd/distance.hpp"

namespace tarvinex::simd {

float simd4_distance_impl(const float* a, const float* b) noexcept {
    const __m128 d = _mm_sub_ps(_mm_loadu_ps(a), _mm_loadu_ps(b));
    const __m128 squares = _mm_mul_ps(d, d);
    // [d0 + d2, d1 + d3, ...], then (d0 + d2) + (d1 + d3).
    const __m128 halves = _mm_add_ps(squares, _mm_movehl_ps(squares, squares));
    const __m128 second = _mm_shuffle_ps(halves, halves, _MM_SHUFFLE(1, 1, 1, 1));
    return _mm_cvtss_f32(_mm_add_ss(halves, second));
}

}  // namespace tarvinex::simd
