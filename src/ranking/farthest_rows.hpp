#pragma once
/// The rows farthest from their centers, which refill empty clusters.

#include <cstddef>
#include <span>
#include <vector>

namespace tarvinex::ranking {

/// The first min(count, n) rows by distance descending, then row ascending.
/// Distances rank by the IEEE 754 total order of their bits: -0 below +0,
/// NaNs with the sign clear above +inf, NaNs with it set below -inf. Keeps a
/// heap of `count` rows rather than sorting all n.
[[nodiscard]] std::vector<std::size_t> select_farthest_rows(std::span<const float> distances, std::size_t count);

}  // namespace tarvinex::ranking
