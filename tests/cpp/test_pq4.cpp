// Packed 4-bit codes, the float-table scan, the 8-bit tables and the
// fast-scan: layout and error texts, scans against brute-force references,
// levels computed by hand, refusals that keep every field, the switches, the
// kernel table, and every kernel against the portable one.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "error/settings.hpp"
#include "parallel/pool.hpp"
#include "pq4/packed_codes.hpp"
#include "pq4/quantized_tables.hpp"
#include "simd/cpu_features.hpp"
#include "simd/preference.hpp"
#include "testing.hpp"

namespace {

namespace pq4 = tarvinex::pq4;
namespace settings = tarvinex::settings;
namespace simd = tarvinex::simd;
using pq4::LutCalibration;
using pq4::PackedPq4Codes;
using pq4::Pq4Kernels;
using pq4::QuantizedPq4LookupTables;

using tarvinex::test::bit_patterns;
using tarvinex::test::bits;
using tarvinex::test::fake_env;
using tarvinex::test::kInf;
using tarvinex::test::kNaN;

constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();
constexpr LutCalibration kCalibrations[] = {LutCalibration::Global, LutCalibration::PerCluster};

std::vector<std::uint8_t> random_codes(std::size_t rows, std::size_t m, std::uint32_t seed) {
    return tarvinex::test::SplitMix(seed).codes(rows * m, 16);
}

/// (M, 16, k) entries of both signs with magnitudes in [1/4, 8): sums of them
/// round, so a changed summation order shows.
std::vector<float> random_table(std::size_t m, std::size_t k, std::uint32_t seed) {
    return tarvinex::test::SplitMix(seed).spread(m * 16 * k, -2, 5, true);
}

PackedPq4Codes pack_ok(const std::vector<std::uint8_t>& codes, std::size_t rows, std::size_t m) {
    auto packed = PackedPq4Codes::pack(codes, rows, m);
    if (!packed) {
        ADD_FAILURE() << packed.error().to_string();
        return {};
    }
    return *std::move(packed);
}

/// Brute force from the unpacked codes: sums from +0.0 in subquantizer order,
/// ascending centers, strict <.
std::pair<std::vector<std::size_t>, std::vector<float>> reference_scan(const std::vector<std::uint8_t>& codes,
                                                                       std::size_t rows, std::size_t m,
                                                                       const std::vector<float>& table, std::size_t k) {
    std::vector<std::size_t> labels(rows, 0);
    std::vector<float> distances(rows, kInf);
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            float value = 0.0f;
            for (std::size_t s = 0; s < m; ++s) {
                value = value + table[(s * 16 + codes[i * m + s]) * k + j];
            }
            if (value < distances[i]) {
                distances[i] = value;
                labels[i] = j;
            }
        }
    }
    return {labels, distances};
}

void expect_bitwise_equal(std::span<const float> got, std::span<const float> want) {
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(got[i]), std::bit_cast<std::uint32_t>(want[i]))
            << "row " << i << ": " << got[i] << " vs " << want[i];
    }
}

void expect_same_tables(const QuantizedPq4LookupTables& got, const QuantizedPq4LookupTables& want) {
    EXPECT_EQ(got.quantized, want.quantized);
    EXPECT_EQ(bit_patterns(got.scales), bit_patterns(want.scales));
    EXPECT_EQ(bit_patterns(got.biases), bit_patterns(want.biases));
    EXPECT_EQ(got.m, want.m);
    EXPECT_EQ(got.k, want.k);
    EXPECT_EQ(bits(got.global_scale), bits(want.global_scale));
    EXPECT_EQ(bits(got.global_bias), bits(want.global_bias));
    EXPECT_EQ(got.per_cluster, want.per_cluster);
}

constexpr simd::SliceKernel kFamilies[] = {simd::SliceKernel::Scalar, simd::SliceKernel::Avx2,
                                           simd::SliceKernel::Avx512};

/// The kernels of every family this processor can run, the portable one first:
/// a family whose entry falls back to a lower one cannot run here.
std::vector<Pq4Kernels> runnable_kernels() {
    std::vector<Pq4Kernels> runnable;
    for (const simd::SliceKernel family : kFamilies) {
        const Pq4Kernels kernels = pq4::pq4_kernels_for(family, simd::detected_cpu_features());
        if (kernels.family == family) {
            runnable.push_back(kernels);
        }
    }
    return runnable;
}

const char* name_of(const Pq4Kernels& kernels) { return simd::slice_kernel_label(kernels.family); }

// ---------------------------------------------------------------- packing

