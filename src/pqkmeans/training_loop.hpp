#pragma once
/// What the PQ k-means training drivers share: the inertia of a pass, the
/// early-stopping rule, and the lines they write to standard error.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "pqkmeans/profile.hpp"

namespace tarvinex::pqkmeans {

/// The mean of a pass's distances: each converted to double and added in row
/// order from -0.0, then divided by n. Reproducible whatever the worker count.
[[nodiscard]] double mean_distance(std::span<const float> distances);

/// True when the last three entries a, b, c of a history of at least five show
/// two consecutive finite, non-negative relative decreases of at most 1e-4.
[[nodiscard]] bool should_stop_early(const std::vector<double>& inertia_history);

/// A value as "{:.6}" prints it: fixed notation with six decimals; "inf",
/// "-inf" and "NaN" for the values that have no digits.
[[nodiscard]] std::string format_fixed6(double value);

/// Writes `line` and a line feed to file descriptor 2 in one write call, so
/// lines of fits running at the same time never interleave.
void write_diagnostic_line(std::string_view line);

/// "iteration={pass} {label}={value:.6}", label being inertia, adc_inertia, ...
void write_iteration_line(std::size_t pass, std::string_view label, double value);

/// "tarvinex_profile rows=... k=... iterations=... init_s=... ..."
void write_profile_line(std::size_t rows, std::size_t k, std::size_t iterations, const ClusterProfile& profile);

}  // namespace tarvinex::pqkmeans
