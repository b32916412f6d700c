// Rotation, Procrustes, quantile seeding and the rotation batch size: products
// against a naive triple loop over every layout the views can take (BLAS and
// portable paths alike), Procrustes against a known rotation, the finiteness
// read and the orthogonality check on every layout, the seeding orders and
// positions, the batch rule, and the error texts in their order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <numeric>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "array/array.hpp"
#include "error/error.hpp"
#include "error/settings.hpp"
#include "math/blas.hpp"
#include "math/math.hpp"
#include "parallel/cpu_count.hpp"
#include "testing.hpp"

namespace {

namespace array = tarvinex::array;
namespace math = tarvinex::math;
using array::Matrix;
using array::MatrixView;
using tarvinex::test::SplitMix;

/// How a test matrix lies in memory. The first three are layouts BLAS takes;
/// the last two force the portable product.
enum class Layout { COrder, ColumnMajor, EveryOtherRow, EveryOtherColumn, ReversedRows };
constexpr Layout kLayouts[] = {Layout::COrder, Layout::ColumnMajor, Layout::EveryOtherRow, Layout::EveryOtherColumn,
                               Layout::ReversedRows};

/// A (rows, cols) matrix laid out as asked in a buffer of its own; the
/// buffer's other elements are NaN, so a product that reads outside the view shows.
struct LaidOut {
    std::vector<float> storage;
    MatrixView<float> view;
};

LaidOut lay_out(const std::vector<float>& c_order, std::size_t rows, std::size_t cols, Layout layout) {
    const auto r = static_cast<std::ptrdiff_t>(rows);
    const auto c = static_cast<std::ptrdiff_t>(cols);
    LaidOut out;
    out.storage.assign(rows * cols * 2 + 1, tarvinex::test::kNaN);
    float* base = out.storage.data();
    switch (layout) {
        case Layout::COrder:
            out.view = {base, {rows, cols}, {c, 1}};
            break;
        case Layout::ColumnMajor:
            out.view = {base, {rows, cols}, {1, r}};
            break;
        case Layout::EveryOtherRow:
            out.view = {base, {rows, cols}, {2 * c, 1}};
            break;
        case Layout::EveryOtherColumn:
            out.view = {base, {rows, cols}, {2 * c, 2}};
            break;
        case Layout::ReversedRows:
            out.view = {base + (rows == 0 ? 0 : (r - 1) * c), {rows, cols}, {-c, 1}};
            break;
    }
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            out.view(i, j) = c_order[i * cols + j];
        }
    }
    return out;
}

MatrixView<const float> transposed(MatrixView<const float> m) {
    return {m.data, {m.shape[1], m.shape[0]}, {m.strides[1], m.strides[0]}};
}

/// Whole numbers in [-8, 8]: every product and sum below is exact, so BLAS,
/// the portable product and the reference agree exactly.
std::vector<float> small_integers(std::size_t count, std::uint64_t seed) {
    return SplitMix(seed).integers(count, -8, 8);
}

std::vector<float> naive_product(MatrixView<const float> a, MatrixView<const float> b) {
    std::vector<float> out(a.shape[0] * b.shape[1]);
    for (std::size_t i = 0; i < a.shape[0]; ++i) {
        for (std::size_t j = 0; j < b.shape[1]; ++j) {
            double sum = 0.0;
            for (std::size_t p = 0; p < a.shape[1]; ++p) {
                sum += static_cast<double>(a(i, p)) * static_cast<double>(b(p, j));
            }
            out[i * b.shape[1] + j] = static_cast<float>(sum);
        }
    }
    return out;
}

std::vector<float> elements(MatrixView<const float> m) {
    std::vector<float> out;
    for (std::size_t i = 0; i < m.shape[0]; ++i) {
        for (std::size_t j = 0; j < m.shape[1]; ++j) {
            out.push_back(m(i, j));
        }
    }
    return out;
}

/// The largest |MᵀM − I| entry.
double orthogonality_error(MatrixView<const float> m) {
    double worst = 0.0;
    for (std::size_t i = 0; i < m.shape[1]; ++i) {
        for (std::size_t j = 0; j < m.shape[1]; ++j) {
            double dot = 0.0;
            for (std::size_t p = 0; p < m.shape[0]; ++p) {
                dot += static_cast<double>(m(p, i)) * static_cast<double>(m(p, j));
            }
            worst = std::max(worst, std::abs(dot - (i == j ? 1.0 : 0.0)));
        }
    }
    return worst;
}

