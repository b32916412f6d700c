/// Symmetric PQ k-means: the centers are code rows, distances come from the
/// codeword-distance table, and a center moves by a per-subquantizer vote.

#include <chrono>
#include <cstring>

#include "error/settings.hpp"
#include "pqkmeans/model.hpp"
#include "pqkmeans/training_loop.hpp"

namespace tarvinex::pqkmeans {
namespace {

using Clock = std::chrono::steady_clock;

}  // namespace

error::Result<void> PqKMeans::fit(array::MatrixView<const std::uint8_t> codes) {
    const std::size_t n = codes.extent(0);
    const std::size_t m = num_subquantizers_;
    if (codes.extent(1) != m) {
        return error::fail("code dimensionality does not match codewords");
    }
    if (n < k_) {
        return error::fail("number of rows must be at least k");
    }
    if (!codes.is_c_contiguous()) {
        return error::fail("code matrix must be C-contiguous");
    }
    if (auto checked = check_code_values(codes); !checked) {
        return checked;
    }

    ClusterProfile profile;
    profile.enabled = settings::env_present(settings::names::kProfileCluster);
    const Clock::time_point init_start = Clock::now();

    error::Result<std::optional<pq4::PackedPq4Codes>> packed = pack_pq4_codes(codes);
    if (!packed) {
        return error::fail(std::move(packed.error()));
    }
    const std::span<const std::uint8_t> code_span = codes.contiguous_span();
    const std::vector<std::size_t> chosen = initialize_center_indices(code_span, n);
    array::Matrix<std::uint8_t> centers(array::Shape<2>{k_, m});
    for (std::size_t i = 0; i < k_; ++i) {
        std::memcpy(centers.storage().data() + i * m, code_span.data() + chosen[i] * m, m);
    }
    if (profile.enabled) {
        add_duration(profile.init, elapsed_since(init_start));
    }

    inertia_history_.clear();
    AssignmentBuffers buffers = AssignmentBuffers::create(n);
    const pq4::PackedPq4Codes* packed_codes = packed->has_value() ? &**packed : nullptr;
    for (std::size_t pass = 0; pass < iterations_; ++pass) {
        if (auto assigned = assign_codes_into(codes, centers.view(), profile, packed_codes, buffers); !assigned) {
            return assigned;
        }
        const double inertia = mean_distance(buffers.distances);
        inertia_history_.push_back(inertia);
        if (verbose_) {
            write_iteration_line(pass, "inertia", inertia);
        }
        if (early_stopping_ && should_stop_early(inertia_history_)) {
            break;
        }
        if (pass + 1 < iterations_) {
            if (auto updated = update_centers(codes, buffers.labels, buffers.distances, centers.view(),
                                              buffers.buckets, profile);
                !updated) {
                return updated;
            }
        }
    }

    labels_ = std::move(buffers).into_labels();
    cluster_centers_ = std::move(centers);
    dense_cluster_centers_.reset();
    if (profile.enabled) {
        write_profile_line(n, k_, inertia_history_.size(), profile);
    }
    return {};
}

error::Result<std::vector<std::size_t>> PqKMeans::predict(array::MatrixView<const std::uint8_t> codes) const {
    if (codes.extent(1) != num_subquantizers_) {
        return error::fail("code dimensionality does not match codewords");
    }
    if (!cluster_centers_) {
        return error::fail("cluster centers are not initialized");
    }
    if (!codes.is_c_contiguous()) {
        return error::fail("code matrix must be C-contiguous");
    }
    if (auto checked = check_code_values(codes); !checked) {
        return error::fail(std::move(checked.error()));
    }
    error::Result<std::optional<pq4::PackedPq4Codes>> packed = pack_pq4_codes(codes);
    if (!packed) {
        return error::fail(std::move(packed.error()));
    }
    AssignmentBuffers buffers = AssignmentBuffers::create(codes.extent(0));
    ClusterProfile disabled;
    if (auto assigned = assign_codes_into(codes, cluster_centers_->view(), disabled,
                                          packed->has_value() ? &**packed : nullptr, buffers);
        !assigned) {
        return error::fail(std::move(assigned.error()));
    }
    return std::move(buffers).into_labels();
}

}  // namespace tarvinex::pqkmeans
