// Dense k-means steps: the initial centers (candidate count and sample,
// k-means++, farthest-first, random) and their settings, the unit-normalised
// rows, and the center update in both forms against a reference summed in
// the documented order, with the refill of empty clusters.
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
#include "simd/slice_kernels.hpp"
#include "testing.hpp"

namespace {

namespace array = tarvinex::array;
namespace dense = tarvinex::dense;
namespace rng = tarvinex::rng;
using Env = std::map<std::string, std::string>;
using tarvinex::kmeans::InitMethod;
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

// ------------------------------------------------------------- center update

/// Means of the members: per chunk of `chunk_rows` rows a row-order sum from
/// 0, the chunk sums added in chunk order from 0, times 1/count. chunk_rows = n
/// is the plain row-order sum of the sharded form. No refill.
std::vector<float> reference_means(const std::vector<float>& values, std::size_t dim,
                                   const std::vector<std::size_t>& labels, std::size_t k, std::size_t chunk_rows,
                                   std::vector<float> centers) {
    const std::size_t n = labels.size();
    std::vector<float> sums(k * dim, 0.0F);
    std::vector<std::size_t> counts(k, 0);
    for (std::size_t begin = 0; begin < n; begin += chunk_rows) {
        std::vector<float> chunk(k * dim, 0.0F);
        for (std::size_t i = begin; i < std::min(n, begin + chunk_rows); ++i) {
            counts[labels[i]] += 1;
            for (std::size_t x = 0; x < dim; ++x) {
                chunk[labels[i] * dim + x] = chunk[labels[i] * dim + x] + values[i * dim + x];
            }
        }
        for (std::size_t e = 0; e < sums.size(); ++e) {
            sums[e] = sums[e] + chunk[e];
        }
    }
    for (std::size_t j = 0; j < k; ++j) {
        for (std::size_t x = 0; x < dim && counts[j] > 0; ++x) {
            centers[j * dim + x] = sums[j * dim + x] * (1.0F / static_cast<float>(counts[j]));
        }
    }
    return centers;
}

std::vector<float> updated(const std::vector<float>& values, std::size_t dim, bool strided,
                           const std::vector<std::size_t>& labels, std::vector<float> centers,
                           dense::DenseUpdateScratch& scratch, dense::DenseUpdateMode mode) {
    const std::size_t n = labels.size();
    const std::size_t k = centers.size() / dim;
    // Strided: the same values every other float of a wider buffer.
    std::vector<float> wide(2 * values.size());
    for (std::size_t e = 0; e < values.size(); ++e) {
        wide[2 * e] = values[e];
    }
    const array::MatrixView<const float> data =
        strided ? array::MatrixView<const float>{wide.data(), {n, dim}, {static_cast<std::ptrdiff_t>(2 * dim), 2}}
                : matrix(values, dim);
    const std::vector<float> distances(n, 1.0F);
    dense::update_centers(data, labels, distances, array::MatrixView<float>::c_order(centers.data(), {k, dim}), scratch,
                          mode);
    return centers;
}

TEST(DenseUpdate, ModeSizeRuleAndChunkRowsTable) {
    using Mode = dense::DenseUpdateMode;
    const std::vector<std::pair<Env, Mode>> words = {
        {{}, Mode::Auto},
        {{{"TARVINEX_DENSE_UPDATE", ""}}, Mode::Auto},
        {{{"TARVINEX_DENSE_UPDATE", "Adaptive"}}, Mode::Auto},
        {{{"TARVINEX_DENSE_UPDATE", "SHARDED"}}, Mode::Sharded},
        {{{"TARVINEX_DENSE_UPDATE", "sha-r_d"}}, Mode::Sharded},
        {{{"TARVINEX_DENSE_UPDATE", "centroid"}}, Mode::Sharded},
        {{{"TARVINEX_DENSE_UPDATE", "chunked"}}, Mode::Chunked},
        {{{"TARVINEX_DENSE_UPDATE", "shardd"}}, Mode::Chunked},
        {{{"TARVINEX_DENSE_UPDATE", " auto"}}, Mode::Chunked},
    };
    for (const auto& [env, mode] : words) {
        EXPECT_EQ(dense::read_dense_update_mode(fake_env(env)), mode);
    }
    EXPECT_EQ(dense::dense_chunk_buffer_bytes(256, 1024), 1'050'624U);
    EXPECT_EQ(dense::dense_chunk_buffer_bytes(256, 1000), 1'026'048U);
    EXPECT_EQ(dense::dense_chunk_buffer_bytes(std::size_t{1} << 62, 8), std::numeric_limits<std::size_t>::max());
    struct Case {
        std::size_t n, k, dim;
        Mode mode;
        bool sharded;
    };
    const std::vector<Case> cases = {
        {16383, 256, 1024, Mode::Auto, false},      {16384, 256, 1024, Mode::Auto, true},
        {16384, 256, 1000, Mode::Auto, false},      {10, 2, 2, Mode::Sharded, true},
        {1 << 20, 256, 1024, Mode::Chunked, false}, {0, 2, 2, Mode::Sharded, false},
        {10, 0, 2, Mode::Sharded, false},           {10, 2, 0, Mode::Sharded, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dense::dense_center_update_sharded_enabled(c.n, c.k, c.dim, c.mode), c.sharded)
            << c.n << " " << c.dim;
    }
    EXPECT_EQ(dense::dense_update_chunk_rows(10'000, 4, 3, 8), 4096U);  // chunks of 4096, 4096 and 1808
    EXPECT_EQ(dense::dense_update_chunk_rows(100, 4, 3, 8), 100U);
    EXPECT_EQ(dense::dense_update_chunk_rows(0, 4, 3, 8), 1U);
    EXPECT_EQ(dense::dense_update_chunk_rows(100'000, 256, 1024, 4), 12'500U);
    EXPECT_EQ(dense::dense_update_chunk_rows(10'000, 256, 1024, 4), 4096U);
    EXPECT_EQ(dense::dense_update_chunk_rows(10'000, 256, 1024, 1), 5000U);
}

TEST(DenseUpdate, BothFormsOnBothLayoutsMatchTheirDocumentedOrderForAnyWorkerCount) {
    SplitMix mix(31);
    const std::size_t n = 40'000;  // ten chunks of at most 4096 rows
    const std::size_t k = 6;
    const std::size_t dim = 5;
    const std::vector<float> values = mix.spread(n * dim, -6, 20, true);
    const std::vector<std::size_t> labels = mix.labels(n, k);
    const std::vector<float> start = mix.integers(k * dim, -3, 3);
    const std::vector<float> sharded = reference_means(values, dim, labels, k, n, start);
    const std::vector<float> chunked = reference_means(values, dim, labels, k, 4096, start);
    ASSERT_NE(bit_patterns(sharded), bit_patterns(chunked));  // the data tells the two orders apart
    for (const std::size_t workers : {std::size_t{1}, std::size_t{64}}) {
        const tarvinex::parallel::WorkerLimit limit(workers);
        for (const bool strided : {false, true}) {
            dense::DenseUpdateScratch scratch(k, dim);
            EXPECT_EQ(
                bit_patterns(updated(values, dim, strided, labels, start, scratch, dense::DenseUpdateMode::Sharded)),
                bit_patterns(sharded));
            EXPECT_EQ(
                bit_patterns(updated(values, dim, strided, labels, start, scratch, dense::DenseUpdateMode::Chunked)),
                bit_patterns(chunked));
            EXPECT_EQ(bit_patterns(updated(values, dim, strided, labels, start, scratch, dense::DenseUpdateMode::Auto)),
                      bit_patterns(chunked));
            // Waves of about two buffers per worker, not one buffer per chunk.
            EXPECT_LE(scratch.chunk_sums.size(), 2 * tarvinex::parallel::worker_count());
            EXPECT_LT(scratch.chunk_sums.size(), 10U);
        }
    }
}

TEST(DenseUpdate, SliceBodiesOfEveryFamilyEqualTheViewBodies) {
    SplitMix mix(12);
    const std::size_t n = 50;
    const std::size_t k = 3;
    for (const std::size_t dim : {std::size_t{1}, std::size_t{7}, std::size_t{17}, std::size_t{65}}) {
        const std::vector<float> values = mix.spread(n * dim, -5, 16, true);
        const std::vector<std::size_t> labels = mix.labels(n, k);
        const auto data = matrix(values, dim);
        std::vector<float> view_sums(k * dim, 0.0F);
        std::vector<std::size_t> view_counts(k, 0);
        dense::dense_center_sums_from_view(data, labels, 5, n, view_sums, view_counts);
        std::vector<float> shard_view_sums((k - 1) * dim, 0.0F);
        std::vector<std::size_t> shard_view_counts(k - 1, 0);
        dense::dense_center_sums_sharded_from_view(data, labels, 1, k, shard_view_sums, shard_view_counts);
        for (const tarvinex::simd::SliceKernel family : tarvinex::test::runnable_families()) {
            const auto& kernels = tarvinex::simd::slice_kernels(family);
            std::vector<float> sums(k * dim, 0.0F);
            std::vector<std::size_t> counts(k, 0);
            dense::dense_center_sums_from_slices(data, labels, 5, n, sums, counts, kernels);
            EXPECT_EQ(bit_patterns(sums), bit_patterns(view_sums)) << "dim " << dim;
            EXPECT_EQ(counts, view_counts);
            std::vector<float> shard_sums((k - 1) * dim, 0.0F);
            std::vector<std::size_t> shard_counts(k - 1, 0);
            dense::dense_center_sums_sharded_from_slices(data, labels, 1, k, shard_sums, shard_counts, kernels);
            EXPECT_EQ(bit_patterns(shard_sums), bit_patterns(shard_view_sums)) << "dim " << dim;
            EXPECT_EQ(shard_counts, shard_view_counts);
        }
    }
}

TEST(DenseUpdate, LargeChunkBuffersFollowTheWorkerCount) {
    SplitMix mix(3);
    const std::size_t n = 9'000;
    const std::size_t k = 256;
    const std::size_t dim = 1024;
    const std::vector<float> values = mix.spread(n * dim, -4, 12, true);
    const std::vector<std::size_t> labels = mix.labels(n, k);
    const std::vector<float> start(k * dim, 0.5F);
    for (const std::size_t workers : {std::size_t{1}, std::size_t{64}}) {
        const tarvinex::parallel::WorkerLimit limit(workers);
        const std::size_t rows = dense::dense_update_chunk_rows(n, k, dim, tarvinex::parallel::worker_count());
        dense::DenseUpdateScratch scratch(k, dim);
        EXPECT_EQ(bit_patterns(updated(values, dim, false, labels, start, scratch, dense::DenseUpdateMode::Auto)),
                  bit_patterns(reference_means(values, dim, labels, k, rows, start)));
    }
}

TEST(DenseUpdate, MeansMultiplyByTheRoundedReciprocalAndKOfOneTakesEveryRow) {
    const std::vector<float> values = {1.0F, 3.0F, 3.0F, 2.0F, 1.0F, 2.0F};
    dense::DenseUpdateScratch scratch(1, 2);
    const std::vector<float> mean =
        updated(values, 2, false, {0, 0, 0}, {9.0F, 9.0F}, scratch, dense::DenseUpdateMode::Chunked);
    EXPECT_EQ(bits(mean[0]), bits(5.0F * (1.0F / 3.0F)));
    EXPECT_NE(5.0F * (1.0F / 3.0F), 5.0F / 3.0F);
    EXPECT_EQ(bits(mean[1]), bits(7.0F * (1.0F / 3.0F)));
    EXPECT_NE(7.0F * (1.0F / 3.0F), 7.0F / 3.0F);
}

TEST(DenseUpdate, OversizedBuffersAreBadAlloc) {
    const std::size_t huge = std::size_t{1} << 62;
    EXPECT_THROW(dense::DenseUpdateScratch(huge, 8), std::bad_alloc);
    dense::DenseUpdateScratch scratch(1, 1);
    EXPECT_THROW(scratch.ensure_chunk_buffers(1, huge, 8), std::bad_alloc);
}

TEST(DenseRefill, EmptyClustersTakeTheFarthestEligibleRows) {
    struct Case {
        const char* name;
        std::vector<std::size_t> labels;
        std::vector<float> distances;
        std::size_t k;
        std::vector<long> expected;  ///< per center the row it receives, -1 when it keeps its center
    };
    const std::vector<Case> cases = {
        {"two empty clusters",
         {0, 0, 2, 2, 4, 4, 0, 2, 4},
         {1.0F, 1.0F, 5.0F, 2.0F, 1.0F, 1.0F, 1.0F, 9.0F, 3.0F},
         5,
         {-1, 7, -1, 2, -1}},
        {"a single member never donates", {0, 1, 1}, {1.0F, 7.0F, 9.0F}, 3, {-1, -1, 2}},
        {"no donor at all", {0, 1, 1}, {9.0F, kNaN, kInf}, 3, {-1, -1, -1}},
        {"NaN and infinite distances are skipped", {0, 0, 0, 0}, {kNaN, 2.0F, kInf, 1.0F}, 2, {-1, 1}},
        {"equal distances keep the row seen first", {0, 0, 0, 0}, {4.0F, 4.0F, 4.0F, 1.0F}, 3, {-1, 0, 1}},
        // |E| = 3: (5,r0) (1,r1) (1,r2); r3 evicts the first least pair, r1;
        // then r4 evicts r2: the list (5,r0) (5,r3) (5,r4) keeps its order.
        {"replacement keeps list positions", {0, 0, 0, 0, 0}, {5.0F, 1.0F, 1.0F, 5.0F, 5.0F}, 4, {-1, 0, 3, 4}},
        {"more empty clusters than donors", {0, 0, 0}, {1.0F, 3.0F, 2.0F}, 6, {-1, 1, 2, 0, -1, -1}},
    };
    for (const Case& c : cases) {
        const std::size_t n = c.labels.size();
        std::vector<float> values;
        for (std::size_t i = 0; i < n; ++i) {
            values.insert(values.end(), {static_cast<float>(i), static_cast<float>(i) + 0.5F});
        }
        std::vector<std::size_t> counts(c.k, 0);
        for (const std::size_t l : c.labels) {
            counts[l] += 1;
        }
        std::vector<float> centers(c.k * 2, -100.0F);
        dense::refill_empty_centers(matrix(values, 2), c.labels, c.distances, counts,
                                    array::MatrixView<float>::c_order(centers.data(), {c.k, 2}));
        for (std::size_t j = 0; j < c.k; ++j) {
            const float expected = c.expected[j] < 0 ? -100.0F : static_cast<float>(c.expected[j]);
            EXPECT_EQ(centers[2 * j], expected) << c.name << ", center " << j;
        }
    }
}

}  // namespace
