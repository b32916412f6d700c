#pragma once
/// Phase timings of a profiled PQ k-means fit (TARVINEX_PROFILE_CLUSTER). The
/// passes add to these sums only when `enabled` is set.

#include <chrono>

#include "error/error.hpp"

namespace tarvinex::pqkmeans {

/// Every sum covers its phase over the whole fit; the profiling line prints
/// them in seconds in this order.
struct ClusterProfile {
    bool enabled = false;
    /// Packing of the codes, the initial choice and the copy of the center codes.
    std::chrono::nanoseconds init{0};
    /// Whole assignment passes.
    std::chrono::nanoseconds assign_total{0};
    /// The table-size decision and the lookup-table fill, whether or not a table was built.
    std::chrono::nanoseconds assign_build_lookup{0};
    /// The row scans, including any 4-bit quantization.
    std::chrono::nanoseconds assign_eval{0};
    /// Whole center updates: bucket build, vote, list of empty clusters, refill.
    std::chrono::nanoseconds update_total{0};
    /// The bucket build of each update.
    std::chrono::nanoseconds update_counts{0};
    /// The code vote of each update.
    std::chrono::nanoseconds update_vote{0};
    /// The choice of farthest rows and their copies, in updates with empty clusters.
    std::chrono::nanoseconds update_reseed{0};
};

/// sum += elapsed; a sum that would leave the duration's range is a broken
/// invariant, not a wrapped value.
inline void add_duration(std::chrono::nanoseconds& sum, std::chrono::nanoseconds elapsed) {
    std::chrono::nanoseconds::rep total = 0;
    TARVINEX_ASSERT(!__builtin_add_overflow(sum.count(), elapsed.count(), &total), "overflow when adding durations");
    sum = std::chrono::nanoseconds(total);
}

/// Times phases into the profile sums on the monotonic clock; with profiling
/// off it reads no clock and adds nothing, so the passes time themselves
/// unconditionally.
class PhaseTimer {
public:
    using Clock = std::chrono::steady_clock;

    /// Starts a phase now when `enabled`.
    explicit PhaseTimer(bool enabled) : enabled_(enabled) { restart(); }

    /// A new phase starts now.
    void restart() {
        if (enabled_) {
            start_ = Clock::now();
        }
    }
    /// sum += the time since the phase started.
    void add_to(std::chrono::nanoseconds& sum) const {
        if (enabled_) {
            add_duration(sum, std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start_));
        }
    }
    /// add_to(sum), then the next phase starts.
    void lap_into(std::chrono::nanoseconds& sum) {
        add_to(sum);
        restart();
    }

private:
    bool enabled_;
    Clock::time_point start_{};
};

}  // namespace tarvinex::pqkmeans