TEST(Pq4Pack, LaysOutThreeSubquantizersOverTwoBlocks) {
    constexpr std::size_t kRows = 33;
    constexpr std::size_t kM = 3;
    std::vector<std::uint8_t> codes(kRows * kM);
    for (std::size_t i = 0; i < kRows; ++i) {
        for (std::size_t s = 0; s < kM; ++s) {
            codes[i * kM + s] = static_cast<std::uint8_t>((i + 5 * s + 1) % 16);
        }
    }
    const PackedPq4Codes packed = pack_ok(codes, kRows, kM);
    EXPECT_EQ(packed.rows, kRows);
    EXPECT_EQ(packed.m, kM);
    EXPECT_EQ(packed.pairs, 2u);
    EXPECT_EQ(packed.blocks(), 2u);
    ASSERT_EQ(packed.data.size(), packed.pairs * 64);

    std::vector<std::uint8_t> want(packed.pairs * 64, 0);
    for (std::size_t i = 0; i < kRows; ++i) {
        const std::size_t block_start = (i / 32) * packed.pairs * 32 + i % 32;
        want[block_start] = static_cast<std::uint8_t>(codes[i * kM] | (codes[i * kM + 1] << 4));
        // The last pair holds subquantizer 2 alone: its high nibble stays 0.
        want[block_start + 32] = codes[i * kM + 2];
    }
    EXPECT_EQ(packed.data, want);
    // Row 32 is position 0 of block 1; the 31 padding positions of each pair are 0.
    EXPECT_EQ(packed.data[64], want[64]);
    EXPECT_NE(packed.data[64], 0);
    for (std::size_t i = 0; i < kRows; ++i) {
        for (std::size_t s = 0; s < kM; ++s) {
            EXPECT_EQ(packed.code(i, s), codes[i * kM + s]) << i << "," << s;
        }
    }
}

TEST(Pq4Pack, ReportsFailuresInCheckOrder) {
    struct Case {
        const char* name;
        std::vector<std::uint8_t> codes;
        std::size_t rows;
        std::size_t m;
        const char* text;
    };
    const Case cases[] = {
        // Overflow is found before the length and the codes are never looked at.
        {"overflow", {16, 16}, std::size_t{1} << 62, 4, "PQ4 code shape overflows usize"},
        {"one byte short, with a bad code", {1, 2, 16}, 2, 2, "PQ4 code matrix length does not match shape"},
        {"one byte long", {1, 2, 3, 4, 5}, 2, 2, "PQ4 code matrix length does not match shape"},
        {"16 in a low nibble", {1, 2, 3, 16, 4, 5}, 2, 3, "PQ4 packing requires codebook_size <= 16"},
        {"16 in a high nibble", {1, 2, 3, 4, 5, 16}, 3, 2, "PQ4 packing requires codebook_size <= 16"},
        {"255 in the lone last subquantizer", {1, 2, 255}, 1, 3, "PQ4 packing requires codebook_size <= 16"},
    };
    for (const Case& c : cases) {
        const auto packed = PackedPq4Codes::pack(c.codes, c.rows, c.m);
        ASSERT_FALSE(packed.has_value()) << c.name;
        EXPECT_EQ(packed.error().to_string(), c.text) << c.name;
    }
}

TEST(Pq4Pack, EmptyShapesGiveEmptyData) {
    const std::pair<std::size_t, std::size_t> shapes[] = {{5, 0}, {0, 4}, {0, 0}, {kSizeMax, 0}};
    for (const auto& [rows, m] : shapes) {
        const auto packed = PackedPq4Codes::pack({}, rows, m);
        ASSERT_TRUE(packed.has_value()) << rows << "x" << m;
        EXPECT_TRUE(packed->data.empty());
        EXPECT_EQ(packed->rows, rows);
        EXPECT_EQ(packed->m, m);
        EXPECT_EQ(packed->pairs, m - m / 2);
    }
}

// ---------------------------------------------------------------- float scan

