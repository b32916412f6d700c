// Seeded draws are reproduced bit for bit, so most expectations here are
// exact vectors; the rest are word-consumption and invariant checks.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "error/error.hpp"
#include "rng/index_sample.hpp"
#include "rng/proportional_draw.hpp"
#include "rng/seeded_rng.hpp"
#include "rng/shuffle.hpp"
#include "rng/uniform.hpp"

namespace {

using tarvinex::error::InternalFailure;
using tarvinex::rng::SeededRng;
namespace index = tarvinex::rng::index;

/// The next 32-bit word of `rng` equals that of a fresh generator of `seed`
/// after `words` draws: both have consumed the same words.
void expect_words_consumed(SeededRng& rng, std::uint64_t seed, std::size_t words) {
    SeededRng reference = SeededRng::seed_from_u64(seed);
    for (std::size_t i = 0; i < words; ++i) (void)reference.next_u32();
    EXPECT_EQ(rng.next_u32(), reference.next_u32());
}

template <typename Body>
void expect_internal_failure(Body body, const std::string& message) {
    try {
        body();
        ADD_FAILURE() << "expected InternalFailure: " << message;
    } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.what(), message);
    }
}

std::vector<std::size_t> iota_list(std::size_t n) {
    std::vector<std::size_t> list(n);
    std::iota(list.begin(), list.end(), std::size_t{0});
    return list;
}

TEST(SeededRng, ChaCha8BlockOfZeroKey) {
    const auto block = tarvinex::rng::chacha8_block({}, 0, 0);
    // Bytes 3e00ef2f 895f40d6 7f5bb8e8 1f09a5a1 as little-endian words.
    EXPECT_EQ(block[0], 0x2fef003eu);
    EXPECT_EQ(block[1], 0xd6405f89u);
    EXPECT_EQ(block[2], 0xe8b85b7fu);
    EXPECT_EQ(block[3], 0xa1a5091fu);
}

TEST(SeededRng, SeedZeroKeyAndWords) {
    SeededRng rng = SeededRng::seed_from_u64(0);
    const tarvinex::rng::ChaChaKey expected_key = {0xf973f2ec, 0x45cdb581, 0x7346f087, 0xad6cad06,
                                                   0xe3a3d0d0, 0x67e71733, 0x72ea9bf2, 0xfe7d8ad7};
    EXPECT_EQ(rng.key(), expected_key);
    for (std::uint32_t expected : {0xa79a3b6cu, 0xb585f767u, 0xbad8c037u, 0x7746a55fu}) {
        EXPECT_EQ(rng.next_u32(), expected);
    }
}

TEST(SeededRng, FirstWordsComeFromBlockZero) {
    SeededRng rng = SeededRng::seed_from_u64(0);
    const auto block0 = tarvinex::rng::chacha8_block(rng.key(), 0, 0);
    const auto block4 = tarvinex::rng::chacha8_block(rng.key(), 4, 0);
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(rng.next_u32(), block0[i]);
    for (std::size_t i = 16; i < 64; ++i) (void)rng.next_u32();
    EXPECT_EQ(rng.next_u32(), block4[0]) << "the second refill starts at counter 4";
}

TEST(SeededRng, U64DrawsTakeLowHalfFirst) {
    SeededRng rng = SeededRng::seed_from_u64(0);
    EXPECT_EQ(rng.next_u64(), 0xb585f767a79a3b6cull);
    EXPECT_EQ(rng.next_u64(), 0x7746a55fbad8c037ull);
}

TEST(SeededRng, U64DrawStraddlingRefill) {
    SeededRng rng = SeededRng::seed_from_u64(0);
    for (int i = 0; i < 63; ++i) (void)rng.next_u32();
    EXPECT_EQ(rng.next_u64(), 0xd39cb89257a1550cull);
    EXPECT_EQ(rng.next_u32(), 0x66bbd30eu);
}

TEST(SeededRng, U64DrawsOnBufferBoundaryMatchWordPairs) {
    // 32 u64 draws use exactly one refill, so words and pairs stay aligned.
    SeededRng words = SeededRng::seed_from_u64(9);
    SeededRng pairs = SeededRng::seed_from_u64(9);
    for (int i = 0; i < 40; ++i) {
        const std::uint64_t low = words.next_u32();
        const std::uint64_t high = words.next_u32();
        ASSERT_EQ(pairs.next_u64(), (high << 32) | low) << "draw " << i;
    }
}

TEST(SeededRng, SameSeedSameSequence) {
    SeededRng first = SeededRng::seed_from_u64(123456789);
    SeededRng second = SeededRng::seed_from_u64(123456789);
    for (int i = 0; i < 200; ++i) ASSERT_EQ(first.next_u64(), second.next_u64());
}

