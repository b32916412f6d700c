/// The initial centers of a dense fit: the candidate sample, k-means++ and
/// farthest-first over it, and random rows. The generators and the choice of
/// each center stay on the calling thread; only the minimum-distance update
/// runs in parallel, each candidate on its own, so the centers depend on the
/// data, k, seed, method and settings alone, never on the worker count.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "array/size_product.hpp"
#include "dense/dense.hpp"
#include "error/settings.hpp"
#include "math/math.hpp"
#include "parallel/pool.hpp"
#include "ranking/float_order.hpp"
#include "rng/index_sample.hpp"
#include "rng/proportional_draw.hpp"
#include "rng/seeded_rng.hpp"

namespace tarvinex::dense {
namespace {

constexpr std::uint64_t kDefaultMinSampleRows = 16384;
constexpr std::uint64_t kDefaultMaxSampleRows = 65536;
constexpr std::uint64_t kDefaultRowsPerCenter = 256;
/// Candidate positions per task of the minimum-distance update.
constexpr std::size_t kUpdateChunk = 512;
constexpr float kChosen = -1.0F;
constexpr float kNormEpsilon = std::numeric_limits<float>::epsilon();

/// A number setting whose 0 means unset.
[[nodiscard]] std::optional<std::uint64_t> positive_number(const char* name, const settings::EnvLookup& lookup) {
    const std::optional<std::uint64_t> value = env_usize(name, lookup);
    return value == std::uint64_t{0} ? std::nullopt : value;
}

[[nodiscard]] std::vector<std::size_t> sample_rows(std::uint64_t seed, std::size_t n, std::size_t amount) {
    rng::SeededRng rng = rng::SeededRng::seed_from_u64(seed);
    const std::vector<std::uint64_t> sample = rng::index::sample(rng, n, amount);
    return {sample.begin(), sample.end()};
}

/// k-means++ and farthest-first: the chosen rows, first the first candidate,
/// then per center the method's pick over the minimum distances.
[[nodiscard]] error::Result<std::vector<std::size_t>> choose_among_candidates(array::MatrixView<const float> data,
                                                                              std::size_t k, std::uint64_t seed,
                                                                              bool plus_plus,
                                                                              const DenseInitSettings& settings) {
    // Seeded like the candidate sample but its own generator, so its draws
    // start from the same state as the sample's did.
    rng::SeededRng draws = rng::SeededRng::seed_from_u64(seed);
    const std::vector<std::size_t> candidates = initialization_candidate_rows(data.shape[0], k, seed, settings);
    const simd::SliceKernelTable& kernels = simd::slice_kernels();
    std::vector<float> min_distances(candidates.size(), std::numeric_limits<float>::infinity());
    std::vector<std::size_t> chosen;
    chosen.reserve(k);
    std::size_t picked = 0;
    while (true) {
        chosen.push_back(candidates[picked]);
        if (chosen.size() == k) {
            return chosen;
        }
        update_min_l2_distances(data, candidates, min_distances, row_view(data, chosen.back()), kernels);
        min_distances[picked] = kChosen;
        const std::expected<std::size_t, rng::NoDraw> drawn =
            plus_plus ? rng::proportional_draw(draws, min_distances)
                      : std::expected<std::size_t, rng::NoDraw>(std::unexpect, rng::NoDraw::TooLittleWeight);
        if (drawn) {
            picked = *drawn;
            continue;
        }
        const std::optional<std::size_t> farthest = farthest_candidate(min_distances);
        if (!farthest) {
            return error::fail("failed to choose an initial cluster center");
        }
        picked = *farthest;
    }
}

/// The sequential sum of the rounded squares from -0.
[[nodiscard]] float sum_of_squares(std::span<const float> row) {
    float s = -0.0F;
    for (const float x : row) {
        const float square = x * x;
        s = s + square;
    }
    return s;
}

}  // namespace

DenseInitSettings read_dense_init_settings(const settings::EnvLookup& lookup) {
    namespace names = settings::names;
    return {
        .sample_rows = positive_number(names::kDenseInitSampleRows, lookup),
        .min_sample_rows = positive_number(names::kDenseInitMinSampleRows, lookup),
        .max_sample_rows = positive_number(names::kDenseInitMaxSampleRows, lookup),
        .rows_per_center = positive_number(names::kDenseInitRowsPerCenter, lookup),
    };
}

std::size_t initialization_candidate_count(std::size_t n, std::size_t k, const DenseInitSettings& settings) {
    if (n == 0) {
        return 0;
    }
    if (settings.sample_rows) {
        return std::min<std::uint64_t>(std::max<std::uint64_t>(*settings.sample_rows, k), n);
    }
    const std::uint64_t lo = settings.min_sample_rows.value_or(kDefaultMinSampleRows);
    const std::uint64_t hi = std::max(lo, settings.max_sample_rows.value_or(kDefaultMaxSampleRows));
    const std::uint64_t per_center =
        array::saturating_product(k, settings.rows_per_center.value_or(kDefaultRowsPerCenter));
    return std::min<std::uint64_t>(n, std::max<std::uint64_t>(k, std::min(hi, std::max(lo, per_center))));
}

std::vector<std::size_t> initialization_candidate_rows(std::size_t n, std::size_t k, std::uint64_t seed,
                                                       const DenseInitSettings& settings) {
    return sample_rows(seed, n, initialization_candidate_count(n, k, settings));
}

void update_min_l2_distances(array::MatrixView<const float> data, std::span<const std::size_t> candidates,
                             std::span<float> min_distances, VectorView newest, const simd::SliceKernelTable& kernels) {
    parallel::for_chunks(candidates.size(), kUpdateChunk, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const float d = l2_distance(row_view(data, candidates[i]), newest, kernels);
            if (d < min_distances[i]) {
                min_distances[i] = d;
            }
        }
    });
}

