#pragma once
/// What every training driver reports the same way: the inertia of a pass as
/// the mean of its row distances, numbers with six decimals, and diagnostic
/// lines on standard error.

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace tarvinex::report {

/// The mean of a pass's distances: each converted to double and added in row
/// order from -0.0, then divided by n. Reproducible whatever the worker count.
[[nodiscard]] double mean_distance(std::span<const float> distances);

/// A value as "{:.6}" prints it: fixed notation with six decimals; "inf",
/// "-inf" and "NaN" for the values that have no digits.
[[nodiscard]] std::string format_fixed6(double value);

/// Writes `line` and a line feed to file descriptor 2 in one write call, so
/// lines of fits running at the same time never interleave.
void write_diagnostic_line(std::string_view line);

/// "iteration={pass} {label}={value:.6}", label being inertia, adc_inertia, ...
void write_iteration_line(std::size_t pass, std::string_view label, double value);

}  // namespace tarvinex::report
