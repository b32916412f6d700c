// The symmetric and ADC assignment passes against a brute-force reference,
// bit for bit, on every path (lookup table, direct sums, 4-bit packed float
// scan) and every slice-kernel family this processor runs; the lookup-table
// fills; the input checks, empty inputs, non-finite centers and profile sums.
//
// The quantized 4-bit fast-scan is covered by test_pqkmeans_fastscan, which
// turns TARVINEX_PQ4_FASTSCAN on for its whole process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "array/array.hpp"
#include "pq4/quantized_tables.hpp"
#include "pqkmeans/pqkmeans.hpp"
#include "simd/cpu_features.hpp"
#include "simd/distance.hpp"
#include "testing.hpp"

namespace {

namespace pqkmeans = tarvinex::pqkmeans;
namespace array = tarvinex::array;
namespace simd = tarvinex::simd;
using pqkmeans::AssignmentBuffers;
using pqkmeans::PqKMeans;

using tarvinex::test::bit_patterns;
using tarvinex::test::kInf;
using tarvinex::test::kNaN;
using tarvinex::test::runnable_families;

constexpr std::size_t kDefaultBudget = 1073741824;
/// Packed passes here scan with floats; the fast-scan has its own tests.
constexpr tarvinex::pq4::FastScanSettings kFloatScan{};

/// Signed values over several binades, so a changed summation order shows.
class TestRng : public tarvinex::test::SplitMix {
public:
    using SplitMix::SplitMix;
    std::vector<float> floats(std::size_t n) { return spread(n, -3, 7, true); }
};

array::MatrixView<const std::uint8_t> code_view(const std::vector<std::uint8_t>& codes, std::size_t cols) {
    return array::MatrixView<const std::uint8_t>::c_order(codes.data(), {codes.size() / cols, cols});
}
array::MatrixView<const float> float_view(const std::vector<float>& values, std::size_t cols) {
    return array::MatrixView<const float>::c_order(values.data(), {values.size() / cols, cols});
}
/// A column-major (rows, cols) view: element (i, j) at i + rows*j.
template <typename T>
array::MatrixView<const T> column_major_view(const std::vector<T>& values, std::size_t rows, std::size_t cols) {
    return {values.data(), {rows, cols}, {1, static_cast<std::ptrdiff_t>(rows)}};
}

// --- The reference ---------------------------------------------------------

struct Assignment {
    std::vector<std::size_t> labels;
    std::vector<float> distances;
};

/// Every center in ascending order from (0, +inf); only a strictly smaller
/// total replaces the best.
template <typename Total>
Assignment nearest_by(std::size_t n, std::size_t k, Total&& total) {
    Assignment out{std::vector<std::size_t>(n, 0), std::vector<float>(n, kInf)};
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < k; ++j) {
            const float t = total(i, j);
            if (t < out.distances[i]) {
                out.labels[i] = j;
                out.distances[i] = t;
            }
        }
    }
    return out;
}

/// The problem the passes see: a C-ordered codebook, its table, codes and centers.
struct Problem {
    std::size_t m, ks, ds, n;
    array::Codebook<float> codewords;
    pqkmeans::CodewordDistances table;
    std::vector<std::uint8_t> codes;  ///< (n, M)

    [[nodiscard]] std::size_t dim() const { return m * ds; }
    [[nodiscard]] std::span<const float> codeword(std::size_t s, std::size_t c) const {
        return {codewords.storage().data() + (s * ks + c) * ds, ds};
    }

    /// Sum of D_cw entries from +0.0 in subquantizer order.
    [[nodiscard]] float symmetric_total(const std::uint8_t* row, const std::uint8_t* center) const {
        float total = 0.0F;
        for (std::size_t s = 0; s < m; ++s) {
            total = total + (*table)[(s * ks + row[s]) * ks + center[s]];
        }
        return total;
    }
    /// Sum of the fixed-width routine's distances from +0.0 in subquantizer order.
    [[nodiscard]] float adc_total(const std::uint8_t* row, const float* center) const {
        const simd::DistanceKernel kernel = simd::for_subdim(ds);
        float total = 0.0F;
        for (std::size_t s = 0; s < m; ++s) {
            total = total + simd::distance(kernel, codeword(s, row[s]), {center + s * ds, ds});
        }
        return total;
    }