TEST(Pq4FloatScan, MatchesBruteForceBitForBit) {
    struct Shape {
        std::size_t rows, m, k;
    };
    // Row counts off the block and chunk sizes; center counts across the
    // scan's stack tiles of 64.
    const Shape shapes[] = {{1, 1, 1},    {31, 2, 3},    {33, 3, 5}, {256, 8, 64},
                            {257, 5, 65}, {600, 7, 130}, {70, 0, 4}, {4100, 3, 40}};
    for (const Shape& shape : shapes) {
        const auto codes = random_codes(shape.rows, shape.m, 11);
        const auto table = random_table(shape.m, shape.k, 12);
        const PackedPq4Codes packed = pack_ok(codes, shape.rows, shape.m);
        const auto [want_labels, want_distances] = reference_scan(codes, shape.rows, shape.m, table, shape.k);
        for (const bool one_worker : {false, true}) {
            std::optional<tarvinex::parallel::WorkerLimit> limit;
            if (one_worker) {
                limit.emplace(1);
            }
            std::vector<std::size_t> labels(shape.rows, 99);
            std::vector<float> distances(shape.rows, -1.0f);
            pq4::assign_pq4_lookup_into(packed, table, shape.k, labels, distances);
            EXPECT_EQ(labels, want_labels) << shape.rows << "x" << shape.m << " k=" << shape.k;
            expect_bitwise_equal(distances, want_distances);
            for (std::size_t i = 0; i < shape.rows; ++i) {
                EXPECT_EQ(std::bit_cast<std::uint32_t>(distances[i]),
                          std::bit_cast<std::uint32_t>(pq4::pq4_exact_distance(packed, table, shape.k, i, labels[i])));
            }
        }
        // The same table in blocks of centers, each block a table of its own;
        // widths that divide no k here, and a full lane group.
        for (const std::size_t block : {std::size_t{1}, std::size_t{7}, std::size_t{16}}) {
            std::vector<float> blocked(table.size());
            for (std::size_t j = 0; j < shape.k; ++j) {
                const std::size_t begin = j - j % block;
                const std::size_t width = std::min(block, shape.k - begin);
                for (std::size_t r = 0; r < shape.m * 16; ++r) {
                    blocked[begin * shape.m * 16 + r * width + (j - begin)] = table[r * shape.k + j];
                }
            }
            std::vector<std::size_t> labels(shape.rows, 99);
            std::vector<float> distances(shape.rows, -1.0f);
            pq4::assign_pq4_lookup_into(packed, blocked, shape.k, block, labels, distances);
            EXPECT_EQ(labels, want_labels) << shape.rows << "x" << shape.m << " k=" << shape.k << " block=" << block;
            expect_bitwise_equal(distances, want_distances);
        }
    }
}

TEST(Pq4FloatScan, TiesNaNAndEmptyTables) {
    // M = 1, k = 70: the entry of code v and center j is at v*70 + j.
    constexpr std::size_t kK = 70;
    std::vector<float> table(16 * kK, 9.0f);
    const auto set = [&](std::size_t v, std::size_t j, float value) { table[v * kK + j] = value; };
    set(0, 0, kNaN);  // code 0: NaN first, then a tie between 3 and 66 (another tile)
    set(0, 3, 1.0f);
    set(0, 66, 1.0f);
    for (std::size_t j = 0; j < kK; ++j) {  // code 1: nothing but NaN and +inf
        set(1, j, j % 2 == 0 ? kNaN : kInf);
    }
    for (std::size_t j = 0; j < kK; ++j) {  // code 2: -0.0 everywhere sums to +0.0 from +0.0
        set(2, j, -0.0f);
    }
    const std::vector<std::uint8_t> codes{0, 1, 2};
    const PackedPq4Codes packed = pack_ok(codes, 3, 1);
    std::vector<std::size_t> labels(3, 99);
    std::vector<float> distances(3, -1.0f);
    pq4::assign_pq4_lookup_into(packed, table, kK, labels, distances);
    EXPECT_EQ(labels, (std::vector<std::size_t>{3, 0, 0}));
    expect_bitwise_equal(distances, std::vector<float>{1.0f, kInf, 0.0f});

    // k = 0: label 0 at +inf. M = 0: every center sums to +0.0, so center 0.
    const PackedPq4Codes no_subquantizers = pack_ok({}, 40, 0);
    const struct {
        const PackedPq4Codes* packed;
        std::size_t k;
        float distance;
    } empty_cases[] = {{&packed, 0, kInf}, {&no_subquantizers, 3, 0.0f}};
    for (const auto& c : empty_cases) {
        std::vector<std::size_t> l(c.packed->rows, 99);
        std::vector<float> d(c.packed->rows, -1.0f);
        pq4::assign_pq4_lookup_into(*c.packed, {}, c.k, l, d);
        EXPECT_EQ(l, std::vector<std::size_t>(c.packed->rows, 0));
        expect_bitwise_equal(d, std::vector<float>(c.packed->rows, c.distance));
    }
}

// ---------------------------------------------------------------- quantized tables

