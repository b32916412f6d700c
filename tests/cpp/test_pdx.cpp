#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "pdx/pdx.hpp"
#include "simd/slice_kernels.hpp"
#include "testing.hpp"

namespace tarvinex {
namespace {

using test::bit_patterns;
using test::bits;
using test::exact_assignment_fixture;
using test::fake_env;
using test::kNaN;
using test::nearest_by_sequential_sums;

pdx::PdxMatrix build(const std::vector<float>& values, std::size_t rows, std::size_t dim) {
    auto matrix = pdx::PdxMatrix::from_row_major(values, rows, dim);
    EXPECT_TRUE(matrix.has_value());
    return std::move(*matrix);
}

std::string error_text(const error::Result<void>& result) {
    return result ? std::string("success") : result.error().to_string();
}

TEST(PdxMatrix, BlocksHoldRowsDimensionByDimensionWithZeroPadding) {
    const std::size_t rows = 65;
    const std::size_t dim = 3;
    std::vector<float> values(rows * dim);
    for (std::size_t i = 0; i < values.size(); ++i) {
        values[i] = static_cast<float>(i + 1);
    }
    const pdx::PdxMatrix matrix = build(values, rows, dim);
    EXPECT_EQ(matrix.rows(), rows);
    EXPECT_EQ(matrix.dim(), dim);
    ASSERT_EQ(matrix.data().size(), 2U * 64U * 3U);
    for (std::size_t i = 0; i < 128; ++i) {
        for (std::size_t d = 0; d < dim; ++d) {
            const float expected = i < rows ? values[i * dim + d] : 0.0F;
            EXPECT_EQ(bits(matrix.data()[((i / 64) * dim + d) * 64 + i % 64]), bits(expected)) << i << ", " << d;
        }
    }
    EXPECT_EQ(matrix.block_count(), 2U);
    EXPECT_EQ(matrix.block_rows(0), 64U);
    EXPECT_EQ(matrix.block_rows(1), 1U);
}

TEST(PdxMatrix, BuildChecksRowsThenDimensionThenLength) {
    struct Case {
        std::size_t values, rows, dim;
        const char* message;
    };
    const std::vector<Case> cases{
        {0, 0, 0, "PDX matrix must contain at least one row"},
        {4, 0, 2, "PDX matrix must contain at least one row"},
        {0, 2, 0, "PDX matrix dimensionality must be positive"},
        {5, 2, 3, "row-major matrix length does not match shape"},
        {7, 2, 3, "row-major matrix length does not match shape"},
        // rows*dim wraps to 0: a wrapped product must not pass for the empty slice.
        {0, std::size_t{1} << 62, 4, "row-major matrix length does not match shape"},
    };
    for (const Case& c : cases) {
        const std::vector<float> values(c.values, 1.0F);
        const auto matrix = pdx::PdxMatrix::from_row_major(values, c.rows, c.dim);
        ASSERT_FALSE(matrix.has_value()) << c.rows << " x " << c.dim;
        EXPECT_EQ(matrix.error().to_string(), c.message);
    }
}

TEST(PdxMatrix, AssignmentChecksKThenCentersThenOutputsAndWritesNothingOnFailure) {
    const std::size_t rows = 5;
    const std::size_t dim = 4;
    const pdx::PdxMatrix matrix = build(std::vector<float>(rows * dim, 1.0F), rows, dim);
    struct Case {
        std::size_t k, center_values, labels, distances;
        const char* message;
    };
    const std::vector<Case> cases{
        {0, 7, rows, rows, "k must be greater than zero"},
        {2, 3 * dim, rows, rows, "center matrix length does not match PDX shape"},
        {2, dim, rows, rows, "center matrix length does not match PDX shape"},
        // k*dim wraps to 0 with an empty center slice.
        {std::size_t{1} << 62, 0, rows, rows, "center matrix length does not match PDX shape"},
        {2, 2 * dim, rows, rows - 1, "assignment output length does not match PDX rows"},
        {2, 2 * dim, rows + 1, rows, "assignment output length does not match PDX rows"},
    };
    for (const Case& c : cases) {
        const std::vector<float> centers(c.center_values, 0.0F);
        for (const bool pruned : {false, true}) {
            std::vector<std::size_t> labels(c.labels, 7);
            std::vector<float> distances(c.distances, -1.0F);
            const error::Result<void> result = pruned ? matrix.assign_l2_pruned_into(centers, c.k, labels, distances)
                                                      : matrix.assign_l2_into(centers, c.k, labels, distances);
            EXPECT_EQ(error_text(result), c.message) << "k " << c.k << " pruned " << pruned;
            EXPECT_EQ(labels, std::vector<std::size_t>(c.labels, 7));
            EXPECT_EQ(distances, std::vector<float>(c.distances, -1.0F));
        }
    }
}

TEST(PdxAssign, EveryFormEqualsSequentialSumsBitForBit) {
    struct Shape {
        std::size_t rows, dim, k;
    };
    // Rows around the 64-row block, dimensions and center counts off any
    // vector width.
    const std::vector<Shape> shapes{
        {1, 1, 1}, {1, 3, 2}, {2, 5, 3}, {63, 5, 7}, {64, 8, 8}, {65, 3, 9}, {130, 17, 16}, {200, 33, 4}, {129, 64, 3},
    };
    const std::vector<pdx::PdxKernels> forms = test::runnable_kernel_sets(pdx::pdx_kernels_for);
    for (const Shape& s : shapes) {
        for (const bool whole_numbers : {false, true}) {
            const test::ExactFixture f =
                exact_assignment_fixture(s.rows, s.dim, s.k, s.rows * 1000 + s.dim, whole_numbers);
            const test::NearestCenters expected = nearest_by_sequential_sums(f.vectors, f.centers, s.rows, s.dim, s.k);
            const pdx::PdxMatrix matrix = build(f.vectors, s.rows, s.dim);
            for (const pdx::PdxKernels& form : forms) {
                for (const bool pruned : {false, true}) {
                    SCOPED_TRACE(testing::Message()
                                 << s.rows << " x " << s.dim << ", k " << s.k << ", "
                                 << simd::slice_kernel_label(form.family) << (pruned ? " pruned" : "")
                                 << (whole_numbers ? " whole numbers" : ""));
                    std::vector<std::size_t> labels(s.rows, 99);
                    std::vector<float> distances(s.rows, kNaN);
                    const error::Result<void> result =
                        pruned ? matrix.assign_l2_pruned_into(f.centers, s.k, labels, distances, form)
                               : matrix.assign_l2_into(f.centers, s.k, labels, distances, form);
                    ASSERT_TRUE(result.has_value());
                    EXPECT_EQ(labels, expected.labels);
                    EXPECT_EQ(bit_patterns(distances), bit_patterns(expected.distances));
                }
            }
        }
    }
}

TEST(PdxAssign, FixtureCoversTiesEqualRowsAndNonFiniteRows) {
    // What the shape table relies on, seen once on a small case.
    const std::size_t rows = 8;
    const std::size_t dim = 3;
    const std::size_t k = 5;
    const test::ExactFixture f = exact_assignment_fixture(rows, dim, k, 11);
    const pdx::PdxMatrix matrix = build(f.vectors, rows, dim);
    std::vector<std::size_t> labels(rows);
    std::vector<float> distances(rows);
    ASSERT_TRUE(matrix.assign_l2_into(f.centers, k, labels, distances).has_value());
    EXPECT_EQ(labels[1], 0U);  // equal to center 4, a copy of center 0
    EXPECT_EQ(bits(distances[1]), bits(0.0F));
    for (const std::size_t nonfinite : {rows / 2, rows - 1}) {
        EXPECT_EQ(labels[nonfinite], 0U);
        EXPECT_EQ(bits(distances[nonfinite]), bits(test::kInf));
    }
    for (std::size_t i = 0; i < rows; ++i) {
        EXPECT_NE(labels[i], 2U);     // the NaN center
        EXPECT_NE(labels[i], k - 1);  // never the later copy
    }
}

TEST(PdxAssign, PruningCutsCentersShortAndKeepsTheExactResult) {
    // Every row equals center 0, so after the first dimension of each later
    // center no row of the block can improve: dim + (k - 1) steps.
    const std::size_t dim = 9;
    const std::size_t k = 6;
    for (const std::size_t rows : {1, 37, 64}) {
        const std::vector<float> row = test::SplitMix(3).spread(dim, -2, 4, true);
        std::vector<float> values;
        for (std::size_t i = 0; i < rows; ++i) {
            values.insert(values.end(), row.begin(), row.end());
        }
        std::vector<float> centers = row;
        const std::vector<float> others = test::SplitMix(5).spread((k - 1) * dim, -2, 4, true);
        centers.insert(centers.end(), others.begin(), others.end());
        const pdx::PdxMatrix matrix = build(values, rows, dim);
        for (const pdx::PdxKernels& form : test::runnable_kernel_sets(pdx::pdx_kernels_for)) {
            SCOPED_TRACE(testing::Message() << rows << " rows, " << simd::slice_kernel_label(form.family));
            std::vector<std::size_t> exact_labels(rows);
            std::vector<float> exact_distances(rows);
            pdx::assign_block_l2(form, matrix.block(0), rows, dim, centers, k, exact_labels, exact_distances);
            std::vector<std::size_t> labels(rows);
            std::vector<float> distances(rows);
            EXPECT_EQ(pdx::assign_block_l2_pruned(form, matrix.block(0), rows, dim, centers, k, labels, distances),
                      dim + (k - 1));
            EXPECT_EQ(labels, exact_labels);
            EXPECT_EQ(bit_patterns(distances), bit_patterns(exact_distances));
            EXPECT_EQ(labels, std::vector<std::size_t>(rows, 0));
        }
    }
}

TEST(PdxAssign, PruningOnClusteredRowsSkipsWorkWithoutChangingBits) {
    // Rows near the later of two well separated centers: the first center is
    // measured in full, the far ones are dropped early. (One NaN row would
    // stay active and keep its whole block working.)
    const std::size_t rows = 64;
    const std::size_t dim = 16;
    const std::size_t k = 8;
    test::SplitMix rng(21);
    std::vector<float> centers = rng.spread(k * dim, 4, 3, true);
    std::vector<float> values(rows * dim);
    const std::vector<float> noise = rng.spread(rows * dim, -4, 2, true);
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t d = 0; d < dim; ++d) {
            values[i * dim + d] = centers[(i % 2) * dim + d] + noise[i * dim + d];
        }
    }
    const pdx::PdxMatrix matrix = build(values, rows, dim);
    const test::NearestCenters expected = nearest_by_sequential_sums(values, centers, rows, dim, k);
    for (const pdx::PdxKernels& form : test::runnable_kernel_sets(pdx::pdx_kernels_for)) {
        SCOPED_TRACE(simd::slice_kernel_label(form.family));
        std::vector<std::size_t> labels(rows);
        std::vector<float> distances(rows);
        EXPECT_LT(pdx::assign_block_l2_pruned(form, matrix.block(0), rows, dim, centers, k, labels, distances),
                  k * dim);
        EXPECT_EQ(labels, expected.labels);
        EXPECT_EQ(bit_patterns(distances), bit_patterns(expected.distances));
    }
}

