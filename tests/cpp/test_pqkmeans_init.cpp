// Initial centers of PQ k-means: the seeded shuffle every method starts from,
// farthest-first and k-means++ against a plain re-implementation, their tie
// and duplicate rules, the center lookup and the strict update.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <numeric>
#include <optional>
#include <set>
#include <span>
#include <utility>
#include <vector>

#include "array/array.hpp"
#include "parallel/pool.hpp"
#include "pqkmeans/pqkmeans.hpp"
#include "rng/seeded_rng.hpp"
#include "rng/shuffle.hpp"
#include "rng/uniform.hpp"
#include "testing.hpp"

namespace {

namespace pqkmeans = tarvinex::pqkmeans;
namespace array = tarvinex::array;
namespace parallel = tarvinex::parallel;
namespace rng = tarvinex::rng;
using pqkmeans::InitMethod;
using pqkmeans::PqKMeans;

using Indices = std::vector<std::size_t>;
using Codes = std::vector<std::uint8_t>;

using tarvinex::test::kInf;
using tarvinex::test::kNaN;

constexpr InitMethod kAllMethods[] = {InitMethod::FarthestFirst, InitMethod::KMeansPlusPlus, InitMethod::Random};
constexpr InitMethod kDistanceMethods[] = {InitMethod::FarthestFirst, InitMethod::KMeansPlusPlus};

/// One subquantizer of one-dimensional codewords at `positions`: the distance
/// between codewords a and b is exactly (p_a - p_b)^2.
array::Codebook<float> line_codebook(const std::vector<float>& positions) {
    array::Codebook<float> out(array::Shape<3>{1, positions.size(), 1});
    for (std::size_t c = 0; c < positions.size(); ++c) {
        out.view()(0, c, 0) = positions[c];
    }
    return out;
}

/// Built over a table of its own rather than through the checked
/// constructor, so the passes can be shown NaN codewords, which that
/// constructor refuses.
PqKMeans make_model(const array::Codebook<float>& codewords, std::size_t k, std::uint64_t seed, InitMethod init) {
    auto table = std::make_shared<const std::vector<float>>(pqkmeans::compute_codeword_distances(codewords.view()));
    auto model = PqKMeans::with_codeword_distances_and_options(codewords, std::move(table), std::nullopt, k, 1, seed,
                                                               false, 0, init, false, false);
    EXPECT_TRUE(model.has_value());
    return std::move(*model);
}

/// The row order every method starts from.
Indices shuffled_rows(std::uint64_t seed, std::size_t n) {
    rng::SeededRng gen = rng::SeededRng::seed_from_u64(seed);
    Indices order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (n >= 2) {
        (void)rng::partial_shuffle(gen, order, n);
    }
    return order;
}

Codes random_codes(std::size_t n, std::size_t m, std::size_t ks, std::uint64_t seed) {
    rng::SeededRng gen = rng::SeededRng::seed_from_u64(seed);
    Codes codes(n * m);
    for (auto& code : codes) {
        code = static_cast<std::uint8_t>(rng::uniform_below_u32(gen, static_cast<std::uint32_t>(ks)));
    }
    return codes;
}

/// The choice restated plainly: each round recomputes every row's nearest
/// chosen center straight from the codeword-distance table, and the draws come
/// from a second generator with the same seed, in the same order.
Indices reference_indices(const PqKMeans& model, const Codes& codes, std::size_t n) {
    const std::size_t m_count = model.num_subquantizers();
    const std::size_t ks = model.codebook_size();
    const std::vector<float>& table = *model.codeword_distances();

    rng::SeededRng gen = rng::SeededRng::seed_from_u64(model.seed());
    Indices order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (n >= 2) {
        (void)rng::partial_shuffle(gen, order, n);
    }
    if (model.init() == InitMethod::Random) {
        return Indices(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(model.k()));
    }

    auto distance = [&](std::size_t row, std::size_t center) {
        float sum = 0.0F;
        for (std::size_t m = 0; m < m_count; ++m) {
            sum += table[(m * ks + codes[row * m_count + m]) * ks + codes[center * m_count + m]];
        }
        return sum;
    };
    auto last_maximum = [&](const std::vector<float>& values) {
        std::size_t best = 0;
        for (std::size_t i = 1; i < values.size(); ++i) {
            if (values[i] >= values[best]) {
                best = i;
            }
        }
        return best;
    };

    Indices chosen{order[0]};
    while (chosen.size() < model.k()) {
        std::vector<float> nearest(n);
        for (std::size_t i = 0; i < n; ++i) {
            if (std::ranges::find(chosen, i) != chosen.end()) {
                nearest[i] = -1.0F;
                continue;
            }
            float best = kInf;
            for (const std::size_t c : chosen) {
                best = std::min(best, distance(i, c));
            }
            nearest[i] = best;
        }

        std::size_t next = last_maximum(nearest);
        if (model.init() == InitMethod::KMeansPlusPlus) {
            auto candidate = [&](std::size_t i) { return nearest[i] > 0.0F && std::isfinite(nearest[i]); };
            double total = -0.0;
            for (std::size_t i = 0; i < n; ++i) {
                if (candidate(i)) {
                    total += nearest[i];
                }
            }
            if (total > 2.220446049250313e-16) {
                double r = rng::random_range(gen, 0.0, total);
                std::optional<std::size_t> picked;
                std::optional<std::size_t> last;
                for (std::size_t i = 0; i < n && !picked; ++i) {
                    if (candidate(i)) {
                        r -= nearest[i];
                        last = i;
                        if (r <= 0.0) {
                            picked = i;
                        }
                    }
                }
                next = picked ? *picked : *last;
            }
        }
        chosen.push_back(next);
    }
    return chosen;
}

Indices initial_indices(const PqKMeans& model, const Codes& codes, std::size_t n) {
    return model.initialize_center_indices(codes, n);
}

// --- The shuffle start -----------------------------------------------------

TEST(PqKMeansInit, KOfOneIsTheFirstShuffledRowForEveryMethod) {
    struct Case {
        std::size_t n;
        std::uint64_t seed;
    };
    const Case cases[] = {{1, 3}, {2, 0}, {9, 7}, {300, 12345}};
    const auto codewords = tarvinex::test::spread_codebook(2, 4, 2);
    for (const Case& c : cases) {
        const Codes codes = random_codes(c.n, 2, 4, c.seed + 1);
        for (const InitMethod method : kAllMethods) {
            const PqKMeans model = make_model(codewords, 1, c.seed, method);
            EXPECT_EQ(initial_indices(model, codes, c.n), Indices{shuffled_rows(c.seed, c.n)[0]})
                << "n " << c.n << " seed " << c.seed << " method " << static_cast<int>(method);
        }
    }
}

TEST(PqKMeansInit, RandomTakesThePrefixOfTheShuffle) {
    struct Case {
        std::size_t n;
        std::size_t k;
    };
    const Case cases[] = {{1, 1}, {7, 7}, {50, 10}, {50, 49}};
    const auto codewords = tarvinex::test::spread_codebook(2, 4, 2);
    for (const Case& c : cases) {
        const Codes codes = random_codes(c.n, 2, 4, 5);
        const PqKMeans model = make_model(codewords, c.k, 21, InitMethod::Random);
        const Indices got = initial_indices(model, codes, c.n);
        const Indices order = shuffled_rows(21, c.n);
        EXPECT_EQ(got, Indices(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(c.k))) << "n " << c.n;
        EXPECT_EQ(std::set<std::size_t>(got.begin(), got.end()).size(), c.k) << "n " << c.n;
    }
}

TEST(PqKMeansInit, KEqualToNChoosesEveryRowOnce) {
    // Ks = 3, M = 2 leaves 9 distinct rows among 40, so the duplicates run
    // into the zero-distance fallback.
    const auto codewords = tarvinex::test::spread_codebook(2, 3, 2);
    for (const std::size_t n : {std::size_t{2}, std::size_t{9}, std::size_t{40}}) {
        const Codes codes = random_codes(n, 2, 3, n);
        for (const InitMethod method : kDistanceMethods) {
            const PqKMeans model = make_model(codewords, n, 8, method);
            Indices got = initial_indices(model, codes, n);
            EXPECT_EQ(got.front(), shuffled_rows(8, n)[0]);
            std::ranges::sort(got);
            Indices all(n);
            std::iota(all.begin(), all.end(), std::size_t{0});
            EXPECT_EQ(got, all) << "n " << n << " method " << static_cast<int>(method);
        }
    }
}

// --- Ties and duplicates ---------------------------------------------------

TEST(PqKMeansInit, IdenticalRowsGiveTheHighestUnchosenIndexEachTime) {
    constexpr std::size_t n = 6;
    const auto codewords = tarvinex::test::spread_codebook(2, 4, 2);
    const Codes codes(n * 2, 3);
    for (const std::uint64_t seed : {0U, 1U, 2U, 3U}) {
        const std::size_t first = shuffled_rows(seed, n)[0];
        Indices expected{first};
        for (std::size_t i = n; i-- > 0 && expected.size() < 4;) {
            if (i != first) {
                expected.push_back(i);
            }
        }
        for (const InitMethod method : kDistanceMethods) {
            const PqKMeans model = make_model(codewords, 4, seed, method);
            EXPECT_EQ(initial_indices(model, codes, n), expected)
                << "seed " << seed << " method " << static_cast<int>(method);
        }
    }
}

TEST(PqKMeansInit, FarthestFirstBreaksTiesTowardTheHigherIndex) {
    // Codewords at 0, 1 and -1: codes 1 and 2 are both at distance 1 from
    // code 0 and at distance 4 from each other.
    constexpr std::size_t n = 6;
    const auto codewords = line_codebook({0.0F, 1.0F, -1.0F});
    for (const std::uint64_t seed : {0U, 4U, 9U}) {
        const std::size_t first = shuffled_rows(seed, n)[0];
        Indices others;
        for (std::size_t i = 0; i < n; ++i) {
            if (i != first) {
                others.push_back(i);
            }
        }
        // Two tied rows with duplicates of the first center after them, so
        // "highest index overall" is not the right answer either.
        Codes codes(n, 0);
        codes[others[1]] = 1;
        codes[others[3]] = 2;
        const PqKMeans model = make_model(codewords, 3, seed, InitMethod::FarthestFirst);
        EXPECT_EQ(initial_indices(model, codes, n), (Indices{first, others[3], others[1]})) << "seed " << seed;
    }
}

TEST(PqKMeansInit, RowsWithNaNDistancesStayFarthestButAreNeverDrawn) {
    // Codeword 2 sits at NaN: rows coded 2 never get a distance, so they keep
    // +inf. Farthest-first takes them at once; k-means++ draws only the row at
    // a finite distance and reaches them through the argmax fallback.
    constexpr std::size_t n = 4;
    const auto codewords = line_codebook({0.0F, 1.0F, kNaN});
    for (const std::uint64_t seed : {0U, 6U}) {
        const std::size_t first = shuffled_rows(seed, n)[0];
        Indices others;
        for (std::size_t i = 0; i < n; ++i) {
            if (i != first) {
                others.push_back(i);
            }
        }
        Codes codes(n, 0);
        codes[others[0]] = 2;
        codes[others[1]] = 1;
        codes[others[2]] = 2;
        const Indices farthest{first, others[2], others[0], others[1]};
        const Indices drawn{first, others[1], others[2], others[0]};
        EXPECT_EQ(initial_indices(make_model(codewords, n, seed, InitMethod::FarthestFirst), codes, n), farthest);
        EXPECT_EQ(initial_indices(make_model(codewords, n, seed, InitMethod::KMeansPlusPlus), codes, n), drawn);
    }
}

// --- Against the plain restatement, reproducibility ------------------------

/// Enough rows for several update tasks, few enough codes for duplicates.
struct RandomFixture {
    static constexpr std::size_t n = 2500;
    static constexpr std::size_t m = 3;
    static constexpr std::size_t ks = 8;
    array::Codebook<float> codewords = tarvinex::test::spread_codebook(m, ks, 2);
    Codes codes = random_codes(n, m, ks, 77);
};

TEST(PqKMeansInit, MatchesThePlainRestatement) {
    const RandomFixture fixture;
    for (const std::uint64_t seed : {0U, 5U, 123456789U}) {
        for (const InitMethod method : kAllMethods) {
            const PqKMeans model = make_model(fixture.codewords, 12, seed, method);
            EXPECT_EQ(initial_indices(model, fixture.codes, fixture.n),
                      reference_indices(model, fixture.codes, fixture.n))
                << "seed " << seed << " method " << static_cast<int>(method);
        }
    }
}

TEST(PqKMeansInit, SameSeedGivesSameIndicesForAnyWorkerCount) {
    const RandomFixture fixture;
    for (const InitMethod method : kAllMethods) {
        const PqKMeans model = make_model(fixture.codewords, 20, 31, method);
        const Indices all_workers = initial_indices(model, fixture.codes, fixture.n);
        EXPECT_EQ(initial_indices(model, fixture.codes, fixture.n), all_workers);
        const parallel::WorkerLimit one_worker(1);
        EXPECT_EQ(initial_indices(model, fixture.codes, fixture.n), all_workers)
            << "method " << static_cast<int>(method);
    }
}

// --- Center lookup and update ----------------------------------------------

TEST(PqKMeansInit, CenterLookupCopiesTheTableColumnOfEachCenterCode) {
    constexpr std::size_t m_count = 3;
    constexpr std::size_t ks = 5;
    const PqKMeans model = make_model(tarvinex::test::spread_codebook(m_count, ks, 2), 1, 0, InitMethod::FarthestFirst);
    const Codes center{4, 0, 2};
    const std::vector<float> lookup = model.build_center_lookup(center);
    const std::vector<float>& table = *model.codeword_distances();
    ASSERT_EQ(lookup.size(), m_count * ks);
    for (std::size_t m = 0; m < m_count; ++m) {
        for (std::size_t j = 0; j < ks; ++j) {
            EXPECT_EQ(lookup[m * ks + j], table[(m * ks + j) * ks + center[m]]) << "m " << m << " j " << j;
        }
    }
}

TEST(PqKMeansInit, UpdateLowersOnlyOnAStrictlySmallerDistance) {
    // M = 3, Ks = 3; codeword 2 of subquantizer 0 has a NaN distance, and
    // codes (0, 1, 1) sum to 0 only in ascending order: 1 + 1e8 rounds to 1e8.
    const std::vector<float> lookup{1.0F, 2.0F, kNaN, 0.5F, 1e8F, 4.0F, 0.25F, -1e8F, 8.0F};
    struct Case {
        std::uint8_t codes[3];
        float before;
        float after;
    };
    const Case cases[] = {
        {{0, 0, 0}, kInf, 1.75F},                            // first visit
        {{1, 2, 2}, 20.0F, 14.0F},                           // a nearer center lowers the entry
        {{1, 2, 2}, 9.0F, 9.0F},                             // a farther one does not
        {{0, 0, 0}, -1.0F, -1.0F},                           // chosen rows stay chosen
        {{0, 0, 0}, kNaN, kNaN},                             // a NaN entry is never replaced
        {{2, 0, 0}, kInf, kInf},                             // a NaN distance replaces nothing
        {{2, 0, 0}, 3.0F, 3.0F},   {{0, 1, 1}, kInf, 0.0F},  // summed in subquantizer order
    };
    const PqKMeans model = make_model(tarvinex::test::spread_codebook(3, 3, 1), 1, 0, InitMethod::FarthestFirst);

    // Repeat the cases over several update tasks.
    constexpr std::size_t n = 3000;
    Codes codes(n * 3);
    std::vector<float> min_distances(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Case& c = cases[i % std::size(cases)];
        std::copy(std::begin(c.codes), std::end(c.codes), codes.begin() + static_cast<std::ptrdiff_t>(i * 3));
        min_distances[i] = c.before;
    }
    model.update_min_distances(min_distances, codes, lookup);
    for (std::size_t i = 0; i < n; ++i) {
        const Case& c = cases[i % std::size(cases)];
        EXPECT_EQ(std::bit_cast<std::uint32_t>(min_distances[i]), std::bit_cast<std::uint32_t>(c.after))
            << "row " << i << " case " << i % std::size(cases) << " got " << min_distances[i];
    }
}

TEST(PqKMeansInit, UpdateReturnsTheLastFarthestRowAcrossTasks) {
    // Codes (0, 0, 0) are at 1.75 from the center. Rows at +inf tie there, in
    // different update tasks; a NaN entry (never the pass's own) makes the
    // returned row that of the plain upward scan, which restarts after it
    // and so ends at a row nearer than an earlier one.
    const std::vector<float> lookup{1.0F, 2.0F, kNaN, 0.5F, 1e8F, 4.0F, 0.25F, -1e8F, 8.0F};
    const PqKMeans model = make_model(tarvinex::test::spread_codebook(3, 3, 1), 1, 0, InitMethod::FarthestFirst);
    constexpr std::size_t n = 3 * 4096 + 5;
    struct Case {
        const char* name;
        std::vector<std::pair<std::size_t, float>> entries;
        std::size_t farthest;
    };
    const Case cases[] = {
        {"ties in three tasks", {{5, kInf}, {4096 + 7, kInf}, {2 * 4096 + 1, kInf}, {9000, 1.0F}}, 2 * 4096 + 1},
        {"a tie in the short last task", {{3, kInf}, {n - 2, kInf}}, n - 2},
        {"the first task's row is farther", {{7, 1.5F}, {5000, 1.25F}, {9000, 1.0F}}, 7},
        {"a NaN entry", {{5, kInf}, {10, kNaN}, {4100, 0.5F}}, 4100},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<float> min_distances(n, -1.0F);
        for (const auto& [row, value] : c.entries) {
            min_distances[row] = value;
        }
        const Codes codes(n * 3, 0);
        EXPECT_EQ(model.update_min_distances(min_distances, codes, lookup), c.farthest);
    }
}

}  // namespace
