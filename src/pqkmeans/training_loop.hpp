#pragma once
/// What the PQ k-means training drivers share beyond the common report: the
/// pass loop, the early-stopping rule and the profiling line.

#include <atomic>
#include <cstddef>
#include <string_view>
#include <vector>

#include "error/error.hpp"
#include "error/interrupt.hpp"
#include "parallel/pool.hpp"
#include "pqkmeans/profile.hpp"
#include "report/training_report.hpp"

namespace tarvinex::pqkmeans {

/// True when the last three entries a, b, c of a history of at least five show
/// two consecutive finite, non-negative relative decreases of at most 1e-4.
[[nodiscard]] bool should_stop_early(const std::vector<double>& inertia_history);

/// How the passes of one training run are reported and when they end.
struct PassLoop {
    std::size_t iterations = 1;
    bool verbose = false;
    bool early_stopping = false;
    std::string_view label;  ///< "inertia", "adc_inertia", ...
    /// Raised when a sibling fit has failed (the candidate analysis); null
    /// for a fit that runs alone.
    const std::atomic<bool>* stop_requested = nullptr;
};

/// The passes every training mode runs: assign(pass) fills `distances` for
/// this pass, its mean joins the history (and a verbose line), the early stop
/// may end the loop, and update() moves the centers between passes, never
/// after the last. `loop.stop_requested` and the caller's interrupt check
/// are asked at every pass boundary. Returns the history, or the first error.
template <typename Assign, typename Update>
[[nodiscard]] error::Result<std::vector<double>> run_passes(const PassLoop& loop, const std::vector<float>& distances,
                                                            Assign&& assign, Update&& update) {
    std::vector<double> history;
    for (std::size_t pass = 0; pass < loop.iterations; ++pass) {
        TARVINEX_TRY(parallel::check_stop(loop.stop_requested));
        TARVINEX_TRY(interrupt::check_pass_boundary());
        TARVINEX_TRY(assign(pass));
        history.push_back(report::mean_distance(distances));
        if (loop.verbose) {
            report::write_iteration_line(pass, loop.label, history.back());
        }
        if (loop.early_stopping && should_stop_early(history)) {
            break;
        }
        if (pass + 1 < loop.iterations) {
            TARVINEX_TRY(update());
        }
    }
    return history;
}

/// "tarvinex_profile rows=... k=... iterations=... init_s=... ..."
void write_profile_line(std::size_t rows, std::size_t k, std::size_t iterations, const ClusterProfile& profile);

}  // namespace tarvinex::pqkmeans
