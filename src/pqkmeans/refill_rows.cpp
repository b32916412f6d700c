/// Which clusters need a refill and which rows refill them: the empty
/// clusters in ascending order, and the rows farthest from their centers.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "pqkmeans/center_update.hpp"

namespace tarvinex::pqkmeans {

namespace {

/// A row and its distance as a key that sorts, as an unsigned integer, in the
/// IEEE 754 total order: sign-set patterns are flipped whole so that they
/// descend below every sign-clear pattern, which gets the sign bit set.
struct RankedRow {
    std::uint32_t key;
    std::size_t row;
};

[[nodiscard]] std::uint32_t total_order_key(float distance) {
    const auto bits = std::bit_cast<std::uint32_t>(distance);
    return (bits & 0x80000000U) != 0 ? ~bits : bits | 0x80000000U;
}

/// Farther first; at equal distance the smaller row first.
[[nodiscard]] bool ranks_before(const RankedRow& a, const RankedRow& b) {
    return a.key != b.key ? a.key > b.key : a.row < b.row;
}

}  // namespace

std::vector<std::size_t> empty_cluster_indices(std::span<const std::size_t> counts) {
    std::vector<std::size_t> empty;
    for (std::size_t j = 0; j < counts.size(); ++j) {
        if (counts[j] == 0) {
            empty.push_back(j);
        }
    }
    return empty;
}

std::vector<std::size_t> select_farthest_rows(std::span<const float> distances, std::size_t count) {
    if (count == 0) {
        return {};
    }
    const std::size_t kept_max = std::min(count, distances.size());
    // With `ranks_before` as the heap order, the top is the weakest kept row.
    std::vector<RankedRow> kept;
    kept.reserve(kept_max);
    for (std::size_t row = 0; row < distances.size(); ++row) {
        const RankedRow candidate{total_order_key(distances[row]), row};
        if (kept.size() < kept_max) {
            kept.push_back(candidate);
            std::push_heap(kept.begin(), kept.end(), ranks_before);
        } else if (ranks_before(candidate, kept.front())) {
            std::pop_heap(kept.begin(), kept.end(), ranks_before);
            kept.back() = candidate;
            std::push_heap(kept.begin(), kept.end(), ranks_before);
        }
    }
    std::sort(kept.begin(), kept.end(), ranks_before);
    std::vector<std::size_t> rows;
    rows.reserve(kept.size());
    for (const RankedRow& ranked : kept) {
        rows.push_back(ranked.row);
    }
    return rows;
}

}  // namespace tarvinex::pqkmeans
