// The candidate-k analysis: the choice rules and their tie directions, the
// summary pass on both of its paths, and the analysis' candidate list,
// measures at the extremes and error order. The measures themselves are
// recomputed in NumPy by the Python tests.

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "autok/autok.hpp"
#include "autok/candidate_measures.hpp"
#include "pqkmeans/pqkmeans.hpp"
#include "testing.hpp"

namespace {

namespace autok = tarvinex::autok;
namespace array = tarvinex::array;
using autok::AutoKMethod;
using tarvinex::test::bit_patterns;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInfD = std::numeric_limits<double>::infinity();

TEST(AutoKMethod, ParsesOnlyTheExactSpellings) {
    for (const AutoKMethod method : autok::kAllMethods) {
        const auto parsed = autok::parse_method(autok::method_name(method));
        ASSERT_TRUE(parsed.has_value());
        EXPECT_EQ(*parsed, method);
    }
    for (const std::string text : {"BIC", " bic", "bic ", "davies-bouldin", "", "elbow\n"}) {
        const auto parsed = autok::parse_method(text);
        ASSERT_FALSE(parsed.has_value()) << text;
        EXPECT_EQ(parsed.error().to_string(), "unsupported auto_k_method '" + text +
                                                  "'; expected one of bic, davies_bouldin, centroid_silhouette, elbow");
    }
}

TEST(AutoKSelect, RulesTheirTiesAndFallbacks) {
    struct Case {
        const char* name;
        AutoKMethod method;
        std::vector<double> scores;
        std::vector<double> inertia;
        std::size_t index;
    };
    const Case cases[] = {
        {"largest bic, later wins ties", AutoKMethod::Bic, {-10, -5, -5}, {1, 1, 1}, 2},
        {"smallest davies-bouldin, earlier wins, NaN skipped",
         AutoKMethod::DaviesBouldin,
         {kNaN, 0.4, 0.4},
         {1, 1, 1},
         1},
        {"a lone NaN davies-bouldin falls back to inertia", AutoKMethod::DaviesBouldin, {kNaN}, {2}, 0},
        {"all-zero elbow picks the last", AutoKMethod::Elbow, {0, 0}, {3, 1}, 1},
        {"+0 ranks above -0", AutoKMethod::CentroidSilhouette, {0.0, -0.0}, {1, 1}, 0},
        {"-0 ranks below +0", AutoKMethod::DaviesBouldin, {0.0, -0.0}, {1, 1}, 1},
        {"infinities are skipped", AutoKMethod::Bic, {kInfD, -3, -kInfD}, {1, 1, 1}, 1},
        {"no finite score: smallest finite inertia, earlier wins",
         AutoKMethod::Bic,
         {-kInfD, -kInfD, kNaN},
         {kNaN, 0.5, 0.5},
         1},
        {"nothing finite at all: position 0", AutoKMethod::Elbow, {kNaN, kNaN}, {kInfD, kNaN}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        autok::AutoKAnalysis analysis;
        for (std::size_t i = 0; i < c.scores.size(); ++i) {
            analysis.candidate_ks.push_back(10 * (i + 1));
        }
        analysis.inertia = c.inertia;
        analysis.bic = analysis.davies_bouldin = analysis.centroid_silhouette = analysis.elbow =
            std::vector<double>(c.scores.size(), kNaN);
        switch (c.method) {
            case AutoKMethod::Bic:
                analysis.bic = c.scores;
                break;
            case AutoKMethod::DaviesBouldin:
                analysis.davies_bouldin = c.scores;
                break;
            case AutoKMethod::CentroidSilhouette:
                analysis.centroid_silhouette = c.scores;
                break;
            case AutoKMethod::Elbow:
                analysis.elbow = c.scores;
                break;
        }
        const auto selection = analysis.select(c.method);
        ASSERT_TRUE(selection.has_value());
        EXPECT_EQ(selection->selected_index, c.index);
        EXPECT_EQ(selection->selected_k, 10 * (c.index + 1));
        EXPECT_EQ(selection->selected_method, c.method);
    }
    const auto empty = autok::AutoKAnalysis{}.select(AutoKMethod::Bic);
    ASSERT_FALSE(empty.has_value());
    EXPECT_EQ(empty.error().to_string(), "candidate_ks must not be empty");
}

struct SummaryProblem {
    std::size_t m_count, ks, n, k;
    std::vector<float> distances;
    std::vector<std::uint8_t> codes;
    std::vector<std::uint8_t> centers;

    SummaryProblem(std::size_t m, std::size_t ks_, std::size_t rows, std::size_t centers_count, std::uint64_t seed)
        : m_count(m), ks(ks_), n(rows), k(centers_count) {
        tarvinex::test::SplitMix rng(seed);
        distances = tarvinex::pqkmeans::compute_codeword_distances(tarvinex::test::spread_codebook(m, ks, 3).view());
        codes = rng.codes(n * m, ks);
        centers = rng.codes(k * m, ks);
        // Two equal centers, so the second-best can equal the best.
        for (std::size_t s = 0; s < m; ++s) {
            centers[(k - 1) * m + s] = centers[s];
        }
    }
    [[nodiscard]] autok::AssignmentSummary run(std::size_t budget) const {
        return autok::summarize_assignments(
            array::MatrixView<const std::uint8_t>::c_order(codes.data(), {n, m_count}),
            array::MatrixView<const std::uint8_t>::c_order(centers.data(), {k, m_count}), distances, ks, budget);
    }
};

TEST(AutoKSummary, TableAndDirectSumsAgreeWithABruteForceScan) {
    for (const auto& [m, ks, n, k] :
         {std::array<std::size_t, 4>{3, 7, 300, 1}, std::array<std::size_t, 4>{4, 16, 600, 9},
          std::array<std::size_t, 4>{2, 256, 257, 33}}) {
        SCOPED_TRACE("M " + std::to_string(m) + ", Ks " + std::to_string(ks) + ", k " + std::to_string(k));
        const SummaryProblem p(m, ks, n, k, m + k);
        const autok::AssignmentSummary with_table = p.run(std::size_t{1} << 30);
        const autok::AssignmentSummary direct = p.run(0);
        EXPECT_EQ(with_table.labels, direct.labels);
        EXPECT_EQ(bit_patterns(with_table.nearest), bit_patterns(direct.nearest));
        EXPECT_EQ(bit_patterns(with_table.second), bit_patterns(direct.second));
        for (std::size_t i = 0; i < n; ++i) {
            std::vector<float> totals(k);
            for (std::size_t j = 0; j < k; ++j) {
                float total = p.distances[p.codes[i * m] * ks + p.centers[j * m]];
                for (std::size_t s = 1; s < m; ++s) {
                    total = total + p.distances[(s * ks + p.codes[i * m + s]) * ks + p.centers[j * m + s]];
                }
                totals[j] = total;
            }
            std::vector<float> sorted = totals;
            std::sort(sorted.begin(), sorted.end());
            const std::size_t label =
                static_cast<std::size_t>(std::find(totals.begin(), totals.end(), sorted[0]) - totals.begin());
            ASSERT_EQ(direct.labels[i], label);
            ASSERT_EQ(direct.nearest[i], sorted[0]);
            // The duplicate of center 0 makes the second equal the best for rows nearest to it.
            ASSERT_EQ(direct.second[i], k == 1 ? tarvinex::test::kInf : sorted[1]);
        }
    }
}

/// (n, M) codes whose rows are pairwise distinct, with codebooks to match.
struct AnalysisProblem {
    array::Codebook<float> codewords = tarvinex::test::spread_codebook(3, 8, 2);
    std::vector<std::uint8_t> codes;
    std::size_t n = 0;

    explicit AnalysisProblem(std::size_t rows) : n(rows) {
        for (std::size_t i = 0; i < rows; ++i) {
            codes.push_back(static_cast<std::uint8_t>(i % 8));
            codes.push_back(static_cast<std::uint8_t>((i / 8) % 8));
            codes.push_back(static_cast<std::uint8_t>((i / 64) % 8));
        }
    }
    [[nodiscard]] tarvinex::error::Result<autok::AutoKAnalysis> analyze(std::vector<std::size_t> ks,
                                                                        std::size_t iterations = 5,
                                                                        std::size_t sample_rows = 0) const {
        return autok::analyze_k_candidates(codewords,
                                           array::MatrixView<const std::uint8_t>::c_order(codes.data(), {n, 3}), ks,
                                           iterations, 11, false, std::size_t{1} << 30, sample_rows);
    }
};

TEST(AutoKAnalysis, KeepsTheCandidatesWithinTheSampleOnceEachAscending) {
    const AnalysisProblem p(200);
    const auto analysis = p.analyze({5, 0, 3, 5, 1000000000});
    ASSERT_TRUE(analysis.has_value());
    EXPECT_EQ(analysis->candidate_ks, (std::vector<std::size_t>{3, 5}));
    EXPECT_EQ(analysis->sample_size, 200U);
    for (const auto* list : {&analysis->inertia, &analysis->bic, &analysis->davies_bouldin,
                             &analysis->centroid_silhouette, &analysis->elbow}) {
        EXPECT_EQ(list->size(), 2U);
    }
    EXPECT_EQ(analysis->elbow, (std::vector<double>{0.0, 0.0}));

    const auto sampled = p.analyze({3, 5}, 5, 150);
    ASSERT_TRUE(sampled.has_value());
    EXPECT_EQ(sampled->sample_size, 150U);
}

TEST(AutoKAnalysis, MeasuresAtOneClusterAndAtOneRowPerCluster) {
    const AnalysisProblem p(64);
    const auto analysis = p.analyze({1, 2, 64});
    ASSERT_TRUE(analysis.has_value());
    EXPECT_TRUE(std::isnan(analysis->davies_bouldin[0]));
    EXPECT_EQ(analysis->centroid_silhouette[0], 0.0);
    EXPECT_EQ(analysis->min_cluster_size[0], 64U);
    EXPECT_EQ(analysis->max_cluster_size[0], 64U);
    // Every row its own center: nothing left within the clusters.
    EXPECT_EQ(analysis->inertia[2], 0.0);
    EXPECT_EQ(analysis->min_cluster_size[2], 1U);
    EXPECT_EQ(analysis->max_cluster_size[2], 1U);
    EXPECT_EQ(analysis->elbow.front(), 0.0);
    EXPECT_EQ(analysis->elbow.back(), 0.0);
}

TEST(AutoKAnalysis, RefusesInTheirOrder) {
    const AnalysisProblem p(20);
    const auto text = [](const tarvinex::error::Result<autok::AutoKAnalysis>& result) {
        return result ? std::string("success") : result.error().to_string();
    };
    EXPECT_EQ(text(p.analyze({}, 0)), "iterations must be greater than zero");
    EXPECT_EQ(
        text(autok::analyze_k_candidates(p.codewords, array::MatrixView<const std::uint8_t>::c_order(nullptr, {0, 3}),
                                         std::vector<std::size_t>{}, 5, 0, false, 1024, 0)),
        "codes must contain at least one row");
    EXPECT_EQ(text(p.analyze({0, 21})),
              "candidate_ks must contain at least one value between 1 and the sampled row count");
    EXPECT_EQ(text(autok::analyze_k_candidates(array::Codebook<float>(array::Shape<3>{3, 0, 2}),
                                               array::MatrixView<const std::uint8_t>::c_order(p.codes.data(), {20, 3}),
                                               std::vector<std::size_t>{2}, 5, 0, false, 1024, 0)),
              "codewords must have shape (M, Ks, Ds)");
    // Finite codewords after the candidates and the shape, before the codes' values.
    array::Codebook<float> with_nan = p.codewords;
    with_nan.view()(2, 7, 1) = tarvinex::test::kNaN;
    std::vector<std::uint8_t> beyond_ks = p.codes;
    beyond_ks[7] = 9;
    const auto analyze = [&](const array::Codebook<float>& codewords, const std::vector<std::uint8_t>& codes,
                             std::vector<std::size_t> ks) {
        return text(autok::analyze_k_candidates(codewords,
                                                array::MatrixView<const std::uint8_t>::c_order(codes.data(), {20, 3}),
                                                ks, 5, 0, false, 1024, 0));
    };
    EXPECT_EQ(analyze(with_nan, p.codes, {0, 21}),
              "candidate_ks must contain at least one value between 1 and the sampled row count");
    EXPECT_EQ(analyze(with_nan, beyond_ks, {2}), "codewords must be finite");
    array::Codebook<float> with_inf = p.codewords;
    with_inf.view()(0, 0, 0) = -tarvinex::test::kInf;
    EXPECT_EQ(analyze(with_inf, p.codes, {2, 3}), "codewords must be finite");

    // Codes of Ks or more: refused once for the sample, or by each fit's
    // packer for 16 codewords; the first candidate error fails the analysis.
    std::vector<std::uint8_t> codes = p.codes;
    codes[7] = 9;
    for (const auto& [ks, message] :
         {std::pair<std::size_t, const char*>{8, "code values must be below codebook_size"},
          std::pair<std::size_t, const char*>{16, "PQ4 packing requires codebook_size <= 16"}}) {
        SCOPED_TRACE(ks);
        std::vector<std::uint8_t> wide = codes;
        if (ks == 16) {
            wide[7] = 17;
        }
        EXPECT_EQ(text(autok::analyze_k_candidates(tarvinex::test::spread_codebook(3, ks, 2),
                                                   array::MatrixView<const std::uint8_t>::c_order(wide.data(), {20, 3}),
                                                   std::vector<std::size_t>{2, 3, 4}, 5, 0, false, 1024, 0)),
                  message);
    }
}

TEST(AutoKAnalysis, ASiblingsFailureStopsAFitAtAPassBoundaryAndKeepsTheModel) {
    const AnalysisProblem p(40);
    auto model = tarvinex::pqkmeans::PqKMeans::with_codeword_distances_and_options(
        p.codewords,
        std::make_shared<const std::vector<float>>(tarvinex::pqkmeans::compute_codeword_distances(p.codewords.view())),
        std::nullopt, 4, 5, 0, false, 1024, tarvinex::pqkmeans::InitMethod::FarthestFirst, false, false);
    ASSERT_TRUE(model.has_value());
    const auto codes = array::MatrixView<const std::uint8_t>::c_order(p.codes.data(), {p.n, 3});
    ASSERT_TRUE(model->fit(codes));
    const std::vector<double> history = model->inertia_history();
    const std::vector<std::size_t> labels = model->labels();

    const std::atomic<bool> stop{true};
    const auto stopped = model->fit(codes, tarvinex::settings::process_lookup(), &stop);
    ASSERT_FALSE(stopped.has_value());
    EXPECT_EQ(stopped.error().to_string(), "fit stopped before it finished");
    EXPECT_EQ(model->inertia_history(), history);
    EXPECT_EQ(model->labels(), labels);
}

}  // namespace