    [[nodiscard]] Assignment symmetric_reference(const std::vector<std::uint8_t>& centers) const {
        return nearest_by(n, centers.size() / m, [&](std::size_t i, std::size_t j) {
            return symmetric_total(&codes[i * m], &centers[j * m]);
        });
    }
    [[nodiscard]] Assignment adc_reference(const std::vector<float>& centers) const {
        return nearest_by(n, centers.size() / dim(),
                          [&](std::size_t i, std::size_t j) { return adc_total(&codes[i * m], &centers[j * dim()]); });
    }

    /// Entry (s, c, j) of a table of k centers in blocks of `block` centers;
    /// block 0 means one block, the plain (M, Ks, k) table.
    template <typename Entry>
    [[nodiscard]] std::vector<float> table_of(std::size_t k, std::size_t block, Entry&& entry) const {
        std::vector<float> out(m * ks * k);
        for (std::size_t s = 0; s < m; ++s) {
            for (std::size_t c = 0; c < ks; ++c) {
                for (std::size_t j = 0; j < k; ++j) {
                    const std::size_t at =
                        block == 0 ? (s * ks + c) * k + j : pqkmeans::lookup_entry_index(m, ks, k, block, s, c, j);
                    out[at] = entry(s, c, j);
                }
            }
        }
        return out;
    }
    [[nodiscard]] std::vector<float> symmetric_table(const std::vector<std::uint8_t>& centers,
                                                     std::size_t block = 0) const {
        return table_of(centers.size() / m, block, [&](std::size_t s, std::size_t c, std::size_t j) {
            return (*table)[(s * ks + c) * ks + centers[j * m + s]];
        });
    }
    [[nodiscard]] std::vector<float> adc_table(const std::vector<float>& centers, std::size_t block = 0) const {
        const simd::DistanceKernel kernel = simd::for_subdim(ds);
        return table_of(centers.size() / dim(), block, [&](std::size_t s, std::size_t c, std::size_t j) {
            return simd::distance(kernel, codeword(s, c), {centers.data() + j * dim() + s * ds, ds});
        });
    }

    [[nodiscard]] PqKMeans model(std::size_t k, std::size_t budget) const {
        auto built = PqKMeans::with_codeword_distances_and_options(codewords, table, std::nullopt, k, 1, 0, false,
                                                                   budget, pqkmeans::InitMethod::Random, false, false);
        EXPECT_TRUE(built.has_value());
        return std::move(*built);
    }
};

Problem make_problem(std::size_t m, std::size_t ks, std::size_t ds, std::size_t n, std::uint64_t seed) {
    TestRng rng(seed);
    array::Codebook<float> codewords(rng.floats(m * ks * ds), array::Shape<3>{m, ks, ds});
    auto table = std::make_shared<const std::vector<float>>(pqkmeans::compute_codeword_distances(codewords.view()));
    return Problem{m, ks, ds, n, std::move(codewords), std::move(table), rng.codes(n * m, ks)};
}

/// k center code rows; the last repeats the first, so every row the first
/// center wins is also a tie that the lower index must take.
std::vector<std::uint8_t> center_codes(const Problem& p, std::size_t k, TestRng& rng) {
    std::vector<std::uint8_t> centers = rng.codes(k * p.m, p.ks);
    std::copy_n(centers.begin(), p.m, centers.end() - static_cast<std::ptrdiff_t>(p.m));
    return centers;
}
std::vector<float> dense_centers(const Problem& p, std::size_t k, TestRng& rng) {
    std::vector<float> centers = rng.floats(k * p.dim());
    std::copy_n(centers.begin(), p.dim(), centers.end() - static_cast<std::ptrdiff_t>(p.dim()));
    return centers;
}

void expect_assignment(const AssignmentBuffers& buffers, const Assignment& want) {
    EXPECT_EQ(buffers.labels, want.labels);
    EXPECT_EQ(bit_patterns(buffers.distances), bit_patterns(want.distances));
}

// --- Every path against the reference --------------------------------------

struct PassCase {
    const char* name;
    std::size_t m, ks, ds, n;
};

void PrintTo(const PassCase& c, std::ostream* os) { *os << c.name; }