/// A rotation of dim axes: a product of Givens rotations by seeded angles, in
/// doubles, rounded once.
Matrix<float> known_rotation(std::size_t dim, std::uint64_t seed) {
    SplitMix rng(seed);
    std::vector<double> r(dim * dim, 0.0);
    for (std::size_t i = 0; i < dim; ++i) {
        r[i * dim + i] = 1.0;
    }
    for (std::size_t p = 0; p < dim; ++p) {
        for (std::size_t q = p + 1; q < dim; ++q) {
            const double angle = static_cast<double>(rng.next() >> 11) * 0x1p-53 * 6.283185307179586;
            const double c = std::cos(angle);
            const double s = std::sin(angle);
            for (std::size_t i = 0; i < dim; ++i) {
                const double rp = r[i * dim + p];
                const double rq = r[i * dim + q];
                r[i * dim + p] = c * rp - s * rq;
                r[i * dim + q] = s * rp + c * rq;
            }
        }
    }
    Matrix<float> out(array::Shape<2>{dim, dim});
    for (std::size_t i = 0; i < dim * dim; ++i) {
        out.storage()[i] = static_cast<float>(r[i]);
    }
    return out;
}

std::string error_text(const tarvinex::error::TarvinexError& error) { return error.to_string(); }

TEST(MathRotation, MatchesNaiveProductOnEveryLayoutOfInputRotationAndOutput) {
    // D of 3 stays on the portable product; 9 and 33 reach BLAS where the
    // layouts allow. 70 rows split the portable product into pool chunks.
    for (const std::size_t dim : {std::size_t{3}, std::size_t{9}, std::size_t{33}}) {
        for (const std::size_t rows : {std::size_t{5}, std::size_t{70}}) {
            const std::vector<float> x_values = small_integers(rows * dim, rows * 100 + dim);
            const std::vector<float> r_values = small_integers(dim * dim, dim);
            for (const Layout x_layout : kLayouts) {
                for (const Layout r_layout : kLayouts) {
                    for (const Layout out_layout : kLayouts) {
                        LaidOut x = lay_out(x_values, rows, dim, x_layout);
                        LaidOut r = lay_out(r_values, dim, dim, r_layout);
                        LaidOut out =
                            lay_out(std::vector<float>(rows * dim, tarvinex::test::kNaN), rows, dim, out_layout);
                        SCOPED_TRACE(testing::Message()
                                     << "dim " << dim << " rows " << rows << " layouts " << static_cast<int>(x_layout)
                                     << static_cast<int>(r_layout) << static_cast<int>(out_layout));
                        ASSERT_TRUE(math::apply_rotation_into(x.view, r.view, out.view));
                        EXPECT_EQ(elements(out.view), naive_product(x.view, r.view));
                        // The reverse rotation reads the same elements through the swapped strides.
                        ASSERT_TRUE(math::apply_rotation_into(x.view, transposed(r.view), out.view));
                        EXPECT_EQ(elements(out.view), naive_product(x.view, transposed(r.view)));
                    }
                }
            }
        }
    }
}

TEST(MathRotation, NewMatrixIsCOrderedProductAndIdentityKeepsRows) {
    for (const std::size_t dim : {std::size_t{4}, std::size_t{16}}) {
        const std::vector<float> x_values = SplitMix(dim).spread(9 * dim, -3, 6, true);
        const auto x = MatrixView<const float>::c_order(x_values.data(), {9, dim});
        Matrix<float> identity(array::Shape<2>{dim, dim});
        for (std::size_t i = 0; i < dim; ++i) {
            identity.view()(i, i) = 1.0F;
        }
        const auto rotated = math::apply_rotation(x, identity.view());
        ASSERT_TRUE(rotated);
        EXPECT_TRUE(rotated->is_c_contiguous());
        EXPECT_EQ(rotated->shape(), (array::Shape<2>{9, dim}));
        EXPECT_EQ(rotated->storage(), x_values);
    }
}

TEST(MathRotation, RotatingBackByTransposedViewRestoresRows) {
    constexpr std::size_t kDim = 24;
    const Matrix<float> rotation = known_rotation(kDim, 5);
    const std::vector<float> x_values = SplitMix(6).spread(40 * kDim, -2, 4, true);
    const auto x = MatrixView<const float>::c_order(x_values.data(), {40, kDim});
    const auto there = math::apply_rotation(x, rotation.view());
    ASSERT_TRUE(there);
    const auto back = math::apply_rotation(there->view(), transposed(rotation.view()));
    ASSERT_TRUE(back);
    for (std::size_t i = 0; i < x_values.size(); ++i) {
        EXPECT_NEAR(back->storage()[i], x_values[i], 1e-5F * 16.0F) << "element " << i;
    }
}

