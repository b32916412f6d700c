/// The transposed center copy, the portable transposed kernels, their kernel
/// table and the transposed chunk body.
///
/// The copy puts coordinate j of all centers side by side, so one broadcast of
/// a row element updates 16 centers per AVX-512 register. The portable forms
/// compute the same values lane by lane; they are the table's fallback.

#include <algorithm>
#include <cstddef>
#include <span>
#include <vector>

#include "dense/dense.hpp"
#include "dense/selection.hpp"
#include "simd/cpu_features.hpp"
#include "simd/preference.hpp"

namespace tarvinex::dense {
namespace {

constexpr std::size_t kLanes = 16;

/// The best of k centers whose value is the sequential sum over dimensions of
/// term(x_j, t_jc).
template <typename Term>
[[nodiscard]] simd::IndexedValue best_transposed(std::span<const float> row, std::span<const float> transposed,
                                                 std::size_t k, std::size_t stride, std::size_t dim, bool greatest,
                                                 Term&& term) {
    return detail::best_of(k, greatest, [&](std::size_t c) {
        float sum = 0.0F;
        for (std::size_t j = 0; j < dim; ++j) {
            sum = sum + term(row[j], transposed[j * stride + c]);
        }
        return sum;
    });
}

}  // namespace

std::size_t transposed_stride(std::size_t k) noexcept { return (k + kLanes - 1) / kLanes * kLanes; }

std::vector<float> transpose_centers(array::MatrixView<const float> centers) {
    const std::size_t k = centers.shape[0];
    const std::size_t dim = centers.shape[1];
    const std::size_t stride = transposed_stride(k);
    std::vector<float> out(dim * stride, 0.0F);
    for (std::size_t c = 0; c < k; ++c) {
        for (std::size_t j = 0; j < dim; ++j) {
            out[j * stride + c] = centers(c, j);
        }
    }
    return out;
}

simd::IndexedValue nearest_l2_center_transposed_scalar(std::span<const float> row, std::span<const float> transposed,
                                                       std::size_t k, std::size_t stride, std::size_t dim) noexcept {
    return best_transposed(row, transposed, k, stride, dim, false, [](float x, float t) {
        const float difference = x - t;
        const float square = difference * difference;
        return square;
    });
}

simd::IndexedValue nearest_dot_center_transposed_scalar(std::span<const float> row, std::span<const float> transposed,
                                                        std::size_t k, std::size_t stride, std::size_t dim) noexcept {
    return best_transposed(row, transposed, k, stride, dim, true, [](float x, float t) {
        const float product = x * t;
        return product;
    });
}

TransposedKernels transposed_kernels_for(simd::SliceKernel family, const simd::CpuFeatures& features) {
    static constexpr TransposedKernels kScalar{simd::SliceKernel::Scalar, nearest_l2_center_transposed_scalar,
                                               nearest_dot_center_transposed_scalar};
    static constexpr TransposedKernels kAvx512{simd::SliceKernel::Avx512, nearest_l2_center_transposed_avx512,
                                               nearest_dot_center_transposed_avx512};
    // Only the AVX-512 family has a transposed form; every other family reads the portable one.
    static constexpr simd::KernelTable<TransposedKernels> kTable{kScalar, std::nullopt, kAvx512};
    return kTable.for_family(family, features);
}

const TransposedKernels& selected_transposed_kernels() {
    static const TransposedKernels kernels =
        transposed_kernels_for(simd::selected_slice_kernel(), simd::detected_cpu_features());
    return kernels;
}

void assign_dense_transposed_into(array::MatrixView<const float> data, std::span<const float> transposed, std::size_t k,
                                  bool spherical, const TransposedKernels& kernels, std::size_t begin, std::size_t end,
                                  std::span<std::size_t> labels, std::span<float> distances) {
    const std::size_t dim = data.shape[1];
    const std::size_t stride = transposed_stride(k);
    const TransposedKernel nearest = spherical ? kernels.nearest_dot_center : kernels.nearest_l2_center;
    for (std::size_t r = begin; r < end; ++r) {
        detail::store(nearest(data.row(r), transposed, k, stride, dim), spherical, r, labels, distances);
    }
}

}  // namespace tarvinex::dense
