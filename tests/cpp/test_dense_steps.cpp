// Dense k-means steps: the initial centers (candidate count and sample,
// k-means++, farthest-first, random) and their settings.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "dense/dense.hpp"
#include "rng/index_sample.hpp"
#include "rng/seeded_rng.hpp"
#include "testing.hpp"

namespace {

namespace dense = tarvinex::dense;
namespace rng = tarvinex::rng;
using Env = std::map<std::string, std::string>;
using tarvinex::test::fake_env;

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

}  // namespace