TEST(MathRotation, ZeroRowsSucceedAndFailedCallLeavesOutUntouched) {
    const std::vector<float> r_values = small_integers(9, 1);
    const auto rotation = MatrixView<const float>::c_order(r_values.data(), {3, 3});
    std::vector<float> none;
    EXPECT_TRUE(math::apply_rotation_into(MatrixView<const float>::c_order(none.data(), {0, 3}), rotation,
                                          MatrixView<float>::c_order(none.data(), {0, 3})));
    const auto empty = math::apply_rotation(MatrixView<const float>::c_order(none.data(), {0, 3}), rotation);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->shape(), (array::Shape<2>{0, 3}));

    const std::vector<float> x_values = small_integers(6, 2);
    std::vector<float> out_values(9, 7.0F);
    EXPECT_FALSE(math::apply_rotation_into(MatrixView<const float>::c_order(x_values.data(), {2, 3}), rotation,
                                           MatrixView<float>::c_order(out_values.data(), {3, 3})));
    EXPECT_EQ(out_values, std::vector<float>(9, 7.0F));
}

TEST(MathProcrustes, RecoversKnownRotationAndIsOrthogonal) {
    // 4 columns run the portable products, 12 the BLAS ones.
    for (const std::size_t dim : {std::size_t{4}, std::size_t{12}}) {
        const Matrix<float> truth = known_rotation(dim, dim);
        const std::vector<float> a_values = SplitMix(dim + 1).spread(60 * dim, -2, 4, true);
        const auto a = MatrixView<const float>::c_order(a_values.data(), {60, dim});
        const std::vector<float> b_values = naive_product(a, truth.view());
        const auto b = MatrixView<const float>::c_order(b_values.data(), {60, dim});

        const auto recovered = math::orthogonal_procrustes(a, b);
        ASSERT_TRUE(recovered);
        EXPECT_EQ(recovered->shape(), (array::Shape<2>{dim, dim}));
        EXPECT_LE(orthogonality_error(recovered->view()), 1e-5);
        for (std::size_t i = 0; i < dim * dim; ++i) {
            EXPECT_NEAR(recovered->storage()[i], truth.storage()[i], 1e-4F) << "dim " << dim << " entry " << i;
        }

        // a against itself, one side read through a column-major copy: the identity.
        const LaidOut a_columns = lay_out(a_values, 60, dim, Layout::ColumnMajor);
        const auto same = math::orthogonal_procrustes(a_columns.view, a);
        ASSERT_TRUE(same);
        for (std::size_t i = 0; i < dim; ++i) {
            for (std::size_t j = 0; j < dim; ++j) {
                EXPECT_NEAR(same->view()(i, j), i == j ? 1.0F : 0.0F, 1e-5F);
            }
        }
    }
}

TEST(MathProcrustes, EmptyAxes) {
    std::vector<float> none;
    // No columns: a 0 x 0 rotation, LAPACK never called.
    const auto no_columns = math::orthogonal_procrustes(MatrixView<const float>::c_order(none.data(), {3, 0}),
                                                        MatrixView<const float>::c_order(none.data(), {3, 0}));
    ASSERT_TRUE(no_columns);
    EXPECT_EQ(no_columns->shape(), (array::Shape<2>{0, 0}));
    // No rows: aᵀ·b is the zero matrix, whose decomposition is still orthogonal.
    const auto no_rows = math::orthogonal_procrustes(MatrixView<const float>::c_order(none.data(), {0, 5}),
                                                     MatrixView<const float>::c_order(none.data(), {0, 5}));
    ASSERT_TRUE(no_rows);
    EXPECT_EQ(no_rows->shape(), (array::Shape<2>{5, 5}));
    EXPECT_LE(orthogonality_error(no_rows->view()), 1e-5);
}

// ---------------------------------------------------------------- finiteness

/// The largest |x| by the plainest rule, or nothing once a value is not finite.
std::optional<float> plain_max_abs(MatrixView<const float> m) {
    float largest = 0.0F;
    for (std::size_t i = 0; i < m.shape[0]; ++i) {
        for (std::size_t j = 0; j < m.shape[1]; ++j) {
            if (!std::isfinite(m(i, j))) {
                return std::nullopt;
            }
            largest = std::max(largest, std::fabs(m(i, j)));
        }
    }
    return largest;
}

std::string described(std::optional<float> value) {
    return value ? testing::PrintToString(tarvinex::test::bits(*value)) : std::string("nothing");
}