TEST(UniformBelow, CorrectionStep) {
    struct Case {
        std::uint64_t seed;
        std::uint32_t expected;
        std::size_t words;
        const char* what;
    };
    constexpr std::uint32_t kBound = 479001600;
    for (const Case& c :
         {Case{6, 148531436, 2, "correction with carry"}, Case{12, 28214295, 2, "correction without carry"},
          Case{0, static_cast<std::uint32_t>((std::uint64_t{0xa79a3b6c} * kBound) >> 32), 1, "no correction"}}) {
        SCOPED_TRACE(c.what);
        SeededRng rng = SeededRng::seed_from_u64(c.seed);
        EXPECT_EQ(tarvinex::rng::uniform_below_u32(rng, kBound), c.expected);
        expect_words_consumed(rng, c.seed, c.words);
    }
}

TEST(UniformBelow, WideFormUsesU64WordsAndHighProduct) {
    // A bound of 2^40 keeps the top 24 bits' complement: result = word >> 24,
    // and the low product half of the first seed-0 word needs no correction.
    SeededRng rng = SeededRng::seed_from_u64(0);
    EXPECT_EQ(tarvinex::rng::uniform_below_u64(rng, std::uint64_t{1} << 40), 0xb585f767a79a3b6cull >> 24);
    EXPECT_EQ(rng.next_u64(), 0x7746a55fbad8c037ull);
}

TEST(UniformBelow, RejectionStaysBelowBound) {
    SeededRng rng = SeededRng::seed_from_u64(5);
    for (std::uint32_t bound : {1u, 2u, 3u, 7u, 1000u, 0x80000001u, 0xffffffffu}) {
        for (int i = 0; i < 50; ++i) ASSERT_LT(tarvinex::rng::uniform_below_rejection_u32(rng, bound), bound);
    }
    for (std::uint64_t bound : {std::uint64_t{1} << 32, (std::uint64_t{1} << 63) + 1, ~std::uint64_t{0}}) {
        for (int i = 0; i < 50; ++i) ASSERT_LT(tarvinex::rng::uniform_below_rejection_u64(rng, bound), bound);
    }
}

TEST(RandomRange, SeedZeroUnitDraws) {
    SeededRng rng = SeededRng::seed_from_u64(0);
    for (double expected : {0.7090754154265617, 0.46592172228961015, 0.6991432426747317}) {
        EXPECT_EQ(tarvinex::rng::random_range(rng, 0.0, 1.0), expected);
    }
}

TEST(RandomRange, AllOnesWordStaysBelowHigh) {
    for (double high : {1.0, 3.0, 1e-300, 7.5e300}) {
        const double value = tarvinex::rng::float_in_range_from_bits(~std::uint64_t{0}, 0.0, high);
        EXPECT_LT(value, high);
        EXPECT_EQ(value, (1.0 - 0x1p-52) * high);
    }
    EXPECT_EQ(tarvinex::rng::float_in_range_from_bits(0, 2.0, 5.0), 2.0);
}

TEST(RandomRange, BrokenRangesFail) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double low;
        double high;
        const char* message;
    };
    for (const Case& c : {Case{1.0, 1.0, "cannot sample empty range"}, Case{2.0, 1.0, "cannot sample empty range"},
                          Case{nan, 1.0, "cannot sample empty range"}, Case{0.0, nan, "cannot sample empty range"},
                          Case{0.0, inf, "cannot sample a range of infinite width"},
                          Case{-1e308, 1e308, "cannot sample a range of infinite width"}}) {
        SeededRng rng = SeededRng::seed_from_u64(0);
        expect_internal_failure([&] { (void)tarvinex::rng::random_range(rng, c.low, c.high); }, c.message);
    }
}

TEST(IndexSample, MethodChoice) {
    struct Case {
        std::uint64_t length;
        std::uint64_t amount;
        index::SampleMethod expected;
    };
    using enum index::SampleMethod;
    for (const Case& c : {Case{10, 10, Floyd}, Case{100, 20, InPlace}, Case{1000000, 20, Floyd},
                          Case{10000, 200, InPlace}, Case{100000, 200, Rejection}, Case{1000, 11, Floyd},
                          // (1.6*12 + 10)*12 = 350.4: in place just below, Floyd from 351 on.
                          Case{350, 12, InPlace}, Case{351, 12, Floyd},
                          // (1.6f*20 + 10)*20 rounds to exactly 840 in float; with double
                          // products it would exceed 840 and pick the in-place method.
                          Case{839, 20, InPlace}, Case{840, 20, Floyd},
                          // Above half a million the second cost model applies.
                          Case{500000, 162, Floyd}, Case{5000000, 163, Rejection}, Case{5000000, 200000, InPlace},
                          Case{std::uint64_t{1} << 32, 4, Rejection}}) {
        EXPECT_EQ(index::choose_sample_method(c.length, c.amount), c.expected)
            << "length " << c.length << ", amount " << c.amount;
    }
}

