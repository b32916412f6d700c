#pragma once
/// The one process-wide work-stealing pool and the loops every engine runs on
/// it. The pool is a oneTBB task arena with one slot per available CPU
/// (affinity mask and cgroup quota), created on first use. The calling thread
/// joins it for the length of a loop; a loop started from inside a loop body
/// runs in the same arena and under the outer loop's cancellation, so nested
/// loops share the workers instead of oversubscribing them.
///
/// Indices are `std::size_t`, ranges are half-open, an empty range does
/// nothing. An exception thrown in a body (an `InternalFailure` from
/// TARVINEX_ASSERT) cancels the loop and is rethrown to the caller as the
/// same type; bad input is reported through `try_for` instead.
///
/// Scratch: a `make_scratch()` factory runs once per piece, a contiguous part
/// of the range that one thread works through in one go, and the scratch
/// lives for that piece only, so no two bodies ever share it.
///
/// Sums whose last bits must not depend on the worker count go through
/// `chunk_ordered_sum`; `reduce` combines partials in whatever tree the
/// pool's splitting produced.

#include <oneapi/tbb/blocked_range.h>
#include <oneapi/tbb/global_control.h>
#include <oneapi/tbb/parallel_for.h>
#include <oneapi/tbb/parallel_reduce.h>
#include <oneapi/tbb/task_arena.h>
#include <oneapi/tbb/task_group.h>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <utility>
#include <variant>
#include <vector>

#include "error/error.hpp"
#include "error/interrupt.hpp"

