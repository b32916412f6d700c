/// The pool's arena and the bookkeeping that tells a pool thread from an
/// outside caller.

#include "parallel/pool.hpp"

#include <oneapi/tbb/task_scheduler_observer.h>

#include <algorithm>

#include "parallel/cpu_count.hpp"

namespace tarvinex::parallel {
namespace {

thread_local bool t_on_pool_thread = false;

/// Marks threads while they work in the arena: workers when they join it,
/// the caller for the length of `execute`.
class PoolThreadMarker final : public tbb::task_scheduler_observer {
public:
    explicit PoolThreadMarker(tbb::task_arena& arena) : tbb::task_scheduler_observer(arena) { observe(true); }
    void on_scheduler_entry(bool /*is_worker*/) override { t_on_pool_thread = true; }
    void on_scheduler_exit(bool /*is_worker*/) override { t_on_pool_thread = false; }
};

tbb::task_arena& initialized(tbb::task_arena& arena) {
    arena.initialize();
    return arena;
}

struct Pool {
    tbb::task_arena arena;
    PoolThreadMarker marker;

    Pool() : arena(static_cast<int>(available_cpu_count())), marker(initialized(arena)) {}
};

Pool& pool() {
    // Never destroyed: a thread may still be inside a loop while exit() runs
    // static destructors, and tearing the arena down under it would crash.
    static Pool* const instance = new Pool();
    return *instance;
}

}  // namespace

namespace detail {

tbb::task_arena& pool_arena() { return pool().arena; }

bool on_pool_thread() noexcept { return t_on_pool_thread; }

}  // namespace detail

std::size_t worker_count() {
    const auto arena_slots = static_cast<std::size_t>(pool().arena.max_concurrency());
    const std::size_t allowed = tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);
    return std::max<std::size_t>(1, std::min(arena_slots, allowed));
}

WorkerLimit::WorkerLimit(std::size_t workers)
    : control_(tbb::global_control::max_allowed_parallelism, std::max<std::size_t>(1, workers)) {}

}  // namespace tarvinex::parallel
