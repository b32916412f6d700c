#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "flash/flash.hpp"
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

struct Shape {
    std::size_t rows, dim, k;
};

test::NearestCenters run_flash(const test::ExactFixture& f, const Shape& s, const flash::FlashKernels& kernels) {
    test::NearestCenters out{std::vector<std::size_t>(s.rows, 99), std::vector<float>(s.rows, kNaN)};
    const error::Result<void> result =
        flash::assign_l2_flash_into(f.vectors, f.centers, s.rows, s.dim, s.k, out.labels, out.distances, kernels);
    EXPECT_TRUE(result.has_value());
    return out;
}

test::NearestCenters run_pdx(const test::ExactFixture& f, const Shape& s, bool pruned) {
    test::NearestCenters out{std::vector<std::size_t>(s.rows, 99), std::vector<float>(s.rows, kNaN)};
    const auto matrix = pdx::PdxMatrix::from_row_major(f.vectors, s.rows, s.dim);
    EXPECT_TRUE(matrix.has_value());
    const error::Result<void> result = pruned ? matrix->assign_l2_pruned_into(f.centers, s.k, out.labels, out.distances)
                                              : matrix->assign_l2_into(f.centers, s.k, out.labels, out.distances);
    EXPECT_TRUE(result.has_value());
    return out;
}

/// The plain per-row exact assignment by a family's nearest-center slice kernel.
test::NearestCenters run_plain(const test::ExactFixture& f, const Shape& s, simd::SliceKernel family) {
    test::NearestCenters out{std::vector<std::size_t>(s.rows), std::vector<float>(s.rows)};
    const std::span<const float> vectors(f.vectors);
    for (std::size_t r = 0; r < s.rows; ++r) {
        const simd::IndexedValue best =
            simd::slice_kernels(family).nearest_l2_center(vectors.subspan(r * s.dim, s.dim), f.centers, s.k, s.dim);
        out.labels[r] = static_cast<std::size_t>(best.index);
        out.distances[r] = best.value;
    }
    return out;
}

void expect_same(const test::NearestCenters& got, const test::NearestCenters& expected) {
    EXPECT_EQ(got.labels, expected.labels);
    EXPECT_EQ(bit_patterns(got.distances), bit_patterns(expected.distances));
}

TEST(FlashAssign, ChecksInOrderAndWritesNothingOnFailure) {
    struct Case {
        std::size_t vector_values, center_values, rows, dim, k, labels, distances;
        const char* message;
    };
    const std::vector<Case> cases{
        {0, 8, 0, 4, 2, 0, 0, "success"},
        {0, 0, 0, 0, 0, 0, 0, "vector dimensionality must be positive"},
        {6, 6, 2, 3, 0, 2, 2, "k must be greater than zero"},
        {5, 6, 2, 3, 2, 2, 2, "input vector matrix length does not match shape"},
        // rows*dim wraps to 0 with an empty vector slice.
        {0, 6, std::size_t{1} << 62, 4, 2, 0, 0, "input vector matrix length does not match shape"},
        {6, 9, 2, 3, 2, 2, 2, "center matrix length does not match shape"},
        // k*dim wraps to 0 with an empty center slice.
        {8, 0, 2, 4, std::size_t{1} << 62, 2, 2, "center matrix length does not match shape"},
        {6, 6, 2, 3, 2, 1, 2, "assignment output length does not match rows"},
        {6, 6, 2, 3, 2, 2, 3, "assignment output length does not match rows"},
    };
    for (const Case& c : cases) {
        const std::vector<float> vectors(c.vector_values, 1.0F);
        const std::vector<float> centers(c.center_values, 0.0F);
        std::vector<std::size_t> labels(c.labels, 7);
        std::vector<float> distances(c.distances, -1.0F);
        const error::Result<void> result =
            flash::assign_l2_flash_into(vectors, centers, c.rows, c.dim, c.k, labels, distances);
        EXPECT_EQ(result ? std::string("success") : result.error().to_string(), c.message)
            << c.rows << " x " << c.dim << ", k " << c.k;
        EXPECT_EQ(labels, std::vector<std::size_t>(c.labels, 7));
        EXPECT_EQ(distances, std::vector<float>(c.distances, -1.0F));
    }
}

TEST(FlashAssign, PanelsHoldSixteenCentersDimensionByDimension) {
    const std::size_t k = 20;
    const std::size_t dim = 3;
    const std::vector<float> centers = test::SplitMix(2).integers(k * dim, 1, 9);
    const std::vector<float> panels = flash::center_panels(centers, k, dim);
    ASSERT_EQ(panels.size(), 2U * 16U * dim);
    for (std::size_t c = 0; c < 32; ++c) {
        for (std::size_t d = 0; d < dim; ++d) {
            EXPECT_EQ(bits(panels[((c / 16) * dim + d) * 16 + c % 16]), bits(c < k ? centers[c * dim + d] : 0.0F))
                << c << ", " << d;
        }
    }
}

