// With the fast-scan on, the assignment passes over 16-codeword models scan
// packed codes with the quantized fast-scan whenever a table was built and can
// be quantized, and fall back to the float scans otherwise.
//
// A driver reads the switches once and hands them to its passes, so each pass
// here gets them as a value and no environment is touched. The table fills and
// the float paths are checked against a brute-force reference in
// test_pqkmeans_assign; here each pass is compared with the scan it must have
// dispatched to, run directly on the same table.
#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "array/array.hpp"
#include "pq4/packed_codes.hpp"
#include "pq4/quantized_tables.hpp"
#include "pqkmeans/pqkmeans.hpp"
#include "testing.hpp"

namespace {

namespace pqkmeans = tarvinex::pqkmeans;
namespace pq4 = tarvinex::pq4;
namespace array = tarvinex::array;
using pqkmeans::AssignmentBuffers;
using pqkmeans::PqKMeans;
using tarvinex::test::bit_patterns;

constexpr std::size_t kKs = 16;
constexpr std::size_t kDefaultBudget = 1073741824;
constexpr pq4::FastScanSettings kFastScan{.enabled = true, .calibration = pq4::LutCalibration::Global};

/// Values in [-4, 4) on a 1/4096 grid, and codes below 16.
class TestRng : public tarvinex::test::SplitMix {
public:
    using SplitMix::SplitMix;
    std::vector<float> floats(std::size_t n) {
        std::vector<float> v = integers(n, -16384, 16383);
        for (float& x : v) {
            x /= 4096.0F;
        }
        return v;
    }
    std::vector<std::uint8_t> codes(std::size_t n) { return SplitMix::codes(n, kKs); }
};

struct Scan {
    std::vector<std::size_t> labels;
    std::vector<float> distances;
};

void expect_same(const AssignmentBuffers& got, const Scan& want) {
    EXPECT_EQ(got.labels, want.labels);
    EXPECT_EQ(bit_patterns(got.distances), bit_patterns(want.distances));
}

struct Problem {
    std::size_t m, n;
    array::Codebook<float> codewords;
    std::vector<std::uint8_t> codes;
    pq4::PackedPq4Codes packed;