TEST(MathFiniteValues, LargestMagnitudeOrNothingOnEveryLayout) {
    // The buffers around each view hold NaN, so a read outside it shows. A
    // finite "poison" of 1e30 checks that the largest value is found wherever
    // it lies; 100,000 rows split the read over the pool.
    struct Poison {
        const char* name;
        float value;
    };
    const Poison poisons[] = {{"largest", 1e30F},
                              {"-largest", -1e30F},
                              {"NaN", tarvinex::test::kNaN},
                              {"-NaN", -tarvinex::test::kNaN},
                              {"+inf", tarvinex::test::kInf},
                              {"-inf", -tarvinex::test::kInf}};
    for (const std::size_t rows : {std::size_t{5}, std::size_t{100000}}) {
        constexpr std::size_t kCols = 3;
        const std::vector<float> clean = SplitMix(rows).spread(rows * kCols, -3, 6, true);
        for (const Poison& poison : poisons) {
            for (const std::size_t position : {std::size_t{0}, rows * kCols / 2 + 1, rows * kCols - 1}) {
                std::vector<float> values = clean;
                values[position] = poison.value;
                for (const Layout layout : kLayouts) {
                    SCOPED_TRACE(testing::Message() << rows << " rows, " << poison.name << " at " << position
                                                    << ", layout " << static_cast<int>(layout));
                    const LaidOut x = lay_out(values, rows, kCols, layout);
                    const std::optional<float> want = plain_max_abs(x.view);
                    EXPECT_EQ(want.has_value(), std::isfinite(poison.value));
                    EXPECT_EQ(described(math::finite_max_abs(x.view)), described(want));
                    EXPECT_EQ(math::all_finite(x.view), want.has_value());
                }
                EXPECT_EQ(math::all_finite(std::span<const float>(values)), std::isfinite(poison.value));
            }
        }
        EXPECT_EQ(described(math::finite_max_abs(MatrixView<const float>::c_order(clean.data(), {rows, kCols}))),
                  described(plain_max_abs(MatrixView<const float>::c_order(clean.data(), {rows, kCols}))));
    }
}

TEST(MathFiniteValues, SignedZerosSubnormalsExtremesEmptyAndRepeatedAxes) {
    constexpr float kMax = std::numeric_limits<float>::max();
    constexpr std::size_t kHuge = std::size_t{1} << 40;
    const std::vector<float> zeros = {-0.0F, -0.0F};
    const std::vector<float> subnormals = {1e-45F, -3e-39F, 2e-40F};
    const std::vector<float> extremes = {kMax, -kMax, 1.0F};
    const std::vector<float> signaling = {1.0F, std::numeric_limits<float>::signaling_NaN()};
    const std::vector<float> row = {1.0F, -7.0F, 2.0F};
    const std::vector<float> row_with_nan = {1.0F, tarvinex::test::kNaN, 2.0F};
    struct Case {
        const char* name;
        MatrixView<const float> view;
        std::optional<float> want;
    };
    const Case cases[] = {
        {"-0.0 gives +0.0", MatrixView<const float>::c_order(zeros.data(), {1, 2}), 0.0F},
        {"subnormals", MatrixView<const float>::c_order(subnormals.data(), {3, 1}), 3e-39F},
        {"the largest float is finite", MatrixView<const float>::c_order(extremes.data(), {1, 3}), kMax},
        {"a signaling NaN", MatrixView<const float>::c_order(signaling.data(), {2, 1}), std::nullopt},
        {"no rows", MatrixView<const float>::c_order(row.data(), {0, 3}), 0.0F},
        {"no columns", MatrixView<const float>::c_order(row.data(), {3, 0}), 0.0F},
        {"no rows, rows repeated", {row.data(), {0, 3}, {0, 1}}, 0.0F},
        // A stride of 0 repeats one row or column: read once, the 2^40 copies take no time.
        {"one row repeated", {row.data(), {kHuge, 3}, {0, 1}}, 7.0F},
        {"one column repeated", {row.data(), {3, kHuge}, {1, 0}}, 7.0F},
        {"one value repeated", {row.data() + 1, {kHuge, kHuge}, {0, 0}}, 7.0F},
        {"a repeated row holding NaN", {row_with_nan.data(), {kHuge, 3}, {0, 1}}, std::nullopt},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(described(math::finite_max_abs(c.view)), described(c.want)) << c.name;
        EXPECT_EQ(math::all_finite(c.view), c.want.has_value()) << c.name;
    }
    EXPECT_TRUE(math::all_finite(std::span<const float>()));
}

// ---------------------------------------------------------------- orthogonality

