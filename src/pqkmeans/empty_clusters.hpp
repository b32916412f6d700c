#pragma once
/// Which clusters a center update refills and which rows refill them, the
/// same rule for the PQ and the dense engines: the empty clusters ascending,
/// the lowest getting the farthest row.

#include <cstddef>
#include <span>
#include <vector>

#include "ranking/farthest_rows.hpp"

namespace tarvinex::pqkmeans {

/// The clusters whose count is 0, ascending.
[[nodiscard]] std::vector<std::size_t> empty_cluster_indices(std::span<const std::size_t> counts);

using ranking::select_farthest_rows;

}  // namespace tarvinex::pqkmeans
