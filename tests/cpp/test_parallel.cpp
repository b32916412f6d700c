/// The CPU count (quota parsers and cgroup lookup on fake files), the pool's
/// loops (coverage, order, sums, failure and cancellation, the stop raised
/// for long bodies, nesting, isolation, exceptions carried back to the
/// caller).

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "error/error.hpp"
#include "parallel/cpu_count.hpp"
#include "parallel/pool.hpp"

namespace tarvinex::parallel {
namespace {

using error::InternalFailure;
using error::Result;

// ---------------------------------------------------------------- CPU count

TEST(CgroupParsers, V2CpuMax) {
    struct Case {
        const char* text;
        std::optional<std::size_t> cpus;
    };
    const Case cases[] = {
        {"max 100000", std::nullopt},
        {"max 100000\n", std::nullopt},
        {"max", std::nullopt},
        {"150000 100000", 2},
        {"150000 100000\n", 2},
        {" 200000 100000 \n", 2},
        {"50000 100000", 1},
        {"400000 100000", 4},
        {"100000 0", std::nullopt},
        {"0 100000", std::nullopt},
        {"-1 100000", std::nullopt},
        {"150000", std::nullopt},
        {"150000 100000 1", std::nullopt},
        {"15o000 100000", std::nullopt},
        {"", std::nullopt},
        {"\n", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_cgroup_v2_cpu_max(c.text), c.cpus) << '"' << c.text << '"';
    }
}

TEST(CgroupParsers, V1Quota) {
    struct Case {
        const char* quota;
        const char* period;
        std::optional<std::size_t> cpus;
    };
    const Case cases[] = {
        {"-1\n", "100000\n", std::nullopt},
        {"150000\n", "100000\n", 2},
        {"300000", "100000", 3},
        {"1", "100000", 1},
        {"100000", "0\n", std::nullopt},
        {"0", "100000", std::nullopt},
        {"abc", "100000", std::nullopt},
        {"100000", "", std::nullopt},
        {"100000 5", "100000", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(parse_cgroup_v1_quota(c.quota, c.period), c.cpus) << '"' << c.quota << "\" / \"" << c.period << '"';
    }
}

TEST(CgroupParsers, V2PathFromProcSelfCgroup) {
    struct Case {
        const char* text;
        std::optional<std::string> path;
    };
    const Case cases[] = {
        {"0::/user.slice/session-1.scope\n", "/user.slice/session-1.scope"},
        {"12:cpu,cpuacct:/docker/abc\n1:name=systemd:/x\n0::/\n", "/"},
        {"0::/a", "/a"},
        {"4:memory:/x\n3:cpu:/\n", std::nullopt},
        {"10::/not-unified\n", std::nullopt},
        {"", std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(cgroup_v2_path_from_proc_self_cgroup(c.text), c.path) << c.text;
    }
}

TEST(CgroupCpuLimit, FindsTheTightestQuotaOnFakeFiles) {
    using Files = std::map<std::string, std::string>;
    struct Case {
        const char* name;
        Files files;
        std::optional<std::size_t> cpus;
    };
    const Case cases[] = {
        {"v2 own cgroup", {{"/proc/self/cgroup", "0::/a/b\n"}, {"/sys/fs/cgroup/a/b/cpu.max", "300000 100000\n"}}, 3},
        {"v2 ancestor is tighter",
         {{"/proc/self/cgroup", "0::/a/b\n"},
          {"/sys/fs/cgroup/a/b/cpu.max", "max 100000\n"},
          {"/sys/fs/cgroup/a/cpu.max", "100000 100000\n"}},
         1},
        {"v2 namespace root only",
         {{"/proc/self/cgroup", "0::/a\n"}, {"/sys/fs/cgroup/cpu.max", "250000 100000\n"}},
         3},
        {"v2 path outside the namespace",
         {{"/proc/self/cgroup", "0::/../../x\n"}, {"/sys/fs/cgroup/cpu.max", "200000 100000\n"}},
         2},
        {"v2 unlimited",
         {{"/proc/self/cgroup", "0::/a\n"}, {"/sys/fs/cgroup/a/cpu.max", "max 100000\n"}},
         std::nullopt},
        {"hybrid falls back to v1 cpu",
         {{"/proc/self/cgroup", "1:cpu:/\n0::/\n"},
          {"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "200000\n"},
          {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"}},
         2},
        {"v1 cpu,cpuacct",
         {{"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_quota_us", "50000\n"},
          {"/sys/fs/cgroup/cpu,cpuacct/cpu.cfs_period_us", "100000\n"}},
         1},
        {"v1 unlimited",
         {{"/sys/fs/cgroup/cpu/cpu.cfs_quota_us", "-1\n"}, {"/sys/fs/cgroup/cpu/cpu.cfs_period_us", "100000\n"}},
         std::nullopt},
        {"nothing readable", {}, std::nullopt},
    };
    for (const Case& c : cases) {
        const FileReader read = [&](const std::string& path) -> std::optional<std::string> {
            const auto it = c.files.find(path);
            return it == c.files.end() ? std::nullopt : std::optional(it->second);
        };
        EXPECT_EQ(cgroup_cpu_limit(read), c.cpus) << c.name;
    }
}

TEST(CpuCount, PoolIsSizedFromTheAvailableCpus) {
    const std::size_t available = available_cpu_count();
    EXPECT_GE(available, 1u);
    EXPECT_LE(available, affinity_cpu_count());
    EXPECT_GE(worker_count(), 1u);
    EXPECT_LE(worker_count(), available);
}

TEST(WorkerLimitTest, LowersTheWorkerCountForItsLifetime) {
    const std::size_t all = worker_count();
    {
        const WorkerLimit limit(1);
        EXPECT_EQ(worker_count(), 1u);
    }
    {
        const WorkerLimit limit(0);
        EXPECT_EQ(worker_count(), 1u);
    }
    EXPECT_EQ(worker_count(), all);
}

// ---------------------------------------------------------------- loops

/// Runs `check` with one worker and with all workers.
void for_each_worker_limit(const std::function<void()>& check) {
    {
        SCOPED_TRACE("one worker");
        const WorkerLimit limit(1);
        check();
    }
    SCOPED_TRACE("all workers");
    check();
}

TEST(ForRange, VisitsEveryIndexExactlyOnce) {
    struct Case {
        std::size_t begin, end, grain;
    };
    const Case cases[] = {{0, 0, 1}, {5, 5, 1}, {7, 3, 1}, {0, 1, 1}, {3, 1000, 1}, {0, 100003, 1}, {10, 1000, 64}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "[" << c.begin << ", " << c.end << ") grain " << c.grain);
        std::vector<std::atomic<int>> hits(std::max(c.begin, c.end) + 1);
        for_range(c.begin, c.end, c.grain, [&](std::size_t i) { hits[i].fetch_add(1, std::memory_order_relaxed); });
        for (std::size_t i = 0; i < hits.size(); ++i) {
            ASSERT_EQ(hits[i].load(), i >= c.begin && i < c.end ? 1 : 0) << "index " << i;
        }
    }
}

TEST(ForChunks, ChunksPartitionTheRowsInOrder) {
    struct Case {
        std::size_t n, chunk_rows;
    };
    const Case cases[] = {{0, 4}, {3, 4}, {8, 4}, {9, 4}, {1000, 7}, {1000, 1000}, {1000, 5000}, {5, 1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "n " << c.n << " chunk_rows " << c.chunk_rows);
        const std::size_t chunks = chunk_count(c.n, c.chunk_rows);
        ASSERT_EQ(chunks, (c.n + c.chunk_rows - 1) / c.chunk_rows);
        std::vector<std::atomic<int>> chunk_hits(chunks);
        std::vector<std::atomic<int>> row_hits(c.n);
        for_chunks(c.n, c.chunk_rows, [&](std::size_t chunk, std::size_t begin, std::size_t end) {
            EXPECT_EQ(begin, chunk * c.chunk_rows);
            EXPECT_EQ(end, std::min(c.n, begin + c.chunk_rows));
            chunk_hits[chunk].fetch_add(1);
            for (std::size_t row = begin; row < end; ++row) {
                row_hits[row].fetch_add(1);
            }
        });
        EXPECT_TRUE(std::ranges::all_of(chunk_hits, [](const auto& h) { return h.load() == 1; }));
        EXPECT_TRUE(std::ranges::all_of(row_hits, [](const auto& h) { return h.load() == 1; }));
    }
}

TEST(ForChunks, RejectsEmptyChunks) {
    EXPECT_THROW(for_chunks(10, 0, [](std::size_t, std::size_t, std::size_t) {}), InternalFailure);
}

/// Scratch that notices when two bodies use it at once.
struct ExclusiveScratch {
    bool in_use = false;
    std::size_t rows_seen = 0;
};

TEST(ForChunks, ScratchIsNeverShared) {
    constexpr std::size_t kRows = 50000;
    std::atomic<std::size_t> rows_total{0};
    std::atomic<int> shared_uses{0};
    for_chunks(
        kRows, 16, [] { return ExclusiveScratch{}; },
        [&](std::size_t, std::size_t begin, std::size_t end, ExclusiveScratch& scratch) {
            if (std::exchange(scratch.in_use, true)) {
                shared_uses.fetch_add(1);
            }
            scratch.rows_seen += end - begin;
            rows_total.fetch_add(end - begin);
            scratch.in_use = false;
        });
    EXPECT_EQ(shared_uses.load(), 0);
    EXPECT_EQ(rows_total.load(), kRows);
}

TEST(MapInto, WritesEachResultAtItsIndex) {
    std::vector<std::uint64_t> out(10007, 0);
    map_into(std::span(out), [](std::size_t i) { return std::uint64_t{i} * i + 1; });
    for (std::size_t i = 0; i < out.size(); ++i) {
        ASSERT_EQ(out[i], std::uint64_t{i} * i + 1) << "index " << i;
    }
}

TEST(Reduce, IntegerSumEqualsTheSerialSum) {
    // The identity 7 is not zero, and combine takes it out again: a reduce
    // that started tasks from anything but the identity would be off.
    for (const std::size_t n : {0u, 1u, 2u, 17u, 1000u, 100003u}) {
        SCOPED_TRACE(testing::Message() << "n " << n);
        const std::uint64_t expected = std::uint64_t{n} * (n == 0 ? 0 : n - 1) / 2 + 7;
        const std::uint64_t sum = reduce(
            0, n, std::uint64_t{7},
            [](std::size_t b, std::size_t e, std::uint64_t acc) {
                for (std::size_t i = b; i < e; ++i) {
                    acc += i;
                }
                return acc;
            },
            [](std::uint64_t a, std::uint64_t b) { return a + b - 7; });
        EXPECT_EQ(sum, expected);
    }
}

TEST(Reduce, CombineKeepsRangeOrderAndScratchIsPerPiece) {
    constexpr std::size_t kN = 20000;
    std::atomic<int> scratch_made{0};
    std::atomic<int> pieces{0};
    std::atomic<int> shared_uses{0};
    const std::vector<std::size_t> indices = reduce(
        0, kN, std::vector<std::size_t>{},
        [&] {
            scratch_made.fetch_add(1);
            return ExclusiveScratch{};
        },
        [&](std::size_t b, std::size_t e, std::vector<std::size_t> acc, ExclusiveScratch& scratch) {
            pieces.fetch_add(1);
            if (std::exchange(scratch.in_use, true)) {
                shared_uses.fetch_add(1);
            }
            for (std::size_t i = b; i < e; ++i) {
                acc.push_back(i);
            }
            scratch.in_use = false;
            return acc;
        },
        [](std::vector<std::size_t> a, const std::vector<std::size_t>& b) {
            a.insert(a.end(), b.begin(), b.end());
            return a;
        });
    std::vector<std::size_t> expected(kN);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(indices, expected);
    EXPECT_EQ(scratch_made.load(), pieces.load());
    EXPECT_EQ(shared_uses.load(), 0);
}

TEST(ChunkOrderedSum, FloatSumIsBitIdenticalForEveryWorkerCount) {
    // Magnitudes far apart, so that any other order of additions rounds differently.
    constexpr std::size_t kRows = 100003;
    constexpr std::size_t kChunkRows = 256;
    std::vector<float> values(kRows);
    for (std::size_t i = 0; i < kRows; ++i) {
        values[i] = (i % 3 == 0 ? 1.0e7f : 0.37f) * static_cast<float>(i % 11) * (i % 2 == 0 ? 1.0f : -1.0f);
    }
    const auto chunk_sum = [&](std::size_t, std::size_t begin, std::size_t end) {
        float sum = 0.0f;
        for (std::size_t i = begin; i < end; ++i) {
            sum += values[i];
        }
        return sum;
    };
    float expected = 0.0f;
    for (std::size_t c = 0; c < chunk_count(kRows, kChunkRows); ++c) {
        expected += chunk_sum(c, c * kChunkRows, std::min(kRows, (c + 1) * kChunkRows));
    }
    for_each_worker_limit([&] {
        const float sum = chunk_ordered_sum(kRows, kChunkRows, 0.0f, chunk_sum);
        EXPECT_EQ(std::bit_cast<std::uint32_t>(sum), std::bit_cast<std::uint32_t>(expected));
    });
}

// ---------------------------------------------------------------- failures

TEST(TryFor, SucceedsWhenNoBodyFails) {
    for (const std::size_t n : {0u, 1u, 5000u}) {
        std::vector<std::atomic<int>> hits(n);
        const Result<void> result = try_for(0, n, [&](std::size_t i) -> Result<void> {
            hits[i].fetch_add(1);
            return {};
        });
        EXPECT_TRUE(result.has_value()) << "n " << n;
        EXPECT_TRUE(std::ranges::all_of(hits, [](const auto& h) { return h.load() == 1; })) << "n " << n;
    }
}

TEST(TryFor, ReturnsTheErrorOfTheFailingIndex) {
    for (const std::size_t failing : {0u, 1u, 4321u, 9999u}) {
        for_each_worker_limit([&] {
            const Result<void> result = try_for(0, 10000, [&](std::size_t i) -> Result<void> {
                if (i == failing) {
                    return error::fail("row " + std::to_string(i) + " failed");
                }
                return {};
            });
            ASSERT_FALSE(result.has_value()) << "failing " << failing;
            EXPECT_EQ(result.error().to_string(), "row " + std::to_string(failing) + " failed");
        });
    }
}

TEST(TryFor, FirstErrorCancelsTheRest) {
    // Every body fails, so each thread can start at most one body before it
    // sees the cancellation.
    constexpr std::size_t kN = 100000;
    std::atomic<std::size_t> started{0};
    const Result<void> result = try_for(0, kN, [&](std::size_t i) -> Result<void> {
        started.fetch_add(1);
        return error::fail("row " + std::to_string(i));
    });
    ASSERT_FALSE(result.has_value());
    EXPECT_TRUE(result.error().to_string().starts_with("row "));
    EXPECT_GE(started.load(), 1u);
    EXPECT_LE(started.load(), worker_count());
}

TEST(TryFor, InnerErrorReachesTheOuterCaller) {
    const Result<void> result = try_for(0, 8, [](std::size_t outer) -> Result<void> {
        return try_for(0, 1000, [&](std::size_t inner) -> Result<void> {
            if (outer == 5 && inner == 500) {
                return error::fail("inner failure");
            }
            return {};
        });
    });
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().to_string(), "inner failure");
}

TEST(Exceptions, InternalFailureInAWorkerReachesTheCaller) {
    constexpr std::size_t kN = 10000;
    const auto check = [](std::size_t i) { TARVINEX_ASSERT(i != 7777, "index 7777 broke an invariant"); };
    const auto check_rows = [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            check(i);
        }
    };
    struct Case {
        const char* loop;
        std::function<void()> run;
    };
    const Case cases[] = {
        {"for_range", [&] { for_range(0, kN, check); }},
        {"for_chunks",
         [&] { for_chunks(kN, 64, [&](std::size_t, std::size_t b, std::size_t e) { check_rows(b, e); }); }},
        {"map_into",
         [&] {
             std::vector<int> out(kN);
             map_into(std::span(out), [&](std::size_t i) {
                 check(i);
                 return 0;
             });
         }},
        {"reduce",
         [&] {
             (void)reduce(
                 0, kN, 0,
                 [&](std::size_t b, std::size_t e, int acc) {
                     check_rows(b, e);
                     return acc;
                 },
                 std::plus<>{});
         }},
        {"try_for",
         [&] {
             (void)try_for(0, kN, [&](std::size_t i) -> Result<void> {
                 check(i);
                 return {};
             });
         }},
        {"nested for_range",
         [&] {
             for_range(0, 100, [&](std::size_t o) { for_range(0, 100, [&](std::size_t j) { check(o * 100 + j); }); });
         }},
    };
    for (const Case& c : cases) {
        try {
            c.run();
            ADD_FAILURE() << c.loop << ": no exception reached the caller";
        } catch (const InternalFailure& failure) {
            EXPECT_STREQ(failure.what(), "index 7777 broke an invariant") << c.loop;
        }
    }
}

TEST(TryForWithStop, RunsEveryBodyWhenNoneFails) {
    for (const std::size_t n : {0u, 1u, 5000u}) {
        for_each_worker_limit([&] {
            std::vector<std::atomic<int>> hits(n);
            const Result<void> result = try_for_with_stop(0, n, [&](std::size_t i, const std::atomic<bool>& stop) {
                EXPECT_FALSE(stop.load());
                hits[i].fetch_add(1);
                return Result<void>{};
            });
            EXPECT_TRUE(result.has_value()) << "n " << n;
            EXPECT_TRUE(std::ranges::all_of(hits, [](const auto& h) { return h.load() == 1; })) << "n " << n;
        });
    }
}

TEST(TryForWithStop, TheFirstFailureStopsRunningBodiesAndSkipsTheRest) {
    // Body 0 fails, by an error or an exception, once a sibling runs (at
    // once on one worker); every other body waits at its safe point
    // until `stop` is raised. A loop that did not raise it would never end,
    // so the siblings give up after a generous deadline and say so.
    enum class Failure { Error, Exception };
    for (const Failure failure : {Failure::Error, Failure::Exception}) {
        for_each_worker_limit([&] {
            constexpr std::size_t kN = 64;
            std::atomic<std::size_t> started{0};
            std::atomic<std::size_t> stopped{0};
            std::atomic<std::size_t> ended{0};
            const auto body = [&](std::size_t i, const std::atomic<bool>& stop) -> Result<void> {
                started.fetch_add(1);
                const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(i == 0 ? 1 : 20);
                if (i == 0) {
                    while (worker_count() > 1 && started.load() < 2 && std::chrono::steady_clock::now() < deadline) {
                        std::this_thread::yield();
                    }
                    ended.fetch_add(1);
                    if (failure == Failure::Exception) {
                        TARVINEX_ASSERT(false, "body 0 broke an invariant");
                    }
                    return error::fail("body 0 failed");
                }
                while (!stop.load() && std::chrono::steady_clock::now() < deadline) {
                    std::this_thread::yield();
                }
                ended.fetch_add(1);
                if (!stop.load()) {
                    return error::fail("body " + std::to_string(i) + " was never stopped");
                }
                stopped.fetch_add(1);
                TARVINEX_TRY(check_stop(&stop));
                return {};
            };
            std::string outcome;
            try {
                const Result<void> result = try_for_with_stop(0, kN, body);
                outcome = result ? "success" : result.error().to_string();
            } catch (const InternalFailure& thrown) {
                outcome = std::string("thrown: ") + thrown.what();
            }
            EXPECT_EQ(outcome, failure == Failure::Error ? "body 0 failed" : "thrown: body 0 broke an invariant");
            // The loop returns once every body that began has ended; each
            // thread began at most one before the failure.
            EXPECT_EQ(ended.load(), started.load());
            EXPECT_EQ(stopped.load(), started.load() - 1);
            EXPECT_GE(started.load(), 1u);
            EXPECT_LE(started.load(), worker_count());
        });
    }
}

TEST(TryForWithStop, CheckStopTellsARaisedStopApart) {
    const std::atomic<bool> lowered{false};
    const std::atomic<bool> raised{true};
    EXPECT_TRUE(check_stop(nullptr).has_value());
    EXPECT_TRUE(check_stop(&lowered).has_value());
    const Result<void> stopped = check_stop(&raised);
    ASSERT_FALSE(stopped.has_value());
    EXPECT_EQ(stopped.error().to_string(), "fit stopped before it finished");
    EXPECT_STREQ(kStoppedBeforeFinished, "fit stopped before it finished");
}

// ---------------------------------------------------------------- nesting

TEST(Nesting, BodiesRunOnPoolThreadsAndCallersDoNot) {
    EXPECT_FALSE(detail::on_pool_thread());
    std::atomic<int> outside{0};
    for_range(0, 10000, [&](std::size_t) {
        if (!detail::on_pool_thread()) {
            outside.fetch_add(1);
        }
    });
    EXPECT_EQ(outside.load(), 0);
    EXPECT_FALSE(detail::on_pool_thread());
}

TEST(Nesting, CancellingAnOuterLoopStopsItsInnerLoop) {
    // An inner loop must stay under the cancellation of the loop around it,
    // so that a failed try_for does not finish the inner work of its bodies.
    constexpr std::size_t kInner = 1000000;
    std::atomic<std::size_t> inner_ran{0};
    for_range(0, 1, [&](std::size_t) {
        tbb::task_group_context outer;
        tbb::parallel_for(
            detail::IndexRange(0, 1),
            [&](const detail::IndexRange&) {
                for_range(0, kInner, [&](std::size_t i) {
                    if (i == 0) {
                        outer.cancel_group_execution();
                    }
                    inner_ran.fetch_add(1, std::memory_order_relaxed);
                });
            },
            tbb::auto_partitioner{}, outer);
    });
    EXPECT_LT(inner_ran.load(), kInner);
}

TEST(Nesting, InnerLoopsInsideOuterLoopsComplete) {
    constexpr std::size_t kOuter = 64;
    constexpr std::size_t kInner = 257;
    for_each_worker_limit([&] {
        std::vector<std::atomic<int>> hits(kOuter * kInner);
        for_range(0, kOuter, [&](std::size_t o) {
            for_range(0, kInner, [&](std::size_t j) { hits[o * kInner + j].fetch_add(1); });
        });
        EXPECT_TRUE(std::ranges::all_of(hits, [](const auto& h) { return h.load() == 1; }));
    });
}

thread_local bool t_inside_outer_body = false;

/// An inner loop whose few long bodies leave threads waiting inside it, where
/// a thread may pick up other work.
void uneven_inner_loop(std::size_t outer, std::atomic<std::uint64_t>& sink) {
    for_range(0, 64, [&](std::size_t inner) {
        const int steps = (inner * 7 + outer) % 13 == 0 ? 20000 : 10;
        std::uint64_t x = inner;
        for (int k = 0; k < steps; ++k) {
            x = x * 6364136223846793005u + 1;
        }
        sink.fetch_add(x & 1, std::memory_order_relaxed);
    });
}

TEST(Nesting, IsolatedInnerLoopNeverRunsASiblingOuterBody) {
    // Without isolation a thread waiting for a stolen inner piece picks up a
    // sibling outer body now and then; uneven inner work makes such waits
    // common once the pool has three or more threads.
    std::atomic<int> reentered{0};
    std::atomic<std::uint64_t> sink{0};
    for (int repeat = 0; repeat < 50; ++repeat) {
        for_range(0, 64, [&](std::size_t outer) {
            if (std::exchange(t_inside_outer_body, true)) {
                reentered.fetch_add(1);
            }
            isolate([&] { uneven_inner_loop(outer, sink); });
            t_inside_outer_body = false;
        });
    }
    EXPECT_EQ(reentered.load(), 0);
}

TEST(Nesting, ABodyOfTryForWithStopNeverRunsASiblingWhileItWaits) {
    // As above: the bodies hold per-thread state across an inner loop.
    std::atomic<int> reentered{0};
    std::atomic<std::uint64_t> sink{0};
    for (int repeat = 0; repeat < 50; ++repeat) {
        const Result<void> result = try_for_with_stop(0, 64, [&](std::size_t outer, const std::atomic<bool>&) {
            if (std::exchange(t_inside_outer_body, true)) {
                reentered.fetch_add(1);
            }
            uneven_inner_loop(outer, sink);
            t_inside_outer_body = false;
            return Result<void>{};
        });
        ASSERT_TRUE(result.has_value());
    }
    EXPECT_EQ(reentered.load(), 0);
}

TEST(Nesting, IsolateReturnsTheValueOfItsFunction) {
    EXPECT_EQ(isolate([] { return 42; }), 42);
    EXPECT_EQ(reduce(
                  0, 4, 0,
                  [](std::size_t b, std::size_t e, int acc) {
                      for (std::size_t i = b; i < e; ++i) acc += isolate([i] { return static_cast<int>(i); });
                      return acc;
                  },
                  std::plus<>{}),
              6);
}

}  // namespace
}  // namespace tarvinex::parallel