const PassCase kPassCases[] = {
    {"m8_ks256_ds4", 8, 256, 4, 1000},     {"m5_ks16_ds3_packed", 5, 16, 3, 1000},
    {"m4_ks16_ds8_packed", 4, 16, 8, 257}, {"m3_ks3_ds2_many_ties", 3, 3, 2, 257},
    {"m1_ks40_ds16", 1, 40, 16, 300},
};

class EveryPath : public testing::TestWithParam<PassCase> {};

TEST_P(EveryPath, MatchesTheReferenceBitForBit) {
    const PassCase& c = GetParam();
    const Problem p = make_problem(c.m, c.ks, c.ds, c.n, c.m * 1000 + c.ks);
    const auto codes = code_view(p.codes, p.m);
    TestRng rng(77);
    const bool packs = p.ks == pqkmeans::kPq4CodebookSize;
    // The quantized scan would pick by its estimates; its own binary covers it.
    const bool fastscan_on = tarvinex::pq4::pq4_fastscan_enabled();

    // One set of buffers for the whole test: passes must not depend on what
    // earlier passes, other k or other budgets left in them.
    AssignmentBuffers buffers = AssignmentBuffers::create(3);
    for (const std::size_t k : {1, 7, 17, 33}) {
        const std::vector<std::uint8_t> centers = center_codes(p, k, rng);
        const std::vector<float> dense = dense_centers(p, k, rng);
        const Assignment symmetric_want = p.symmetric_reference(centers);
        const Assignment adc_want = p.adc_reference(dense);

        const std::size_t table_bytes = 4 * p.m * p.ks * k;
        for (const std::size_t budget : {std::size_t{0}, table_bytes - 1, table_bytes, kDefaultBudget}) {
            const PqKMeans model = p.model(k, budget);
            const bool table_fits = budget >= table_bytes;
            std::optional<tarvinex::pq4::PackedPq4Codes> packed;
            if (packs) {
                packed = std::move(*model.pack_pq4_codes(codes));
            }
            std::vector<const tarvinex::pq4::PackedPq4Codes*> packings{nullptr};
            if (packed && !(table_fits && fastscan_on)) {
                packings.push_back(&*packed);
            }
            for (const tarvinex::pq4::PackedPq4Codes* packing : packings) {
                SCOPED_TRACE("k " + std::to_string(k) + ", budget " + std::to_string(budget) +
                             (packing != nullptr ? ", packed" : ""));
                pqkmeans::ClusterProfile profile;

                // Unpacked passes scan the table in blocks sized to this core's cache.
                const std::size_t block = model.scan_block_centers(packing, kFloatScan);
                const std::vector<float> lookup_before(buffers.lookup.begin(), buffers.lookup.end());
                ASSERT_TRUE(
                    model.assign_codes_into(codes, code_view(centers, p.m), profile, packing, kFloatScan, buffers));
                expect_assignment(buffers, symmetric_want);
                EXPECT_EQ(bit_patterns(buffers.lookup),
                          bit_patterns(table_fits ? p.symmetric_table(centers, block) : lookup_before));

                const std::vector<float> lookup_between(buffers.lookup.begin(), buffers.lookup.end());
                ASSERT_TRUE(model.assign_adc_into(codes, float_view(dense, p.dim()), packing, kFloatScan, buffers));
                expect_assignment(buffers, adc_want);
                EXPECT_EQ(bit_patterns(buffers.lookup),
                          bit_patterns(table_fits ? p.adc_table(dense, block) : lookup_between));
            }
        }

        // Blocks of 1, of a width that divides no k here, of a full lane
        // group, and one block; the last repeated center puts a tie across
        // every block edge.
        for (const std::size_t block : {std::size_t{1}, std::size_t{5}, std::size_t{16}, k}) {
            const std::vector<float> symmetric_blocks = p.symmetric_table(centers, block);
            const std::vector<float> adc_blocks = p.adc_table(dense, block);
            for (const simd::SliceKernel family : runnable_families()) {
                SCOPED_TRACE("k " + std::to_string(k) + ", block " + std::to_string(block) + ", family " +
                             simd::slice_kernel_label(family));
                pqkmeans::assign_with_lookup_into(codes, symmetric_blocks, p.ks, k, block, buffers.labels,
                                                  buffers.distances, family);
                expect_assignment(buffers, symmetric_want);
                pqkmeans::assign_with_lookup_into(codes, adc_blocks, p.ks, k, block, buffers.labels, buffers.distances,
                                                  family);
                expect_assignment(buffers, adc_want);
            }
        }
        for (const simd::SliceKernel family : runnable_families()) {
            SCOPED_TRACE("k " + std::to_string(k) + ", direct sums, family " + simd::slice_kernel_label(family));
            pqkmeans::assign_direct_into(codes, code_view(centers, p.m), *p.table, p.ks, buffers.labels,
                                         buffers.distances, family);
            expect_assignment(buffers, symmetric_want);
        }
    }
}

