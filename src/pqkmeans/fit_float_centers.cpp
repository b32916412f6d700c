/// PQ k-means with float centers: the ADC mode (centers in the rotated space,
/// means of decoded codes) and the hybrid mode (unrotated centers, means of
/// the raw vectors, rows assigned by shortlist and exact refine), and their
/// predictions. Both follow the symmetric loop pass for pass.

#include <algorithm>
#include <optional>

#include "math/math.hpp"
#include "pqkmeans/center_update.hpp"
#include "pqkmeans/checks.hpp"
#include "pqkmeans/model.hpp"
#include "pqkmeans/training_loop.hpp"

namespace tarvinex::pqkmeans {
error::Result<void> PqKMeans::normalize_if_spherical(array::MatrixView<float> centers) const {
    return spherical_ ? normalize_dense_centers_in_place(centers, dim_, k_) : error::Result<void>{};
}

namespace {

/// The dimension-major copy of the vectors for the exact pass, built only when
/// the switch is on and the exact path will run over at least one row.
error::Result<std::optional<pdx::PdxMatrix>> exact_pass_copy(array::MatrixView<const float> vectors,
                                                             std::size_t refine_exact_top_l, std::size_t k) {
    if (!pdx::pdx_exact_enabled() || refine_exact_top_l < k || vectors.extent(0) == 0) {
        return std::optional<pdx::PdxMatrix>{};
    }
    TARVINEX_TRY_ASSIGN(pdx::PdxMatrix copy, pdx::PdxMatrix::from_row_major(vectors.contiguous_span(),
                                                                            vectors.extent(0), vectors.extent(1)));
    return std::optional<pdx::PdxMatrix>(std::move(copy));
}

}  // namespace

array::Matrix<float> PqKMeans::take_raw_center_rows(array::MatrixView<const float> vectors,
                                                    std::span<const std::size_t> chosen) const {
    array::Matrix<float> centers(array::Shape<2>{chosen.size(), dim_});
    for (std::size_t i = 0; i < chosen.size(); ++i) {
        const std::span<const float> row = vectors.row(chosen[i]);
        std::copy(row.begin(), row.end(), centers.view().row(i).begin());
    }
    return centers;
}

error::Result<void> PqKMeans::fit_adc(array::MatrixView<const std::uint8_t> codes, const settings::EnvLookup& lookup) {
    const std::size_t n = codes.extent(0);
    TARVINEX_TRY(check_training_codes(codes));
    const pq4::FastScanSettings fastscan = pq4::read_fastscan_settings(lookup);

    // Packing is also what refuses codes of 16 or more when Ks is 16, so it
    // comes before anything reads the codes.
    TARVINEX_TRY_ASSIGN(const std::optional<pq4::PackedPq4Codes> packed, pack_pq4_codes(codes));
    TARVINEX_TRY(require_c_contiguous(codewords_, texts::kCodewordsNotContiguous));
    // Each start center is its row decoded, in the rotated space like the codes.
    const std::vector<std::size_t> chosen = initialize_center_indices(codes.contiguous_span(), n);
    array::Matrix<float> centers(array::Shape<2>{k_, dim_});
    for (std::size_t i = 0; i < k_; ++i) {
        decode_code_row_into(codes, chosen[i], codewords_.storage(), num_subquantizers_, codebook_size_, subdim_,
                             centers.view().row(i));
    }
    const auto normalize = [&] { return normalize_if_spherical(centers.view()); };
    TARVINEX_TRY(normalize());

    AssignmentBuffers buffers = AssignmentBuffers::create(n);
    const pq4::PackedPq4Codes* packed_codes = packed ? &*packed : nullptr;
    TARVINEX_TRY_ASSIGN(
        std::vector<double> history,
        run_passes(
            PassLoop{iterations_, verbose_, early_stopping_, "adc_inertia"}, buffers.distances,
            [&](std::size_t) { return assign_adc_into(codes, centers.view(), packed_codes, fastscan, buffers); },
            [&]() -> error::Result<void> {
                TARVINEX_TRY(update_dense_centers_from_codes(codes, buffers.labels, buffers.distances, centers.view(),
                                                             buffers.buckets));
                return normalize();
            }));

    // The centers go first: if they cannot be stored, nothing of the run is.
    TARVINEX_TRY(store_dense_centers_from_pq(centers.view()));
    inertia_history_ = std::move(history);
    labels_ = std::move(buffers).into_labels();
    return {};
}

namespace {

/// The checks fit_hybrid and predict_hybrid share, in their order.
error::Result<void> check_hybrid_arguments(array::MatrixView<const std::uint8_t> codes,
                                           array::MatrixView<const float> vectors, std::size_t refine_exact_top_l,
                                           std::size_t m, std::size_t dim) {
    if (codes.extent(1) != m) {
        return error::fail(texts::kCodeColumns);
    }
    if (vectors.extent(0) != codes.extent(0)) {
        return error::fail("vector row count must match code row count");
    }
    if (vectors.extent(1) != dim) {
        return error::fail("vector dimensionality does not match codewords");
    }
    if (refine_exact_top_l == 0) {
        return error::fail("refine_exact_top_l must be greater than zero");
    }
    return {};
}

}  // namespace

error::Result<void> PqKMeans::fit_hybrid(array::MatrixView<const std::uint8_t> codes,
                                         array::MatrixView<const float> vectors, std::size_t refine_exact_top_l,
                                         const settings::EnvLookup& lookup) {
    const std::size_t n = codes.extent(0);
    TARVINEX_TRY(check_hybrid_arguments(codes, vectors, refine_exact_top_l, num_subquantizers_, dim_));
    TARVINEX_TRY(check_rows_for_k(n));
    TARVINEX_TRY(require_c_contiguous(codes, texts::kCodesNotContiguous));
    TARVINEX_TRY(require_c_contiguous(vectors, texts::kVectorsNotContiguous));
    TARVINEX_TRY(check_code_values(codes));
    // The run ends by encoding its centers, which needs the codebook as one
    // block: found out now rather than after every pass has run.
    TARVINEX_TRY(require_c_contiguous(codewords_, texts::kCodewordsNotContiguous));
    // The centers are means of these rows: one NaN would stay in its center
    // for good and keep the fit from settling.
    if (!math::all_finite(vectors)) {
        return error::fail("input vectors must be finite");
    }
    const pq4::FastScanSettings fastscan = pq4::read_fastscan_settings(lookup);

    TARVINEX_TRY_ASSIGN(const std::optional<pq4::PackedPq4Codes> packed, pack_pq4_codes(codes));
    const std::vector<std::size_t> chosen = initialize_center_indices(codes.contiguous_span(), n);
    array::Matrix<float> centers = take_raw_center_rows(vectors, chosen);
    const auto normalize = [&] { return normalize_if_spherical(centers.view()); };
    TARVINEX_TRY(normalize());
    TARVINEX_TRY_ASSIGN(const std::optional<pdx::PdxMatrix> pdx_copy, exact_pass_copy(vectors, refine_exact_top_l, k_));

    AssignmentBuffers buffers = AssignmentBuffers::create(n);
    const pq4::PackedPq4Codes* packed_codes = packed ? &*packed : nullptr;
    const pdx::PdxMatrix* pdx_matrix = pdx_copy ? &*pdx_copy : nullptr;
    TARVINEX_TRY_ASSIGN(std::vector<double> history,
                        run_passes(
                            PassLoop{iterations_, verbose_, early_stopping_, "hybrid_inertia"}, buffers.distances,
                            [&](std::size_t) {
                                return assign_hybrid_into(codes, vectors, centers.view(), refine_exact_top_l,
                                                          packed_codes, pdx_matrix, fastscan, buffers);
                            },
                            [&]() -> error::Result<void> {
                                TARVINEX_TRY(update_dense_centers_from_vectors(
                                    vectors, buffers.labels, buffers.distances, centers.view(), buffers.buckets));
                                return normalize();
                            }));

    TARVINEX_TRY(store_dense_centers_raw(std::move(centers)));
    inertia_history_ = std::move(history);
    labels_ = std::move(buffers).into_labels();
    return {};
}

error::Result<std::vector<std::size_t>> PqKMeans::predict_adc(array::MatrixView<const std::uint8_t> codes,
                                                              const settings::EnvLookup& lookup) const {
    TARVINEX_TRY(check_code_columns(codes));
    if (!dense_cluster_centers_) {
        return error::fail(texts::kDenseCentersNotInitialized);
    }
    TARVINEX_TRY_ASSIGN(const array::Matrix<float> rotated, centers_to_pq_space(dense_cluster_centers_->view()));
    TARVINEX_TRY(require_c_contiguous(codes, texts::kCodesNotContiguous));
    TARVINEX_TRY(check_code_values(codes));
    TARVINEX_TRY_ASSIGN(const std::optional<pq4::PackedPq4Codes> packed, pack_pq4_codes(codes));
    AssignmentBuffers buffers = AssignmentBuffers::create(codes.extent(0));
    TARVINEX_TRY(assign_adc_into(codes, rotated.view(), packed ? &*packed : nullptr,
                                 pq4::read_fastscan_settings(lookup), buffers));
    return std::move(buffers).into_labels();
}

error::Result<std::vector<std::size_t>> PqKMeans::predict_hybrid(array::MatrixView<const std::uint8_t> codes,
                                                                 array::MatrixView<const float> vectors,
                                                                 std::size_t refine_exact_top_l,
                                                                 const settings::EnvLookup& lookup) const {
    TARVINEX_TRY(check_hybrid_arguments(codes, vectors, refine_exact_top_l, num_subquantizers_, dim_));
    if (!dense_cluster_centers_) {
        return error::fail(texts::kDenseCentersNotInitialized);
    }
    TARVINEX_TRY(require_c_contiguous(codes, texts::kCodesNotContiguous));
    TARVINEX_TRY(require_c_contiguous(vectors, texts::kVectorsNotContiguous));
    // The exact path never reads the codes.
    if (refine_exact_top_l < k_) {
        TARVINEX_TRY(check_code_values(codes));
    }
    TARVINEX_TRY_ASSIGN(const std::optional<pq4::PackedPq4Codes> packed, pack_pq4_codes(codes));
    TARVINEX_TRY_ASSIGN(const std::optional<pdx::PdxMatrix> pdx_copy, exact_pass_copy(vectors, refine_exact_top_l, k_));
    AssignmentBuffers buffers = AssignmentBuffers::create(codes.extent(0));
    TARVINEX_TRY(assign_hybrid_into(codes, vectors, dense_cluster_centers_->view(), refine_exact_top_l,
                                    packed ? &*packed : nullptr, pdx_copy ? &*pdx_copy : nullptr,
                                    pq4::read_fastscan_settings(lookup), buffers));
    return std::move(buffers).into_labels();
}

}  // namespace tarvinex::pqkmeans