TEST(PdxKernels, EachFamilyGetsItsOwnSet) {
    const simd::CpuFeatures all{true, true, true};
    for (const simd::SliceKernel family :
         {simd::SliceKernel::Scalar, simd::SliceKernel::Avx2, simd::SliceKernel::Avx512}) {
        EXPECT_EQ(pdx::pdx_kernels_for(family, all).family, family);
    }
    EXPECT_EQ(pdx::selected_pdx_kernels().family, simd::selected_slice_kernel());
}

TEST(PdxSettings, SwitchWordsAndTheSecondPruningName) {
    struct Case {
        std::map<std::string, std::string> env;
        bool exact, pruning;
    };
    const std::vector<Case> cases{
        {{}, false, false},
        {{{"TARVINEX_PDX_EXACT", "O-N"}, {"TARVINEX_PDX_PRUNE", "P_d_X"}}, true, true},
        {{{"TARVINEX_PDX_EXACT", "auto"}, {"TARVINEX_PDX_PRUNE", "auto"}}, true, true},
        {{{"TARVINEX_PDX_EXACT", " on"}, {"TARVINEX_PDX_PRUNE", "on "}}, false, false},
        {{{"TARVINEX_PDX_EXACT", "pdx"}, {"TARVINEX_PDX_PRUNE", "0"}}, false, false},
        {{{"TARVINEX_PDX_EXACT", ""}, {"TARVINEX_DIM_PRUNE", "pdx"}}, false, true},
        // A first name that is set wins, even empty or not a switch word.
        {{{"TARVINEX_PDX_PRUNE", ""}, {"TARVINEX_DIM_PRUNE", "1"}}, false, false},
        {{{"TARVINEX_PDX_PRUNE", "maybe"}, {"TARVINEX_DIM_PRUNE", "1"}}, false, false},
        // A value that is not text counts as unset.
        {{{"TARVINEX_PDX_EXACT", "\xff"}, {"TARVINEX_PDX_PRUNE", "\xff"}, {"TARVINEX_DIM_PRUNE", "YES"}}, false, true},
    };
    for (const Case& c : cases) {
        const settings::EnvLookup lookup = fake_env(c.env);
        EXPECT_EQ(pdx::read_pdx_exact(lookup), c.exact);
        EXPECT_EQ(pdx::read_pdx_pruning(lookup), c.pruning);
    }
}

}  // namespace
}  // namespace tarvinex