std::optional<std::size_t> farthest_candidate(std::span<const float> min_distances) {
    std::optional<std::size_t> best;
    std::uint32_t best_key = 0;
    for (std::size_t i = 0; i < min_distances.size(); ++i) {
        const float d = min_distances[i];
        if (!(d >= 0.0F) || !std::isfinite(d)) {
            continue;
        }
        const std::uint32_t key = ranking::total_order_key(d);
        if (!best || key >= best_key) {
            best = i;
            best_key = key;
        }
    }
    return best;
}

error::Result<array::Matrix<float>> initial_centers(array::MatrixView<const float> data, std::size_t k,
                                                    std::uint64_t seed, kmeans::InitMethod init, bool spherical,
                                                    const DenseInitSettings& settings) {
    const std::size_t n = data.shape[0];
    const std::size_t dim = data.shape[1];
    TARVINEX_ASSERT(k >= 1 && k <= n && dim >= 1, "initial centers need 1 <= k <= n and at least one column");
    array::Matrix<float> centers(std::vector<float>(checked_element_count<float>(k, dim)), {k, dim});
    std::vector<std::size_t> chosen;
    if (init == kmeans::InitMethod::FarthestFirst || init == kmeans::InitMethod::KMeansPlusPlus) {
        TARVINEX_TRY_ASSIGN(
            chosen, choose_among_candidates(data, k, seed, init == kmeans::InitMethod::KMeansPlusPlus, settings));
    } else {
        chosen = sample_rows(seed, n, k);
    }
    const array::MatrixView<float> out = centers.view();
    for (std::size_t i = 0; i < k; ++i) {
        for (std::size_t x = 0; x < dim; ++x) {
            out(i, x) = data(chosen[i], x);
        }
    }
    if (spherical) {
        normalize_center_rows(out);
    }
    return centers;
}

void normalize_center_rows(array::MatrixView<float> centers) {
    for (std::size_t j = 0; j < centers.shape[0]; ++j) {
        const std::span<float> row = centers.row(j);
        const float s = sum_of_squares(row);
        if (math::normalize_if_squares_overflow(row, s)) {
            continue;
        }
        const float norm = std::sqrt(s);
        if (norm <= kNormEpsilon) {
            continue;
        }
        for (float& x : row) {
            x = x / norm;
        }
    }
}

}  // namespace tarvinex::dense
