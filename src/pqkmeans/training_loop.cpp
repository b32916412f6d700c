#include "pqkmeans/training_loop.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "report/training_report.hpp"

namespace tarvinex::pqkmeans {
namespace {

constexpr double kEpsilon = 2.220446049250313e-16;
constexpr double kRelativeTolerance = 1e-4;

bool small_relative_decrease(double before, double after) {
    if (!std::isfinite(before) || !std::isfinite(after)) {
        return false;
    }
    const double decrease = before - after;
    return decrease >= 0.0 && decrease / std::max(std::abs(before), kEpsilon) <= kRelativeTolerance;
}

std::string seconds_text(std::chrono::nanoseconds sum) {
    // Whole seconds and the nanoseconds below them, each as a double, so the
    // printed value does not depend on how the sum was stored.
    const auto whole = static_cast<double>(sum.count() / 1000000000);
    const auto nanos = static_cast<double>(sum.count() % 1000000000);
    return report::format_fixed6(whole + nanos / 1e9);
}

}  // namespace

bool should_stop_early(const std::vector<double>& inertia_history) {
    const std::size_t n = inertia_history.size();
    if (n < 5) {
        return false;
    }
    const double a = inertia_history[n - 3];
    const double b = inertia_history[n - 2];
    const double c = inertia_history[n - 1];
    return small_relative_decrease(a, b) && small_relative_decrease(b, c);
}

void write_profile_line(std::size_t rows, std::size_t k, std::size_t iterations, const ClusterProfile& profile) {
    std::string line = "tarvinex_profile rows=" + std::to_string(rows);
    line.append(" k=").append(std::to_string(k));
    line.append(" iterations=").append(std::to_string(iterations));
    const std::pair<const char*, std::chrono::nanoseconds> sums[] = {
        {"init_s", profile.init},
        {"assign_total_s", profile.assign_total},
        {"assign_build_lookup_s", profile.assign_build_lookup},
        {"assign_eval_s", profile.assign_eval},
        {"update_total_s", profile.update_total},
        {"update_counts_s", profile.update_counts},
        {"update_vote_s", profile.update_vote},
        {"update_reseed_s", profile.update_reseed},
    };
    for (const auto& [name, sum] : sums) {
        line.append(" ").append(name).append("=").append(seconds_text(sum));
    }
    report::write_diagnostic_line(line);
}

}  // namespace tarvinex::pqkmeans