TEST(IndexSample, SeedZeroVectors) {
    struct Case {
        std::uint64_t length;
        std::uint64_t amount;
        std::vector<std::uint64_t> expected;
    };
    for (const Case& c : {Case{10, 10, {7, 6, 5, 9, 2, 4, 3, 0, 1, 8}},
                          Case{100, 20, {65, 71, 73, 48, 52, 1, 58, 12, 25, 88, 62, 59, 3, 85, 84, 94, 57, 83, 91, 31}},
                          Case{5000, 12, {3266, 3538, 3642, 2325, 2533, 3491, 2802, 300, 976, 4393, 2899, 2747}}}) {
        SeededRng rng = SeededRng::seed_from_u64(0);
        EXPECT_EQ(index::sample(rng, c.length, c.amount), c.expected) << "length " << c.length;
    }
}

TEST(IndexSample, SeedZeroLongSamples) {
    struct Case {
        std::uint64_t length;
        std::vector<std::uint64_t> prefix;
        std::uint64_t sum;
    };
    for (const Case& c : {Case{10000, {6546, 7091, 7299, 4660, 5075}, 1040105},
                          Case{100000, {65469, 70907, 72986, 46592, 50736}, 10422325}}) {
        SeededRng rng = SeededRng::seed_from_u64(0);
        const std::vector<std::uint64_t> drawn = index::sample(rng, c.length, 200);
        ASSERT_EQ(drawn.size(), 200u);
        EXPECT_EQ(std::vector<std::uint64_t>(drawn.begin(), drawn.begin() + 5), c.prefix);
        EXPECT_EQ(std::accumulate(drawn.begin(), drawn.end(), std::uint64_t{0}), c.sum);
    }
}

TEST(IndexSample, DistinctAndInRange) {
    for (auto [length, amount] : {std::pair<std::uint64_t, std::uint64_t>{10, 10},
                                  {400, 13},
                                  {3000, 2999},
                                  {1000000, 50},
                                  {20000, 300},
                                  {1000000, 1000}}) {
        SeededRng rng = SeededRng::seed_from_u64(length + amount);
        std::vector<std::uint64_t> drawn = index::sample(rng, length, amount);
        ASSERT_EQ(drawn.size(), amount);
        std::sort(drawn.begin(), drawn.end());
        EXPECT_EQ(std::adjacent_find(drawn.begin(), drawn.end()), drawn.end()) << "length " << length;
        EXPECT_LT(drawn.back(), length);
    }
}

TEST(IndexSample, WideLengthUsesU64Rejection) {
    // For length 2^32 the rejection threshold is 0, so each index is the high
    // half of one 64-bit word.
    constexpr std::uint64_t kLength = std::uint64_t{1} << 32;
    SeededRng rng = SeededRng::seed_from_u64(3);
    SeededRng words = SeededRng::seed_from_u64(3);
    for (std::uint64_t value : index::sample(rng, kLength, 3)) EXPECT_EQ(value, words.next_u64() >> 32);
}

TEST(IndexSample, EmptySampleDrawsNothing) {
    for (std::uint64_t length : {0ull, 10ull, 100000ull}) {
        SeededRng rng = SeededRng::seed_from_u64(4);
        EXPECT_TRUE(index::sample(rng, length, 0).empty());
        expect_words_consumed(rng, 4, 0);
    }
}

TEST(IndexSample, MoreSamplesThanIndicesFails) {
    SeededRng rng = SeededRng::seed_from_u64(0);
    expect_internal_failure([&] { (void)index::sample(rng, 5, 6); },
                            "`amount` of samples must be less than or equal to `length`");
}

TEST(PartialShuffle, FullShuffleVectors) {
    struct Case {
        std::uint64_t seed;
        std::vector<std::size_t> expected;
    };
    for (const Case& c : {Case{0, {2, 8, 6, 1, 9, 5, 7, 4, 0, 3}},
                          Case{0, {14, 8, 6, 1, 9, 5, 13, 12, 17, 15, 19, 4, 11, 18, 2, 10, 0, 16, 7, 3}},
                          Case{42, {7, 1, 11, 16, 6, 12, 3, 10, 15, 13, 14, 19, 18, 0, 8, 2, 4, 17, 9, 5}}}) {
        SeededRng rng = SeededRng::seed_from_u64(c.seed);
        std::vector<std::size_t> list = iota_list(c.expected.size());
        const auto parts = tarvinex::rng::partial_shuffle(rng, list, list.size());
        EXPECT_EQ(list, c.expected) << "seed " << c.seed << ", n " << list.size();
        EXPECT_EQ(parts.tail.data(), list.data());
        EXPECT_EQ(parts.tail.size(), list.size());
        EXPECT_TRUE(parts.head.empty());
    }
}

