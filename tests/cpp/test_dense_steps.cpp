// Dense k-means steps: the initial centers (candidate count and sample,
// k-means++, farthest-first, random) and their settings.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "array/array.hpp"
#include "dense/dense.hpp"
#include "parallel/pool.hpp"
#include "rng/index_sample.hpp"
#include "rng/proportional_draw.hpp"
#include "rng/seeded_rng.hpp"
#include "testing.hpp"

namespace {

namespace array = tarvinex::array;
namespace dense = tarvinex::dense;
namespace rng = tarvinex::rng;
using Env = std::map<std::string, std::string>;
using tarvinex::pqkmeans::InitMethod;
using tarvinex::test::bit_patterns;
using tarvinex::test::bits;
using tarvinex::test::fake_env;
using tarvinex::test::kInf;
using tarvinex::test::kNaN;
using tarvinex::test::SplitMix;

constexpr InitMethod kMethods[] = {InitMethod::FarthestFirst, InitMethod::KMeansPlusPlus, InitMethod::Random};
constexpr InitMethod kCandidateMethods[] = {InitMethod::FarthestFirst, InitMethod::KMeansPlusPlus};

array::MatrixView<const float> matrix(const std::vector<float>& values, std::size_t dim) {
    return array::MatrixView<const float>::c_order(values.data(), {values.size() / dim, dim});
}

dense::DenseInitSettings no_settings() { return dense::read_dense_init_settings(fake_env({})); }

/// The data rows each center equals; -1 where a center is no row.
std::vector<long> rows_of(const array::Matrix<float>& centers, array::MatrixView<const float> data) {
    std::vector<long> rows;
    for (std::size_t j = 0; j < centers.extent(0); ++j) {
        long found = -1;
        for (std::size_t i = 0; i < data.shape[0] && found < 0; ++i) {
            bool same = true;
            for (std::size_t x = 0; x < data.shape[1]; ++x) {
                same = same && centers.view()(j, x) == data(i, x);
            }
            found = same ? static_cast<long>(i) : -1;
        }
        rows.push_back(found);
    }
    return rows;
}

/// The chosen rows by the documented rule, with every distance recomputed
/// from scratch against every chosen row.
std::vector<std::size_t> reference_choice(array::MatrixView<const float> data, std::size_t k, std::uint64_t seed,
                                          InitMethod init) {
    const std::vector<std::size_t> candidates =
        dense::initialization_candidate_rows(data.shape[0], k, seed, no_settings());
    rng::SeededRng draws = rng::SeededRng::seed_from_u64(seed);
    std::vector<std::size_t> chosen{candidates[0]};
    std::vector<bool> used(candidates.size(), false);
    used[0] = true;
    while (chosen.size() < k) {
        std::vector<float> minimum(candidates.size(), kInf);
        for (std::size_t p = 0; p < candidates.size(); ++p) {
            for (const std::size_t c : chosen) {
                float d = 0.0F;
                for (std::size_t x = 0; x < data.shape[1]; ++x) {
                    const float diff = data(candidates[p], x) - data(c, x);
                    d = d + diff * diff;
                }
                minimum[p] = d < minimum[p] ? d : minimum[p];
            }
            minimum[p] = used[p] ? -1.0F : minimum[p];
        }
        std::size_t p = 0;
        const auto drawn = init == InitMethod::KMeansPlusPlus ? rng::proportional_draw(draws, minimum)
                                                              : std::unexpected(rng::NoDraw::TooLittleWeight);
        if (drawn) {
            p = *drawn;
        } else {
            p = *dense::farthest_candidate(minimum);
        }
        used[p] = true;
        chosen.push_back(candidates[p]);
    }
    return chosen;
}

TEST(DenseInitialCenters, CandidateCountFromSizesAndSettings) {
    struct Case {
        Env env;
        std::size_t n;
        std::size_t k;
        std::size_t expected;
    };
    const std::vector<Case> cases = {
        {{}, 1'000'000, 100, 25'600},
        {{}, 1'000'000, 10, 16'384},
        {{}, 1'000'000, 1000, 65'536},
        {{}, 5'000, 10, 5'000},
        {{}, 5'000, 5'000, 5'000},
        {{}, 0, 1, 0},
        {{{"TARVINEX_DENSE_INIT_SAMPLE_ROWS", "10"}}, 1000, 50, 50},
        {{{"TARVINEX_DENSE_INIT_SAMPLE_ROWS", "+700"}}, 1000, 50, 700},
        {{{"TARVINEX_DENSE_INIT_SAMPLE_ROWS", "5000"}}, 1000, 50, 1000},
        {{{"TARVINEX_DENSE_INIT_SAMPLE_ROWS", "0"}}, 1'000'000, 100, 25'600},
        {{{"TARVINEX_DENSE_INIT_SAMPLE_ROWS", "ten"}}, 1'000'000, 100, 25'600},
        {{{"TARVINEX_DENSE_INIT_MAX_SAMPLE_ROWS", "1000"}, {"TARVINEX_DENSE_INIT_MIN_SAMPLE_ROWS", "5000"}},
         1'000'000,
         10,
         5'000},
        {{{"TARVINEX_DENSE_INIT_MIN_SAMPLE_ROWS", "0"}, {"TARVINEX_DENSE_INIT_MAX_SAMPLE_ROWS", "0"}},
         1'000'000,
         10,
         16'384},
        {{{"TARVINEX_DENSE_INIT_ROWS_PER_CENTER", "1"}, {"TARVINEX_DENSE_INIT_MIN_SAMPLE_ROWS", "1"}},
         1'000'000,
         300,
         300},
        {{{"TARVINEX_DENSE_INIT_ROWS_PER_CENTER", "9223372036854775808"}}, 1'000'000, 4, 65'536},
    };
    for (const Case& c : cases) {
        const dense::DenseInitSettings settings = dense::read_dense_init_settings(fake_env(c.env));
        EXPECT_EQ(dense::initialization_candidate_count(c.n, c.k, settings), c.expected)
            << "n=" << c.n << " k=" << c.k << " env entries=" << c.env.size();
    }
}

TEST(DenseInitialCenters, CandidatesAreTheSeededIndexSampleOfTheirCount) {
    for (const std::size_t sample_rows : {std::size_t{40}, std::size_t{300}, std::size_t{1000}}) {
        const dense::DenseInitSettings settings = dense::read_dense_init_settings(
            fake_env({{"TARVINEX_DENSE_INIT_SAMPLE_ROWS", std::to_string(sample_rows)}}));
        rng::SeededRng generator = rng::SeededRng::seed_from_u64(77);
        const std::vector<std::uint64_t> sample = rng::index::sample(generator, 1000, sample_rows);
        EXPECT_EQ(dense::initialization_candidate_rows(1000, 20, 77, settings),
                  std::vector<std::size_t>(sample.begin(), sample.end()));
    }
}

TEST(DenseInitialCenters, CandidateMethodsFollowTheRuleOnAnyLayoutAndWorkerCount) {
    SplitMix mix(5);
    const std::size_t n = 300;
    const std::size_t dim = 5;
    const std::vector<float> values = mix.integers(n * dim, -20, 20);
    // The same matrix stored column-major: a strided view of it.
    std::vector<float> columns(n * dim);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t x = 0; x < dim; ++x) {
            columns[x * n + i] = values[i * dim + x];
        }
    }
    const array::MatrixView<const float> strided{columns.data(), {n, dim}, {1, static_cast<std::ptrdiff_t>(n)}};
    for (const InitMethod init : kCandidateMethods) {
        for (const std::uint64_t seed : {0ULL, 9ULL}) {
            const std::vector<std::size_t> expected = reference_choice(matrix(values, dim), 12, seed, init);
            const auto all = dense::initial_centers(matrix(values, dim), 12, seed, init, false, no_settings());
            ASSERT_TRUE(all.has_value());
            const auto from_strided = dense::initial_centers(strided, 12, seed, init, false, no_settings());
            const tarvinex::parallel::WorkerLimit one(1);
            const auto serial = dense::initial_centers(matrix(values, dim), 12, seed, init, false, no_settings());
            EXPECT_EQ(all->storage(), from_strided->storage());
            EXPECT_EQ(all->storage(), serial->storage());
            for (std::size_t j = 0; j < expected.size(); ++j) {
                for (std::size_t x = 0; x < dim; ++x) {
                    EXPECT_EQ(all->view()(j, x), values[expected[j] * dim + x]) << "center " << j;
                }
            }
        }
    }
}

TEST(DenseInitialCenters, KEqualToOneOrToNAndRandomAsAnIndexSample) {
    SplitMix mix(8);
    const std::vector<float> values = mix.spread(40 * 3, -2, 6, true);
    const auto data = matrix(values, 3);
    const std::size_t first_candidate = dense::initialization_candidate_rows(40, 1, 3, no_settings())[0];
    const auto sample_of = [](std::size_t amount) {
        rng::SeededRng generator = rng::SeededRng::seed_from_u64(3);
        return rng::index::sample(generator, 40, amount);
    };
    const std::vector<std::uint64_t> sample = sample_of(7);
    for (const InitMethod init : kMethods) {
        const auto one = dense::initial_centers(data, 1, 3, init, false, no_settings());
        EXPECT_EQ(rows_of(*one, data),
                  std::vector<long>{static_cast<long>(init == InitMethod::Random ? sample_of(1)[0] : first_candidate)});
        const auto every = dense::initial_centers(data, 40, 3, init, false, no_settings());
        std::vector<long> rows = rows_of(*every, data);
        std::sort(rows.begin(), rows.end());
        for (long i = 0; i < 40; ++i) {
            EXPECT_EQ(rows[static_cast<std::size_t>(i)], i);
        }
    }
    const auto random = dense::initial_centers(data, 7, 3, InitMethod::Random, false, no_settings());
    EXPECT_EQ(rows_of(*random, data), std::vector<long>(sample.begin(), sample.end()));
}

TEST(DenseInitialCenters, IdenticalRowsFallBackToTheLastUnchosenCandidate) {
    // Every row equal except a column that only tells the rows apart; that column
    // is not part of the view, so every distance is 0.
    std::vector<float> values;
    for (std::size_t i = 0; i < 30; ++i) {
        values.insert(values.end(), {1.5F, -2.0F, static_cast<float>(i)});
    }
    const array::MatrixView<const float> data{values.data(), {30, 2}, {3, 1}};
    const std::vector<std::size_t> candidates = dense::initialization_candidate_rows(30, 6, 21, no_settings());
    for (const InitMethod init : kCandidateMethods) {
        const std::vector<std::size_t> chosen = reference_choice(data, 6, 21, init);
        EXPECT_EQ(chosen, (std::vector<std::size_t>{candidates[0], candidates[29], candidates[28], candidates[27],
                                                    candidates[26], candidates[25]}));
        const auto centers = dense::initial_centers(data, 6, 21, init, false, no_settings());
        ASSERT_TRUE(centers.has_value());
        for (std::size_t j = 0; j < 6; ++j) {
            EXPECT_EQ(centers->view()(j, 0), 1.5F);
            EXPECT_EQ(centers->view()(j, 1), -2.0F);
        }
    }
}

TEST(DenseInitialCenters, KMeansPlusPlusNeverDrawsADuplicateWhilePositiveDistanceRemains) {
    // 30 copies of one row and 10 distinct others: 11 centers must be 11 values.
    std::vector<float> values;
    for (std::size_t i = 0; i < 40; ++i) {
        const float v = i < 30 ? 0.0F : static_cast<float>(i);
        values.insert(values.end(), {v, v * 0.5F});
    }
    for (std::uint64_t seed = 0; seed < 20; ++seed) {
        const auto centers =
            dense::initial_centers(matrix(values, 2), 11, seed, InitMethod::KMeansPlusPlus, false, no_settings());
        std::set<float> firsts;
        for (std::size_t j = 0; j < 11; ++j) {
            firsts.insert(centers->view()(j, 0));
        }
        EXPECT_EQ(firsts.size(), 11U) << "seed " << seed;
    }
}

TEST(DenseInitialCenters, FarthestCandidateRule) {
    struct Case {
        std::vector<float> minimum;
        std::optional<std::size_t> expected;
    };
    const std::vector<Case> cases = {
        {{3.0F, 5.0F, 5.0F, 1.0F}, 2},                                        // ties go to the later position
        {{-1.0F, 0.0F, -0.0F, -1.0F}, 1},                                     // +0 ranks above -0
        {{-0.0F, -1.0F, -0.0F}, 2},          {{kNaN, kInf, 2.0F, -1.0F}, 2},  // NaN and infinities are not eligible
        {{kNaN, kInf, -1.0F}, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dense::farthest_candidate(c.minimum), c.expected);
    }
}

TEST(DenseInitialCenters, NaNInTheFirstCandidateFailsToChooseACenter) {
    std::vector<float> values = SplitMix(4).integers(50 * 2, -9, 9);
    const std::size_t first = dense::initialization_candidate_rows(50, 2, 6, no_settings())[0];
    values[first * 2 + 1] = kNaN;
    for (const InitMethod init : kCandidateMethods) {
        const auto centers = dense::initial_centers(matrix(values, 2), 2, 6, init, false, no_settings());
        ASSERT_FALSE(centers.has_value());
        EXPECT_EQ(centers.error().to_string(), "failed to choose an initial cluster center");
    }
    EXPECT_TRUE(dense::initial_centers(matrix(values, 2), 2, 6, InitMethod::Random, false, no_settings()));
}

TEST(DenseInitialCenters, AnOversizedCenterMatrixIsBadAlloc) {
    const float one = 1.0F;
    const std::size_t huge = std::size_t{1} << 40;
    const array::MatrixView<const float> data{&one, {huge, std::size_t{1} << 30}, {0, 0}};
    for (const InitMethod init : kMethods) {
        EXPECT_THROW((void)dense::initial_centers(data, huge, 1, init, false, no_settings()), std::bad_alloc);
    }
}

TEST(DenseNormalize, RowsBecomeUnitVectorsByDivision) {
    struct Case {
        std::vector<float> row;
        std::vector<float> expected;
    };
    const std::vector<Case> cases = {
        {{3.0F, 4.0F}, {0.6F, 0.8F}},   {{2.0F, 3.0F, 6.0F}, {2.0F / 7.0F, 3.0F / 7.0F, 6.0F / 7.0F}},
        {{0.0F, -0.0F}, {0.0F, -0.0F}}, {{1e-8F, -1e-8F}, {1e-8F, -1e-8F}},  // norm at most the epsilon: unchanged
        {{kNaN, 1.0F}, {kNaN, kNaN}},   {{kInf, 1.0F}, {kNaN, 0.0F}},        // not finite: the plain arithmetic
    };
    const auto same = [](float a, float b) { return (std::isnan(a) && std::isnan(b)) || bits(a) == bits(b); };
    for (const Case& c : cases) {
        std::vector<float> row = c.row;
        dense::normalize_center_rows(array::MatrixView<float>::c_order(row.data(), {1, row.size()}));
        for (std::size_t x = 0; x < row.size(); ++x) {
            EXPECT_TRUE(same(row[x], c.expected[x])) << "first value " << c.row[0] << " got " << row[x];
        }
    }
    // Division, not multiplication by the reciprocal: they differ here.
    EXPECT_NE(3.0F / 7.0F, 3.0F * (1.0F / 7.0F));
}

TEST(DenseNormalize, FiniteRowsWhoseSquaresOverflowComeOutAsTheScaledDownRowWould) {
    constexpr float kMax = std::numeric_limits<float>::max();
    struct Case {
        std::vector<float> row;
        int scale;  ///< a power of two that brings the norm into (1, 2^64)
    };
    const std::vector<Case> cases = {{{3e38F, -3e38F}, -100},
                                     {{1.5e19F, 1.5e19F, -7.0F}, -40},
                                     {{kMax, 0.0F, 0.0F}, -100},
                                     {{kMax, kMax, 1e30F, -2.5e37F}, -120}};
    for (const auto& [original, scale] : cases) {
        std::vector<float> row = original;
        dense::normalize_center_rows(array::MatrixView<float>::c_order(row.data(), {1, row.size()}));
        // Scaling by a power of two is exact, so the row scaled into range has
        // the same unit vector by the plain arithmetic.
        std::vector<float> scaled;
        for (const float x : original) {
            scaled.push_back(std::ldexp(x, scale));
        }
        dense::normalize_center_rows(array::MatrixView<float>::c_order(scaled.data(), {1, scaled.size()}));
        EXPECT_EQ(bit_patterns(row), bit_patterns(scaled)) << "first value " << original[0];
        float s = 0.0F;
        for (const float x : row) {
            s = s + x * x;
        }
        EXPECT_NEAR(s, 1.0F, 1e-6F);
    }
}

TEST(DenseNormalize, SphericalInitialCentersAreUnitRowsOrZero) {
    std::vector<float> values = {0.0F, 0.0F, 3.0F, 4.0F, -6.0F, 8.0F};
    const auto centers = dense::initial_centers(matrix(values, 2), 3, 2, InitMethod::Random, true, no_settings());
    std::multiset<std::vector<float>> rows;
    for (std::size_t j = 0; j < 3; ++j) {
        rows.insert({centers->view()(j, 0), centers->view()(j, 1)});
    }
    EXPECT_EQ(rows, (std::multiset<std::vector<float>>{{0.0F, 0.0F}, {0.6F, 0.8F}, {-0.6F, 0.8F}}));
}

}  // namespace