namespace tarvinex::parallel {

namespace detail {

using IndexRange = tbb::blocked_range<std::size_t>;

[[nodiscard]] tbb::task_arena& pool_arena();
/// True on a thread that is currently working inside the pool's arena.
[[nodiscard]] bool on_pool_thread() noexcept;

/// Runs `f` inside the pool. `task_arena::execute` from inside the same arena
/// would switch to the arena's own root context and so detach an inner loop
/// from the outer loop's cancellation; a pool thread therefore calls directly.
template <typename F>
decltype(auto) in_pool(F&& f) {
    if (on_pool_thread()) {
        return std::forward<F>(f)();
    }
    return pool_arena().execute(std::forward<F>(f));
}

}  // namespace detail

/// Threads that may work on a loop started now: the pool size, lowered by an
/// active `WorkerLimit`. At least 1.
[[nodiscard]] std::size_t worker_count();

/// Caps the threads of every loop in the process, the calling thread
/// included, for its lifetime; the smallest live limit wins. For tests that
/// check that one worker and all workers agree, and for callers that must run
/// serially. A limit of 0 counts as 1.
class WorkerLimit {
public:
    explicit WorkerLimit(std::size_t workers);
    WorkerLimit(const WorkerLimit&) = delete;
    WorkerLimit& operator=(const WorkerLimit&) = delete;

private:
    tbb::global_control control_;
};

/// body(i) for every i in [begin, end); pieces hold at least `grain` indices.
template <typename Body>
void for_range(std::size_t begin, std::size_t end, std::size_t grain, Body&& body) {
    if (end <= begin) {
        return;
    }
    detail::in_pool([&] {
        tbb::parallel_for(detail::IndexRange(begin, end, grain), [&](const detail::IndexRange& r) {
            for (std::size_t i = r.begin(); i != r.end(); ++i) {
                body(i);
            }
        });
    });
}

template <typename Body>
void for_range(std::size_t begin, std::size_t end, Body&& body) {
    for_range(begin, end, 1, std::forward<Body>(body));
}

/// Chunks of `chunk_rows` rows cover n rows; the last one may be shorter.
[[nodiscard]] constexpr std::size_t chunk_count(std::size_t n, std::size_t chunk_rows) {
    return chunk_rows == 0 ? 0 : n / chunk_rows + (n % chunk_rows != 0 ? 1 : 0);
}

/// body(chunk, begin, end, scratch) for each chunk of rows: chunk c covers
/// rows [c*chunk_rows, min(n, (c+1)*chunk_rows)). Several arrays cut by the
/// same rows are walked together by indexing each with [begin, end).
/// `make_scratch()` runs once per piece, which may cover several chunks.
template <typename MakeScratch, typename Body>
void for_chunks(std::size_t n, std::size_t chunk_rows, MakeScratch&& make_scratch, Body&& body) {
    TARVINEX_ASSERT(chunk_rows > 0, "parallel::for_chunks needs chunks of at least one row");
    const std::size_t chunks = chunk_count(n, chunk_rows);
    if (chunks == 0) {
        return;
    }
    detail::in_pool([&] {
        tbb::parallel_for(detail::IndexRange(0, chunks), [&](const detail::IndexRange& r) {
            auto scratch = make_scratch();
            for (std::size_t c = r.begin(); c != r.end(); ++c) {
                const std::size_t begin = c * chunk_rows;
                body(c, begin, std::min(n, begin + chunk_rows), scratch);
            }
        });
    });
}

/// body(chunk, begin, end) for each chunk of rows, as above without scratch.
template <typename Body>
void for_chunks(std::size_t n, std::size_t chunk_rows, Body&& body) {
    for_chunks(
        n, chunk_rows, [] { return 0; },
        [&](std::size_t c, std::size_t begin, std::size_t end, int) { body(c, begin, end); });
}

/// out[i] = body(i) for every i; each result lands at its own index.
template <typename Out, typename Body>
void map_into(std::span<Out> out, Body&& body) {
    for_range(0, out.size(), [&](std::size_t i) { out[i] = body(i); });
}

/// Folds [begin, end) with per-piece scratch: each task starts from `identity`
/// and calls acc = body(piece_begin, piece_end, std::move(acc), scratch) for
/// its pieces; task results meet through combine(a, b), where a covers the
/// indices before those of b, so combine need not commute. The combination tree
/// follows the pool's splitting, so floating-point results can differ in
/// their last bits between runs.
template <typename T, typename MakeScratch, typename Body, typename Combine>
[[nodiscard]] T reduce(std::size_t begin, std::size_t end, T identity, MakeScratch&& make_scratch, Body&& body,
                       Combine&& combine) {
    if (end <= begin) {
        return identity;
    }
    return detail::in_pool([&] {
        return tbb::parallel_reduce(
            detail::IndexRange(begin, end), identity,
            [&](const detail::IndexRange& r, const T& acc) -> T {
                auto scratch = make_scratch();
                return body(r.begin(), r.end(), T(acc), scratch);
            },
            [&](const T& a, const T& b) -> T { return combine(a, b); });
    });
}

/// As above, with body(piece_begin, piece_end, acc) -> T and no scratch.
template <typename T, typename Body, typename Combine>
[[nodiscard]] T reduce(std::size_t begin, std::size_t end, T identity, Body&& body, Combine&& combine) {
    return reduce(
        begin, end, std::move(identity), [] { return 0; },
        [&](std::size_t b, std::size_t e, T acc, int) -> T { return body(b, e, std::move(acc)); },
        std::forward<Combine>(combine));
}

/// A sum that does not depend on the worker count: partial[c] =
/// body(c, begin, end) for each chunk as in `for_chunks`, then
/// identity + partial[0] + partial[1] + ... left to right via combine. The
/// result is fixed by n and chunk_rows alone, so chunk_rows must not be
/// derived from the worker count where the result has to be reproducible.
template <typename T, typename Body, typename Combine = std::plus<>>
[[nodiscard]] T chunk_ordered_sum(std::size_t n, std::size_t chunk_rows, T identity, Body&& body,
                                  Combine&& combine = {}) {
    std::vector<std::optional<T>> partials(chunk_count(n, chunk_rows));
    for_chunks(n, chunk_rows,
               [&](std::size_t c, std::size_t begin, std::size_t end) { partials[c].emplace(body(c, begin, end)); });
    T total = std::move(identity);
    for (auto& partial : partials) {
        total = combine(std::move(total), std::move(*partial));
    }
    return total;
}

/// A loop that can fail: body(i) -> error::Result<void> for i in [begin,
/// end). The first error recorded wins, the rest of the loop is cancelled
/// (bodies already running finish, no new ones start) and that error is
/// returned. Which index fails first is up to the scheduler when several do.
/// Work done before the cancellation stays done; callers discard it.
template <typename Body>
[[nodiscard]] error::Result<void> try_for(std::size_t begin, std::size_t end, Body&& body) {
    if (end <= begin) {
        return {};
    }
    std::mutex first_error_mutex;
    std::optional<error::TarvinexError> first_error;
    detail::in_pool([&] {
        // Bound to the caller's context: cancelling an enclosing loop stops this one too.
        tbb::task_group_context context;
        tbb::parallel_for(
            detail::IndexRange(begin, end),
            [&](const detail::IndexRange& r) {
                for (std::size_t i = r.begin(); i != r.end(); ++i) {
                    if (context.is_group_execution_cancelled()) {
                        return;
                    }
                    error::Result<void> result = body(i);
                    if (!result) [[unlikely]] {
                        {
                            const std::lock_guard lock(first_error_mutex);
                            if (!first_error) {
                                first_error.emplace(std::move(result.error()));
                            }
                        }
                        context.cancel_group_execution();
                        return;
                    }
                }
            },
            tbb::auto_partitioner{}, context);
    });
    if (first_error) {
        return std::unexpected(std::move(*first_error));
    }
    return {};
}

/// Runs f() so that a thread waiting inside it (for an inner loop) only picks
/// up tasks of that inner work, never a sibling task of an enclosing loop.
/// Wrap the inner loop of an outer body that holds per-thread state across it
/// (a buffer indexed by thread, a thread-local cache, a lock): otherwise the
/// waiting thread can start a sibling outer body that finds that state in
/// use. It also keeps one outer body's scratch alive per thread instead of
/// one per stolen sibling. Scratch local to the outer body is safe without it.
template <typename F>
decltype(auto) isolate(F&& f) {
    return detail::in_pool([&]() -> decltype(auto) { return tbb::this_task_arena::isolate(std::forward<F>(f)); });
}

namespace detail {

/// The first failure of a `try_for_with_stop` loop: an engine error, or an
/// exception carried to the caller as itself.
class FirstFailure {
public:
    void record(error::TarvinexError error) { record_once(std::move(error)); }
    void record(std::exception_ptr exception) { record_once(std::move(exception)); }
    [[nodiscard]] const std::atomic<bool>& raised() const { return raised_; }

