// Rotation, Procrustes, quantile seeding and the rotation batch size: products
// against a naive triple loop over every layout the views can take (BLAS and
// portable paths alike), Procrustes against a known rotation, the seeding
// orders and positions, the batch rule, and the error texts in their order.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "array/array.hpp"
#include "error/error.hpp"
#include "math/math.hpp"
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
    const std::string rotation = "rotation must be square and match the input dimensionality";
    const std::string output = "rotation output must match the rotated matrix shape";
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
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.call(), c.expected) << c.name;
    }
}

}  // namespace
