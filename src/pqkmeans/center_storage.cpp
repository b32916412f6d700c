/// Center storage and conversion: float centers encoded into codes, moved
/// between the unrotated space of the raw vectors and the rotated space of the
/// codebooks, normalised to unit length, and the two setters.
///
/// Every operation that stores centers builds both new fields first and
/// installs them together at its end, so an error leaves the model's centers
/// as they were; labels and inertia history are never touched. Stored arrays
/// are always C-ordered: every later pass reads them as contiguous rows.

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>

#include "math/math.hpp"
#include "parallel/pool.hpp"
#include "pq/pq.hpp"
#include "pqkmeans/checks.hpp"
#include "pqkmeans/model.hpp"

namespace tarvinex::pqkmeans {
namespace {

/// A row whose sum of squares is at most this stays as it is: the float
/// epsilon, compared with the squared norm.
constexpr float kUnitNormThreshold = std::numeric_limits<float>::epsilon();
/// Rows per task of the normalisation; a row is only D multiplications.
constexpr std::size_t kNormalizeRowsPerTask = 16;

void normalize_row(std::span<float> row) {
    float s = 0.0F;
    for (const float x : row) {
        const float square = x * x;
        s = s + square;
    }
    // A NaN sum fails the test, so a row holding a NaN becomes all NaN.
    if (s <= kUnitNormThreshold || math::normalize_if_squares_overflow(row, s)) {
        return;
    }
    const float factor = 1.0F / std::sqrt(s);
    for (float& x : row) {
        x = x * factor;
    }
}

[[nodiscard]] error::Result<void> check_dense_center_shape(array::MatrixView<const float> centers, std::size_t k,
                                                           std::size_t dim) {
    if (centers.extent(0) != k || centers.extent(1) != dim) {
        return error::fail(texts::kDenseCenterShape);
    }
    return {};
}

}  // namespace

error::Result<array::Matrix<std::uint8_t>> PqKMeans::encode_centers_from_pq(
    array::MatrixView<const float> centers) const {
    TARVINEX_TRY(require_c_contiguous(centers, texts::kDenseCentersNotContiguous));
    TARVINEX_TRY(require_c_contiguous(codewords_, texts::kCodewordsNotContiguous));
    TARVINEX_ASSERT(centers.extent(0) == k_ && centers.extent(1) == dim_, "pqkmeans: centers to encode must be (k, D)");
    // The standard encoder is the exact per-subspace nearest codeword by the
    // fixed-width distance of Ds; the transposed one may differ in near ties.
    array::Matrix<std::uint8_t> codes(array::Shape<2>{k_, num_subquantizers_});
    pq::encode_matrix_standard_into(centers, codewords_.view(), codes.view());
    return codes;
}

error::Result<array::Matrix<float>> PqKMeans::centers_to_pq_space(array::MatrixView<const float> centers) const {
    TARVINEX_TRY(check_dense_center_shape(centers, k_, dim_));
    if (rotation_) {
        return math::apply_rotation(centers, rotation_->view());
    }
    return array::c_order_copy(centers);
}

error::Result<void> PqKMeans::normalize_dense_centers_in_place(array::MatrixView<float> centers, std::size_t dim,
                                                               std::size_t k) {
    TARVINEX_TRY(check_dense_center_shape(centers, k, dim));
    TARVINEX_TRY(require_c_contiguous(centers, texts::kDenseCentersNotContiguous));
    parallel::for_range(0, k, kNormalizeRowsPerTask, [&](std::size_t i) { normalize_row(centers.row(i)); });
    return {};
}

error::Result<void> PqKMeans::store_dense_centers_raw(array::Matrix<float> centers) {
    TARVINEX_TRY(check_dense_center_shape(centers.view(), k_, dim_));
    if (!centers.is_c_contiguous()) {
        centers = array::c_order_copy(std::as_const(centers).view());
    }
    if (spherical_) {
        TARVINEX_TRY(normalize_dense_centers_in_place(centers.view(), dim_, k_));
    }
    TARVINEX_TRY_ASSIGN(const array::Matrix<float> rotated, centers_to_pq_space(centers.view()));
    TARVINEX_TRY_ASSIGN(array::Matrix<std::uint8_t> codes, encode_centers_from_pq(rotated.view()));
    cluster_centers_ = std::move(codes);
    dense_cluster_centers_ = std::move(centers);
    return {};
}

error::Result<void> PqKMeans::store_dense_centers_from_pq(array::MatrixView<const float> centers) {
    TARVINEX_TRY(check_dense_center_shape(centers, k_, dim_));
    // Refused in both modes alike: the normalised copy below would otherwise
    // accept a layout that the encoder refuses without it.
    TARVINEX_TRY(require_c_contiguous(centers, texts::kDenseCentersNotContiguous));
    std::optional<array::Matrix<float>> normalized;
    if (spherical_) {
        normalized = array::c_order_copy(centers);
        TARVINEX_TRY(normalize_dense_centers_in_place(normalized->view(), dim_, k_));
        centers = std::as_const(*normalized).view();
    }
    TARVINEX_TRY_ASSIGN(array::Matrix<std::uint8_t> codes, encode_centers_from_pq(centers));
    array::Matrix<float> unrotated;
    if (rotation_) {
        TARVINEX_TRY_ASSIGN(unrotated, math::apply_rotation(centers, rotation_->view().transposed()));
    } else if (normalized) {
        unrotated = std::move(*normalized);
    } else {
        unrotated = array::c_order_copy(centers);
    }
    cluster_centers_ = std::move(codes);
    dense_cluster_centers_ = std::move(unrotated);
    return {};
}

error::Result<void> PqKMeans::set_cluster_centers(array::Matrix<std::uint8_t> codes) {
    if (codes.extent(0) != k_ || codes.extent(1) != num_subquantizers_) {
        return error::fail("cluster center shape does not match the model");
    }
    // Checked for every Ks below 256, 16 included: center codes are never
    // packed, so nothing else would stop a code that indexes past its
    // subquantizer's table rows.
    if (has_code_of_codebook_size_or_more(codes.view())) {
        return error::fail("cluster center codes must be below codebook_size");
    }
    if (!codes.is_c_contiguous()) {
        codes = array::c_order_copy(std::as_const(codes).view());
    }
    cluster_centers_ = std::move(codes);
    dense_cluster_centers_.reset();
    return {};
}

error::Result<void> PqKMeans::set_dense_cluster_centers(array::Matrix<float> centers) {
    return store_dense_centers_raw(std::move(centers));
}

}  // namespace tarvinex::pqkmeans