TEST(Pq4QuantizedTables, LevelsByHand) {
    // M = 1, k = 2: entry (code v, center j) at v*2 + j. Center 0 spans
    // [10, 265], so globally scale = 255/255 = 1 and level = round(entry - 10).
    // Center 1 spans [50, 138.5].
    std::vector<float> table(32);
    const float center0[16] = {10, 12.5f, 264.6f, 265, 10.5f, 11.49f, 10, 10, 10, 10, 10, 10, 10, 10, 10, 10};
    const float center1[16] = {138.5f, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50, 50};
    for (std::size_t v = 0; v < 16; ++v) {
        table[v * 2] = center0[v];
        table[v * 2 + 1] = center1[v];
    }
    // 2.5 -> 3 and 0.5 -> 1 (halfway away from zero), 254.6 -> 255, 1.49 -> 1.
    const std::vector<std::uint8_t> center0_levels{0, 3, 255, 255, 1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    std::vector<std::uint8_t> want_global = center0_levels;
    // 138.5 - 10 = 128.5 -> 129; 50 - 10 = 40.
    want_global.push_back(129);
    want_global.insert(want_global.end(), 15, 40);
    std::vector<std::uint8_t> want_per_cluster = center0_levels;
    want_per_cluster.push_back(255);
    want_per_cluster.insert(want_per_cluster.end(), 15, 0);

    QuantizedPq4LookupTables global;
    ASSERT_TRUE(global.update_from_f32(table, 1, 2, LutCalibration::Global));
    EXPECT_EQ(global.quantized, want_global);
    EXPECT_EQ(global.global_scale, 1.0f);
    EXPECT_EQ(global.global_bias, 10.0f);
    EXPECT_TRUE(global.scales.empty());
    EXPECT_TRUE(global.biases.empty());
    EXPECT_FALSE(global.per_cluster);
    EXPECT_EQ(global.m, 1u);
    EXPECT_EQ(global.k, 2u);

    // Refilling in place switches mode and clears what the other mode used.
    QuantizedPq4LookupTables per_cluster = global;
    ASSERT_TRUE(per_cluster.update_from_f32(table, 1, 2, LutCalibration::PerCluster));
    EXPECT_EQ(per_cluster.quantized, want_per_cluster);
    EXPECT_EQ(bit_patterns(per_cluster.scales), bit_patterns(std::vector<float>{1.0f, 88.5f / 255.0f}));
    EXPECT_EQ(bit_patterns(per_cluster.biases), bit_patterns(std::vector<float>{10.0f, 50.0f}));
    EXPECT_EQ(per_cluster.global_scale, 1.0f);
    EXPECT_EQ(per_cluster.global_bias, 0.0f);
    EXPECT_TRUE(per_cluster.per_cluster);

    ASSERT_TRUE(per_cluster.update_from_f32(table, 1, 2, LutCalibration::Global));
    expect_same_tables(per_cluster, global);
}

TEST(Pq4QuantizedTables, LevelsAreCenterMajor) {
    // Integer entries spanning exactly [0, 255] quantize to themselves, so the
    // level of (c, s, v) must be the entry of (s, v, c).
    constexpr std::size_t kM = 3;
    constexpr std::size_t kK = 5;
    std::vector<float> table(kM * 16 * kK);
    for (std::size_t e = 0; e < table.size(); ++e) {
        table[e] = static_cast<float>((e * 37) % 256);
    }
    table[0] = 0.0f;
    table[1] = 255.0f;
    QuantizedPq4LookupTables tables;
    ASSERT_TRUE(tables.update_from_f32(table, kM, kK, LutCalibration::Global));
    ASSERT_EQ(tables.quantized.size(), kK * kM * 16);
    for (std::size_t c = 0; c < kK; ++c) {
        for (std::size_t s = 0; s < kM; ++s) {
            for (std::size_t v = 0; v < 16; ++v) {
                EXPECT_EQ(tables.quantized[(c * kM + s) * 16 + v], table[(s * 16 + v) * kK + c]);
            }
        }
    }
}

TEST(Pq4QuantizedTables, FlatRangesGiveScaleOneAndZeroLevels) {
    // Center 1 is flat; center 0 is not.
    std::vector<float> table(2 * 16 * 2, 4.0f);
    for (std::size_t e = 0; e < 32; ++e) {
        table[e * 2] = static_cast<float>(e);
    }
    QuantizedPq4LookupTables per_cluster;
    ASSERT_TRUE(per_cluster.update_from_f32(table, 2, 2, LutCalibration::PerCluster));
    EXPECT_EQ(per_cluster.scales[1], 1.0f);
    EXPECT_EQ(per_cluster.biases[1], 4.0f);
    EXPECT_EQ(std::vector<std::uint8_t>(per_cluster.quantized.begin() + 32, per_cluster.quantized.end()),
              std::vector<std::uint8_t>(32, 0));

    const std::vector<float> all_equal(2 * 16 * 3, -2.5f);
    QuantizedPq4LookupTables global;
    ASSERT_TRUE(global.update_from_f32(all_equal, 2, 3, LutCalibration::Global));
    EXPECT_EQ(global.global_scale, 1.0f);
    EXPECT_EQ(global.global_bias, -2.5f);
    EXPECT_EQ(global.quantized, std::vector<std::uint8_t>(96, 0));
}

TEST(Pq4QuantizedTables, AcceptsUpTo257Subquantizers) {
    // Code 0 holds the maximum, so every level of code 0 is 255 and a row of
    // zero codes sums to 257 * 255 = 65535 exactly.
    constexpr std::size_t kM = 257;
    std::vector<float> table(kM * 16, 0.0f);
    for (std::size_t s = 0; s < kM; ++s) {
        table[s * 16] = 1.0f;
    }
    const PackedPq4Codes packed = pack_ok(std::vector<std::uint8_t>(3 * kM, 0), 3, kM);
    for (LutCalibration calibration : kCalibrations) {
        QuantizedPq4LookupTables tables;
        ASSERT_TRUE(tables.update_from_f32(table, kM, 1, calibration));
        for (const Pq4Kernels& k : runnable_kernels()) {
            std::uint16_t out[32];
            k.scan_cluster(packed, tables, 0, 0, out);
            for (std::size_t r = 0; r < 3; ++r) {
                EXPECT_EQ(out[r], 65535) << name_of(k);
            }
        }
    }
    const std::vector<float> too_many(258 * 16, 0.0f);
    QuantizedPq4LookupTables tables;
    EXPECT_FALSE(tables.update_from_f32(too_many, 258, 1, LutCalibration::Global));
}

TEST(Pq4QuantizedTables, RefusalsLeaveEveryFieldUnchanged) {
    const auto table_with = [](std::size_t m, std::size_t k,
                               std::initializer_list<std::pair<std::size_t, float>> entries) {
        std::vector<float> table = random_table(m, k, 3);
        for (const auto& [at, value] : entries) {
            table[at] = value;
        }
        return table;
    };
    // Center 0 holds only -3e38 and center 1 only 3e38: each center is flat,
    // but the whole table's range overflows.
    std::vector<float> far_apart(2 * 16 * 2);
    for (std::size_t e = 0; e < far_apart.size(); ++e) {
        far_apart[e] = e % 2 == 0 ? -3e38f : 3e38f;
    }
    // Center 1 spans 7 subnormal steps, whose 255th part is 0; the whole
    // table's range is wide.
    std::vector<float> subnormal_center = random_table(1, 2, 4);
    for (std::size_t v = 0; v < 16; ++v) {
        subnormal_center[v * 2 + 1] = v == 0 ? 1e-44f : 0.0f;
    }
    struct Case {
        const char* name;
        std::vector<float> table;
        std::size_t m;
        std::size_t k;
        bool refused_global;
        bool refused_per_cluster;
    };
    const Case cases[] = {
        {"NaN", table_with(2, 3, {{17, kNaN}}), 2, 3, true, true},
        {"+inf", table_with(2, 3, {{95, kInf}}), 2, 3, true, true},
        {"-inf", table_with(2, 3, {{0, -kInf}}), 2, 3, true, true},
        {"one entry short", std::vector<float>(2 * 16 * 3 - 1, 1.0f), 2, 3, true, true},
        {"one entry long", std::vector<float>(2 * 16 * 3 + 1, 1.0f), 2, 3, true, true},
        {"k = 0", {}, 2, 0, true, true},
        {"258 subquantizers", std::vector<float>(258 * 16, 1.0f), 258, 1, true, true},
        {"M*16 overflows", {}, kSizeMax / 8, 1, true, true},
        {"M*16*k overflows", {}, 2, kSizeMax / 16, true, true},
        {"range -3e38..3e38 within center 0", table_with(1, 2, {{0, -3e38f}, {2, 3e38f}}), 1, 2, true, true},
        {"range -3e38..3e38 across centers", far_apart, 2, 2, true, false},
        {"subnormal range of one center", subnormal_center, 1, 2, false, true},
    };
    QuantizedPq4LookupTables before;
    ASSERT_TRUE(before.update_from_f32(random_table(3, 4, 5), 3, 4, LutCalibration::PerCluster));
    for (const Case& c : cases) {
        const bool refused[] = {c.refused_global, c.refused_per_cluster};
        for (std::size_t mode = 0; mode < 2; ++mode) {
            QuantizedPq4LookupTables tables = before;
            const bool accepted = tables.update_from_f32(c.table, c.m, c.k, kCalibrations[mode]);
            EXPECT_EQ(accepted, !refused[mode]) << c.name << " mode " << mode;
            if (!accepted) {
                expect_same_tables(tables, before);
            }
        }
    }

    // A refused assignment leaves its outputs alone.
    const auto codes = random_codes(40, 2, 6);
    const PackedPq4Codes packed = pack_ok(codes, 40, 2);
    std::vector<std::size_t> labels(40, 7);
    std::vector<float> distances(40, -1.0f);
    QuantizedPq4LookupTables tables = before;
    EXPECT_FALSE(pq4::assign_pq4_lookup_quantized_into(packed, table_with(2, 3, {{5, kNaN}}), 3, tables, labels,
                                                       distances, pq4::pq4_kernels_for(simd::SliceKernel::Scalar, {}),
                                                       LutCalibration::Global));
    EXPECT_EQ(labels, std::vector<std::size_t>(40, 7));
    EXPECT_EQ(distances, std::vector<float>(40, -1.0f));
    expect_same_tables(tables, before);
}

// ---------------------------------------------------------------- switches

TEST(Pq4Switches, ReadNormalisedWords) {
    const std::pair<std::optional<std::string>, LutCalibration> calibrations[] = {
        {"Per_Centroid", LutCalibration::PerCluster}, {"per-cluster", LutCalibration::PerCluster},
        {"CLUSTER", LutCalibration::PerCluster},      {"centroid", LutCalibration::PerCluster},
        {"clusters", LutCalibration::Global},         {" cluster", LutCalibration::Global},
        {"global", LutCalibration::Global},           {"\xff", LutCalibration::Global},
        {std::nullopt, LutCalibration::Global},
    };
    for (const auto& [value, want] : calibrations) {
        const auto env = value ? fake_env({{settings::names::kPq4LutCalibration, *value}}) : fake_env({});
        EXPECT_EQ(pq4::lut_calibration(env), want) << value.value_or("<unset>");
    }
    const std::pair<std::optional<std::string>, bool> fastscan[] = {
        {"Fast-Scan", true}, {"1", true},  {"ON", true}, {"yes", true},  {"True", true},        {"auto", true},
        {"enabled", false},  {"0", false}, {"", false},  {"on ", false}, {std::nullopt, false},
    };
    for (const auto& [value, want] : fastscan) {
        const auto env = value ? fake_env({{settings::names::kPq4Fastscan, *value}}) : fake_env({});
        EXPECT_EQ(pq4::pq4_fastscan_enabled(env), want) << value.value_or("<unset>");
    }

    // A driver's one read takes both words from the lookup it is given.
    const struct {
        std::map<std::string, std::string> env;
        bool enabled;
        LutCalibration calibration;
    } reads[] = {
        {{}, false, LutCalibration::Global},
        {{{settings::names::kPq4Fastscan, "on"}}, true, LutCalibration::Global},
        {{{settings::names::kPq4Fastscan, "1"}, {settings::names::kPq4LutCalibration, "cluster"}},
         true,
         LutCalibration::PerCluster},
    };
    for (const auto& read : reads) {
        const pq4::FastScanSettings got = pq4::read_fastscan_settings(fake_env(read.env));
        EXPECT_EQ(got.enabled, read.enabled) << read.env.size() << " variables set";
        EXPECT_EQ(got.calibration, read.calibration) << read.env.size() << " variables set";
    }
}

// ---------------------------------------------------------------- kernels and fast-scan

TEST(Pq4Kernels, EachFamilyFallsBackToTheHighestOneTheProcessorRuns) {
    using simd::SliceKernel;
    // Indexed by family: each family's scan kernel with its own fused selector.
    const Pq4Kernels entries[] = {
        {SliceKernel::Scalar, pq4::pq4_scan_cluster_scalar, nullptr},
        {SliceKernel::Avx2, pq4::pq4_scan_cluster_avx2, pq4::pq4_select_block_global_avx2},
        {SliceKernel::Avx512, pq4::pq4_scan_cluster_avx512, pq4::pq4_select_block_global_avx512},
    };
    constexpr simd::CpuFeatures kNone{};
    constexpr simd::CpuFeatures kAvx2{.avx2 = true};
    constexpr simd::CpuFeatures kAvx512WithoutBw{.avx2 = true, .avx512f = true};
    constexpr simd::CpuFeatures kAvx512fAlone{.avx512f = true};
    constexpr simd::CpuFeatures kAvx512BwWithoutAvx2{.avx512f = true, .avx512bw = true};
    constexpr simd::CpuFeatures kAll{.avx2 = true, .avx512f = true, .avx512bw = true};
    const struct {
        SliceKernel family;
        simd::CpuFeatures features;
        const char* processor;
        SliceKernel want;
    } cases[] = {
        {SliceKernel::Scalar, kAll, "everything", SliceKernel::Scalar},
        {SliceKernel::Scalar, kNone, "nothing", SliceKernel::Scalar},
        {SliceKernel::Avx2, kAll, "everything", SliceKernel::Avx2},
        {SliceKernel::Avx2, kAvx2, "AVX2", SliceKernel::Avx2},
        {SliceKernel::Avx2, kAvx512BwWithoutAvx2, "AVX-512BW without AVX2", SliceKernel::Scalar},
        {SliceKernel::Avx2, kNone, "nothing", SliceKernel::Scalar},
        {SliceKernel::Avx512, kAll, "everything", SliceKernel::Avx512},
        {SliceKernel::Avx512, kAvx512BwWithoutAvx2, "AVX-512BW without AVX2", SliceKernel::Avx512},
        {SliceKernel::Avx512, kAvx512WithoutBw, "AVX2 and AVX-512F without BW", SliceKernel::Avx2},
        {SliceKernel::Avx512, kAvx512fAlone, "AVX-512F alone", SliceKernel::Scalar},
        {SliceKernel::Avx512, kNone, "nothing", SliceKernel::Scalar},
    };
    for (const auto& c : cases) {
        const Pq4Kernels got = pq4::pq4_kernels_for(c.family, c.features);
        const Pq4Kernels& want = entries[static_cast<std::size_t>(c.want)];
        const std::string trace = std::string(simd::slice_kernel_label(c.family)) + " on " + c.processor;
        EXPECT_EQ(got.family, want.family) << trace;
        EXPECT_EQ(got.scan_cluster, want.scan_cluster) << trace;
        EXPECT_EQ(got.select_block_global, want.select_block_global) << trace;
    }
}

TEST(Pq4ScanKernels, EveryKernelSumsTheLevelsOfRealRows) {
    constexpr std::size_t kRows = 70;  // the third block has 6 real rows
    constexpr std::size_t kK = 3;
    for (std::size_t m : {0, 1, 2, 3, 4, 7, 8, 15, 16, 17, 31, 64, 65}) {
        const auto codes = random_codes(kRows, m, 20 + static_cast<std::uint32_t>(m));
        const PackedPq4Codes packed = pack_ok(codes, kRows, m);
        QuantizedPq4LookupTables tables;
        ASSERT_TRUE(tables.update_from_f32(random_table(m, kK, 21), m, kK, LutCalibration::PerCluster));
        for (std::size_t block = 0; block < packed.blocks(); ++block) {
            for (std::size_t c = 0; c < kK; ++c) {
                for (const Pq4Kernels& k : runnable_kernels()) {
                    std::uint16_t out[32];
                    k.scan_cluster(packed, tables, block, c, out);
                    for (std::size_t r = 0; r < 32; ++r) {
                        const std::size_t row = block * 32 + r;
                        std::uint32_t want = 0;
                        for (std::size_t s = 0; s < m; ++s) {
                            const std::uint8_t code = row < kRows ? codes[row * m + s] : 0;
                            want += tables.quantized[(c * m + s) * 16 + code];
                        }
                        // Padding: the portable kernel marks it, the vector
                        // kernels decode the zero bytes.
                        if (row >= kRows && k.family == simd::SliceKernel::Scalar) {
                            want = 65535;
                        }
                        EXPECT_EQ(out[r], want) << name_of(k) << " m=" << m << " block=" << block << " r=" << r;
                    }
                }
            }
        }
    }
}

/// The fast-scan's choice by brute force from the levels: raw sums from 65535
/// in global mode, float estimates from +inf per cluster.
std::vector<std::size_t> reference_fastscan_labels(const std::vector<std::uint8_t>& codes, std::size_t rows,
                                                   std::size_t m, const QuantizedPq4LookupTables& tables) {
    std::vector<std::size_t> labels(rows, 0);
    for (std::size_t i = 0; i < rows; ++i) {
        std::uint32_t best_sum = 65535;
        float best_estimate = kInf;
        for (std::size_t c = 0; c < tables.k; ++c) {
            std::uint32_t sum = 0;
            for (std::size_t s = 0; s < m; ++s) {
                sum += tables.quantized[(c * m + s) * 16 + codes[i * m + s]];
            }
            if (tables.per_cluster) {
                const float scaled = static_cast<float>(sum) * tables.scales[c];
                const float offset = static_cast<float>(m) * tables.biases[c];
                const float estimate = scaled + offset;
                if (estimate < best_estimate) {
                    best_estimate = estimate;
                    labels[i] = c;
                }
            } else if (sum < best_sum) {
                best_sum = sum;
                labels[i] = c;
            }
        }
    }
    return labels;
}

TEST(Pq4FastScan, EveryKernelAndWorkerCountGivesTheSameExactResult) {
    constexpr std::size_t kRows = 600;  // three chunks, the last with a short block
    constexpr std::size_t kM = 5;
    constexpr std::size_t kK = 40;
    const auto codes = random_codes(kRows, kM, 30);
    // A coarse table makes ties between raw sums common.
    std::vector<float> table = random_table(kM, kK, 31);
    for (float& e : table) {
        e = std::round(e);
    }
    const PackedPq4Codes packed = pack_ok(codes, kRows, kM);
    // Without its fused block selector, a family's scan kernel must pick the same winners.
    std::vector<Pq4Kernels> variants;
    for (const Pq4Kernels& runnable : runnable_kernels()) {
        variants.push_back(runnable);
        if (runnable.select_block_global != nullptr) {
            variants.push_back({runnable.family, runnable.scan_cluster, nullptr});
        }
    }
    for (LutCalibration calibration : kCalibrations) {
        QuantizedPq4LookupTables tables;
        ASSERT_TRUE(tables.update_from_f32(table, kM, kK, calibration));
        const auto want_labels = reference_fastscan_labels(codes, kRows, kM, tables);
        for (const Pq4Kernels& k : variants) {
            for (const bool one_worker : {false, true}) {
                std::optional<tarvinex::parallel::WorkerLimit> limit;
                if (one_worker) {
                    limit.emplace(1);
                }
                // Sentinels past the rows catch a write beyond the last real row.
                std::vector<std::size_t> labels(kRows + 8, 777);
                std::vector<float> distances(kRows + 8, -1.0f);
                ASSERT_TRUE(pq4::assign_pq4_lookup_quantized_into(packed, table, kK, tables,
                                                                  std::span(labels).first(kRows),
                                                                  std::span(distances).first(kRows), k, calibration));
                EXPECT_EQ(std::vector<std::size_t>(labels.begin(), labels.begin() + kRows), want_labels)
                    << name_of(k) << (k.select_block_global != nullptr ? " fused" : "");
                for (std::size_t i = 0; i < kRows; ++i) {
                    EXPECT_EQ(std::bit_cast<std::uint32_t>(distances[i]),
                              std::bit_cast<std::uint32_t>(pq4::pq4_exact_distance(packed, table, kK, i, labels[i])));
                }
                EXPECT_EQ(std::vector<std::size_t>(labels.begin() + kRows, labels.end()),
                          std::vector<std::size_t>(8, 777));
                EXPECT_EQ(std::vector<float>(distances.begin() + kRows, distances.end()), std::vector<float>(8, -1.0f));
            }
        }
    }
}

TEST(Pq4FastScan, AgreesWithFloatScanOnWellSeparatedCenters) {
    // Center j sits at code 4j in every subquantizer; entries are squared
    // code differences and rows stray by at most one code, so a row's own
    // center beats any other by far more than the quantization error.
    constexpr std::size_t kRows = 300;
    constexpr std::size_t kM = 6;
    constexpr std::size_t kK = 4;
    std::vector<float> table(kM * 16 * kK);
    for (std::size_t s = 0; s < kM; ++s) {
        for (std::size_t v = 0; v < 16; ++v) {
            for (std::size_t j = 0; j < kK; ++j) {
                const float d = static_cast<float>(v) - static_cast<float>(4 * j);
                table[(s * 16 + v) * kK + j] = d * d + 0.25f * static_cast<float>(s);
            }
        }
    }
    tarvinex::test::SplitMix rng(40);
    std::vector<std::uint8_t> codes(kRows * kM);
    for (std::size_t i = 0; i < kRows; ++i) {
        for (std::size_t s = 0; s < kM; ++s) {
            codes[i * kM + s] = static_cast<std::uint8_t>(4 * (i % kK) + rng.next() % 2);
        }
    }
    const PackedPq4Codes packed = pack_ok(codes, kRows, kM);
    std::vector<std::size_t> float_labels(kRows);
    std::vector<float> float_distances(kRows);
    pq4::assign_pq4_lookup_into(packed, table, kK, float_labels, float_distances);
    for (LutCalibration calibration : kCalibrations) {
        for (const Pq4Kernels& k : runnable_kernels()) {
            QuantizedPq4LookupTables tables;
            std::vector<std::size_t> labels(kRows);
            std::vector<float> distances(kRows);
            ASSERT_TRUE(
                pq4::assign_pq4_lookup_quantized_into(packed, table, kK, tables, labels, distances, k, calibration));
            EXPECT_EQ(labels, float_labels) << name_of(k);
            expect_bitwise_equal(distances, float_distances);
        }
    }
}

TEST(Pq4FastScan, FlatGlobalTableTiesToCenterZero) {
    const auto codes = random_codes(45, 3, 50);
    const PackedPq4Codes packed = pack_ok(codes, 45, 3);
    const std::vector<float> table(3 * 16 * 4, 0.75f);
    QuantizedPq4LookupTables tables;
    std::vector<std::size_t> labels(45, 9);
    std::vector<float> distances(45);
    ASSERT_TRUE(pq4::assign_pq4_lookup_quantized_into(packed, table, 4, tables, labels, distances,
                                                      pq4::selected_pq4_kernels(), LutCalibration::Global));
    EXPECT_EQ(labels, std::vector<std::size_t>(45, 0));
    EXPECT_EQ(distances, std::vector<float>(45, 0.75f + 0.75f + 0.75f));
}

}  // namespace
