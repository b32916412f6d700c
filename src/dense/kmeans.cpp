/// The dense k-means model: construction, the training driver (initial
/// centers, the choice of engine, the passes, the final assignment),
/// prediction and centers set from outside.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dense/dense.hpp"
#include "error/interrupt.hpp"
#include "math/math.hpp"
#include "report/training_report.hpp"

namespace tarvinex::dense {
namespace {

constexpr std::size_t kHamerlyMinK = 8;
constexpr std::size_t kHamerlyAutoMaxK = 24;
constexpr std::size_t kHamerlyMinWork = 32'000'000;
constexpr std::size_t kEarlyAbandonMinK = 8;
constexpr std::size_t kEarlyAbandonMinDim = 64;
constexpr std::size_t kEarlyAbandonAutoMinWork = 64'000'000;
constexpr double kEpsilon = 2.220446049250313e-16;
constexpr double kSettledChange = 1e-4;
constexpr float kInf = std::numeric_limits<float>::infinity();

bool hamerly_requested(std::size_t k, const settings::EnvLookup& lookup) {
    const std::optional<std::string> word = settings::normalize_env_word(settings::names::kDenseHamerly, lookup);
    return settings::on_switch(word, {"1", "on", "yes", "true", "enable", "enabled"}) ||
           (k <= kHamerlyAutoMaxK && settings::on_switch(word, {"auto", "adaptive"}));
}

bool early_abandon_requested(std::size_t work, std::string_view kernel_family, const settings::EnvLookup& lookup) {
    const std::optional<std::string> word = settings::normalize_env_word_with_second_name(
        settings::names::kDenseEarlyAbandon, settings::names::kDenseAssignBound, lookup);
    return settings::on_switch(word, {"1", "on", "yes", "true", "bound", "bounded", "enable", "enabled"}) ||
           (settings::on_switch(word, {"auto", "adaptive"}) && kernel_family == "scalar" &&
            work >= kEarlyAbandonAutoMinWork);
}

/// |x - y| / max(|x|, eps) within the settled change; false for any NaN.
bool settled(double x, double y) { return std::abs(x - y) / std::max(std::abs(x), kEpsilon) <= kSettledChange; }

/// The largest shift, a NaN counting as +inf: a center that moved to NaN
/// leaves no bound worth trusting.
float largest_shift(std::span<const float> shifts) {
    float largest = 0.0F;
    for (const float shift : shifts) {
        if (std::isnan(shift)) {
            return kInf;
        }
        largest = std::max(largest, shift);
    }
    return largest;
}

/// The Hamerly state a fit keeps across passes.
struct HamerlyState {
    std::vector<float> upper;
    std::vector<float> lower;
    std::vector<float> half_min;
    std::vector<float> shifts;
    float largest_shift = 0.0F;
    array::Matrix<float> previous_centers;

    HamerlyState(std::size_t n, array::MatrixView<const float> centers)
        : upper(n, kInf),
          lower(n, 0.0F),
          half_min(center_half_min_distances(centers)),
          shifts(centers.shape[0], 0.0F),
          previous_centers(centers.shape) {}

