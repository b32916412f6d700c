#include "ranking/farthest_rows.hpp"

#include <algorithm>
#include <cstdint>

#include "ranking/float_order.hpp"

namespace tarvinex::ranking {
namespace {

struct RankedRow {
    std::uint32_t key;
    std::size_t row;
};

/// Farther first; at equal distance the smaller row first.
[[nodiscard]] bool ranks_before(const RankedRow& a, const RankedRow& b) {
    return a.key != b.key ? a.key > b.key : a.row < b.row;
}

}  // namespace

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

}  // namespace tarvinex::ranking
