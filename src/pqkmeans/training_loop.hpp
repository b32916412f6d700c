#pragma once
/// What the PQ k-means training drivers share beyond the common report: the
/// early-stopping rule and the profiling line.

#include <cstddef>
#include <vector>

#include "pqkmeans/profile.hpp"

namespace tarvinex::pqkmeans {

/// True when the last three entries a, b, c of a history of at least five show
/// two consecutive finite, non-negative relative decreases of at most 1e-4.
[[nodiscard]] bool should_stop_early(const std::vector<double>& inertia_history);

/// "tarvinex_profile rows=... k=... iterations=... init_s=... ..."
void write_profile_line(std::size_t rows, std::size_t k, std::size_t iterations, const ClusterProfile& profile);

}  // namespace tarvinex::pqkmeans