TEST(PqKMeansAssign, ATieAcrossABlockEdgeGoesToTheCenterBeforeIt) {
    // Centers 15 and 16 are one code row, straddling the edge of blocks of 16
    // and inside blocks of 5 and 32; rows 0 .. 9 are that row itself, so
    // both score the least total, 0.
    Problem p = make_problem(6, 256, 2, 200, 31);
    TestRng rng(3);
    const std::size_t k = 40;
    std::vector<std::uint8_t> centers = rng.codes(k * p.m, p.ks);
    std::copy_n(centers.begin() + 15 * p.m, p.m, centers.begin() + 16 * p.m);
    for (std::size_t i = 0; i < 10; ++i) {
        std::copy_n(centers.begin() + 15 * p.m, p.m, p.codes.begin() + static_cast<std::ptrdiff_t>(i * p.m));
    }
    const Assignment want = p.symmetric_reference(centers);
    for (std::size_t i = 0; i < 10; ++i) {
        ASSERT_EQ(want.labels[i], 15U);
    }
    AssignmentBuffers buffers = AssignmentBuffers::create(p.n);
    for (const std::size_t block : {std::size_t{5}, std::size_t{16}, std::size_t{32}}) {
        const std::vector<float> table = p.symmetric_table(centers, block);
        for (const simd::SliceKernel family : runnable_families()) {
            SCOPED_TRACE("block " + std::to_string(block) + ", family " + simd::slice_kernel_label(family));
            pqkmeans::assign_with_lookup_into(code_view(p.codes, p.m), table, p.ks, k, block, buffers.labels,
                                              buffers.distances, family);
            expect_assignment(buffers, want);
        }
    }
}

