// The caller's interrupt check: who asks it, when, and how every training
// driver ends on its yes at a pass boundary with its model as it was.
#include <gtest/gtest.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

#include "autok/autok.hpp"
#include "dense/dense.hpp"
#include "error/error.hpp"
#include "error/interrupt.hpp"
#include "error/settings.hpp"
#include "parallel/pool.hpp"
#include "pq/pq.hpp"
#include "pqkmeans/pqkmeans.hpp"
#include "testing.hpp"

namespace {

using tarvinex::test::fake_env;

namespace array = tarvinex::array;
namespace interrupt = tarvinex::interrupt;
namespace parallel = tarvinex::parallel;
using tarvinex::error::Result;

/// The fake caller checks. CallerCheck is a plain function pointer, so their
/// state is global: `counting_check` says yes from its call `g_yes_from` on
/// (0: never) and notes a call made off the thread that set `g_owner`.
std::atomic<int> g_calls{0};
int g_yes_from = 0;
std::thread::id g_owner;
std::atomic<bool> g_called_elsewhere{false};
std::atomic<int> g_other_calls{0};

bool counting_check() {
    if (std::this_thread::get_id() != g_owner) {
        g_called_elsewhere = true;
    }
    const int call = ++g_calls;
    return g_yes_from != 0 && call >= g_yes_from;
}

/// A second check, never saying yes, to tell nested guards apart.
bool other_check() {
    ++g_other_calls;
    return false;
}

void reset_check(int yes_from) {
    g_calls = 0;
    g_other_calls = 0;
    g_yes_from = yes_from;
    g_owner = std::this_thread::get_id();
    g_called_elsewhere = false;
}

bool interrupted(const Result<void>& result) {
    return !result && result.error().is_interrupted() && result.error().to_string() == "call interrupted";
}

TEST(Interrupt, WithoutAGuardNothingIsAsked) {
    reset_check(1);
    EXPECT_TRUE(interrupt::check_pass_boundary());
    { const interrupt::ScopedCheck guard(counting_check); }
    // An ended guard is gone, not left behind for the next call.
    EXPECT_TRUE(interrupt::check_pass_boundary());
    EXPECT_EQ(g_calls.load(), 0);
}

TEST(Interrupt, AYesIsKeptAndNeverAskedForAgain) {
    reset_check(3);
    const interrupt::ScopedCheck guard(counting_check);
    EXPECT_TRUE(interrupt::check_pass_boundary());
    EXPECT_TRUE(interrupt::check_pass_boundary());
    EXPECT_TRUE(interrupted(interrupt::check_pass_boundary()));
    EXPECT_TRUE(interrupted(interrupt::check_pass_boundary()));
    EXPECT_EQ(g_calls.load(), 3);
}

TEST(Interrupt, OnlyTheInstallingThreadAsksAndWorkForTheCallSeesItsYes) {
    reset_check(0);
    const interrupt::ScopedCheck guard(counting_check);
    std::mutex mutex;
    std::set<std::thread::id> body_threads;
    std::atomic<int> owner_bodies{0};
    std::atomic<int> refused{0};
    // Bodies slow enough that the pool's other threads take some of them.
    ASSERT_TRUE(parallel::try_for_with_stop(0, 200, [&](std::size_t, const std::atomic<bool>&) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (!interrupt::check_pass_boundary()) {
            ++refused;
        }
        if (std::this_thread::get_id() == g_owner) {
            ++owner_bodies;
        }
        const std::lock_guard lock(mutex);
        body_threads.insert(std::this_thread::get_id());
        return tarvinex::error::Result<void>{};
    }));
    EXPECT_EQ(refused.load(), 0);
    EXPECT_FALSE(g_called_elsewhere.load());
    EXPECT_EQ(g_calls.load(), owner_bodies.load()) << "one question per boundary on the installing thread";
    if (parallel::worker_count() > 1) {
        EXPECT_GT(body_threads.size(), 1U) << "no body ran off the installing thread";
    }

    g_yes_from = g_calls.load() + 1;
    EXPECT_TRUE(interrupted(interrupt::check_pass_boundary()));
    const int asked = g_calls.load();
    // Bodies of the call, on any thread, see the yes; a thread doing no work
    // for any call answers to no check.
    std::atomic<int> seen{0};
    std::atomic<int> unrelated_seen{0};
    (void)parallel::try_for_with_stop(0, 200, [&](std::size_t, const std::atomic<bool>&) {
        std::this_thread::sleep_for(std::chrono::microseconds(50));
        if (interrupted(interrupt::check_pass_boundary())) {
            ++seen;
        }
        return tarvinex::error::Result<void>{};
    });
    std::thread([&] {
        if (interrupted(interrupt::check_pass_boundary())) {
            ++unrelated_seen;
        }
    }).join();
    EXPECT_EQ(seen.load(), 200);
    EXPECT_EQ(unrelated_seen.load(), 0);
    EXPECT_EQ(g_calls.load(), asked);
}

