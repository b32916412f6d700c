/// The initial centers of a dense fit: the candidate sample, k-means++ and
/// farthest-first over it, and random rows. The generators and the choice of
/// each center stay on the calling thread; only the minimum-distance update
/// runs in parallel, each candidate on its own, so the centers depend on the
/// data, k, seed, method and settings alone, never on the worker count.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "array/size_product.hpp"
#include "dense/dense.hpp"
#include "error/settings.hpp"
#include "rng/index_sample.hpp"
#include "rng/seeded_rng.hpp"

namespace tarvinex::dense {
namespace {

constexpr std::uint64_t kDefaultMinSampleRows = 16384;
constexpr std::uint64_t kDefaultMaxSampleRows = 65536;
constexpr std::uint64_t kDefaultRowsPerCenter = 256;

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

}  // namespace tarvinex::dense