TEST(PqKMeansAssign, WideTablesAndDirectSumsKeepTheFirstLeastCenter) {
    // At M = 16, Ks = 256 a table of 300 centers is scanned in blocks (of 128
    // where the cache is that of a small server); centers 127 and 128 are one
    // code row and rows 0 .. 4 are that row, so they tie at 0 across the first
    // edge. The odd row count leaves the direct sums a row without a partner.
    for (const std::size_t m : {std::size_t{8}, std::size_t{16}}) {
        Problem p = make_problem(m, 256, 1, 301, 40 + m);
        TestRng rng(m);
        const std::size_t k = 300;
        std::vector<std::uint8_t> centers = rng.codes(k * m, p.ks);
        std::copy_n(centers.begin() + 127 * m, m, centers.begin() + 128 * m);
        for (std::size_t i = 0; i < 5; ++i) {
            std::copy_n(centers.begin() + 127 * m, m, p.codes.begin() + static_cast<std::ptrdiff_t>(i * m));
        }
        const std::vector<float> dense = dense_centers(p, k, rng);
        const Assignment symmetric_want = p.symmetric_reference(centers);
        const Assignment adc_want = p.adc_reference(dense);
        EXPECT_EQ(symmetric_want.labels[0], 127U);
        for (const std::size_t budget : {std::size_t{0}, kDefaultBudget}) {
            SCOPED_TRACE("M " + std::to_string(m) + ", budget " + std::to_string(budget));
            const PqKMeans model = p.model(k, budget);
            AssignmentBuffers buffers = AssignmentBuffers::create(0);
            pqkmeans::ClusterProfile profile;
            ASSERT_TRUE(model.assign_codes_into(code_view(p.codes, m), code_view(centers, m), profile, nullptr,
                                                kFloatScan, buffers));
            expect_assignment(buffers, symmetric_want);
            ASSERT_TRUE(
                model.assign_adc_into(code_view(p.codes, m), float_view(dense, p.dim()), nullptr, kFloatScan, buffers));
            expect_assignment(buffers, adc_want);
        }
        for (const simd::SliceKernel family : runnable_families()) {
            SCOPED_TRACE("M " + std::to_string(m) + ", direct sums, family " + simd::slice_kernel_label(family));
            AssignmentBuffers buffers = AssignmentBuffers::create(p.n);
            pqkmeans::assign_direct_into(code_view(p.codes, m), code_view(centers, m), *p.table, p.ks, buffers.labels,
                                         buffers.distances, family);
            expect_assignment(buffers, symmetric_want);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(PqKMeansAssign, EveryPath, testing::ValuesIn(kPassCases),
                         [](const testing::TestParamInfo<PassCase>& info) { return info.param.name; });

// --- Non-finite centers ----------------------------------------------------

enum class Poison { FirstCenterNaN, EveryCenterNaN, SecondCenterInfinite };

TEST(PqKMeansAssign, NonFiniteCentersNeverWinAndAllNaNGivesLabelZeroAtInfinity) {
    for (const std::size_t ks : {std::size_t{256}, pqkmeans::kPq4CodebookSize}) {
        const Problem p = make_problem(4, ks, 2, 300, ks);
        const auto codes = code_view(p.codes, p.m);
        TestRng rng(5);
        for (const Poison poison : {Poison::FirstCenterNaN, Poison::EveryCenterNaN, Poison::SecondCenterInfinite}) {
            std::vector<float> dense = dense_centers(p, 9, rng);
            switch (poison) {
                case Poison::FirstCenterNaN:
                    std::fill_n(dense.begin(), p.dim(), kNaN);
                    break;
                case Poison::EveryCenterNaN:
                    std::fill(dense.begin(), dense.end(), kNaN);
                    break;
                case Poison::SecondCenterInfinite:
                    dense[p.dim() + 1] = kInf;
                    break;
            }
            const Assignment want = p.adc_reference(dense);
            for (const std::size_t budget : {std::size_t{0}, kDefaultBudget}) {
                SCOPED_TRACE("Ks " + std::to_string(ks) + ", poison " + std::to_string(static_cast<int>(poison)) +
                             ", budget " + std::to_string(budget));
                const PqKMeans model = p.model(9, budget);
                const auto packed = std::move(*model.pack_pq4_codes(codes));
                AssignmentBuffers buffers = AssignmentBuffers::create(p.n);
                ASSERT_TRUE(model.assign_adc_into(codes, float_view(dense, p.dim()), packed ? &*packed : nullptr,
                                                  kFloatScan, buffers));
                expect_assignment(buffers, want);
                if (poison == Poison::EveryCenterNaN) {
                    EXPECT_EQ(buffers.labels, std::vector<std::size_t>(p.n, 0));
                    EXPECT_EQ(buffers.distances, std::vector<float>(p.n, kInf));
                } else {
                    const std::size_t never = poison == Poison::FirstCenterNaN ? 0 : 1;
                    EXPECT_EQ(std::count(buffers.labels.begin(), buffers.labels.end(), never), 0);
                }
            }
        }
    }
}

// --- Input checks ----------------------------------------------------------

struct LayoutCase {
    const char* name;
    bool codes_contiguous;
    bool centers_contiguous;
    const char* symmetric_error;
    const char* adc_error;
};

TEST(PqKMeansAssign, ChecksLayoutsCodesFirstBeforeWritingAnything) {
    const LayoutCase cases[] = {
        {"codes", false, true, "code matrix must be C-contiguous", "code matrix must be C-contiguous"},
        {"both", false, false, "code matrix must be C-contiguous", "code matrix must be C-contiguous"},
        {"centers", true, false, "cluster centers must be C-contiguous", "dense centers must be C-contiguous"},
    };
    const Problem p = make_problem(3, 8, 2, 10, 9);
    TestRng rng(1);
    const std::vector<std::uint8_t> centers = center_codes(p, 2, rng);
    const std::vector<float> dense = dense_centers(p, 2, rng);
    for (const std::size_t budget : {std::size_t{0}, kDefaultBudget}) {
        const PqKMeans model = p.model(2, budget);
        for (const LayoutCase& c : cases) {
            SCOPED_TRACE(std::string(c.name) + ", budget " + std::to_string(budget));
            const auto codes = c.codes_contiguous ? code_view(p.codes, p.m) : column_major_view(p.codes, p.n, p.m);
            const auto center_view =
                c.centers_contiguous ? code_view(centers, p.m) : column_major_view(centers, 2, p.m);
            const auto dense_view =
                c.centers_contiguous ? float_view(dense, p.dim()) : column_major_view(dense, 2, p.dim());
            AssignmentBuffers buffers = AssignmentBuffers::create(3);
            pqkmeans::ClusterProfile profile;

            const auto symmetric = model.assign_codes_into(codes, center_view, profile, nullptr, kFloatScan, buffers);
            ASSERT_FALSE(symmetric.has_value());
            EXPECT_EQ(symmetric.error().to_string(), c.symmetric_error);
            const auto adc = model.assign_adc_into(codes, dense_view, nullptr, kFloatScan, buffers);
            ASSERT_FALSE(adc.has_value());
            EXPECT_EQ(adc.error().to_string(), c.adc_error);

            EXPECT_EQ(buffers.labels.size(), 3U);
            EXPECT_EQ(buffers.distances.size(), 3U);
            EXPECT_TRUE(buffers.lookup.empty());
        }
    }
}

TEST(PqKMeansAssign, AdcNeedsAContiguousCodebookWhileSymmetricReadsAnyOrder) {
    const Problem p = make_problem(3, 8, 4, 40, 3);
    // The same codebook stored column-major: element (m, c, d) at m + M*(c + Ks*d).
    std::vector<float> storage(p.codewords.size());
    const array::Strides<3> strides{1, 3, 3 * 8};
    array::Codebook<float> column_major(std::move(storage), {3, 8, 4}, strides);
    for (std::size_t s = 0; s < 3; ++s) {
        for (std::size_t c = 0; c < 8; ++c) {
            for (std::size_t d = 0; d < 4; ++d) {
                column_major.view()(s, c, d) = p.codewords.view()(s, c, d);
            }
        }
    }
    TestRng rng(2);
    const std::vector<std::uint8_t> centers = center_codes(p, 5, rng);
    const std::vector<float> dense = dense_centers(p, 5, rng);
    const auto codes = code_view(p.codes, p.m);
    for (const std::size_t budget : {std::size_t{0}, kDefaultBudget}) {
        SCOPED_TRACE("budget " + std::to_string(budget));
        auto model = PqKMeans::new_with_options_and_spherical(column_major, std::nullopt, 5, 1, 0, false, budget,
                                                              pqkmeans::InitMethod::Random, false, false);
        ASSERT_TRUE(model.has_value());
        AssignmentBuffers buffers = AssignmentBuffers::create(0);
        pqkmeans::ClusterProfile profile;
        ASSERT_TRUE(model->assign_codes_into(codes, code_view(centers, p.m), profile, nullptr, kFloatScan, buffers));
        expect_assignment(buffers, p.symmetric_reference(centers));

        buffers = AssignmentBuffers::create(0);
        array::HugePageFloats lookup;
        EXPECT_FALSE(model->build_dense_lookup_tables_into(float_view(dense, p.dim()), 5, lookup));
        const auto adc = model->assign_adc_into(codes, float_view(dense, p.dim()), nullptr, kFloatScan, buffers);
        ASSERT_FALSE(adc.has_value());
        EXPECT_EQ(adc.error().to_string(), "codewords are not contiguous");
        EXPECT_EQ(buffers.labels.size(), p.n);  // resized before the codebook is looked at
        EXPECT_TRUE(buffers.lookup.empty());
    }
}

TEST(PqKMeansAssign, ZeroRowsSucceedWithEmptyResults) {
    const Problem p = make_problem(5, 16, 2, 0, 4);
    TestRng rng(3);
    const std::vector<std::uint8_t> centers = center_codes(p, 3, rng);
    const std::vector<float> dense = dense_centers(p, 3, rng);
    const auto codes = array::MatrixView<const std::uint8_t>::c_order(nullptr, {0, p.m});
    for (const std::size_t budget : {std::size_t{0}, kDefaultBudget}) {
        const PqKMeans model = p.model(3, budget);
        const auto packed = std::move(*model.pack_pq4_codes(codes));
        const tarvinex::pq4::PackedPq4Codes* const packings[] = {nullptr, &*packed};
        for (const tarvinex::pq4::PackedPq4Codes* packing : packings) {
            AssignmentBuffers buffers = AssignmentBuffers::create(4);
            pqkmeans::ClusterProfile profile;
            ASSERT_TRUE(model.assign_codes_into(codes, code_view(centers, p.m), profile, packing, kFloatScan, buffers));
            EXPECT_TRUE(buffers.labels.empty() && buffers.distances.empty());
            buffers = AssignmentBuffers::create(4);
            ASSERT_TRUE(model.assign_adc_into(codes, float_view(dense, p.dim()), packing, kFloatScan, buffers));
            EXPECT_TRUE(buffers.labels.empty() && buffers.distances.empty());
        }
    }
}

// --- Profile ---------------------------------------------------------------

TEST(PqKMeansAssign, ProfiledPassesTimeTheSizeDecisionEvenWithoutATable) {
    const Problem p = make_problem(4, 32, 2, 600, 6);
    TestRng rng(4);
    const std::vector<std::uint8_t> centers = center_codes(p, 6, rng);
    const auto codes = code_view(p.codes, p.m);
    for (const std::size_t budget : {std::size_t{0}, kDefaultBudget}) {
        SCOPED_TRACE("budget " + std::to_string(budget));
        const PqKMeans model = p.model(6, budget);
        AssignmentBuffers buffers = AssignmentBuffers::create(p.n);

        pqkmeans::ClusterProfile off;
        ASSERT_TRUE(model.assign_codes_into(codes, code_view(centers, p.m), off, nullptr, kFloatScan, buffers));
        EXPECT_EQ(off.assign_total.count() + off.assign_build_lookup.count() + off.assign_eval.count(), 0);

        pqkmeans::ClusterProfile on{.enabled = true};
        ASSERT_TRUE(model.assign_codes_into(codes, code_view(centers, p.m), on, nullptr, kFloatScan, buffers));
        ASSERT_TRUE(model.assign_codes_into(codes, code_view(centers, p.m), on, nullptr, kFloatScan, buffers));
        EXPECT_GT(on.assign_build_lookup.count(), 0);
        EXPECT_GT(on.assign_eval.count(), 0);
        // The phases lie inside the pass on one monotonic clock.
        EXPECT_GE(on.assign_total, on.assign_build_lookup + on.assign_eval);
        expect_assignment(buffers, p.symmetric_reference(centers));
    }
}

TEST(LookupBlocks, SlicesComeFromOneCoresL2AndSetTheBlockWidth) {
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    const auto slice = [](std::size_t l2) {
        return pqkmeans::lookup_block_slice_bytes({.l2_bytes = l2, .source = "test"});
    };
    // Three quarters of an L2 that can hold a block, within 4 MiB; 2 MiB of
    // the cache behind a smaller one. A shared cache never enters.
    EXPECT_EQ(slice(kMiB / 2), 2 * kMiB);
    EXPECT_EQ(slice(kMiB), 2 * kMiB);
    EXPECT_EQ(slice(2 * kMiB), 3 * kMiB / 2);
    EXPECT_EQ(slice(3 * kMiB), 9 * kMiB / 4);
    EXPECT_EQ(slice(64 * kMiB), 4 * kMiB);
    struct Case {
        std::size_t m, ks, k, slice, block;
    };
    const Case cases[] = {
        {8, 256, 256, 2 * kMiB, 224},    // one step past the widest block: read as one, but for its last step
        {16, 256, 256, 2 * kMiB, 96},    // 512 KiB a step: three steps
        {8, 256, 10000, 2 * kMiB, 224},  // seven steps, an odd count
        {8, 256, 10000, 4 * kMiB, 480},  // fifteen
        {16, 16, 1024, 2 * kMiB, 992},   // the whole table fits, a multiple of 256: all but one step
        {16, 16, 4096, 2 * kMiB, 1376},  // three blocks of nearly equal width
        {8, 256, 100, 2 * kMiB, 100},    // fewer centers than a step
        {8, 256, 10000, 0, 96},          // never narrower than three steps
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pqkmeans::lookup_block_centers(c.m, c.ks, c.k, c.slice), c.block)
            << "M=" << c.m << " Ks=" << c.ks << " k=" << c.k << " slice=" << c.slice;
    }
}

}  // namespace
