// Dense k-means: the bounded passes (Hamerly, early abandoning) and their
// bookkeeping, the engine choice and the early stop, and the model's fit,
// predict and set_centers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <map>
#include <numeric>
#include <optional>
#include <string>
#include <vector>

#include "array/array.hpp"
#include "dense/dense.hpp"
#include "report/training_report.hpp"
#include "simd/slice_kernels.hpp"
#include "testing.hpp"

namespace {

namespace array = tarvinex::array;
namespace dense = tarvinex::dense;
namespace simd = tarvinex::simd;
using Env = std::map<std::string, std::string>;
using tarvinex::test::bit_patterns;
using tarvinex::test::fake_env;
using tarvinex::test::kInf;
using tarvinex::test::kNaN;
using tarvinex::test::runnable_families;
using tarvinex::test::SplitMix;

array::MatrixView<const float> matrix(const std::vector<float>& values, std::size_t dim) {
    return array::MatrixView<const float>::c_order(values.data(), {values.size() / dim, dim});
}

/// n rows around k well-apart blob centers, each within [0, 0.5) of its own.
std::vector<float> blobs(std::size_t n, std::size_t k, std::size_t dim, std::uint64_t seed) {
    SplitMix rng(seed);
    const std::vector<float> middles = rng.integers(k * dim, -20, 20);
    std::vector<float> rows(n * dim);
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t blob = rng.next() % k;
        for (std::size_t x = 0; x < dim; ++x) {
            const float noise = static_cast<float>(rng.next() >> 40) / 16777216.0F;
            rows[i * dim + x] = middles[blob * dim + x] * 4.0F + noise * 0.5F;
        }
    }
    return rows;
}

struct Assignment {
    std::vector<std::size_t> labels;
    std::vector<float> distances;
};

/// The nearest centers by the family's l2_distance, the distance the bounded
/// passes use, visited in index order with ties to the lower index.
Assignment plain(array::MatrixView<const float> data, array::MatrixView<const float> centers,
                 const simd::SliceKernelTable& kernels) {
    Assignment out{std::vector<std::size_t>(data.shape[0]), std::vector<float>(data.shape[0], kInf)};
    for (std::size_t i = 0; i < data.shape[0]; ++i) {
        for (std::size_t j = 0; j < centers.shape[0]; ++j) {
            const float d = kernels.l2_distance(data.row(i), centers.row(j));
            if (d < out.distances[i]) {
                out.labels[i] = j;
                out.distances[i] = d;
            }
        }
    }
    return out;
}

dense::DenseKMeans model(std::size_t k, std::size_t iterations, const char* init = "kmeans++", bool early = false,
                         bool spherical = false) {
    auto made = dense::DenseKMeans::create(k, iterations, 7, false, init, early, spherical);
    EXPECT_TRUE(made.has_value());
    return std::move(*made);
}

// ---------------------------------------------------------------- passes