TEST(Interrupt, AnInnerGuardReplacesTheOuterUntilItEnds) {
    reset_check(0);
    {
        const interrupt::ScopedCheck outer(counting_check);
        ASSERT_TRUE(interrupt::check_pass_boundary());
        {
            const interrupt::ScopedCheck inner(other_check);
            EXPECT_TRUE(interrupt::check_pass_boundary());
            EXPECT_EQ(g_calls.load(), 1);
            EXPECT_EQ(g_other_calls.load(), 1);
        }
        g_yes_from = 2;
        EXPECT_TRUE(interrupted(interrupt::check_pass_boundary()));
        {
            // The outer call's yes is not the inner call's.
            const interrupt::ScopedCheck inner(other_check);
            EXPECT_TRUE(interrupt::check_pass_boundary());
            EXPECT_EQ(g_other_calls.load(), 2);
        }
        EXPECT_TRUE(interrupted(interrupt::check_pass_boundary()));
        EXPECT_EQ(g_calls.load(), 2);
    }
    // Nor does an inner yes outlive its guard.
    reset_check(1);
    const interrupt::ScopedCheck outer(other_check);
    {
        const interrupt::ScopedCheck inner(counting_check);
        EXPECT_TRUE(interrupted(interrupt::check_pass_boundary()));
    }
    EXPECT_TRUE(interrupt::check_pass_boundary());
    EXPECT_EQ(g_other_calls.load(), 1);
}

// ------------------------------------------------------ interrupted drivers

/// Everything a model shows, as bits: an interrupted run must leave it all.
using State = std::vector<std::uint64_t>;

template <typename T>
void append(State& state, const std::vector<T>& values) {
    state.push_back(values.size());
    for (const T value : values) {
        if constexpr (std::is_same_v<T, float>) {
            state.push_back(std::bit_cast<std::uint32_t>(value));
        } else if constexpr (std::is_same_v<T, double>) {
            state.push_back(std::bit_cast<std::uint64_t>(value));
        } else {
            state.push_back(value);
        }
    }
}

template <typename Stored>
void append(State& state, const std::optional<Stored>& stored) {
    if (!stored) {
        state.push_back(~std::uint64_t{0});
        return;
    }
    append(state, stored->storage());
}

/// Two data sets for every driver: M = 2 codebooks of 8 codewords in 2
/// dimensions, 200 code rows and 200 rows of 4 floats each.
struct DriverData {
    array::Codebook<float> codewords = tarvinex::test::spread_codebook(2, 8, 2);
    std::vector<std::uint8_t> codes[2];
    std::vector<float> vectors[2];

    DriverData() {
        for (std::size_t i = 0; i < 2; ++i) {
            tarvinex::test::SplitMix rng(40 + i);
            codes[i] = rng.codes(200 * 2, 8);
            vectors[i] = rng.spread(200 * 4, -2, 4, true);
        }
    }
    [[nodiscard]] array::MatrixView<const std::uint8_t> code_view(std::size_t i) const {
        return array::MatrixView<const std::uint8_t>::c_order(codes[i].data(), {200, 2});
    }
    [[nodiscard]] array::MatrixView<const float> vector_view(std::size_t i) const {
        return array::MatrixView<const float>::c_order(vectors[i].data(), {200, 4});
    }
};

struct Driver {
    const char* name;
    /// Boundaries of a run on one thread: each pass of each training, and
    /// the dense fit's final assignment.
    int boundaries;
    std::function<Result<void>(std::size_t)> fit;  ///< a run on data set 0 or 1
    std::function<State()> state;
};