Matrix<float> square(std::size_t dim, std::vector<float> values) {
    return Matrix<float>(std::move(values), array::Shape<2>{dim, dim});
}

Matrix<float> scaled_identity(std::vector<float> diagonal) {
    const std::size_t dim = diagonal.size();
    Matrix<float> out(array::Shape<2>{dim, dim});
    for (std::size_t i = 0; i < dim; ++i) {
        out.view()(i, i) = diagonal[i];
    }
    return out;
}

TEST(MathOrthogonality, AcceptsRotationsPermutationsAndReflectionsRefusesTheRestOnEveryLayout) {
    const float c = std::cos(0.7F);
    const float s = std::sin(0.7F);
    const Matrix<float> givens = square(4, {1, 0, 0, 0, 0, c, -s, 0, 0, s, c, 0, 0, 0, 0, 1});
    // I − 2vvᵀ/|v|² for v = (1, 2, 2): entries are ninths.
    const Matrix<float> householder =
        square(3, {7.0F / 9, -4.0F / 9, -4.0F / 9, -4.0F / 9, 1.0F / 9, -8.0F / 9, -4.0F / 9, -8.0F / 9, 1.0F / 9});
    Matrix<float> twice = known_rotation(6, 2);
    for (float& x : twice.storage()) {
        x *= 2.0F;
    }
    const auto poisoned = [](float value, std::size_t at) {
        Matrix<float> out = known_rotation(5, 3);
        out.storage()[at] = value;
        return out;
    };
    struct Case {
        const char* name;
        Matrix<float> rotation;
        bool accepted;
    };
    const Case cases[] = {
        {"identity", scaled_identity({1, 1, 1}), true},
        {"a Givens rotation", givens, true},
        {"a product of rotations", known_rotation(12, 7), true},
        {"a permutation", square(4, {0, 1, 0, 0, 0, 0, 0, 1, 1, 0, 0, 0, 0, 0, 1, 0}), true},
        {"a reflection", scaled_identity({1, -1, 1}), true},
        {"a Householder reflection", householder, true},
        {"no dimensions", Matrix<float>(array::Shape<2>{0, 0}), true},
        {"within the tolerance", scaled_identity({1.00045F, 1, 1}), true},
        {"beyond the tolerance", scaled_identity({1.00055F, 1, 1}), false},
        {"scaled", scaled_identity({0.5F, 1, 2}), false},
        {"every column twice as long", twice, false},
        {"sheared", square(3, {1, 0.1F, 0, 0, 1, 0, 0, 0, 1}), false},
        {"zero", Matrix<float>(array::Shape<2>{3, 3}), false},
        {"NaN first", poisoned(tarvinex::test::kNaN, 0), false},
        {"+inf inside", poisoned(tarvinex::test::kInf, 12), false},
        {"-inf last", poisoned(-tarvinex::test::kInf, 24), false},
    };
    const auto text = [](const tarvinex::error::Result<void>& result) {
        return result ? std::string("accepted") : error_text(result.error());
    };
    for (const Case& c : cases) {
        const std::size_t dim = c.rotation.extent(0);
        const std::string want = c.accepted ? "accepted" : "rotation must be orthogonal";
        for (const Layout layout : kLayouts) {
            const LaidOut r = lay_out(c.rotation.storage(), dim, dim, layout);
            EXPECT_EQ(text(math::check_orthogonal(r.view)), want) << c.name << ", layout " << static_cast<int>(layout);
            EXPECT_EQ(text(math::check_orthogonal(transposed(r.view))), want)
                << c.name << " transposed, layout " << static_cast<int>(layout);
        }
    }
    EXPECT_EQ(math::kRotationNotOrthogonal, std::string("rotation must be orthogonal"));
    const Matrix<float> wide(array::Shape<2>{2, 3});
    EXPECT_THROW((void)math::check_orthogonal(wide.view()), tarvinex::error::InternalFailure);
}

std::vector<std::size_t> reversed(std::vector<std::size_t> order) {
    std::reverse(order.begin(), order.end());
    return order;
}

