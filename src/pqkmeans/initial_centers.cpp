/// The first k centers of a training run, chosen among the rows of the code
/// matrix by distances in code space (the codeword-distance table), whatever
/// kind of centers the driver goes on to build from them.
///
/// Every method starts from one seeded shuffle of the row indices and its
/// first entry. Farthest-first and k-means++ then keep, per row, the distance
/// to the nearest chosen center (-1 once the row is chosen itself), so each
/// further center costs one O(n*M) pass against the newest center only, which
/// also finds the farthest row. The pass is the only parallel step (the
/// k-means++ draw adds its weights in row order on the calling thread, so it
/// stays there); the generator stays on the calling thread too, so the
/// indices depend on the seed and the codes alone.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <numeric>
#include <span>
#include <vector>

#include "error/error.hpp"
#include "parallel/pool.hpp"
#include "pqkmeans/model.hpp"
#include "rng/proportional_draw.hpp"
#include "rng/seeded_rng.hpp"
#include "rng/shuffle.hpp"
#include "simd/min_distance_kernels.hpp"
#include "simd/preference.hpp"

namespace tarvinex::pqkmeans {
namespace {

/// Rows per update task. Each row is independent and the farthest row does not
/// depend on how the rows are cut, so the split only tunes overhead and never
/// changes a result.
constexpr std::size_t kUpdateChunkRows = 4096;

constexpr float kChosen = -1.0F;
constexpr float kInfinity = std::numeric_limits<float>::infinity();

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

/// The k-means++ pick. With too little weight left, the farthest row (as the
/// pass found it); when rounding leaves a sliver of the draw, the last
/// drawable row.
std::size_t weighted_draw(rng::SeededRng& rng, std::span<const float> min_distances, std::size_t farthest) {
    const std::expected<std::size_t, rng::NoDraw> drawn = rng::proportional_draw(rng, min_distances);
    if (drawn) {
        return *drawn;
    }
    if (drawn.error() == rng::NoDraw::WalkEnded) {
        for (std::size_t i = min_distances.size(); i-- > 0;) {
            if (rng::is_drawable_weight(min_distances[i])) {
                return i;
            }
        }
    }
    return farthest;
}

}  // namespace

std::vector<float> PqKMeans::build_center_lookup(std::span<const std::uint8_t> center_codes) const {
    const std::size_t m_count = num_subquantizers_;
    const std::size_t ks = codebook_size_;
    TARVINEX_ASSERT(center_codes.size() == m_count, "center codes do not match the model");
    const std::vector<float>& table = *codeword_distances_;

    // Entry s*Ks + j = D_cw[(s*Ks + j)*Ks + c_s]: the row codeword indexes the
    // table row and the center codeword its column, as in the assignment pass.
    std::vector<float> lookup(m_count * ks);
    for (std::size_t s = 0; s < m_count; ++s) {
        const std::size_t center_code = center_codes[s];
        for (std::size_t j = 0; j < ks; ++j) {
            lookup[s * ks + j] = table[(s * ks + j) * ks + center_code];
        }
    }
    return lookup;
}

std::size_t PqKMeans::update_min_distances(std::span<float> min_distances, std::span<const std::uint8_t> codes,
                                           std::span<const float> lookup) const {
    const std::size_t m_count = num_subquantizers_;
    const std::size_t ks = codebook_size_;
    const std::size_t n = min_distances.size();
    TARVINEX_ASSERT(codes.size() == n * m_count, "code matrix does not match the distance list");
    TARVINEX_ASSERT(lookup.size() == m_count * ks, "center lookup does not match the model");

    static const simd::LowerMinDistances lower = simd::lower_min_distances_kernel(simd::selected_slice_kernel());
    // Each chunk reports where the farthest-row scan ends over its rows, and
    // the chunks' answers meet in chunk order, so the pass reads every row
    // once and the choice needs no second scan.
    const simd::FarthestRow farthest = parallel::chunk_ordered_sum(
        n, kUpdateChunkRows, simd::FarthestRow{0, -kInfinity, false},
        [&](std::size_t, std::size_t begin, std::size_t end) {
            simd::FarthestRow chunk = lower(min_distances.subspan(begin, end - begin),
                                            codes.subspan(begin * m_count, (end - begin) * m_count), lookup, ks);
            chunk.index += begin;
            return chunk;
        },
        [](simd::FarthestRow earlier, simd::FarthestRow later) { return simd::follow_farthest(earlier, later, 0); });
    // A NaN entry (only a caller's own) breaks the combination: scan plainly.
    return farthest.saw_nan ? argmax(min_distances) : static_cast<std::size_t>(farthest.index);
}

std::vector<std::size_t> PqKMeans::initialize_center_indices(std::span<const std::uint8_t> codes, std::size_t n) const {
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
        const std::size_t farthest = update_min_distances(min_distances, codes, lookup);
        const std::size_t next =
            init_ == InitMethod::FarthestFirst ? farthest : weighted_draw(rng, min_distances, farthest);
        chosen.push_back(next);
        min_distances[next] = kChosen;
    }
    return chosen;
}

}  // namespace tarvinex::pqkmeans
