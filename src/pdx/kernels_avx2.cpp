/// AVX2 forms of the PDX center kernels.
///
/// Eight registers of eight lanes hold the 64 row sums of one center. For each
/// dimension the center value is broadcast once and each lane adds
/// (x - v)^2, the square rounded first: each row's own sequential sum, the
/// portable form's value bit for bit.
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

}  // namespace tarvinex::pdx
