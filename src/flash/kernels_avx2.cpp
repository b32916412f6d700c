/// AVX2 form of the flash panel kernel.
///
/// One register holds the eight sums of a group; the row value of each
/// dimension is broadcast once for both groups of the panel, and each lane
/// adds (x - c)^2, the square rounded first: each center's sequential sum, the
/// portable form's value bit for bit. A panel whose second group has no real
/// center runs the first group alone.
///
/// The AVX2 body sees only raw pointers and intrinsics and has internal
/// linkage, so no shared inline function is compiled for AVX2 here.

#include <immintrin.h>

#include <cstddef>
#include <span>

#include "flash/flash.hpp"

namespace tarvinex::flash {
namespace {
constexpr std::size_t kGroupCenters = 8;
}  // namespace
}  // namespace tarvinex::flash

#pragma GCC push_options
#pragma GCC target("avx2")

namespace tarvinex::flash {
namespace {

void panel_sums_avx2(const float* row, const float* panel, std::size_t dim, std::size_t count, float* out) {
    __m256 low = _mm256_setzero_ps();
    __m256 high = _mm256_setzero_ps();
    if (count > kGroupCenters) {
        for (std::size_t d = 0; d < dim; ++d) {
            const __m256 x = _mm256_set1_ps(row[d]);
            const float* c = panel + d * kPanelCenters;
            const __m256 dl = _mm256_sub_ps(x, _mm256_loadu_ps(c));
            const __m256 dh = _mm256_sub_ps(x, _mm256_loadu_ps(c + kGroupCenters));
            low = _mm256_add_ps(low, _mm256_mul_ps(dl, dl));
            high = _mm256_add_ps(high, _mm256_mul_ps(dh, dh));
        }
    } else {
        for (std::size_t d = 0; d < dim; ++d) {
            const __m256 difference = _mm256_sub_ps(_mm256_set1_ps(row[d]), _mm256_loadu_ps(panel + d * kPanelCenters));
            low = _mm256_add_ps(low, _mm256_mul_ps(difference, difference));
        }
    }
    _mm256_storeu_ps(out, low);
    _mm256_storeu_ps(out + kGroupCenters, high);
}

}  // namespace
}  // namespace tarvinex::flash

#pragma GCC pop_options

// The exported entry is built for the baseline, so nothing it pulls in is
// compiled for AVX2; it only runs where the kernel table put it.
namespace tarvinex::flash {

void panel_l2_avx2(std::span<const float> row, std::span<const float> panel, std::size_t dim, std::size_t count,
                   std::span<float> sums) noexcept {
    panel_sums_avx2(row.data(), panel.data(), dim, count, sums.data());
}

}  // namespace tarvinex::flash