    [[nodiscard]] array::MatrixView<const std::uint8_t> code_view() const {
        return array::MatrixView<const std::uint8_t>::c_order(codes.data(), {n, m});
    }
    [[nodiscard]] PqKMeans model(std::size_t k, std::size_t budget) const {
        auto built = PqKMeans::new_with_options_and_spherical(codewords, std::nullopt, k, 1, 0, false, budget,
                                                              pqkmeans::InitMethod::Random, false, false);
        EXPECT_TRUE(built.has_value());
        return std::move(*built);
    }
};

Problem make_problem(std::size_t m, std::size_t ds, std::size_t n, std::uint64_t seed) {
    TestRng rng(seed);
    Problem p{
        m, n, array::Codebook<float>(rng.floats(m * kKs * ds), array::Shape<3>{m, kKs, ds}), rng.codes(n * m), {}};
    p.packed = std::move(*pq4::PackedPq4Codes::pack(p.codes, n, m));
    return p;
}

Scan quantized_scan(const Problem& p, std::span<const float> table, std::size_t k, pq4::LutCalibration calibration) {
    Scan out{std::vector<std::size_t>(p.n), std::vector<float>(p.n)};
    pq4::QuantizedPq4LookupTables fresh;
    EXPECT_TRUE(pq4::assign_pq4_lookup_quantized_into(p.packed, table, k, fresh, out.labels, out.distances,
                                                      pq4::selected_pq4_kernels(), calibration));
    return out;
}

Scan float_scan(const Problem& p, std::span<const float> table, std::size_t k) {
    Scan out{std::vector<std::size_t>(p.n), std::vector<float>(p.n)};
    pq4::assign_pq4_lookup_into(p.packed, table, k, out.labels, out.distances);
    return out;
}

/// The float table total of row i for center j, from +0.0 in subquantizer order.
float table_total(const Problem& p, std::span<const float> table, std::size_t k, std::size_t i, std::size_t j) {
    float total = 0.0F;
    for (std::size_t s = 0; s < p.m; ++s) {
        total = total + table[(s * kKs + p.codes[i * p.m + s]) * k + j];
    }
    return total;
}

TEST(PqKMeansFastScan, ADriverReadsBothSwitchesFromItsLookup) {
    using tarvinex::test::fake_env;
    const pqkmeans::RunSettings on =
        pqkmeans::RunSettings::read(fake_env({{"TARVINEX_PQ4_FASTSCAN", "On"},
                                              {"TARVINEX_PQ4_LUT_CALIBRATION", "per-cluster"},
                                              {"TARVINEX_PROFILE_CLUSTER", ""}}));
    EXPECT_TRUE(on.profile);
    EXPECT_TRUE(on.fastscan.enabled);
    EXPECT_EQ(on.fastscan.calibration, pq4::LutCalibration::PerCluster);
    const pqkmeans::RunSettings off =
        pqkmeans::RunSettings::read(fake_env({{"TARVINEX_PQ4_LUT_CALIBRATION", "global"}}));
    EXPECT_FALSE(off.profile);
    EXPECT_FALSE(off.fastscan.enabled);
    EXPECT_EQ(off.fastscan.calibration, pq4::LutCalibration::Global);
}

TEST(PqKMeansFastScan, PackedPassesWithATableUseTheQuantizedScanAndRescoreExactly) {
    std::size_t rows_where_quantization_changed_the_winner = 0;
    for (const pq4::LutCalibration calibration : {pq4::LutCalibration::Global, pq4::LutCalibration::PerCluster}) {
        const pq4::FastScanSettings fastscan{.enabled = true, .calibration = calibration};
        for (const auto& [m, ds, n] : {std::array<std::size_t, 3>{5, 3, 1000}, std::array<std::size_t, 3>{4, 8, 257}}) {
            const Problem p = make_problem(m, ds, n, m);
            TestRng rng(8);
            // Shared across k, so the quantized tables are requantized in place.
            AssignmentBuffers buffers = AssignmentBuffers::create(p.n);
            for (const std::size_t k : {1, 7, 17, 33}) {
                SCOPED_TRACE("M " + std::to_string(m) + ", k " + std::to_string(k));
                const PqKMeans model = p.model(k, kDefaultBudget);
                const std::vector<std::uint8_t> centers = rng.codes(k * m);
                const std::vector<float> dense = rng.floats(k * m * ds);
                const auto center_view = array::MatrixView<const std::uint8_t>::c_order(centers.data(), {k, m});
                const auto dense_view = array::MatrixView<const float>::c_order(dense.data(), {k, m * ds});

                array::HugePageFloats table;
                ASSERT_TRUE(model.build_lookup_tables_into(center_view, k, table));
                pqkmeans::ClusterProfile profile;
                ASSERT_TRUE(model.assign_codes_into(p.code_view(), center_view, profile, &p.packed, fastscan, buffers));
                expect_same(buffers, quantized_scan(p, table, k, calibration));
                for (std::size_t i = 0; i < p.n; ++i) {
                    ASSERT_EQ(std::bit_cast<std::uint32_t>(buffers.distances[i]),
                              std::bit_cast<std::uint32_t>(table_total(p, table, k, i, buffers.labels[i])));
                }
                const Scan exact = float_scan(p, table, k);
                for (std::size_t i = 0; i < p.n; ++i) {
                    rows_where_quantization_changed_the_winner += buffers.labels[i] != exact.labels[i] ? 1 : 0;
                }

                ASSERT_TRUE(model.build_dense_lookup_tables_into(dense_view, k, table));
                ASSERT_TRUE(model.assign_adc_into(p.code_view(), dense_view, &p.packed, fastscan, buffers));
                expect_same(buffers, quantized_scan(p, table, k, calibration));

                // Unpacked codes never reach the quantized scan.
                Scan unpacked{std::vector<std::size_t>(p.n), std::vector<float>(p.n)};
                pqkmeans::assign_with_lookup_into(p.code_view(), table, kKs, k, k, unpacked.labels, unpacked.distances,
                                                  tarvinex::simd::SliceKernel::Scalar);
                ASSERT_TRUE(model.assign_adc_into(p.code_view(), dense_view, nullptr, fastscan, buffers));
                expect_same(buffers, unpacked);
            }
        }
    }
    // Otherwise this test could not tell the quantized scan from the float one.
    EXPECT_GT(rows_where_quantization_changed_the_winner, 0U);
}

TEST(PqKMeansFastScan, ATableThatCannotBeQuantizedFallsBackToTheFloatScan) {
    const Problem p = make_problem(5, 2, 300, 3);
    TestRng rng(9);
    const std::size_t k = 9;
    const PqKMeans model = p.model(k, kDefaultBudget);
    std::vector<float> dense = rng.floats(k * p.m * 2);
    const auto dense_view = array::MatrixView<const float>::c_order(dense.data(), {k, p.m * 2});
    AssignmentBuffers buffers = AssignmentBuffers::create(p.n);

    // A quantized pass first, so a stale result would show.
    ASSERT_TRUE(model.assign_adc_into(p.code_view(), dense_view, &p.packed, kFastScan, buffers));
    const pq4::QuantizedPq4LookupTables quantized_before = buffers.pq4_tables;

    dense[3 * p.m * 2 + 1] = std::numeric_limits<float>::infinity();
    array::HugePageFloats table;
    ASSERT_TRUE(model.build_dense_lookup_tables_into(dense_view, k, table));
    ASSERT_TRUE(model.assign_adc_into(p.code_view(), dense_view, &p.packed, kFastScan, buffers));
    expect_same(buffers, float_scan(p, table, k));
    EXPECT_EQ(buffers.pq4_tables.quantized, quantized_before.quantized);
}

TEST(PqKMeansFastScan, WithoutATablePackedCodesAreIgnored) {
    const Problem p = make_problem(4, 2, 257, 4);
    TestRng rng(10);
    const std::size_t k = 17;
    const PqKMeans model = p.model(k, 0);
    const std::vector<std::uint8_t> centers = rng.codes(k * p.m);
    const auto center_view = array::MatrixView<const std::uint8_t>::c_order(centers.data(), {k, p.m});
    Scan direct{std::vector<std::size_t>(p.n), std::vector<float>(p.n)};
    pqkmeans::assign_direct_into(p.code_view(), center_view, *model.codeword_distances(), kKs, direct.labels,
                                 direct.distances);

    AssignmentBuffers buffers = AssignmentBuffers::create(p.n);
    pqkmeans::ClusterProfile profile;
    ASSERT_TRUE(model.assign_codes_into(p.code_view(), center_view, profile, &p.packed, kFastScan, buffers));
    expect_same(buffers, direct);
    EXPECT_TRUE(buffers.lookup.empty());
    EXPECT_TRUE(buffers.pq4_tables.quantized.empty());
}

}  // namespace
