/// The first k centers of a training run, chosen among the rows of the code
/// matrix by distances in code space (the codeword-distance table), whatever
/// kind of centers the driver goes on to build from them.
///
/// Every method starts from one seeded shuffle of the row indices and its
/// first entry. Farthest-first and k-means++ then keep, per row, the distance
/// to the nearest chosen center (-1 once the row is chosen itself), so each
/// further center costs one O(n*M) pass against the newest center only. The
/// pass is the only parallel step; the generator stays on the calling thread,
/// so the indices depend on the seed and the codes alone.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <vector>

#include "error/error.hpp"
#include "parallel/pool.hpp"
#include "pqkmeans/model.hpp"
#include "rng/seeded_rng.hpp"
#include "rng/shuffle.hpp"
#include "rng/uniform.hpp"

namespace tarvinex::pqkmeans {
namespace {

/// Rows per update task. Each row is independent, so the split only tunes
/// overhead and never changes a result.
constexpr std::size_t kUpdateChunkRows = 1024;

constexpr float kChosen = -1.0F;
constexpr float kInfinity = std::numeric_limits<float>::infinity();
/// A total weight at or below the double epsilon means no row is left worth
/// drawing (typically every remaining row duplicates a chosen one).
constexpr double kMinDrawWeight = 2.220446049250313e-16;

/// Index of the largest entry, scanning upwards: entry i takes over unless the
/// current best is strictly greater, so the highest index wins ties and a
/// comparison with NaN moves on to the later entry. Chosen rows (-1) lose to
/// every unchosen row at distance 0 or more.
std::size_t argmax(std::span<const float> min_distances) {
    std::size_t best = 0;
    for (std::size_t i = 1; i < min_distances.size(); ++i) {
        if (!(min_distances[best] > min_distances[i])) {
            best = i;
        }
    }
    return best;
}

/// A row can be drawn only at a positive finite distance: chosen rows (-1),
/// duplicates of a chosen row (0), unreached rows (+inf) and NaN are out.
bool is_draw_candidate(float distance) { return distance > 0.0F && distance < kInfinity; }

/// The k-means++ pick: a row with probability proportional to its distance,
/// from one range draw over the candidates' total in ascending row order.
std::size_t weighted_draw(rng::SeededRng& rng, std::span<const float> min_distances) {
    // -0.0 is the exact additive identity: the first term enters unchanged.
    double total = -0.0;
    for (const float distance : min_distances) {
        if (is_draw_candidate(distance)) {
            total += static_cast<double>(distance);
        }
    }
    if (total <= kMinDrawWeight) {
        // Nothing to draw from: no draw is consumed.
        return argmax(min_distances);
    }

    double remaining = rng::random_range(rng, 0.0, total);
    std::optional<std::size_t> last_candidate;
    for (std::size_t i = 0; i < min_distances.size(); ++i) {
        if (!is_draw_candidate(min_distances[i])) {
            continue;
        }
        remaining -= static_cast<double>(min_distances[i]);
        if (remaining <= 0.0) {
            return i;
        }
        last_candidate = i;
    }
    // Rounding in the running subtraction can leave a sliver above zero.
    return last_candidate ? *last_candidate : argmax(min_distances);
}

}  // namespace

std::vector<float> PqKMeans::build_center_lookup(std::span<const std::uint8_t> center_codes) const {
    const std::size_t m_count = num_subquantizers_;
    const std::size_t ks = codebook_size_;
    TARVINEX_ASSERT(center_codes.size() == m_count, "center codes do not match the model");
    const std::vector<float>& table = *codeword_distances_;

    // Entry m*Ks + j = D_cw[(m*Ks + j)*Ks + c_m]: the row codeword indexes the
    // table row and the center codeword its column, as in the assignment pass.
    std::vector<float> lookup(m_count * ks);
    for (std::size_t m = 0; m < m_count; ++m) {
        const std::size_t center_code = center_codes[m];
        for (std::size_t j = 0; j < ks; ++j) {
            lookup[m * ks + j] = table[(m * ks + j) * ks + center_code];
        }
    }
    return lookup;
}

void PqKMeans::update_min_distances(std::span<float> min_distances, std::span<const std::uint8_t> codes,
                                    std::span<const float> lookup) const {
    const std::size_t m_count = num_subquantizers_;
    const std::size_t ks = codebook_size_;
    const std::size_t n = min_distances.size();
    TARVINEX_ASSERT(codes.size() == n * m_count, "code matrix does not match the distance list");
    TARVINEX_ASSERT(lookup.size() == m_count * ks, "center lookup does not match the model");

    parallel::for_chunks(n, kUpdateChunkRows, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (min_distances[i] < 0.0F) {
                continue;
            }
            const std::uint8_t* row = codes.data() + i * m_count;
            // Float sum in ascending subquantizer order from +0.0.
            float distance = 0.0F;
            for (std::size_t m = 0; m < m_count; ++m) {
                distance = distance + lookup[m * ks + row[m]];
            }
            // Strict: a NaN entry is never replaced, a NaN distance replaces nothing.
            if (min_distances[i] > distance) {
                min_distances[i] = distance;
            }
        }
    });
}

std::vector<std::size_t> PqKMeans::initialize_center_indices(std::span<const std::uint8_t> codes,
                                                             std::size_t n) const {
    const std::size_t m_count = num_subquantizers_;
    TARVINEX_ASSERT(codes.size() == n * m_count, "code matrix does not match the model");
    TARVINEX_ASSERT(k_ >= 1 && k_ <= n, "initial centers need n >= k >= 1");

    rng::SeededRng rng = rng::SeededRng::seed_from_u64(seed_);
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (n >= 2) {
        (void)rng::partial_shuffle(rng, order, n);
    }

    if (init_ != InitMethod::FarthestFirst && init_ != InitMethod::KMeansPlusPlus) {
        order.resize(k_);
        return order;
    }

    std::vector<std::size_t> chosen;
    chosen.reserve(k_);
    chosen.push_back(order.front());
    std::vector<float> min_distances(n, kInfinity);
    min_distances[chosen.back()] = kChosen;

    // The update after the last center would never be read, so each pass runs
    // just before the choice that needs it.
    while (chosen.size() < k_) {
        const std::vector<float> lookup = build_center_lookup(codes.subspan(chosen.back() * m_count, m_count));
        update_min_distances(min_distances, codes, lookup);
        const std::size_t next =
            init_ == InitMethod::FarthestFirst ? argmax(min_distances) : weighted_draw(rng, min_distances);
        chosen.push_back(next);
        min_distances[next] = kChosen;
    }
    return chosen;
}

}  // namespace tarvinex::pqkmeans
