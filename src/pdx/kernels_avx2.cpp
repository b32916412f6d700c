/// AVX2 forms of the PDX center kernels.
///
/// Eight registers of eight lanes hold the 64 row sums of one center. For each
/// dimension the center value is broadcast once and each lane adds
/// (x - v)^2, the square rounded first: each row's own sequential sum, the
/// portable form's value bit for bit.
///
/// The pruned form carries one lane mask per register; retired lanes keep
/// their sums, and the center is left when no mask has a lane left.
///
/// The AVX2 bodies see only raw pointers and intrinsics and have internal
/// linkage, so no shared inline function is compiled for AVX2 here.

#include <immintrin.h>

#include <cstddef>
#include <span>

#include "pdx/pdx.hpp"

namespace tarvinex::pdx {
namespace {
constexpr std::size_t kLanes = 8;
constexpr std::size_t kRegisters = kBlockRows / kLanes;
}  // namespace
}  // namespace tarvinex::pdx

#pragma GCC push_options
#pragma GCC target("avx2")

namespace tarvinex::pdx {
namespace {

void center_sums_avx2(const float* block, std::size_t dim, const float* center, float* out) {
    __m256 sums[kRegisters];
    for (std::size_t i = 0; i < kRegisters; ++i) {
        sums[i] = _mm256_setzero_ps();
    }
    for (std::size_t d = 0; d < dim; ++d) {
        const __m256 v = _mm256_set1_ps(center[d]);
        const float* x = block + d * kBlockRows;
        for (std::size_t i = 0; i < kRegisters; ++i) {
            const __m256 difference = _mm256_sub_ps(_mm256_loadu_ps(x + i * kLanes), v);
            sums[i] = _mm256_add_ps(sums[i], _mm256_mul_ps(difference, difference));
        }
    }
    for (std::size_t i = 0; i < kRegisters; ++i) {
        _mm256_storeu_ps(out + i * kLanes, sums[i]);
    }
}

std::size_t center_sums_pruned_avx2(const float* block, std::size_t rows, std::size_t dim, const float* center,
                                    const float* best, float* out) {
    const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
    __m256 sums[kRegisters];
    __m256 active[kRegisters];
    for (std::size_t i = 0; i < kRegisters; ++i) {
        sums[i] = _mm256_setzero_ps();
        // Lanes of real rows: lane < rows - 8i.
        const __m256i remaining = _mm256_set1_epi32(static_cast<int>(rows) - static_cast<int>(i * kLanes));
        active[i] = _mm256_castsi256_ps(_mm256_cmpgt_epi32(remaining, lane));
    }
    std::size_t d = 0;
    while (d < dim) {
        const __m256 v = _mm256_set1_ps(center[d]);
        const float* x = block + d * kBlockRows;
        __m256 any_active = _mm256_setzero_ps();
        for (std::size_t i = 0; i < kRegisters; ++i) {
            const __m256 difference = _mm256_sub_ps(_mm256_loadu_ps(x + i * kLanes), v);
            const __m256 extended = _mm256_add_ps(sums[i], _mm256_mul_ps(difference, difference));
            sums[i] = _mm256_blendv_ps(sums[i], extended, active[i]);
            // best <= sum retires the lane; a NaN sum compares false and stays.
            const __m256 reached = _mm256_cmp_ps(_mm256_loadu_ps(best + i * kLanes), sums[i], _CMP_LE_OQ);
            active[i] = _mm256_andnot_ps(reached, active[i]);
            any_active = _mm256_or_ps(any_active, active[i]);
        }
        ++d;
        if (_mm256_movemask_ps(any_active) == 0) {
            break;
        }
    }
    for (std::size_t i = 0; i < kRegisters; ++i) {
        _mm256_storeu_ps(out + i * kLanes, sums[i]);
    }
    return d;
}

}  // namespace
}  // namespace tarvinex::pdx

#pragma GCC pop_options

// The exported entries are built for the baseline, so nothing they pull in is
// compiled for AVX2; they only run where the kernel table put them.
namespace tarvinex::pdx {

void block_center_l2_avx2(std::span<const float> block, std::size_t dim, std::span<const float> center,
                          std::span<float> sums) noexcept {
    center_sums_avx2(block.data(), dim, center.data(), sums.data());
}

std::size_t block_center_l2_pruned_avx2(std::span<const float> block, std::size_t rows, std::size_t dim,
                                        std::span<const float> center, std::span<const float> best,
                                        std::span<float> sums) noexcept {
    return center_sums_pruned_avx2(block.data(), rows, dim, center.data(), best.data(), sums.data());
}

}  // namespace tarvinex::pdx
