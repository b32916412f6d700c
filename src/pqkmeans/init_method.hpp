#pragma once
/// How a k-means run picks its first centers. Both k-means engines store and
/// parse the same byte, so this header depends on nothing PQ-specific.

#include <cstdint>
#include <string_view>

#include "error/error.hpp"

namespace tarvinex::pqkmeans {

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

}  // namespace tarvinex::pqkmeans