TEST(PartialShuffle, OneElementConsumesNoWord) {
    SeededRng rng = SeededRng::seed_from_u64(0);
    std::vector<std::size_t> list = {5};
    (void)tarvinex::rng::partial_shuffle(rng, list, 1);
    EXPECT_EQ(list, std::vector<std::size_t>{5});
    expect_words_consumed(rng, 0, 0);
}

TEST(PartialShuffle, TwoElementsUseOneChunkDigit) {
    for (std::uint64_t seed : {0ull, 1ull, 6ull, 12ull}) {
        SeededRng reference = SeededRng::seed_from_u64(seed);
        const std::uint32_t chunk = tarvinex::rng::uniform_below_u32(reference, 479001600);
        const std::vector<std::size_t> expected =
            chunk % 2 == 0 ? std::vector<std::size_t>{1, 0} : std::vector<std::size_t>{0, 1};
        SeededRng rng = SeededRng::seed_from_u64(seed);
        std::vector<std::size_t> list = {0, 1};
        (void)tarvinex::rng::partial_shuffle(rng, list, 2);
        EXPECT_EQ(list, expected) << "seed " << seed;
        EXPECT_EQ(rng.next_u32(), reference.next_u32()) << "seed " << seed;
    }
}

TEST(PartialShuffle, PartialAmountSplitsTailAndHead) {
    struct Case {
        std::size_t n;
        std::size_t amount;
        std::size_t tail;
    };
    for (const Case& c : {Case{10, 3, 3}, Case{10, 0, 0}, Case{10, 15, 10}, Case{100, 40, 40}}) {
        SeededRng rng = SeededRng::seed_from_u64(7);
        std::vector<std::size_t> list = iota_list(c.n);
        const auto parts = tarvinex::rng::partial_shuffle(rng, list, c.amount);
        EXPECT_EQ(parts.tail.size(), c.tail);
        EXPECT_EQ(parts.tail.data(), list.data() + (c.n - c.tail));
        EXPECT_EQ(parts.head.data(), list.data());
        EXPECT_EQ(parts.head.size(), c.n - c.tail);
        std::vector<std::size_t> sorted = list;
        std::sort(sorted.begin(), sorted.end());
        EXPECT_EQ(sorted, iota_list(c.n)) << "the shuffle permutes";
    }
    // An amount beyond the length shuffles the whole list, as amount = n does.
    SeededRng capped = SeededRng::seed_from_u64(0);
    std::vector<std::size_t> list = iota_list(10);
    (void)tarvinex::rng::partial_shuffle(capped, list, 99);
    EXPECT_EQ(list, (std::vector<std::size_t>{2, 8, 6, 1, 9, 5, 7, 4, 0, 3}));
}

TEST(ProportionalDraw, WalksTheDrawableWeightsInOrder) {
    namespace rng = tarvinex::rng;
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    // Only 2.0 (position 2) and 6.0 (position 5) can be drawn: r below 2 picks
    // position 2, anything else position 5.
    const std::vector<float> weights = {-1.0F, 0.0F, 2.0F, inf, nan, 6.0F, -0.0F};
    for (std::uint64_t seed = 0; seed < 16; ++seed) {
        SeededRng drawn = SeededRng::seed_from_u64(seed);
        SeededRng reference = SeededRng::seed_from_u64(seed);
        const double r = rng::random_range(reference, 0.0, 8.0);
        const auto position = rng::proportional_draw(drawn, weights);
        ASSERT_TRUE(position.has_value());
        EXPECT_EQ(*position, r - 2.0 <= 0.0 ? 2U : 5U) << "seed " << seed;
        expect_words_consumed(drawn, seed, 2);
    }
}

TEST(ProportionalDraw, TooLittleWeightDrawsNothing) {
    namespace rng = tarvinex::rng;
    for (const std::vector<float>& weights : std::vector<std::vector<float>>{
             {}, {-1.0F, 0.0F, -0.0F}, {1e-30F, 1e-30F}, {std::numeric_limits<float>::infinity()}}) {
        SeededRng generator = SeededRng::seed_from_u64(7);
        const auto position = rng::proportional_draw(generator, weights);
        ASSERT_FALSE(position.has_value());
        EXPECT_EQ(position.error(), rng::NoDraw::TooLittleWeight);
        expect_words_consumed(generator, 7, 0);
    }
}

}  // namespace