TEST(MathSeeding, PicksEvenlySpacedPositionsOfTheSortedOrder) {
    struct Case {
        std::size_t n;
        std::size_t k;
        std::vector<std::size_t> positions;
    };
    const Case cases[] = {
        {10, 4, {1, 3, 6, 8}},  // floor((j + 0.5)·10 / 4)
        {10, 10, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9}},
        {10, 1, {5}},
        {7, 3, {1, 3, 5}},
        {5, 0, {}},
    };
    for (const Case& c : cases) {
        // One column of shuffled integers 0 .. n-1 (3 is prime to every n here).
        std::vector<float> values(c.n);
        for (std::size_t i = 0; i < c.n; ++i) {
            values[i] = static_cast<float>((i * 3 + 1) % c.n);
        }
        std::vector<std::size_t> ascending(c.n);
        for (std::size_t i = 0; i < c.n; ++i) {
            ascending[static_cast<std::size_t>(values[i])] = i;
        }
        const auto x = MatrixView<const float>::c_order(values.data(), {c.n, 1});
        std::vector<std::size_t> expected;
        std::vector<std::size_t> expected_descending;
        for (const std::size_t position : c.positions) {
            expected.push_back(ascending[position]);
            expected_descending.push_back(reversed(ascending)[position]);
        }
        SCOPED_TRACE(testing::Message() << "n " << c.n << " k " << c.k);
        const auto by_variance = math::variance_quantile_indices(x, c.k);
        ASSERT_TRUE(by_variance);
        EXPECT_EQ(*by_variance, expected);
        // The principal direction's sign is LAPACK's: either end may come first.
        const auto by_pca = math::pca_quantile_indices(x, c.k);
        ASSERT_TRUE(by_pca);
        EXPECT_TRUE(*by_pca == expected || *by_pca == expected_descending) << testing::PrintToString(*by_pca);
    }
}

TEST(MathSeeding, VarianceColumnChoiceAndValueOrderOnEveryLayout) {
    // Four rows, k = 4: the result is the whole sorted order of the chosen column.
    const float neg_nan = -tarvinex::test::kNaN;
    struct Case {
        const char* name;
        std::vector<float> rows;  // (4, 3), C order
        std::vector<std::size_t> order;
    };
    const Case cases[] = {
        // Variances 2, 5 and 5: the last of the maxima, column 2, decides.
        {"tie goes to the last column", {-2, -3, 1, 0, -1, 3, 0, 1, -3, 2, 3, -1}, {2, 3, 0, 1}},
        // A positive NaN variance lies above every number; the NaN row sorts last.
        {"positive NaN variance wins",
         {1, 0, 0, tarvinex::test::kNaN, 10, 0, -tarvinex::test::kInf, 20, 0, -0.0F, 30, 0},
         {2, 3, 0, 1}},
        // A negative NaN (every NaN here comes from the one input, so keeps its
        // sign) lies below every number; -0.0 sorts below +0.0.
        {"negative NaN variance loses", {neg_nan, 0.0F, 0, 1, -0.0F, 0, 2, 1, 0, 3, -1, 0}, {3, 1, 0, 2}},
    };
    for (const Case& c : cases) {
        for (const Layout layout : kLayouts) {
            const LaidOut x = lay_out(c.rows, 4, 3, layout);
            const auto picked = math::variance_quantile_indices(x.view, 4);
            ASSERT_TRUE(picked) << c.name;
            EXPECT_EQ(*picked, c.order) << c.name << ", layout " << static_cast<int>(layout);
        }
    }
}

TEST(MathSeeding, PrincipalOrderFollowsTheLineAndKeepsTiesInRowOrder) {
    // Rows t·(1, 2, 2) for shuffled t: the first principal direction is the
    // line, and 20 rows put the projection on BLAS.
    constexpr std::size_t kRows = 20;
    std::vector<float> line;
    std::vector<std::size_t> ascending(kRows);
    for (std::size_t i = 0; i < kRows; ++i) {
        const std::size_t t = (i * 9 + 4) % kRows;
        ascending[t] = i;
        for (const float u : {1.0F, 2.0F, 2.0F}) {
            line.push_back(static_cast<float>(t) * u - 7.0F);
        }
    }
    const auto on_line = math::pca_quantile_indices(MatrixView<const float>::c_order(line.data(), {kRows, 3}), kRows);
    ASSERT_TRUE(on_line);
    EXPECT_TRUE(*on_line == ascending || *on_line == reversed(ascending)) << testing::PrintToString(*on_line);

    // One column of three values repeated over 40 rows: each projection is one
    // exact product, so equal rows tie exactly and must keep their row order.
    constexpr std::size_t kTiedRows = 40;
    std::vector<float> repeated(kTiedRows);
    for (std::size_t i = 0; i < kTiedRows; ++i) {
        repeated[i] = static_cast<float>((i * 7) % 3);
    }
    const auto stable_by_value = [&](bool descending) {
        std::vector<std::size_t> order(kTiedRows);
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::ranges::stable_sort(order, [&](std::size_t a, std::size_t b) {
            return descending ? repeated[a] > repeated[b] : repeated[a] < repeated[b];
        });
        return order;
    };
    const auto tied =
        math::pca_quantile_indices(MatrixView<const float>::c_order(repeated.data(), {kTiedRows, 1}), kTiedRows);
    ASSERT_TRUE(tied);
    EXPECT_TRUE(*tied == stable_by_value(false) || *tied == stable_by_value(true)) << testing::PrintToString(*tied);
}

