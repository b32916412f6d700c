/// The three center updates that run between assignment passes: group the
/// rows by their last-pass label, recompute every center that has members,
/// then refill each empty center with one of the rows farthest from their
/// centers. All checks come before any center changes.
///
/// The farthest rows are ranked by the distances of the pass that produced
/// the labels, that is, to the centers as they were before this update. The
/// drivers guarantee n >= k, so every empty center gets a row of its own.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "parallel/pool.hpp"
#include "pqkmeans/center_update.hpp"
#include "pqkmeans/checks.hpp"
#include "pqkmeans/model.hpp"
#include "simd/slice_kernels.hpp"

namespace tarvinex::pqkmeans {

namespace {

void check_pass_outputs(std::size_t rows, std::span<const std::size_t> labels, std::span<const float> distances) {
    TARVINEX_ASSERT(labels.size() == rows && distances.size() == rows,
                    "labels and distances must hold one entry per row");
}

/// Overwrites center empty[i] with row farthest[i] through
/// overwrite(center, row), the lowest empty center getting the farthest row.
template <typename Overwrite>
void refill_empty_centers(std::span<const std::size_t> empty, std::span<const float> distances, Overwrite&& overwrite) {
    const std::vector<std::size_t> farthest = select_farthest_rows(distances, empty.size());
    const std::size_t refills = std::min(empty.size(), farthest.size());
    for (std::size_t i = 0; i < refills; ++i) {
        overwrite(empty[i], farthest[i]);
    }
}

}  // namespace

error::Result<void> PqKMeans::update_centers(array::MatrixView<const std::uint8_t> codes,
                                             std::span<const std::size_t> labels, std::span<const float> distances,
                                             array::MatrixView<std::uint8_t> centers, LabelBucketBuffers& buckets,
                                             ClusterProfile& profile) const {
    TARVINEX_ASSERT(codes.extent(1) == num_subquantizers_, "code matrix does not match the model");
    check_pass_outputs(codes.extent(0), labels, distances);

    const PhaseTimer update_timer(profile.enabled);
    PhaseTimer phase_timer(profile.enabled);
    const LabelBucketBuffers::Views views = buckets.build(labels, k_);
    phase_timer.lap_into(profile.update_counts);

    TARVINEX_TRY(require_c_contiguous(centers, texts::kCentersNotContiguous));
    TARVINEX_ASSERT(centers.extent(0) == k_ && centers.extent(1) == num_subquantizers_,
                    "cluster centers do not match the model");

    const simd::SliceKernelTable& kernels = simd::slice_kernels();
    const std::span<const float> table = *codeword_distances_;
    parallel::for_chunks(
        k_, 1, [&] { return CodeVoteScratch(num_subquantizers_, codebook_size_); },
        [&](std::size_t j, std::size_t, std::size_t, CodeVoteScratch& scratch) {
            vote_center_code_into(codes, views.members(j), table, codebook_size_, centers.row(j), scratch, kernels);
        });
    phase_timer.add_to(profile.update_vote);

    const std::vector<std::size_t> empty = empty_cluster_indices(views.counts);
    if (!empty.empty()) {
        phase_timer.restart();
        refill_empty_centers(empty, distances, [&](std::size_t center, std::size_t row) {
            const std::span<std::uint8_t> target = centers.row(center);
            for (std::size_t s = 0; s < num_subquantizers_; ++s) {
                target[s] = codes(row, s);
            }
        });
        phase_timer.add_to(profile.update_reseed);
    }
    update_timer.add_to(profile.update_total);
    return {};
}

error::Result<void> PqKMeans::update_dense_centers_from_codes(array::MatrixView<const std::uint8_t> codes,
                                                              std::span<const std::size_t> labels,
                                                              std::span<const float> distances,
                                                              array::MatrixView<float> centers,
                                                              LabelBucketBuffers& buckets) const {
    TARVINEX_TRY(require_c_contiguous(codewords_, texts::kCodewordsNotContiguous));
    TARVINEX_ASSERT(codes.extent(1) == num_subquantizers_, "code matrix does not match the model");
    check_pass_outputs(codes.extent(0), labels, distances);

    const LabelBucketBuffers::Views views = buckets.build(labels, k_);

    TARVINEX_TRY(require_c_contiguous(centers, texts::kDenseCentersNotContiguous));
    TARVINEX_ASSERT(centers.extent(0) == k_ && centers.extent(1) == dim_, "dense centers do not match the model");

    const simd::SliceKernelTable& kernels = simd::slice_kernels();
    const std::span<const float> codebooks(codewords_.view().data, codewords_.size());
    parallel::for_range(0, k_, [&](std::size_t j) {
        mean_dense_center_from_codes_into(codes, views.members(j), codebooks, num_subquantizers_, codebook_size_,
                                          subdim_, centers.row(j), kernels);
    });

    const std::vector<std::size_t> empty = empty_cluster_indices(views.counts);
    if (!empty.empty()) {
        // A decoded row lies in the rotated space, like the centers.
        refill_empty_centers(empty, distances, [&](std::size_t center, std::size_t row) {
            decode_code_row_into(codes, row, codebooks, num_subquantizers_, codebook_size_, subdim_,
                                 centers.row(center));
        });
    }
    return {};
}

error::Result<void> PqKMeans::update_dense_centers_from_vectors(array::MatrixView<const float> vectors,
                                                                std::span<const std::size_t> labels,
                                                                std::span<const float> distances,
                                                                array::MatrixView<float> centers,
                                                                LabelBucketBuffers& buckets) const {
    TARVINEX_TRY(require_c_contiguous(vectors, texts::kVectorsNotContiguous));
    TARVINEX_ASSERT(vectors.extent(1) == dim_, "input vectors do not match the model");
    check_pass_outputs(vectors.extent(0), labels, distances);

    const LabelBucketBuffers::Views views = buckets.build(labels, k_);

    TARVINEX_TRY(require_c_contiguous(centers, texts::kDenseCentersNotContiguous));
    TARVINEX_ASSERT(centers.extent(0) == k_ && centers.extent(1) == dim_, "dense centers do not match the model");

    const simd::SliceKernelTable& kernels = simd::slice_kernels();
    parallel::for_range(0, k_, [&](std::size_t j) {
        mean_dense_center_from_vectors_into(vectors, views.members(j), centers.row(j), kernels);
    });

    const std::vector<std::size_t> empty = empty_cluster_indices(views.counts);
    if (!empty.empty()) {
        refill_empty_centers(empty, distances, [&](std::size_t center, std::size_t row) {
            const std::span<const float> source = vectors.row(row);
            std::copy(source.begin(), source.end(), centers.row(center).begin());
        });
    }
    return {};
}

}  // namespace tarvinex::pqkmeans