TEST(DenseBoundedPasses, FollowThePlainEngineThroughMovingCenters) {
    // Centers move toward the blobs pass by pass; both bounded passes must find
    // the plain engine's labels every time (the data has no near ties).
    constexpr std::size_t n = 1500, k = 9;
    for (const std::size_t dim : {20UL, 64UL, 70UL}) {
        const std::vector<float> values = blobs(n, k, dim, dim);
        const auto data = matrix(values, dim);
        for (const simd::SliceKernel family : runnable_families()) {
            SCOPED_TRACE(testing::Message() << "dim " << dim << ", " << simd::slice_kernel_label(family));
            const simd::SliceKernelTable& kernels = simd::slice_kernels(family);
            array::Matrix<float> centers(array::Shape<2>{k, dim});
            for (std::size_t j = 0; j < k; ++j) {
                std::copy_n(values.begin() + static_cast<std::ptrdiff_t>(j * 7 * dim), dim,
                            centers.storage().begin() + static_cast<std::ptrdiff_t>(j * dim));
            }
            std::vector<float> upper(n, kInf), lower(n, 0.0F);
            Assignment hamerly{std::vector<std::size_t>(n), std::vector<float>(n)};
            Assignment abandon = plain(data, centers.view(), kernels);
            dense::DenseUpdateScratch scratch(k, dim);
            dense::assign_dense_with_second_into(data, centers.view(), hamerly.labels, hamerly.distances,
                                                 {upper, lower}, kernels);
            EXPECT_EQ(hamerly.labels, plain(data, centers.view(), kernels).labels);
            for (int pass = 0; pass < 6; ++pass) {
                const Assignment want = plain(data, centers.view(), kernels);
                if (pass > 0) {
                    dense::assign_dense_early_abandon_into(data, centers.view(), abandon.labels, abandon.distances,
                                                           kernels);
                    EXPECT_EQ(abandon.labels, want.labels);
                }
                const array::Matrix<float> before = centers;
                dense::update_centers(data, want.labels, want.distances, centers.view(), scratch,
                                      dense::DenseUpdateMode::Sharded);
                const std::vector<float> shifts =
                    dense::center_movements_between(before.view(), centers.view(), kernels);
                const std::vector<float> half_min = dense::center_half_min_distances(centers.view(), kernels);
                const dense::HamerlyCenterState state{half_min, shifts,
                                                      *std::max_element(shifts.begin(), shifts.end())};
                const Assignment next = plain(data, centers.view(), kernels);
                dense::assign_dense_hamerly_into(data, centers.view(), hamerly.labels, hamerly.distances,
                                                 {upper, lower}, state, kernels);
                // The second-best distances bound what the kept lower bounds may claim.
                std::vector<float> exact_upper(n), second(n);
                Assignment rescanned{std::vector<std::size_t>(n), std::vector<float>(n)};
                dense::assign_dense_with_second_into(data, centers.view(), rescanned.labels, rescanned.distances,
                                                     {exact_upper, second}, kernels);
                EXPECT_EQ(hamerly.labels, next.labels);
                EXPECT_EQ(bit_patterns(hamerly.distances), bit_patterns(next.distances));
                EXPECT_EQ(bit_patterns(upper), bit_patterns(exact_upper));
                for (std::size_t i = 0; i < n; ++i) {
                    ASSERT_LE(lower[i], second[i] * 1.0001F) << "row " << i;
                }
            }
        }
    }
}