    /// The recorded error, or nothing; a recorded exception is rethrown.
    [[nodiscard]] error::Result<void> take() {
        if (auto* exception = std::get_if<std::exception_ptr>(&failure_)) {
            std::rethrow_exception(*exception);
        }
        if (auto* failure = std::get_if<error::TarvinexError>(&failure_)) {
            return std::unexpected(std::move(*failure));
        }
        return {};
    }

private:
    template <typename Failure>
    void record_once(Failure failure) {
        const std::lock_guard lock(mutex_);
        if (std::holds_alternative<std::monostate>(failure_)) {
            failure_ = std::move(failure);
            raised_.store(true, std::memory_order_relaxed);
        }
    }

    std::mutex mutex_;
    std::variant<std::monostate, error::TarvinexError, std::exception_ptr> failure_;
    std::atomic<bool> raised_{false};
};

}  // namespace detail

/// What a body of `try_for_with_stop` returns when it ends because a sibling
/// failed first; the sibling's failure is the one the loop returns.
inline constexpr const char* kStoppedBeforeFinished = "fit stopped before it finished";

/// Nothing, or the stopped error once `stop` (when given) has been raised.
[[nodiscard]] inline error::Result<void> check_stop(const std::atomic<bool>* stop) {
    if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
        return error::fail(kStoppedBeforeFinished);
    }
    return {};
}

/// A loop of long bodies that may fail, side by side: body(i, stop) ->
/// error::Result<void> for i in [begin, end). Unlike `try_for`, a failure
/// cancels no loop in the middle of its work: it raises `stop`, which each
/// body asks at its own safe points (a training run at its pass boundaries),
/// and bodies not yet begun are skipped. Every body answers to the caller's
/// interrupt check (error/interrupt.hpp). Each body runs isolated, so a thread
/// waiting inside one never starts a sibling on top of it. The first failure
/// wins: its error is returned, or its exception (out of memory, a broken
/// invariant) rethrown as itself, once every body has ended.
template <typename Body>
[[nodiscard]] error::Result<void> try_for_with_stop(std::size_t begin, std::size_t end, Body&& body) {
    detail::FirstFailure failure;
    // Bodies have pass boundaries of their own: on whichever thread they run,
    // they answer to the caller's interrupt check.
    interrupt::ScopedCheck* const caller_check = interrupt::current_check();
    for_range(begin, end, [&](std::size_t i) {
        if (failure.raised().load(std::memory_order_relaxed)) {
            return;
        }
        isolate([&] {
            const interrupt::Relay relay(caller_check);
            try {
                error::Result<void> result = body(i, failure.raised());
                if (!result) {
                    failure.record(std::move(result.error()));
                }
            } catch (...) {
                failure.record(std::current_exception());
            }
        });
    });
    return failure.take();
}

}  // namespace tarvinex::parallel