TEST(MathSeeding, PrincipalOrderWithNaNIsRefusedBeforeLapack) {
    // A NaN reaches every centered row through the mean; LAPACK can iterate
    // forever on such a matrix, so the decomposition refuses it first.
    std::vector<float> values = SplitMix(3).spread(10 * 2, -1, 3, true);
    values[7] = tarvinex::test::kNaN;
    const auto picked = math::pca_quantile_indices(MatrixView<const float>::c_order(values.data(), {10, 2}), 4);
    ASSERT_FALSE(picked.has_value());
    EXPECT_EQ(error_text(picked.error()), "singular value decomposition input must be finite");
}

TEST(MathRotationBatch, SettingReadsAPositiveNumberElseDefault) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    struct Case {
        std::optional<std::string> value;
        std::uint64_t mib;
    };
    const Case cases[] = {
        {std::nullopt, 32}, {"8", 8}, {"+64", 64}, {"0", 32},    {"-8", 32},
        {"eight", 32},      {"", 32}, {" 8", 32},  {"\xff", 32}, {"18446744073709551615", kMax},
    };
    for (const Case& c : cases) {
        std::map<std::string, std::string> env;
        if (c.value) {
            env.emplace(tarvinex::settings::names::kRotationBatchMib, *c.value);
        }
        EXPECT_EQ(math::read_rotation_batch_mib(tarvinex::test::fake_env(env)), c.mib)
            << testing::PrintToString(c.value);
    }
}

TEST(MathRotationBatch, RowsAreTheBudgetOverRowBytesWithinTheClamp) {
    constexpr std::size_t kSizeMax = std::numeric_limits<std::size_t>::max();
    struct Case {
        std::size_t dim;
        std::uint64_t mib;
        std::size_t rows;
    };
    const Case cases[] = {
        {0, 32, 256},    {1, 32, 32768},   {256, 32, 32768}, {512, 32, 16384},
        {960, 32, 8738}, {1024, 32, 8192}, {32768, 32, 256}, {kSizeMax, 32, 256},
        {64, 8, 32768},  {1024, 8, 2048},  {0, 8, 256},      {1, std::numeric_limits<std::uint64_t>::max(), 32768},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(math::rotation_batch_rows(c.dim, c.mib), c.rows) << "dim " << c.dim << " MiB " << c.mib;
    }
}