TEST(DenseBoundedPasses, HamerlyEdgeCases) {
    // One dimension: centers at 0, 2 and 10.
    const std::vector<float> center_values = {0.0F, 2.0F, 10.0F};
    const auto centers = matrix(center_values, 1);
    const std::vector<float> row_values = {1.0F, 9.0F};
    const auto rows = matrix(row_values, 1);
    std::vector<std::size_t> labels(2);
    std::vector<float> distances(2), upper(2), lower(2);

    // A tie goes to the lower index and is also the second best.
    dense::assign_dense_with_second_into(rows, centers, labels, distances, {upper, lower});
    EXPECT_EQ(labels, (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(upper[0], 1.0F);
    EXPECT_EQ(lower[0], 1.0F);
    EXPECT_EQ(lower[1], std::sqrt(49.0F));

    // Bounds that say the label holds are trusted: no rescan, only the
    // distance is recomputed.
    const std::vector<float> half_min = {1.0F, 1.0F, 4.0F}, still = {0.0F, 0.0F, 0.0F};
    labels = {1, 2};
    upper = {1.0F, 1.0F};
    lower = {5.0F, 5.0F};
    dense::assign_dense_hamerly_into(rows, centers, labels, distances, {upper, lower}, {half_min, still, 0.0F});
    EXPECT_EQ(labels, (std::vector<std::size_t>{1, 2}));
    EXPECT_EQ(distances, (std::vector<float>{1.0F, 1.0F}));
    EXPECT_EQ(upper, (std::vector<float>{1.0F, 1.0F}));
    EXPECT_EQ(lower, (std::vector<float>{5.0F, 5.0F}));

    // A largest shift beyond the lower bound leaves nothing known: rescanned.
    labels = {1, 2};
    upper = {1.0F, 1.0F};
    lower = {5.0F, 5.0F};
    const std::vector<float> no_half_min = {0.0F, 0.0F, 0.0F};
    dense::assign_dense_hamerly_into(rows, centers, labels, distances, {upper, lower}, {no_half_min, still, 6.0F});
    EXPECT_EQ(labels, (std::vector<std::size_t>{0, 2}));
    EXPECT_EQ(lower[0], 1.0F);

    // k = 1: the second best never exists, and later passes only recompute.
    const std::vector<float> one_center = {3.0F};
    const auto one = matrix(one_center, 1);
    dense::assign_dense_with_second_into(rows, one, labels, distances, {upper, lower});
    EXPECT_EQ(lower, (std::vector<float>{kInf, kInf}));
    const std::vector<float> one_half_min = dense::center_half_min_distances(one);
    EXPECT_EQ(one_half_min, std::vector<float>{kInf});
    const std::vector<float> one_shift = {0.5F};
    dense::assign_dense_hamerly_into(rows, one, labels, distances, {upper, lower}, {one_half_min, one_shift, 0.5F});
    EXPECT_EQ(labels, (std::vector<std::size_t>{0, 0}));
    EXPECT_EQ(distances, (std::vector<float>{4.0F, 36.0F}));
}

TEST(DenseBoundedPasses, CenterBookkeeping) {
    const std::vector<float> line = {0.0F, 1.0F, 3.0F};
    EXPECT_EQ(dense::center_half_min_distances(matrix(line, 1)), (std::vector<float>{0.5F, 0.5F, 1.0F}));
    // A NaN center is nobody's nearest and has none itself.
    const std::vector<float> with_nan = {0.0F, kNaN, 4.0F};
    const std::vector<float> half = dense::center_half_min_distances(matrix(with_nan, 1));
    EXPECT_EQ(half[0], 2.0F);
    EXPECT_EQ(half[1], kInf);
    EXPECT_EQ(half[2], 2.0F);
    // Column-major centers give the same values as their C-order copy.
    const std::vector<float> planar = {0.0F, 3.0F, 0.0F, 4.0F};  // centers (0, 0) and (3, 4), column-major
    const array::MatrixView<const float> column_major{planar.data(), {2, 2}, {1, 2}};
    EXPECT_EQ(dense::center_half_min_distances(column_major), (std::vector<float>{2.5F, 2.5F}));
    const std::vector<float> moved = {0.0F, 0.0F, 6.0F, 8.0F};
    EXPECT_EQ(dense::center_movements_between(column_major, matrix(moved, 2)), (std::vector<float>{0.0F, 5.0F}));
}

TEST(DenseBoundedPasses, AbandoningSumIsTheBlockedSumOrStopsAtTheBound) {
    SplitMix rng(3);
    for (const std::size_t dim : {5UL, 16UL, 20UL, 37UL}) {
        const std::vector<float> a = rng.spread(dim, -3, 6, true), b = rng.spread(dim, -3, 6, true);
        float lanes[4] = {0, 0, 0, 0};
        const std::size_t blocked = dim - dim % 16;
        for (std::size_t i = 0; i < blocked; ++i) {
            const float d = a[i] - b[i];
            lanes[(i % 16) / 4] += d * d;
        }
        float want = ((lanes[0] + lanes[1]) + lanes[2]) + lanes[3];
        for (std::size_t i = blocked; i < dim; ++i) {
            want += (a[i] - b[i]) * (a[i] - b[i]);
        }
        SCOPED_TRACE(dim);
        EXPECT_EQ(dense::abandoning_l2_distance(a, b, kInf), want);
        EXPECT_EQ(dense::abandoning_l2_distance(a, b, want), std::nullopt);
        EXPECT_EQ(dense::abandoning_l2_distance(a, b, std::nextafter(want, kInf)), want);
    }
}

TEST(DenseBoundedPasses, EarlyAbandonStartsFromThePreviousLabel) {
    // Six centers in one dimension; the row sits at 10.
    const std::vector<float> row_value = {10.0F};
    const auto row = matrix(row_value, 1);
    std::vector<std::size_t> label(1);
    std::vector<float> distance(1);
    struct Case {
        const char* name;
        std::vector<float> centers;
        std::size_t entry_label;
        std::size_t want_label;
        float want_distance;
    };
    const Case cases[] = {
        {"label past k starts from k - 1", {0, 1, 2, 3, 4, 9}, 9, 5, 1.0F},
        {"a lower index at the same distance takes the label", {12, 50, 50, 50, 50, 8}, 5, 0, 4.0F},
        {"from +inf a lower +inf center takes the label", {kInf, kInf, kInf, kInf, kInf, kInf}, 4, 0, kInf},
        {"a NaN previous center is rescanned in full", {50, 13, 11, 11, 70, kNaN}, 5, 2, 1.0F},
        {"an all-NaN row ends as the plain engine leaves it", {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN}, 3, 0, kInf},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        label[0] = c.entry_label;
        dense::assign_dense_early_abandon_into(row, matrix(c.centers, 1), label, distance);
        EXPECT_EQ(label[0], c.want_label);
        EXPECT_EQ(distance[0], c.want_distance);
    }
}

// ------------------------------------------------------- engine and stop rule

TEST(DenseEngineChoice, SettingsSizesAndLayout) {
    using dense::BoundedEngine;
    struct Case {
        Env env;
        std::size_t n, k, dim;
        bool spherical, contiguous;
        const char* family;
        BoundedEngine want;
    };
    const Case cases[] = {
        {{{"TARVINEX_DENSE_HAMERLY", "auto"}}, 100000, 24, 20, false, true, "avx2", BoundedEngine::Hamerly},
        {{{"TARVINEX_DENSE_HAMERLY", "auto"}}, 100000, 25, 20, false, true, "avx2", BoundedEngine::None},
        {{{"TARVINEX_DENSE_HAMERLY", "True"}}, 10000, 100, 32, false, true, "avx2", BoundedEngine::Hamerly},
        {{{"TARVINEX_DENSE_HAMERLY", "on"}}, 1000000, 8, 4, false, true, "avx2", BoundedEngine::Hamerly},
        {{{"TARVINEX_DENSE_HAMERLY", "on"}}, 999999, 8, 4, false, true, "avx2", BoundedEngine::None},
        {{{"TARVINEX_DENSE_HAMERLY", "on"}}, 10000000, 7, 4, false, true, "avx2", BoundedEngine::None},
        {{{"TARVINEX_DENSE_HAMERLY", "on"}}, 10000000, 8, 4, true, true, "avx2", BoundedEngine::None},
        {{{"TARVINEX_DENSE_HAMERLY", "on"}}, 10000000, 8, 4, false, false, "avx2", BoundedEngine::None},
        {{{"TARVINEX_DENSE_HAMERLY", "on"}, {"TARVINEX_DENSE_EARLY_ABANDON", "1"}},
         10,
         8,
         64,
         false,
         true,
         "avx2",
         BoundedEngine::EarlyAbandon},
        {{{"TARVINEX_DENSE_EARLY_ABANDON", ""}, {"TARVINEX_DENSE_ASSIGN_BOUND", "1"}},
         10,
         8,
         64,
         false,
         true,
         "avx2",
         BoundedEngine::None},
        {{{"TARVINEX_DENSE_ASSIGN_BOUND", "bounded"}}, 10, 8, 64, false, true, "avx2", BoundedEngine::EarlyAbandon},
        {{{"TARVINEX_DENSE_EARLY_ABANDON", "auto"}}, 125000, 8, 64, false, true, "scalar", BoundedEngine::EarlyAbandon},
        {{{"TARVINEX_DENSE_EARLY_ABANDON", "auto"}}, 124999, 8, 64, false, true, "scalar", BoundedEngine::None},
        {{{"TARVINEX_DENSE_EARLY_ABANDON", "auto"}}, 1000000, 8, 64, false, true, "avx2", BoundedEngine::None},
        {{{"TARVINEX_DENSE_EARLY_ABANDON", "1"}}, 10, 8, 63, false, true, "avx2", BoundedEngine::None},
        {{{"TARVINEX_DENSE_EARLY_ABANDON", "1"}}, 10, 8, 64, false, false, "avx2", BoundedEngine::None},
        {{}, 10000000, 16, 128, false, true, "scalar", BoundedEngine::None},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(i);
        EXPECT_EQ(dense::choose_bounded_engine(c.n, c.k, c.dim, c.spherical, c.contiguous, c.family, fake_env(c.env)),
                  c.want);
    }
}

TEST(DenseEarlyStop, NeedsFourSettledEntriesAboveEpsilon) {
    struct Case {
        std::vector<double> history;
        bool stop;
    };
    const Case cases[] = {
        {{5, 5, 5}, false},        {{9, 5, 5, 5}, true},    {{9, 5.0004, 5.0002, 5.0001}, true},
        {{9, 5, 5.01, 5}, false},  {{9, 6, 5, 5}, false},   {{0, 0, 0, 0, 0}, false},
        {{-2, -2, -2, -2}, false}, {{9, 5, 5, NAN}, false}, {{9, NAN, 5, 5}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dense::dense_should_stop_early(c.history), c.stop) << testing::PrintToString(c.history);
    }
}

// ------------------------------------------------------------------- model

TEST(DenseKMeansModel, ConstructionChecksInOrder) {
    const auto message = [](auto made) { return made.has_value() ? std::string() : made.error().to_string(); };
    EXPECT_EQ(message(dense::DenseKMeans::create(0, 0, 0, false, "bogus", false, false)),
              "unsupported init 'bogus'; expected one of farthest_first, kmeans++, random");
    EXPECT_EQ(message(dense::DenseKMeans::create(0, 0, 0, false, "RANDOM", false, false)),
              "k must be greater than zero");
    EXPECT_EQ(message(dense::DenseKMeans::create(1, 0, 0, false, "Farthest_First", false, false)),
              "iterations must be greater than zero");
    const auto made = dense::DenseKMeans::create(3, 5, 11, true, "kmeans++", true, true);
    ASSERT_TRUE(made.has_value());
    EXPECT_EQ(made->init(), tarvinex::kmeans::InitMethod::KMeansPlusPlus);
    EXPECT_FALSE(made->centers().has_value());
    EXPECT_TRUE(made->labels().empty());
}

TEST(DenseKMeansModel, FitsBlobsAndTheLastEntryDescribesTheStoredCenters) {
    constexpr std::size_t n = 600, k = 5, dim = 6;
    const std::vector<float> values = blobs(n, k, dim, 1);
    const auto data = matrix(values, dim);
    for (const std::size_t iterations : {1UL, 8UL}) {
        dense::DenseKMeans m = model(k, iterations, "farthest_first");
        ASSERT_TRUE(m.fit(data, fake_env({})).has_value());
        ASSERT_EQ(m.inertia_history().size(), iterations);
        Assignment final{std::vector<std::size_t>(n), std::vector<float>(n)};
        dense::assign_dense_slices_into(data, m.centers()->view(), false, simd::slice_kernels(), 0, n, final.labels,
                                        final.distances);
        EXPECT_EQ(m.labels(), final.labels);
        EXPECT_EQ(m.inertia_history().back(), tarvinex::report::mean_distance(final.distances));
        EXPECT_EQ(*m.predict(data, fake_env({})), m.labels());
        if (iterations > 1) {
            // Farthest-first seeds one center per blob, so every blob is one cluster.
            EXPECT_LT(m.inertia_history().back(), 1.0);
        }
    }
}

TEST(DenseKMeansModel, BoundedEnginesReachThePlainFit) {
    // n*k*dim = 32,000,000 exactly: the smallest Hamerly fit.
    struct Case {
        std::size_t n, k, dim;
        Env env;
    };
    const Case cases[] = {
        {50000, 10, 64, {{"TARVINEX_DENSE_HAMERLY", "yes"}}},
        {3000, 10, 70, {{"TARVINEX_DENSE_EARLY_ABANDON", "1"}}},
    };
    for (const Case& c : cases) {
        const std::vector<float> values = blobs(c.n, 12, c.dim, c.n);
        const auto data = matrix(values, c.dim);
        dense::DenseKMeans reference = model(c.k, 6, "random"), bounded = model(c.k, 6, "random");
        ASSERT_TRUE(reference.fit(data, fake_env({})).has_value());
        ASSERT_TRUE(bounded.fit(data, fake_env(c.env)).has_value());
        EXPECT_EQ(bounded.labels(), reference.labels());
        EXPECT_EQ(bit_patterns(bounded.centers()->storage()), bit_patterns(reference.centers()->storage()));
        // Their distances may round differently, but the last entry comes from
        // the plain final assignment in both.
        EXPECT_EQ(bounded.inertia_history().back(), reference.inertia_history().back());
    }
}

TEST(DenseKMeansModel, EarlyStoppingNeedsASettledPositiveInertia) {
    // One cluster: after the first update the center is the mean and never moves.
    const std::vector<float> values = blobs(200, 3, 4, 2);
    dense::DenseKMeans one = model(1, 10, "random", true);
    ASSERT_TRUE(one.fit(matrix(values, 4), fake_env({})).has_value());
    EXPECT_EQ(one.inertia_history().size(), 4U);
    // k = n: every inertia is 0, so the fit runs all its passes.
    const std::vector<float> few = {0, 0, 1, 0, 0, 1, 5, 5};
    dense::DenseKMeans all = model(4, 6, "kmeans++", true);
    ASSERT_TRUE(all.fit(matrix(few, 2), fake_env({})).has_value());
    EXPECT_EQ(all.inertia_history(), std::vector<double>(6, 0.0));
}

TEST(DenseKMeansModel, FailuresLeaveTheModelAsItWas) {
    const std::vector<float> values = blobs(40, 2, 3, 5);
    dense::DenseKMeans m = model(4, 3);
    ASSERT_TRUE(m.fit(matrix(values, 3), fake_env({})).has_value());
    const auto labels = m.labels();
    const auto history = m.inertia_history();
    const auto centers = m.centers()->storage();

    const std::vector<float> three_rows(9, 1.0F);
    const std::vector<float> three_rows_with_nan = {1, 1, 1, 1, kNaN, 1, 1, 1, 1};
    const std::vector<float> nothing;
    // The fitted rows with one value replaced, seen in C order, column by
    // column or with the rows reversed.
    const auto poisoned = [&](std::size_t row, std::size_t column, float value, bool columns) {
        std::vector<float> out(values.size());
        for (std::size_t i = 0; i < 40; ++i) {
            for (std::size_t x = 0; x < 3; ++x) {
                out[columns ? x * 40 + i : i * 3 + x] = i == row && x == column ? value : values[i * 3 + x];
            }
        }
        return out;
    };
    const std::vector<float> nan_first = poisoned(0, 0, kNaN, false);
    const std::vector<float> inf_last = poisoned(39, 2, kInf, true);
    const std::vector<float> negative_inf_inside = poisoned(20, 1, -kInf, false);
    constexpr const char* kFinite = "input data must be finite";
    struct Case {
        array::MatrixView<const float> data;
        const char* message;
    };
    const Case cases[] = {
        {matrix(three_rows, 3), "k (4) cannot exceed number of rows (3)"},
        {matrix(three_rows_with_nan, 3), "k (4) cannot exceed number of rows (3)"},
        {matrix(nan_first, 3), kFinite},
        {{inf_last.data(), {40, 3}, {1, 40}}, kFinite},
        {{negative_inf_inside.data() + 39 * 3, {40, 3}, {-3, 1}}, kFinite},
        {array::MatrixView<const float>::c_order(nothing.data(), {0, 3}), "data must have at least one row"},
        {array::MatrixView<const float>::c_order(nothing.data(), {5, 0}), "data must have at least one column"},
    };
    // The BLAS path reads the values through the row norms it needs anyway.
    for (const auto& env : {fake_env({}), fake_env({{"TARVINEX_DENSE_ASSIGN", "sgemm"}})}) {
        for (const Case& c : cases) {
            const auto fitted = m.fit(c.data, env);
            ASSERT_FALSE(fitted.has_value());
            EXPECT_EQ(fitted.error().to_string(), c.message);
            EXPECT_EQ(m.labels(), labels);
            EXPECT_EQ(m.inertia_history(), history);
            EXPECT_EQ(m.centers()->storage(), centers);
        }
    }
    // A finite row whose squares overflow has an infinite norm, but it is no
    // non-finite input.
    std::vector<float> huge_row(40 * 3, 1.0F);
    huge_row[3] = huge_row[4] = huge_row[5] = 1e20F;
    const auto huge = m.fit(matrix(huge_row, 3), fake_env({{"TARVINEX_DENSE_ASSIGN", "sgemm"}}));
    EXPECT_TRUE(huge.has_value() || huge.error().to_string() != kFinite);
    // k = n is allowed.
    dense::DenseKMeans exact = model(3, 2);
    EXPECT_TRUE(exact.fit(matrix(std::vector<float>{0, 0, 1, 1, 2, 2}, 2), fake_env({})).has_value());
}

TEST(DenseKMeansModel, PredictAndSetCenters) {
    dense::DenseKMeans m = model(2, 3);
    const std::vector<float> rows = {0, 0, 9, 9, 1, 1};
    EXPECT_EQ(m.predict(matrix(rows, 2), fake_env({})).error().to_string(), "cluster centers are not initialized");

    const auto set = [&](std::vector<float> values, array::Shape<2> shape) {
        return m.set_centers(array::Matrix<float>(std::move(values), shape));
    };
    EXPECT_EQ(set({1, 2, 3}, {1, 3}).error().to_string(), "expected 2 centers, got 1");
    EXPECT_EQ(set({}, {2, 0}).error().to_string(), "centers must have at least one column");
    ASSERT_TRUE(set({0, 0, 10, 10}, {2, 2}).has_value());
    EXPECT_EQ(*m.predict(matrix(rows, 2), fake_env({})), (std::vector<std::size_t>{0, 1, 0}));
    EXPECT_EQ(m.predict(matrix(std::vector<float>{1, 2, 3}, 3), fake_env({})).error().to_string(),
              "expected 2 columns, got 3");
    EXPECT_TRUE(m.predict(array::MatrixView<const float>::c_order(rows.data(), {0, 2}), fake_env({}))->empty());
    EXPECT_TRUE(m.labels().empty());
    // Any width is accepted; a later predict compares with it.
    ASSERT_TRUE(set({1, 2, 3, 4, 5, 6}, {2, 3}).has_value());

    // Spherical: column-major centers are made C order and unit rows.
    dense::DenseKMeans s = model(2, 3, "kmeans++", false, true);
    ASSERT_TRUE(s.set_centers(array::Matrix<float>({3, 0, 4, 2}, {2, 2}, {1, 2})).has_value());
    EXPECT_TRUE(s.centers()->is_c_contiguous());
    EXPECT_EQ(s.centers()->storage(), (std::vector<float>{0.6F, 0.8F, 0.0F, 1.0F}));
}

}  // namespace
