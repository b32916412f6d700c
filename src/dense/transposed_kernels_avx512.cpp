/// AVX-512 forms of the transposed kernels.
///
/// Up to four registers of 16 lanes hold one running sum per center. For each
/// dimension j the row element is broadcast once and each lane adds
/// (x_j - t_jc)^2 or x_j * t_jc, product rounded first: a sequential sum over
/// the dimensions per center, the portable form's value bit for bit. The
/// register count is a template parameter so the sums stay in registers.
///
/// The AVX-512 bodies see only raw pointers and intrinsics and have internal
/// linkage, so no shared inline function is compiled for AVX-512 here.

#include <immintrin.h>

#include <cstddef>
#include <limits>
#include <span>

#include "dense/dense.hpp"

#pragma GCC push_options
#pragma GCC target("avx512f")

namespace tarvinex::dense {
namespace {

constexpr std::size_t kLanes = 16;
constexpr std::size_t kMaxRegisters = 4;

template <std::size_t Registers, bool Dot>
void lane_sums(const float* row, const float* transposed, std::size_t stride, std::size_t dim, float* out) {
    __m512 sums[Registers];
    for (std::size_t v = 0; v < Registers; ++v) {
        sums[v] = _mm512_setzero_ps();
    }
    for (std::size_t j = 0; j < dim; ++j) {
        const __m512 x = _mm512_set1_ps(row[j]);
        const float* t = transposed + j * stride;
        for (std::size_t v = 0; v < Registers; ++v) {
            const __m512 c = _mm512_loadu_ps(t + v * kLanes);
            if constexpr (Dot) {
                sums[v] = _mm512_add_ps(sums[v], _mm512_mul_ps(x, c));
            } else {
                const __m512 difference = _mm512_sub_ps(x, c);
                sums[v] = _mm512_add_ps(sums[v], _mm512_mul_ps(difference, difference));
            }
        }
    }
    for (std::size_t v = 0; v < Registers; ++v) {
        _mm512_storeu_ps(out + v * kLanes, sums[v]);
    }
}

template <bool Dot>
simd::IndexedValue best_transposed_avx512(const float* row, const float* transposed, std::size_t k, std::size_t stride,
                                          std::size_t dim) {
    alignas(64) float sums[kLanes * kMaxRegisters];
    switch (stride / kLanes) {
        case 1:
            lane_sums<1, Dot>(row, transposed, stride, dim, sums);
            break;
        case 2:
            lane_sums<2, Dot>(row, transposed, stride, dim, sums);
            break;
        case 3:
            lane_sums<3, Dot>(row, transposed, stride, dim, sums);
            break;
        default:
            lane_sums<4, Dot>(row, transposed, stride, dim, sums);
            break;
    }
    constexpr float kInf = std::numeric_limits<float>::infinity();
    simd::IndexedValue best{0, Dot ? -kInf : kInf};
    for (std::size_t c = 0; c < k; ++c) {
        if (Dot ? sums[c] > best.value : sums[c] < best.value) {
            best = {c, sums[c]};
        }
    }
    return best;
}

}  // namespace
}  // namespace tarvinex::dense

#pragma GCC pop_options

// The exported entries are built for the baseline, so nothing they pull in is
// compiled for AVX-512; they only run where the kernel table put them.
namespace tarvinex::dense {

simd::IndexedValue nearest_l2_center_transposed_avx512(std::span<const float> row, std::span<const float> transposed,
                                                       std::size_t k, std::size_t stride, std::size_t dim) noexcept {
    return best_transposed_avx512<false>(row.data(), transposed.data(), k, stride, dim);
}

simd::IndexedValue nearest_dot_center_transposed_avx512(std::span<const float> row, std::span<const float> transposed,
                                                        std::size_t k, std::size_t stride, std::size_t dim) noexcept {
    return best_transposed_avx512<true>(row.data(), transposed.data(), k, stride, dim);
}

}  // namespace tarvinex::dense
