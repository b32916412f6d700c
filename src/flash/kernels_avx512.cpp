/// AVX-512 form of the flash panel kernel.
///
/// One register holds the sixteen sums of a panel, its two groups of eight
/// side by side; the row value of each dimension is broadcast once and each
/// lane adds (x - c)^2, the square rounded first: each center's sequential
/// sum, the portable form's value bit for bit.
///
/// The AVX-512 body sees only raw pointers and intrinsics and has internal
/// linkage, so no shared inline function is compiled for AVX-512 here.

#include <immintrin.h>

#include <cstddef>
#include <span>

#include "flash/flash.hpp"

#pragma GCC push_options
#pragma GCC target("avx512f")

namespace tarvinex::flash {
namespace {

void panel_sums_avx512(const float* row, const float* panel, std::size_t dim, float* out) {
    __m512 acc = _mm512_setzero_ps();
    for (std::size_t d = 0; d < dim; ++d) {
        const __m512 difference = _mm512_sub_ps(_mm512_set1_ps(row[d]), _mm512_loadu_ps(panel + d * kPanelCenters));
        acc = _mm512_add_ps(acc, _mm512_mul_ps(difference, difference));
    }
    _mm512_storeu_ps(out, acc);
}

}  // namespace
}  // namespace tarvinex::flash

#pragma GCC pop_options

// The exported entry is built for the baseline, so nothing it pulls in is
// compiled for AVX-512; it only runs where the kernel table put it.
namespace tarvinex::flash {

void panel_l2_avx512(std::span<const float> row, std::span<const float> panel, std::size_t dim, std::size_t,
                     std::span<float> sums) noexcept {
    panel_sums_avx512(row.data(), panel.data(), dim, sums.data());
}

}  // namespace tarvinex::flash