TEST(FlashAssign, EveryFormEqualsSequentialSumsAndPdxBitForBit) {
    // Rows across the 128-row chunks (300 makes 128, 128 and 44), center counts
    // around the groups of eight and panels of sixteen.
    const std::vector<Shape> shapes{
        {1, 1, 1}, {3, 2, 8}, {7, 5, 9}, {65, 3, 15}, {128, 8, 16}, {129, 17, 17}, {300, 4, 9}, {40, 33, 40},
    };
    const std::vector<flash::FlashKernels> forms = test::runnable_kernel_sets(flash::flash_kernels_for);
    for (const Shape& s : shapes) {
        const test::ExactFixture f = exact_assignment_fixture(s.rows, s.dim, s.k, s.rows * 31 + s.k);
        const test::NearestCenters expected = nearest_by_sequential_sums(f.vectors, f.centers, s.rows, s.dim, s.k);
        SCOPED_TRACE(testing::Message() << s.rows << " x " << s.dim << ", k " << s.k);
        expect_same(run_pdx(f, s, false), expected);
        expect_same(run_pdx(f, s, true), expected);
        // The portable nearest-center kernel sums in the same order.
        expect_same(run_plain(f, s, simd::SliceKernel::Scalar), expected);
        for (const flash::FlashKernels& form : forms) {
            SCOPED_TRACE(simd::slice_kernel_label(form.family));
            expect_same(run_flash(f, s, form), expected);
        }
    }
}

TEST(FlashAssign, AllExactEnginesAgreeWhereEverySummationOrderIsExact) {
    // Whole numbers make every order's sums exact, so the vector nearest-center
    // kernels, whose lane sums reorder the additions, agree too; on spread
    // values they may differ from the sequential sums in the last bits.
    const std::vector<Shape> shapes{{70, 9, 9}, {130, 24, 17}};
    for (const Shape& s : shapes) {
        const test::ExactFixture f = exact_assignment_fixture(s.rows, s.dim, s.k, s.rows + s.dim, true);
        const test::NearestCenters expected = nearest_by_sequential_sums(f.vectors, f.centers, s.rows, s.dim, s.k);
        SCOPED_TRACE(testing::Message() << s.rows << " x " << s.dim << ", k " << s.k);
        expect_same(run_pdx(f, s, false), expected);
        expect_same(run_pdx(f, s, true), expected);
        for (const simd::SliceKernel family : test::runnable_families()) {
            SCOPED_TRACE(simd::slice_kernel_label(family));
            expect_same(run_plain(f, s, family), expected);
            expect_same(run_flash(f, s, flash::flash_kernels_for(family, simd::detected_cpu_features())), expected);
        }
    }
}

TEST(FlashAssign, TheLoneCenterOfTheLastGroupCanWin) {
    const Shape s{4, 2, 9};
    test::ExactFixture f{std::vector<float>(s.rows * s.dim, 100.0F), test::SplitMix(4).integers(s.k * s.dim, 0, 9)};
    f.centers[8 * s.dim] = 100.0F;
    f.centers[8 * s.dim + 1] = 100.0F;
    for (const flash::FlashKernels& form : test::runnable_kernel_sets(flash::flash_kernels_for)) {
        const test::NearestCenters got = run_flash(f, s, form);
        EXPECT_EQ(got.labels, std::vector<std::size_t>(s.rows, 8)) << simd::slice_kernel_label(form.family);
        EXPECT_EQ(bit_patterns(got.distances), bit_patterns(std::vector<float>(s.rows, 0.0F)));
    }
}

TEST(FlashKernels, EachFamilyGetsItsOwnSet) {
    const simd::CpuFeatures all{true, true, true};
    for (const simd::SliceKernel family :
         {simd::SliceKernel::Scalar, simd::SliceKernel::Avx2, simd::SliceKernel::Avx512}) {
        EXPECT_EQ(flash::flash_kernels_for(family, all).family, family);
    }
    EXPECT_EQ(flash::selected_flash_kernels().family, simd::selected_slice_kernel());
}

TEST(FlashSettings, SwitchWordsAndTheSecondName) {
    struct Case {
        std::map<std::string, std::string> env;
        bool on;
    };
    const std::vector<Case> cases{
        {{}, false},
        {{{"TARVINEX_FLASH_EXACT", "flash_assign"}}, true},
        {{{"TARVINEX_FLASH_EXACT", "Flash-Assign"}}, true},
        {{{"TARVINEX_FLASH_EXACT", "AUTO"}}, true},
        {{{"TARVINEX_FLASH_EXACT", "pdx"}}, false},
        {{{"TARVINEX_FLASH_EXACT", "1 "}}, false},
        {{{"TARVINEX_EXACT_ASSIGNMENT", "flash"}}, true},
        // A first name that is set wins, even empty.
        {{{"TARVINEX_FLASH_EXACT", ""}, {"TARVINEX_EXACT_ASSIGNMENT", "1"}}, false},
        {{{"TARVINEX_FLASH_EXACT", "\xff"}, {"TARVINEX_EXACT_ASSIGNMENT", "yes"}}, true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(flash::read_flash_exact(fake_env(c.env)), c.on);
    }
}

}  // namespace
}  // namespace tarvinex
