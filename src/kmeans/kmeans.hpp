#pragma once
/// The vocabulary both k-means engines share, below either of them: how a run
/// picks its first centers, and which clusters a center update refills (the
/// empty ones ascending, the lowest getting the farthest row).

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "error/error.hpp"

namespace tarvinex::kmeans {

/// Stored as one byte: 0 farthest-first, 1 k-means++, anything else random.
enum class InitMethod : std::uint8_t {
    FarthestFirst = 0,
    KMeansPlusPlus = 1,
    Random = 2,
};

/// ASCII letters lowered and every "_" turned into "-" (nothing trimmed), then
/// compared whole with the accepted spellings:
///   farthest-first: "farthest", "farthest-first", "deterministic"
///   k-means++:      "kmeans++", "k-means++", "pq-kmeans++", "pq-kmeans-plus-plus"
///   random:         "random"
/// Anything else fails, quoting `text` as given.
[[nodiscard]] error::Result<InitMethod> parse_init_method(std::string_view text);

/// The clusters whose count is 0, ascending.
[[nodiscard]] std::vector<std::size_t> empty_cluster_indices(std::span<const std::size_t> counts);

}  // namespace tarvinex::kmeans
