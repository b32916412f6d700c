/// The portable forms of the slice kernels: the loops every call site runs when
/// the kernel family is Scalar.
///
/// Every sum is sequential from zero in element order, so these are the
/// reference the vector forms differ from only through their lane order. The
/// nearest-center loops score four centers per pass over the row (independent
/// sums, so the results are those of one center at a time) to cut row reloads.

#include <limits>

#include "simd/lookup_rows.hpp"
#include "simd/slice_kernels.hpp"

namespace tarvinex::simd {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

void keep_if_less(IndexedValue& best, std::size_t index, float score) noexcept {
    if (score < best.value) {
        best = {index, score};
    }
}

void keep_if_greater(IndexedValue& best, std::size_t index, float score) noexcept {
    if (score > best.value) {
        best = {index, score};
    }
}

float squared_difference(float a, float b) noexcept {
    const float d = a - b;
    return d * d;
}

}  // namespace

IndexedValue argmin_scalar(std::span<const float> values) noexcept {
    IndexedValue best{0, kInfinity};
    for (std::size_t i = 0; i < values.size(); ++i) {
        keep_if_less(best, i, values[i]);
    }
    return best;
}

IndexedValue greatest_score_scalar(std::span<const float> scores) noexcept {
    IndexedValue best{0, -kInfinity};
    for (std::size_t j = 0; j < scores.size(); ++j) {
        if (scores[j] > best.value) {
            best = {j, scores[j]};
        }
    }
    return best;
}

IndexedValue least_l2_from_scores_scalar(std::span<const float> scores, std::span<const float> center_norms,
                                         float row_norm) noexcept {
    IndexedValue best{0, kInfinity};
    for (std::size_t j = 0; j < scores.size(); ++j) {
        const float d = (center_norms[j] + row_norm) - (scores[j] + scores[j]);
        const float distance = d < 0.0F ? 0.0F : d;
        if (distance < best.value) {
            best = {j, distance};
        }
    }
    return best;
}

float l2_distance_scalar(std::span<const float> a, std::span<const float> b) noexcept {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    float sum = 0.0F;
    for (std::size_t i = 0; i < n; ++i) {
        sum = sum + squared_difference(a[i], b[i]);
    }
    return sum;
}

void add_assign_scalar(std::span<float> dst, std::span<const float> src) noexcept {
    const std::size_t n = dst.size() < src.size() ? dst.size() : src.size();
    for (std::size_t i = 0; i < n; ++i) {
        dst[i] = dst[i] + src[i];
    }
}

void scaled_add_assign_scalar(std::span<float> dst, std::span<const float> src, float scale) noexcept {
    const std::size_t n = dst.size() < src.size() ? dst.size() : src.size();
    for (std::size_t i = 0; i < n; ++i) {
        const float product = scale * src[i];
        dst[i] = dst[i] + product;
    }
}

IndexedValue nearest_l2_center_scalar(std::span<const float> row, std::span<const float> centers, std::size_t k,
                                      std::size_t dim) noexcept {
    const float* r = row.data();
    IndexedValue best{0, kInfinity};
    std::size_t j = 0;
    for (; j + 4 <= k; j += 4) {
        const float* c0 = centers.data() + j * dim;
        const float* c1 = c0 + dim;
        const float* c2 = c1 + dim;
        const float* c3 = c2 + dim;
        float s0 = 0.0F;
        float s1 = 0.0F;
        float s2 = 0.0F;
        float s3 = 0.0F;
        for (std::size_t i = 0; i < dim; ++i) {
            s0 = s0 + squared_difference(r[i], c0[i]);
            s1 = s1 + squared_difference(r[i], c1[i]);
            s2 = s2 + squared_difference(r[i], c2[i]);
            s3 = s3 + squared_difference(r[i], c3[i]);
        }
        keep_if_less(best, j, s0);
        keep_if_less(best, j + 1, s1);
        keep_if_less(best, j + 2, s2);
        keep_if_less(best, j + 3, s3);
    }
    for (; j < k; ++j) {
        const float* c = centers.data() + j * dim;
        float s = 0.0F;
        for (std::size_t i = 0; i < dim; ++i) {
            s = s + squared_difference(r[i], c[i]);
        }
        keep_if_less(best, j, s);
    }
    return best;
}

IndexedValue nearest_dot_center_scalar(std::span<const float> row, std::span<const float> centers, std::size_t k,
                                       std::size_t dim) noexcept {
    const float* r = row.data();
    IndexedValue best{0, -kInfinity};
    std::size_t j = 0;
    for (; j + 4 <= k; j += 4) {
        const float* c0 = centers.data() + j * dim;
        const float* c1 = c0 + dim;
        const float* c2 = c1 + dim;
        const float* c3 = c2 + dim;
        float s0 = 0.0F;
        float s1 = 0.0F;
        float s2 = 0.0F;
        float s3 = 0.0F;
        for (std::size_t i = 0; i < dim; ++i) {
            s0 = s0 + r[i] * c0[i];
            s1 = s1 + r[i] * c1[i];
            s2 = s2 + r[i] * c2[i];
            s3 = s3 + r[i] * c3[i];
        }
        keep_if_greater(best, j, s0);
        keep_if_greater(best, j + 1, s1);
        keep_if_greater(best, j + 2, s2);
        keep_if_greater(best, j + 3, s3);
    }
    for (; j < k; ++j) {
        const float* c = centers.data() + j * dim;
        float s = 0.0F;
        for (std::size_t i = 0; i < dim; ++i) {
            s = s + r[i] * c[i];
        }
        keep_if_greater(best, j, s);
    }
    return best;
}

IndexedValue lookup_min_from_scalar(std::span<const std::uint8_t> codes, std::span<const float> table, std::size_t ks,
                                    std::size_t k, std::size_t first_center, IndexedValue best) noexcept {
    return detail::lookup_min_one_by_one(codes.data(), codes.size(), table.data(), ks, k, 0, first_center, best);
}

void lookup_min_rows_scalar(std::span<const std::uint8_t> codes, std::size_t m_count, std::span<const float> block,
                            std::size_t ks, std::size_t width, std::size_t first_center, std::span<std::size_t> labels,
                            std::span<float> distances) noexcept {
    detail::lookup_min_rows_with<lookup_min_from_scalar>(codes, m_count, block, ks, width, first_center, labels,
                                                         distances);
}

IndexedValue select_lookup_min_scalar(std::span<const std::uint8_t> codes, std::span<const float> table, std::size_t ks,
                                      std::size_t k) noexcept {
    return lookup_min_from_scalar(codes, table, ks, k, 0, IndexedValue{0, kInfinity});
}

}  // namespace tarvinex::simd