TEST(MathErrors, TextsInTheOrderTheyAreTested) {
    const std::vector<float> values(64, 1.0F);
    const auto m = [&](std::size_t rows, std::size_t cols) {
        return MatrixView<const float>::c_order(values.data(), {rows, cols});
    };
    std::vector<float> out_values(64, 0.0F);
    const auto out = [&](std::size_t rows, std::size_t cols) {
        return MatrixView<float>::c_order(out_values.data(), {rows, cols});
    };
    const auto text = [](const auto& result) { return result ? std::string("success") : error_text(result.error()); };
    // (2, 2) rows of one value; the value is kept in a list, so every view stays valid.
    std::vector<std::vector<float>> large_values;
    const auto large = [&](float value) {
        large_values.push_back(std::vector<float>(4, value));
        return MatrixView<const float>::c_order(large_values.back().data(), {2, 2});
    };
    // A (3, 2) matrix with one entry replaced.
    const auto svd_of = [](float entry) {
        std::vector<float> a = {1, 2, 3, 4, 5, 6};
        a[4] = entry;
        return math::singular_value_decomposition(math::ColumnMajorMatrix{a, 3, 2}, math::SingularVectors::All,
                                                  math::SingularVectors::All);
    };
    const std::string rotation = "rotation must be square and match the input dimensionality";
    const std::string output = "rotation output must match the rotated matrix shape";
    const std::string too_many = "cannot initialize more centers than samples";
    const std::string no_columns = "data must have at least one column";
    struct Case {
        const char* name;
        std::function<std::string()> call;
        std::string expected;
    };
    const Case cases[] = {
        {"rotation D x D+1", [&] { return text(math::apply_rotation(m(2, 3), m(3, 4))); }, rotation},
        {"rotation D+1 x D", [&] { return text(math::apply_rotation(m(2, 3), m(4, 3))); }, rotation},
        {"into: rotation before output", [&] { return text(math::apply_rotation_into(m(2, 3), m(4, 3), out(3, 3))); },
         rotation},
        {"into: out of n+1 rows", [&] { return text(math::apply_rotation_into(m(2, 3), m(3, 3), out(3, 3))); }, output},
        {"into: out of D+1 columns", [&] { return text(math::apply_rotation_into(m(2, 3), m(3, 3), out(2, 4))); },
         output},
        {"procrustes 5x4 and 5x3", [&] { return text(math::orthogonal_procrustes(m(5, 4), m(5, 3))); },
         "orthogonal procrustes inputs must have matching shapes"},
        {"procrustes 5x4 and 4x4", [&] { return text(math::orthogonal_procrustes(m(5, 4), m(4, 4))); },
         "orthogonal procrustes inputs must have matching shapes"},
        // Finite rows whose aᵀb overflows float32: 2·(1e20)² is beyond it, 2·(1e19)² within.
        {"procrustes: aᵀb beyond float32",
         [&] { return text(math::orthogonal_procrustes(large(1e20F), large(1e20F))); },
         "orthogonal procrustes product is not finite (rows too large for float32 or not finite)"},
        {"procrustes: aᵀb within float32",
         [&] { return text(math::orthogonal_procrustes(large(1e19F), large(1e19F))); }, "success"},
        {"svd: NaN", [&] { return text(svd_of(tarvinex::test::kNaN)); },
         "singular value decomposition input must be finite"},
        {"svd: +inf", [&] { return text(svd_of(tarvinex::test::kInf)); },
         "singular value decomposition input must be finite"},
        {"svd: -inf", [&] { return text(svd_of(-tarvinex::test::kInf)); },
         "singular value decomposition input must be finite"},
        {"svd: finite", [&] { return text(svd_of(3.0F)); }, "success"},
        {"variance: n < k", [&] { return text(math::variance_quantile_indices(m(3, 2), 4)); }, too_many},
        {"variance: n < k before no columns", [&] { return text(math::variance_quantile_indices(m(2, 0), 3)); },
         too_many},
        {"variance: no columns, even for k = 0", [&] { return text(math::variance_quantile_indices(m(3, 0), 0)); },
         no_columns},
        {"variance: k = 0", [&] { return text(math::variance_quantile_indices(m(3, 2), 0)); }, "success"},
        {"pca: n < k", [&] { return text(math::pca_quantile_indices(m(3, 2), 4)); }, too_many},
        {"pca: n < k before no columns", [&] { return text(math::pca_quantile_indices(m(2, 0), 3)); }, too_many},
        {"pca: no columns", [&] { return text(math::pca_quantile_indices(m(3, 0), 1)); }, no_columns},
        {"pca: no rows", [&] { return text(math::pca_quantile_indices(m(0, 2), 0)); }, "success"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.call(), c.expected) << c.name;
    }
}

TEST(BlasThreads, CappedAtFourAndTheAvailableCpus) {
    math::limit_blas_threads();
    math::limit_blas_threads();
    EXPECT_EQ(math::blas_threads(), std::min(math::kMaxBlasThreads, tarvinex::parallel::available_cpu_count()));
}

TEST(BlasThreads, OneThreadScopesNestAndGiveTheSameProductBits) {
    // Large enough that OpenBLAS splits the product among its threads when
    // it may; the dense passes rely on one thread giving the same bits.
    math::limit_blas_threads();
    const std::size_t capped = math::blas_threads();
    const std::size_t m = 700, k = 300, n = 900;
    SplitMix rng(5);
    const std::vector<float> a = rng.spread(m * k, -3, 6, true);
    const std::vector<float> b = rng.spread(k * n, -3, 6, true);
    const auto product = [&] {
        std::vector<float> out(m * n);
        math::multiply_into(array::MatrixView<const float>::c_order(a.data(), {m, k}),
                            array::MatrixView<const float>::c_order(b.data(), {k, n}),
                            array::MatrixView<float>::c_order(out.data(), {m, n}));
        return out;
    };
    const std::vector<float> threaded = product();
    {
        const math::SingleThreadedBlas outer;
        {
            const math::SingleThreadedBlas inner;
            EXPECT_EQ(math::blas_threads(), 1U);
        }
        EXPECT_EQ(math::blas_threads(), 1U);
        EXPECT_EQ(tarvinex::test::bit_patterns(product()), tarvinex::test::bit_patterns(threaded));
    }
    EXPECT_EQ(math::blas_threads(), capped);
}

}  // namespace
