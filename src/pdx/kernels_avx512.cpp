/// AVX-512 forms of the PDX center kernels.
///
/// Four registers of sixteen lanes hold the 64 row sums of one center. For
/// each dimension the center value is broadcast once and each lane adds
/// (x - v)^2, the square rounded first: each row's own sequential sum, the
/// portable form's value bit for bit.
///
/// The pruned form carries one lane mask per register; retired lanes keep
/// their sums, and the center is left when no mask has a lane left.
///
/// The AVX-512 bodies see only raw pointers and intrinsics and have internal
/// linkage, so no shared inline function is compiled for AVX-512 here.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>
#include <span>

#include "pdx/pdx.hpp"

namespace tarvinex::pdx {
namespace {
constexpr std::size_t kLanes = 16;
constexpr std::size_t kRegisters = kBlockRows / kLanes;
}  // namespace
}  // namespace tarvinex::pdx

#pragma GCC push_options
#pragma GCC target("avx512f")

namespace tarvinex::pdx {
namespace {

void center_sums_avx512(const float* block, std::size_t dim, const float* center, float* out) {
    __m512 sums[kRegisters];
    for (std::size_t i = 0; i < kRegisters; ++i) {
        sums[i] = _mm512_setzero_ps();
    }
    for (std::size_t d = 0; d < dim; ++d) {
        const __m512 v = _mm512_set1_ps(center[d]);
        const float* x = block + d * kBlockRows;
        for (std::size_t i = 0; i < kRegisters; ++i) {
            const __m512 difference = _mm512_sub_ps(_mm512_loadu_ps(x + i * kLanes), v);
            sums[i] = _mm512_add_ps(sums[i], _mm512_mul_ps(difference, difference));
        }
    }
    for (std::size_t i = 0; i < kRegisters; ++i) {
        _mm512_storeu_ps(out + i * kLanes, sums[i]);
    }
}

std::size_t center_sums_pruned_avx512(const float* block, std::size_t rows, std::size_t dim, const float* center,
                                      const float* best, float* out) {
    __m512 sums[kRegisters];
    __mmask16 active[kRegisters];
    for (std::size_t i = 0; i < kRegisters; ++i) {
        sums[i] = _mm512_setzero_ps();
        const std::size_t first = i * kLanes;
        const std::size_t real = rows <= first ? 0 : (rows - first < kLanes ? rows - first : kLanes);
        active[i] = static_cast<__mmask16>((std::uint32_t{1} << real) - 1U);
    }
    std::size_t d = 0;
    while (d < dim) {
        const __m512 v = _mm512_set1_ps(center[d]);
        const float* x = block + d * kBlockRows;
        unsigned any_active = 0;
        for (std::size_t i = 0; i < kRegisters; ++i) {
            const __m512 difference = _mm512_sub_ps(_mm512_loadu_ps(x + i * kLanes), v);
            sums[i] = _mm512_mask_add_ps(sums[i], active[i], sums[i], _mm512_mul_ps(difference, difference));
            // best <= sum retires the lane; a NaN sum compares false and stays.
            const __mmask16 reached =
                _mm512_mask_cmp_ps_mask(active[i], _mm512_loadu_ps(best + i * kLanes), sums[i], _CMP_LE_OQ);
            active[i] = static_cast<__mmask16>(active[i] & ~reached);
            any_active |= active[i];
        }
        ++d;
        if (any_active == 0) {
            break;
        }
    }
    for (std::size_t i = 0; i < kRegisters; ++i) {
        _mm512_storeu_ps(out + i * kLanes, sums[i]);
    }
    return d;
}

}  // namespace
}  // namespace tarvinex::pdx

#pragma GCC pop_options

// The exported entries are built for the baseline, so nothing they pull in is
// compiled for AVX-512; they only run where the kernel table put them.
namespace tarvinex::pdx {

void block_center_l2_avx512(std::span<const float> block, std::size_t dim, std::span<const float> center,
                            std::span<float> sums) noexcept {
    center_sums_avx512(block.data(), dim, center.data(), sums.data());
}

std::size_t block_center_l2_pruned_avx512(std::span<const float> block, std::size_t rows, std::size_t dim,
                                          std::span<const float> center, std::span<const float> best,
                                          std::span<float> sums) noexcept {
    return center_sums_pruned_avx512(block.data(), rows, dim, center.data(), best.data(), sums.data());
}

}  // namespace tarvinex::pdx