    HamerlyBounds bounds() { return {upper, lower}; }
    HamerlyCenterState centers() const { return {half_min, shifts, largest_shift}; }
};

/// The row norms the plain engine wants: only in plain mode and only when the
/// BLAS path may run.
std::optional<std::vector<float>> plain_row_norms(array::MatrixView<const float> data, std::size_t k, bool spherical,
                                                  const DenseAssignSettings& settings) {
    if (spherical || !dense_blas_may_run(data.shape[0], k, data.shape[1], false, settings)) {
        return std::nullopt;
    }
    return squared_row_norms(data);
}

std::optional<std::span<const float>> as_span(const std::optional<std::vector<float>>& values) {
    if (!values) {
        return std::nullopt;
    }
    return std::span<const float>(*values);
}

}  // namespace

BoundedEngine choose_bounded_engine(std::size_t n, std::size_t k, std::size_t dim, bool spherical, bool c_contiguous,
                                    std::string_view kernel_family, const settings::EnvLookup& lookup) {
    if (spherical) {
        return BoundedEngine::None;
    }
    const std::size_t work = array::saturating_product(n, k, dim);
    if (k >= kHamerlyMinK && hamerly_requested(k, lookup) && work >= kHamerlyMinWork && c_contiguous) {
        return BoundedEngine::Hamerly;
    }
    if (dim >= kEarlyAbandonMinDim && k >= kEarlyAbandonMinK && early_abandon_requested(work, kernel_family, lookup) &&
        c_contiguous) {
        return BoundedEngine::EarlyAbandon;
    }
    return BoundedEngine::None;
}

bool dense_should_stop_early(std::span<const double> inertia_history) {
    const std::size_t count = inertia_history.size();
    if (count < 4) {
        return false;
    }
    const double a = inertia_history[count - 2];
    const double b = inertia_history[count - 1];
    const double c = inertia_history[count - 3];
    return a > kEpsilon && settled(a, b) && settled(c, a);
}

error::Result<DenseKMeans> DenseKMeans::create(std::size_t k, std::size_t iterations, std::uint64_t seed, bool verbose,
                                               std::string_view init, bool early_stopping, bool spherical) {
    TARVINEX_TRY_ASSIGN(const kmeans::InitMethod method, kmeans::parse_init_method(init));
    if (k == 0) {
        return error::fail("k must be greater than zero");
    }
    if (iterations == 0) {
        return error::fail("iterations must be greater than zero");
    }
    DenseKMeans model;
    model.k_ = k;
    model.iterations_ = iterations;
    model.seed_ = seed;
    model.verbose_ = verbose;
    model.early_stopping_ = early_stopping;
    model.spherical_ = spherical;
    model.init_ = method;
    return model;
}

error::Result<void> DenseKMeans::fit(array::MatrixView<const float> data, const settings::EnvLookup& lookup) {
    const std::size_t n = data.shape[0];
    const std::size_t dim = data.shape[1];
    if (n == 0) {
        return error::fail("data must have at least one row");
    }
    if (dim == 0) {
        return error::fail("data must have at least one column");
    }
    if (k_ > n) {
        return error::fail("k (" + std::to_string(k_) + ") cannot exceed number of rows (" + std::to_string(n) + ")");
    }
    // Everything below works on locals; the model changes only at the end.
    // The per-row buffers come first, so a row count too large to hold
    // fails before anything reads the data.
    std::vector<std::size_t> labels(n, 0);
    std::vector<float> distances(n, 0.0F);
    const DenseAssignSettings assign_settings = read_dense_assign_settings(lookup);
    const std::optional<std::vector<float>> row_norms = plain_row_norms(data, k_, spherical_, assign_settings);
    // One NaN or infinity would spread through its center for good. A finite
    // norm says its row is finite, so where the BLAS path has read every row
    // for its norms, only rows whose norm is not finite (NaN, infinity, or
    // squares that overflow) send the check back to the values.
    const bool norms_finite = row_norms && math::all_finite(std::span<const float>(*row_norms));
    if (!norms_finite && !math::all_finite(data)) {
        return error::fail("input data must be finite");
    }
    TARVINEX_TRY_ASSIGN(array::Matrix<float> centers,
                        initial_centers(data, k_, seed_, init_, spherical_, read_dense_init_settings(lookup)));

    const BoundedEngine engine =
        choose_bounded_engine(n, k_, dim, spherical_, data.is_c_contiguous(), simd::simd_runtime_label(), lookup);
    std::optional<HamerlyState> hamerly;
    if (engine == BoundedEngine::Hamerly) {
        hamerly.emplace(n, centers.view());
    }
    DenseUpdateScratch scratch(k_, dim);
    std::vector<double> history;

    const auto assign_plain = [&] {
        assign_dense_into(data, centers.view(), as_span(row_norms), spherical_, labels, distances, assign_settings);
    };
    for (std::size_t pass = 0; pass < iterations_; ++pass) {
        TARVINEX_TRY(interrupt::check_pass_boundary());
        if (hamerly && pass == 0) {
            assign_dense_with_second_into(data, centers.view(), labels, distances, hamerly->bounds());
        } else if (hamerly) {
            assign_dense_hamerly_into(data, centers.view(), labels, distances, hamerly->bounds(), hamerly->centers());
        } else if (engine == BoundedEngine::EarlyAbandon && pass > 0) {
            assign_dense_early_abandon_into(data, centers.view(), labels, distances);
        } else {
            assign_plain();
        }
        history.push_back(report::mean_distance(distances));
        if (verbose_) {
            report::write_iteration_line(pass, "dense_inertia", history.back());
        }
        if (early_stopping_ && dense_should_stop_early(history)) {
            break;
        }
        if (hamerly) {
            std::copy(centers.storage().begin(), centers.storage().end(), hamerly->previous_centers.storage().begin());
        }
        update_centers(data, labels, distances, centers.view(), scratch, read_dense_update_mode(lookup));
        if (spherical_) {
            normalize_center_rows(centers.view());
        }
        if (hamerly) {
            hamerly->shifts = center_movements_between(hamerly->previous_centers.view(), centers.view());
            hamerly->largest_shift = largest_shift(hamerly->shifts);
            hamerly->half_min = center_half_min_distances(centers.view());
        }
    }
    // The stored labels and the last history entry describe the stored centers.
    TARVINEX_TRY(interrupt::check_pass_boundary());
    assign_plain();
    history.back() = report::mean_distance(distances);

    centers_ = std::move(centers);
    labels_ = std::move(labels);
    inertia_history_ = std::move(history);
    return {};
}

error::Result<std::vector<std::size_t>> DenseKMeans::predict(array::MatrixView<const float> data,
                                                             const settings::EnvLookup& lookup) const {
    if (!centers_) {
        return error::fail("cluster centers are not initialized");
    }
    const array::MatrixView<const float> centers = centers_->view();
    if (data.shape[1] != centers.shape[1]) {
        return error::fail("expected " + std::to_string(centers.shape[1]) + " columns, got " +
                           std::to_string(data.shape[1]));
    }
    std::vector<std::size_t> labels(data.shape[0], 0);
    if (labels.empty()) {
        return labels;
    }
    const DenseAssignSettings settings = read_dense_assign_settings(lookup);
    const std::optional<std::vector<float>> row_norms = plain_row_norms(data, centers.shape[0], spherical_, settings);
    std::vector<float> distances(data.shape[0], 0.0F);
    assign_dense_into(data, centers, as_span(row_norms), spherical_, labels, distances, settings);
    return labels;
}

error::Result<void> DenseKMeans::set_centers(array::Matrix<float> centers) {
    if (centers.extent(0) != k_) {
        return error::fail("expected " + std::to_string(k_) + " centers, got " + std::to_string(centers.extent(0)));
    }
    if (centers.extent(1) == 0) {
        return error::fail("centers must have at least one column");
    }
    if (spherical_) {
        // Rows are normalised in place, so they must be contiguous.
        if (!centers.is_c_contiguous()) {
            centers = array::c_order_copy(centers.view());
        }
        normalize_center_rows(centers.view());
    }
    centers_ = std::move(centers);
    return {};
}

}  // namespace tarvinex::dense
