/// Symmetric PQ k-means: the centers are code rows, distances come from the
/// codeword-distance table, and a center moves by a per-subquantizer vote.

#include <cstring>

#include "error/settings.hpp"
#include "pqkmeans/checks.hpp"
#include "pqkmeans/model.hpp"
#include "pqkmeans/training_loop.hpp"

namespace tarvinex::pqkmeans {

error::Result<void> PqKMeans::fit(array::MatrixView<const std::uint8_t> codes, const settings::EnvLookup& lookup,
                                  const std::atomic<bool>* stop_requested) {
    return fit(codes, RunSettings::read(lookup), stop_requested);
}

error::Result<void> PqKMeans::fit(array::MatrixView<const std::uint8_t> codes, const RunSettings& run,
                                  const std::atomic<bool>* stop_requested) {
    const std::size_t n = codes.extent(0);
    const std::size_t m_count = num_subquantizers_;
    TARVINEX_TRY(check_training_codes(codes));

    ClusterProfile profile;
    profile.enabled = run.profile;
    const PhaseTimer init_timer(profile.enabled);

    TARVINEX_TRY_ASSIGN(const std::optional<pq4::PackedPq4Codes> packed, pack_pq4_codes(codes));
    const std::span<const std::uint8_t> code_span = codes.contiguous_span();
    const std::vector<std::size_t> chosen = initialize_center_indices(code_span, n);
    array::Matrix<std::uint8_t> centers(array::Shape<2>{k_, m_count});
    for (std::size_t i = 0; i < k_; ++i) {
        std::memcpy(centers.view().row(i).data(), codes.row(chosen[i]).data(), m_count);
    }
    init_timer.add_to(profile.init);

    AssignmentBuffers buffers = AssignmentBuffers::create(n);
    const pq4::PackedPq4Codes* packed_codes = packed ? &*packed : nullptr;
    TARVINEX_TRY_ASSIGN(
        std::vector<double> inertia_history,
        run_passes(
            PassLoop{iterations_, verbose_, early_stopping_, "inertia", stop_requested}, buffers.distances,
            [&](std::size_t) {
                return assign_codes_into(codes, centers.view(), profile, packed_codes, run.fastscan, buffers);
            },
            [&] {
                return update_centers(codes, buffers.labels, buffers.distances, centers.view(), buffers.buckets,
                                      profile);
            }));

    inertia_history_ = std::move(inertia_history);
    labels_ = std::move(buffers).into_labels();
    cluster_centers_ = std::move(centers);
    dense_cluster_centers_.reset();
    if (profile.enabled) {
        write_profile_line(n, k_, inertia_history_.size(), profile);
    }
    return {};
}

error::Result<std::vector<std::size_t>> PqKMeans::predict(array::MatrixView<const std::uint8_t> codes,
                                                          const settings::EnvLookup& lookup) const {
    TARVINEX_TRY(check_code_columns(codes));
    if (!cluster_centers_) {
        return error::fail(texts::kCentersNotInitialized);
    }
    TARVINEX_TRY(require_c_contiguous(codes, texts::kCodesNotContiguous));
    TARVINEX_TRY(check_code_values(codes));
    const RunSettings run = RunSettings::read(lookup);
    TARVINEX_TRY_ASSIGN(const std::optional<pq4::PackedPq4Codes> packed, pack_pq4_codes(codes));
    AssignmentBuffers buffers = AssignmentBuffers::create(codes.extent(0));
    ClusterProfile disabled;
    TARVINEX_TRY(assign_codes_into(codes, cluster_centers_->view(), disabled, packed ? &*packed : nullptr, run.fastscan,
                                   buffers));
    return std::move(buffers).into_labels();
}

}  // namespace tarvinex::pqkmeans
