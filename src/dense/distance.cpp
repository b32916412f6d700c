/// The row and center helpers the dense engines share: norms, the squared
/// distance and the dot product of two views, each in its documented order.

#include <cstddef>
#include <span>
#include <vector>

#include "dense/dense.hpp"
#include "parallel/pool.hpp"
#include "simd/slice_kernels.hpp"

namespace tarvinex::dense {
namespace {

/// Rows per task of the norm loop.
constexpr std::size_t kNormGrain = 256;

/// The four-lane sum of term(0) .. term(d - 1).
template <typename Term>
[[nodiscard]] float four_lane_sum(std::size_t d, Term&& term) {
    const std::size_t q = d - d % 4;
    float lanes[4] = {0.0F, 0.0F, 0.0F, 0.0F};
    for (std::size_t i = 0; i < q; i += 4) {
        for (std::size_t l = 0; l < 4; ++l) {
            lanes[l] = lanes[l] + term(i + l);
        }
    }
    const float head = ((lanes[0] + lanes[1]) + lanes[2]) + lanes[3];
    float tail = 0.0F;
    for (std::size_t i = q; i < d; ++i) {
        tail = tail + term(i);
    }
    return head + tail;
}

template <typename Term>
[[nodiscard]] float sequential_sum(std::size_t d, Term&& term) {
    float sum = 0.0F;
    for (std::size_t i = 0; i < d; ++i) {
        sum = sum + term(i);
    }
    return sum;
}

[[nodiscard]] float element(VectorView v, std::size_t i) noexcept { return v(i); }

}  // namespace

bool is_contiguous(VectorView v) noexcept { return v.shape[0] < 2 || v.strides[0] == 1; }

VectorView row_view(array::MatrixView<const float> m, std::size_t i) noexcept {
    return {m.data + static_cast<std::ptrdiff_t>(i) * m.strides[0], {m.shape[1]}, {m.strides[1]}};
}

float squared_norm_slice(std::span<const float> row) noexcept {
    return four_lane_sum(row.size(), [&](std::size_t i) {
        const float square = row[i] * row[i];
        return square;
    });
}

float squared_norm(VectorView v) noexcept {
    if (is_contiguous(v)) {
        return squared_norm_slice({v.data, v.shape[0]});
    }
    return sequential_sum(v.shape[0], [&](std::size_t i) {
        const float x = element(v, i);
        const float square = x * x;
        return square;
    });
}

std::vector<float> squared_row_norms(array::MatrixView<const float> matrix) {
    std::vector<float> norms(matrix.shape[0]);
    const bool c_order = matrix.is_c_contiguous();
    parallel::for_range(0, norms.size(), kNormGrain, [&](std::size_t i) {
        norms[i] = c_order ? squared_norm_slice(matrix.row(i)) : squared_norm(row_view(matrix, i));
    });
    return norms;
}

float l2_distance(VectorView a, VectorView b, const simd::SliceKernelTable& kernels) noexcept {
    const std::size_t d = a.shape[0] < b.shape[0] ? a.shape[0] : b.shape[0];
    if (is_contiguous(a) && is_contiguous(b)) {
        return kernels.l2_distance({a.data, d}, {b.data, d});
    }
    return sequential_sum(d, [&](std::size_t i) {
        const float difference = element(a, i) - element(b, i);
        const float square = difference * difference;
        return square;
    });
}

float l2_distance(VectorView a, VectorView b) { return l2_distance(a, b, simd::slice_kernels()); }

float dot_product(VectorView a, VectorView b) noexcept {
    const std::size_t d = a.shape[0] < b.shape[0] ? a.shape[0] : b.shape[0];
    const auto product = [&](std::size_t i) {
        const float p = element(a, i) * element(b, i);
        return p;
    };
    if (is_contiguous(a) && is_contiguous(b)) {
        return four_lane_sum(d, product);
    }
    return sequential_sum(d, product);
}

}  // namespace tarvinex::dense