std::vector<Driver> drivers(const DriverData& d) {
    namespace pqkmeans = tarvinex::pqkmeans;
    const auto pq_kmeans = [&] {
        return std::make_shared<pqkmeans::PqKMeans>(*pqkmeans::PqKMeans::new_with_options_and_spherical(
            d.codewords, std::nullopt, 4, 5, 3, false, std::size_t{1} << 20, pqkmeans::InitMethod::FarthestFirst, false,
            false));
    };
    const auto pq_kmeans_state = [](const pqkmeans::PqKMeans& m) {
        State s;
        append(s, m.labels());
        append(s, m.inertia_history());
        append(s, m.cluster_centers());
        append(s, m.dense_cluster_centers());
        return s;
    };
    const auto quantizer = [](std::size_t opq_iterations) {
        return std::make_shared<tarvinex::pq::ProductQuantizer>(
            *tarvinex::pq::ProductQuantizer::create(2, 4, 3, 0, opq_iterations));
    };
    const auto quantizer_state = [](const tarvinex::pq::ProductQuantizer& m) {
        State s{m.subdim().value_or(~std::size_t{0})};
        append(s, m.codewords());
        append(s, m.rotation());
        return s;
    };
    const auto symmetric = pq_kmeans();
    const auto adc = pq_kmeans();
    const auto hybrid = pq_kmeans();
    const auto dense = std::make_shared<tarvinex::dense::DenseKMeans>(
        *tarvinex::dense::DenseKMeans::create(4, 5, 3, false, "kmeans++", false, false));
    const auto plain = quantizer(0);
    const auto rotated = quantizer(2);
    const auto analysis = std::make_shared<std::optional<tarvinex::autok::AutoKAnalysis>>();
    const auto env = fake_env({});
    return {
        {"symmetric fit", 5, [=, &d](std::size_t i) { return symmetric->fit(d.code_view(i), env); },
         [=] { return pq_kmeans_state(*symmetric); }},
        {"ADC fit", 5, [=, &d](std::size_t i) { return adc->fit_adc(d.code_view(i), env); },
         [=] { return pq_kmeans_state(*adc); }},
        {"hybrid fit", 5,
         [=, &d](std::size_t i) { return hybrid->fit_hybrid(d.code_view(i), d.vector_view(i), 2, env); },
         [=] { return pq_kmeans_state(*hybrid); }},
        {"dense fit", 6, [=, &d](std::size_t i) { return dense->fit(d.vector_view(i), env); },
         [=] {
             State s;
             append(s, dense->labels());
             append(s, dense->inertia_history());
             append(s, dense->centers());
             return s;
         }},
        {"PQ fit", 2 * 3, [=, &d](std::size_t i) { return plain->fit_impl(d.vector_view(i), std::nullopt, env); },
         [=] { return quantizer_state(*plain); }},
        {"OPQ fit", 2 * (1 + 2 * 3) + 2 * 3,
         [=, &d](std::size_t i) { return rotated->fit_impl(d.vector_view(i), std::nullopt, env); },
         [=] { return quantizer_state(*rotated); }},
        {"analysis", 3 * 5,
         [=, &d](std::size_t i) -> Result<void> {
             auto done = tarvinex::autok::analyze_k_candidates(
                 d.codewords, d.code_view(i), std::vector<std::size_t>{2, 3, 4}, 5, 11, false, std::size_t{1} << 20, 0);
             if (!done) {
                 return std::unexpected(done.error());
             }
             *analysis = std::move(*done);
             return {};
         },
         [=] {
             State s;
             if (*analysis) {
                 const auto& a = **analysis;
                 for (const auto* list : {&a.inertia, &a.bic, &a.davies_bouldin, &a.centroid_silhouette, &a.elbow}) {
                     append(s, *list);
                 }
                 append(s, a.min_cluster_size);
                 append(s, a.max_cluster_size);
             }
             return s;
         }},
    };
}

TEST(InterruptedDrivers, AYesEndsTheRunAtAPassBoundaryAndTheModelIsKept) {
    const DriverData data;
    for (const Driver& driver : drivers(data)) {
        SCOPED_TRACE(driver.name);
        reset_check(1);
        ASSERT_TRUE(driver.fit(1));
        const State fitted_on_1 = driver.state();
        ASSERT_TRUE(driver.fit(0));
        const State fitted_on_0 = driver.state();
        ASSERT_NE(fitted_on_0, fitted_on_1) << "the data sets must tell the runs apart";
        EXPECT_EQ(g_calls.load(), 0) << "asked without a guard";

        // A check that never says yes is asked at every boundary and changes
        // nothing: the run is the one made without it. One worker makes the
        // number of boundaries the installing thread sees fixed.
        int boundaries = 0;
        {
            const parallel::WorkerLimit one(1);
            reset_check(0);
            const interrupt::ScopedCheck guard(counting_check);
            ASSERT_TRUE(driver.fit(1));
            EXPECT_EQ(driver.state(), fitted_on_1);
            boundaries = g_calls.load();
            EXPECT_EQ(boundaries, driver.boundaries);
            ASSERT_TRUE(driver.fit(0));
        }

        // A yes at the first, a middle or the last boundary, on one worker
        // or on all of them, ends the run with the model as it was.
        struct Run {
            int yes_from;
            bool one_worker;
        };
        for (const Run run : {Run{1, true}, Run{boundaries / 2, true}, Run{boundaries, true}, Run{2, false}}) {
            SCOPED_TRACE(testing::Message()
                         << "yes at boundary " << run.yes_from << (run.one_worker ? ", one" : ", all") << " worker(s)");
            std::optional<parallel::WorkerLimit> limit;
            if (run.one_worker) {
                limit.emplace(1);
            }
            reset_check(run.yes_from);
            const interrupt::ScopedCheck guard(counting_check);
            EXPECT_TRUE(interrupted(driver.fit(1)));
            EXPECT_EQ(driver.state(), fitted_on_0);
            EXPECT_EQ(g_calls.load(), run.yes_from);
            EXPECT_FALSE(g_called_elsewhere.load());
        }
    }
}

}  // namespace
