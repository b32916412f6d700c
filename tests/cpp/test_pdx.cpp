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
        std::vector<std::size_t> labels(c.labels, 7);
        std::vector<float> distances(c.distances, -1.0F);
        EXPECT_EQ(error_text(matrix.assign_l2_into(centers, c.k, labels, distances)), c.message) << "k " << c.k;
        EXPECT_EQ(labels, std::vector<std::size_t>(c.labels, 7));
        EXPECT_EQ(distances, std::vector<float>(c.distances, -1.0F));
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
                SCOPED_TRACE(testing::Message()
                             << s.rows << " x " << s.dim << ", k " << s.k << ", "
                             << simd::slice_kernel_label(form.family) << (whole_numbers ? " whole numbers" : ""));
                std::vector<std::size_t> labels(s.rows, 99);
                std::vector<float> distances(s.rows, kNaN);
                ASSERT_TRUE(matrix.assign_l2_into(f.centers, s.k, labels, distances, form).has_value());
                EXPECT_EQ(labels, expected.labels);
                EXPECT_EQ(bit_patterns(distances), bit_patterns(expected.distances));
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

TEST(PdxKernels, EachFamilyGetsItsOwnSet) {
    const simd::CpuFeatures all{true, true, true};
    for (const simd::SliceKernel family :
         {simd::SliceKernel::Scalar, simd::SliceKernel::Avx2, simd::SliceKernel::Avx512}) {
        EXPECT_EQ(pdx::pdx_kernels_for(family, all).family, family);
    }
    EXPECT_EQ(pdx::selected_pdx_kernels().family, simd::selected_slice_kernel());
}

TEST(PdxSettings, SwitchWords) {
    const std::vector<std::pair<std::map<std::string, std::string>, bool>> cases{
        {{}, false},
        {{{"TARVINEX_PDX_EXACT", "O-N"}}, true},
        {{{"TARVINEX_PDX_EXACT", "auto"}}, true},
        {{{"TARVINEX_PDX_EXACT", " on"}}, false},
        {{{"TARVINEX_PDX_EXACT", "pdx"}}, false},
        {{{"TARVINEX_PDX_EXACT", ""}}, false},
        {{{"TARVINEX_PDX_EXACT", "\xff"}}, false},
    };
    for (const auto& [env, on] : cases) {
        EXPECT_EQ(pdx::read_pdx_exact(fake_env(env)), on);
    }
}

}  // namespace
}  // namespace tarvinex
