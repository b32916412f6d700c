#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "array/array.hpp"
#include "math/math.hpp"
#include "parallel/pool.hpp"
#include "pq/pq.hpp"
#include "testing.hpp"

namespace tarvinex::pq {
namespace {

using array::Codebook;
using array::Matrix;
using array::MatrixView;
using array::Shape;

[[nodiscard]] ProductQuantizer make_model(std::size_t m, std::size_t ks, std::size_t iterations = 10,
                                          std::uint64_t seed = 0, std::size_t opq_iterations = 0) {
    auto model = ProductQuantizer::create(m, ks, iterations, seed, opq_iterations);
    EXPECT_TRUE(model.has_value()) << model.error().to_string();
    return std::move(*model);
}

[[nodiscard]] Matrix<float> matrix_of(std::size_t rows, std::size_t cols, std::vector<float> values) {
    return Matrix<float>(std::move(values), Shape<2>{rows, cols});
}

[[nodiscard]] Matrix<float> spread_matrix(std::size_t rows, std::size_t cols, std::uint64_t seed) {
    return matrix_of(rows, cols, test::SplitMix(seed).spread(rows * cols, -2, 4, true));
}

[[nodiscard]] std::vector<std::uint32_t> codebook_bits(const ProductQuantizer& model) {
    return test::bit_patterns(model.codewords()->storage());
}

[[nodiscard]] std::string error_text(const error::Result<void>& result) {
    return result ? std::string("ok") : result.error().to_string();
}

[[nodiscard]] error::Result<void> dropped(const auto& result) {
    if (!result) {
        return std::unexpected(result.error());
    }
    return {};
}

[[nodiscard]] Matrix<float> identity(std::size_t dim) {
    Matrix<float> out(Shape<2>{dim, dim});
    for (std::size_t i = 0; i < dim; ++i) {
        out.view()(i, i) = 1.0F;
    }
    return out;
}

/// Rows at codeword + noise for M subspaces of Ks well-separated codewords:
/// codeword c of subspace m has element d = 10*c + 3*m + d, the rows take the
/// codewords round-robin with a different cycle per subspace.
struct Separated {
    Codebook<float> generators;
    Matrix<float> data;
};

[[nodiscard]] Separated separated_subspaces(std::size_t m, std::size_t ks, std::size_t ds, std::size_t n) {
    Codebook<float> generators(Shape<3>{m, ks, ds});
    for (std::size_t s = 0; s < m; ++s) {
        for (std::size_t c = 0; c < ks; ++c) {
            for (std::size_t d = 0; d < ds; ++d) {
                generators.view()(s, c, d) = static_cast<float>(10 * c + 3 * s + d);
            }
        }
    }
    test::SplitMix noise(7);
    Matrix<float> data(Shape<2>{n, m * ds});
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t s = 0; s < m; ++s) {
            const std::size_t c = (r + r / ks * s) % ks;
            for (std::size_t d = 0; d < ds; ++d) {
                const float jitter = static_cast<float>(noise.next() % 2001) * 1e-5F - 0.01F;
                data.view()(r, s * ds + d) = generators.view()(s, c, d) + jitter;
            }
        }
    }
    return {std::move(generators), std::move(data)};
}

/// `codewords` with `value` in place of its last stored element.
[[nodiscard]] Codebook<float> poisoned(Codebook<float> codewords, float value) {
    codewords.storage().back() = value;
    return codewords;
}

TEST(ProductQuantizerErrors, MessagesInTheOrderEachMethodTestsThem) {
    const Matrix<float> data = spread_matrix(20, 8, 1);
    const std::vector<float> ones(20, 1.0F);
    const auto fit_weighted = [&](std::vector<float> w, const Matrix<float>& x) {
        ProductQuantizer model = make_model(4, 4);
        return model.fit_weighted(x.view(), array::ArrayView<const float, 1>::c_order(w.data(), {w.size()}));
    };
    struct Case {
        const char* name;
        std::function<error::Result<void>()> run;
        std::string message;
    };
    // A (2, 4, 3) model over D = 6, and 10 rows of 6 in both memory orders.
    const auto fitted = [](bool rotated) {
        return *ProductQuantizer::from_codewords(test::spread_codebook(2, 4, 3),
                                                 rotated ? std::optional(identity(6)) : std::nullopt, 1, 0, 0);
    };
    const auto column_major_codebook = [] {
        const Codebook<float> rows = test::spread_codebook(2, 4, 3);
        std::vector<float> values(24);
        for (std::size_t i = 0; i < 24; ++i) {
            values[i] = rows.storage()[(i % 2) * 12 + (i / 2 % 4) * 3 + i / 8];
        }
        return *ProductQuantizer::from_codewords(Codebook<float>(std::move(values), Shape<3>{2, 4, 3}, {1, 2, 8}),
                                                 std::nullopt, 1, 0, 0);
    };
    const Matrix<float> row_major = spread_matrix(10, 6, 4);
    const std::vector<float> column_major = test::SplitMix(4).spread(70, -2, 4, true);
    const MatrixView<const float> column_major_view{column_major.data(), {10, 6}, {1, 10}};
    // Codes of 10 rows over `columns`, rows `row_stride` apart, the last code `last`.
    std::vector<std::uint8_t> code_values(40, 1);
    const auto codes = [&](std::size_t rows, std::size_t columns, std::ptrdiff_t row_stride, std::uint8_t last = 1) {
        std::ranges::fill(code_values, 1);
        code_values[static_cast<std::size_t>(row_stride) * (rows - 1) + columns - 1] = last;
        return array::MatrixView<const std::uint8_t>{code_values.data(), {rows, columns}, {row_stride, 1}};
    };
    Matrix<float> nan_data = spread_matrix(20, 8, 1);
    nan_data.view()(19, 7) = test::kNaN;
    std::vector<float> ones_but_nan = ones;
    ones_but_nan[3] = test::kNaN;
    ones_but_nan.pop_back();
    const std::vector<Case> cases = {
        {"new: M = 0 first", [] { return dropped(ProductQuantizer::create(0, 1, 0, 0, 0)); },
         "num_subquantizers must be greater than zero"},
        {"new: Ks = 1", [] { return dropped(ProductQuantizer::create(2, 1, 0, 0, 0)); },
         "codebook_size must be in [2, 256]"},
        {"new: Ks = 257", [] { return dropped(ProductQuantizer::create(2, 257, 1, 0, 0)); },
         "codebook_size must be in [2, 256]"},
        {"new: iterations = 0", [] { return dropped(ProductQuantizer::create(2, 256, 0, 0, 0)); },
         "iterations must be greater than zero"},
        {"from_codewords: Ks = 0 before the rotation",
         [] {
             return dropped(ProductQuantizer::from_codewords(Codebook<float>(Shape<3>{8, 0, 4}), identity(3), 1, 0, 0));
         },
         "codewords must have shape (M, Ks, Ds)"},
        {"from_codewords: Ks = 300",
         [] {
             return dropped(
                 ProductQuantizer::from_codewords(Codebook<float>(Shape<3>{8, 300, 4}), identity(3), 1, 0, 0));
         },
         "codebook_size above 256 is not supported"},
        {"from_codewords: 32 x 31 rotation",
         [] {
             return dropped(ProductQuantizer::from_codewords(Codebook<float>(Shape<3>{8, 256, 4}),
                                                             Matrix<float>(Shape<2>{32, 31}), 1, 0, 0));
         },
         "rotation must be square and match the original dimensionality"},
        {"from_codewords: M*Ds overflows",
         [] {
             return dropped(ProductQuantizer::from_codewords(
                 Codebook<float>(std::vector<float>(1), Shape<3>{std::size_t{1} << 33, 1, std::size_t{1} << 33},
                                 array::Strides<3>{0, 0, 0}),
                 Matrix<float>(Shape<2>{0, 0}), 1, 0, 0));
         },
         "rotation must be square and match the original dimensionality"},
        {"from_codewords: Ks = 300 before the values",
         [] {
             return dropped(ProductQuantizer::from_codewords(poisoned(Codebook<float>(Shape<3>{8, 300, 4}), test::kNaN),
                                                             identity(32), 1, 0, 0));
         },
         "codebook_size above 256 is not supported"},
        {"from_codewords: the values before the rotation",
         [] {
             return dropped(ProductQuantizer::from_codewords(poisoned(test::spread_codebook(8, 4, 4), test::kInf),
                                                             Matrix<float>(Shape<2>{32, 31}), 1, 0, 0));
         },
         "codewords must be finite"},
        {"from_codewords: -inf in a codebook stored column by column",
         [&] {
             return dropped(ProductQuantizer::from_codewords(
                 poisoned(Codebook<float>(column_major_codebook().codewords()->storage(), Shape<3>{2, 4, 3}, {1, 2, 8}),
                          -test::kInf),
                 std::nullopt, 1, 0, 0));
         },
         "codewords must be finite"},
        {"from_codewords: the rotation's shape before its orthogonality",
         [] { return dropped(ProductQuantizer::from_codewords(test::spread_codebook(2, 4, 3), identity(7), 1, 0, 0)); },
         "rotation must be square and match the original dimensionality"},
        {"from_codewords: a rotation scaled by 2",
         [] {
             Matrix<float> twice = identity(6);
             twice.view()(3, 3) = 2.0F;
             return dropped(
                 ProductQuantizer::from_codewords(test::spread_codebook(2, 4, 3), std::move(twice), 1, 0, 0));
         },
         "rotation must be orthogonal"},
        {"from_codewords: a rotation holding NaN",
         [] {
             Matrix<float> broken = identity(6);
             broken.view()(5, 0) = test::kNaN;
             return dropped(
                 ProductQuantizer::from_codewords(test::spread_codebook(2, 4, 3), std::move(broken), 1, 0, 0));
         },
         "rotation must be orthogonal"},
        {"from_codewords: Ks = 1 accepted",
         [] {
             return dropped(
                 ProductQuantizer::from_codewords(Codebook<float>(Shape<3>{8, 1, 4}), identity(32), 0, 0, 0));
         },
         "ok"},
        {"fit_weighted: length before values", [&] { return fit_weighted(ones_but_nan, data); },
         "sample_weight length must match the number of training rows"},
        {"fit_weighted: NaN",
         [&] {
             auto w = ones;
             w[1] = test::kNaN;
             return fit_weighted(w, data);
         },
         "sample_weight values must be finite and non-negative"},
        {"fit_weighted: +inf",
         [&] {
             auto w = ones;
             w[19] = test::kInf;
             return fit_weighted(w, data);
         },
         "sample_weight values must be finite and non-negative"},
        {"fit_weighted: negative",
         [&] {
             auto w = ones;
             w[0] = -1e-30F;
             return fit_weighted(w, data);
         },
         "sample_weight values must be finite and non-negative"},
        {"fit_weighted: all zero", [&] { return fit_weighted(std::vector<float>(20, 0.0F), data); },
         "sample_weight must contain at least one positive value"},
        {"fit_weighted: one weight of 1e-20",
         [&] {
             std::vector<float> w(20, 0.0F);
             w[5] = 1e-20F;
             return fit_weighted(w, data);
         },
         "sample_weight must contain at least one positive value"},
        {"fit_weighted: -0.0 accepted",
         [&] {
             auto w = ones;
             w[2] = -0.0F;
             return fit_weighted(w, data);
         },
         "ok"},
        {"fit_weighted: weights before values",
         [&] {
             auto w = ones;
             w[4] = -1.0F;
             return fit_weighted(w, nan_data);
         },
         "sample_weight values must be finite and non-negative"},
        {"fit_weighted: values after weights", [&] { return fit_weighted(ones, nan_data); },
         "training data must be finite"},
        {"fit_weighted: weights before rows",
         [&] {
             const Matrix<float> few = spread_matrix(4, 8, 2);
             return fit_weighted(std::vector<float>(4, 0.0F), few);
         },
         "sample_weight must contain at least one positive value"},
        {"fit_impl: n = Ks before the width",
         [] {
             ProductQuantizer model = make_model(8, 4);
             const Matrix<float> x = spread_matrix(4, 30, 3);
             return model.fit_impl(x.view(), std::nullopt);
         },
         "training data must contain more rows than the codebook size"},
        {"fit_impl: n = Ks + 1 trains",
         [] {
             ProductQuantizer model = make_model(8, 4);
             const Matrix<float> x = spread_matrix(5, 32, 3);
             return model.fit_impl(x.view(), std::nullopt);
         },
         "ok"},
        {"fit_impl: D = 30 with M = 8",
         [] {
             ProductQuantizer model = make_model(8, 4);
             const Matrix<float> x = spread_matrix(5, 30, 3);
             return model.fit_impl(x.view(), std::nullopt);
         },
         "input dimensionality must be divisible by num_subquantizers"},
        {"fit_impl: n = Ks before the values",
         [] {
             ProductQuantizer model = make_model(8, 4);
             Matrix<float> x = spread_matrix(4, 32, 3);
             x.view()(0, 0) = test::kNaN;
             return model.fit_impl(x.view(), std::nullopt);
         },
         "training data must contain more rows than the codebook size"},
        {"fit_impl: D = 30 before the values",
         [] {
             ProductQuantizer model = make_model(8, 4);
             Matrix<float> x = spread_matrix(5, 30, 3);
             x.view()(4, 29) = test::kInf;
             return model.fit_impl(x.view(), std::nullopt);
         },
         "input dimensionality must be divisible by num_subquantizers"},
        {"fit_impl: the values", [&] { return make_model(4, 4).fit_impl(nan_data.view(), std::nullopt); },
         "training data must be finite"},
        {"encode: unfitted", [&] { return dropped(make_model(2, 4).encode(row_major.view())); },
         "product quantizer has not been fitted"},
        {"encode: D + 1 columns before the layout",
         [&] {
             return dropped(fitted(false).encode(MatrixView<const float>{column_major.data(), {10, 7}, {1, 10}}));
         },
         "input dimensionality does not match trained codewords"},
        {"encode: M*Ds overflows",
         [&] {
             const auto model = ProductQuantizer::from_codewords(
                 Codebook<float>(std::vector<float>(1), Shape<3>{std::size_t{1} << 33, 1, std::size_t{1} << 33},
                                 array::Strides<3>{0, 0, 0}),
                 std::nullopt, 1, 0, 0);
             return dropped(model->encode(MatrixView<const float>{column_major.data(), {1, 0}, {0, 1}}));
         },
         "input dimensionality does not match trained codewords"},
        {"encode: column-major without a rotation", [&] { return dropped(fitted(false).encode(column_major_view)); },
         "input matrix must be C-contiguous"},
        {"encode: column-major with a rotation", [&] { return dropped(fitted(true).encode(column_major_view)); }, "ok"},
        {"encode: the input before the codewords",
         [&] { return dropped(column_major_codebook().encode(column_major_view)); },
         "input matrix must be C-contiguous"},
        {"encode: codewords not row-major", [&] { return dropped(column_major_codebook().encode(row_major.view())); },
         "codewords are not contiguous"},
        {"encode_matrix_into: a gap between output rows",
         [&] {
             std::vector<std::uint8_t> out(10 * 3);
             const ProductQuantizer model = fitted(false);
             return model.encode_matrix_into(row_major.view(), model.codewords()->view(), {out.data(), {10, 2}, {3, 1}},
                                             EncodeMode::SizeRule);
         },
         "output matrix must be C-contiguous"},
        {"decode: unfitted", [&] { return dropped(make_model(2, 4).decode(codes(10, 2, 2))); },
         "product quantizer has not been fitted"},
        {"decode: M + 1 columns before the layout", [&] { return dropped(fitted(false).decode(codes(10, 3, 4))); },
         "code dimensionality does not match trained codewords"},
        {"decode: a gap between code rows", [&] { return dropped(fitted(false).decode(codes(10, 2, 3))); },
         "code matrix must be C-contiguous"},
        {"decode: the layout before the values",
         [&] { return dropped(column_major_codebook().decode(codes(10, 2, 2, 9))); }, "codewords are not contiguous"},
        {"decode: a code of Ks", [&] { return dropped(fitted(false).decode(codes(10, 2, 2, 4))); },
         "code values must be below codebook_size"},
        {"decode: codes below Ks", [&] { return dropped(fitted(true).decode(codes(10, 2, 2, 3))); }, "ok"},
        {"decode: any byte with Ks = 256",
         [&] {
             return dropped(ProductQuantizer::from_codewords(test::spread_codebook(2, 256, 3), std::nullopt, 1, 0, 0)
                                ->decode(codes(10, 2, 2, 255)));
         },
         "ok"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_text(c.run()), c.message) << c.name;
    }
}

TEST(ProductQuantizerTraining, RecoversTheGeneratingCodewordsOfSeparatedSubspaces) {
    const Separated set = separated_subspaces(3, 8, 4, 400);
    ProductQuantizer model = make_model(3, 8, 15);
    ASSERT_TRUE(model.fit_impl(set.data.view(), std::nullopt));
    ASSERT_EQ(model.subdim(), 4U);
    const auto trained = model.codewords()->view();
    ASSERT_EQ(model.codewords()->shape(), (Shape<3>{3, 8, 4}));
    for (std::size_t s = 0; s < 3; ++s) {
        std::set<std::size_t> matched;
        for (std::size_t c = 0; c < 8; ++c) {
            // The codeword's generator is the one its first element lies near.
            const auto generator = static_cast<std::size_t>(std::lround((trained(s, c, 0) - 3.0F * s) / 10.0F));
            ASSERT_LT(generator, 8U);
            matched.insert(generator);
            for (std::size_t d = 0; d < 4; ++d) {
                EXPECT_NEAR(trained(s, c, d), set.generators.view()(s, generator, d), 0.01F) << s << " " << c;
            }
        }
        EXPECT_EQ(matched.size(), 8U) << "every generator is found once in subspace " << s;
    }
    EXPECT_FALSE(model.rotation().has_value());
}

TEST(ProductQuantizerTraining, PowerOfTwoWeightsGiveTheUnweightedCodebooks) {
    // Equal weights of 2^127 sum beyond the float range: they are scaled first.
    const Matrix<float> data = spread_matrix(700, 8, 11);
    ProductQuantizer plain = make_model(2, 8, 6);
    ASSERT_TRUE(plain.fit_impl(data.view(), std::nullopt));
    for (const float weight : {2.0F, 0x1p-40F, 0x1p127F}) {
        ProductQuantizer weighted = make_model(2, 8, 6);
        const std::vector<float> w(700, weight);
        ASSERT_TRUE(weighted.fit_weighted(data.view(), array::ArrayView<const float, 1>::c_order(w.data(), {700})));
        EXPECT_EQ(codebook_bits(weighted), codebook_bits(plain)) << weight;
    }
}

[[nodiscard]] error::Result<void> fit_with_weights(ProductQuantizer& model, const Matrix<float>& data,
                                                   const std::vector<float>& weights) {
    return model.fit_weighted(data.view(), array::ArrayView<const float, 1>::c_order(weights.data(), {weights.size()}));
}

TEST(ProductQuantizerTraining, UnevenWeightsKeepTheirBitsUnderEveryPowerOfTwo) {
    // Times 2^-40 no sum of a pass comes near the float range and the
    // weights are used as given; times 2^110 and 2^120 they are scaled
    // first, which must not change a bit (at 2^120 a cluster's unscaled
    // weight total would overflow).
    const Matrix<float> data = spread_matrix(700, 8, 11);
    test::SplitMix rng(12);
    std::vector<float> weights(700);
    for (float& w : weights) {
        w = 0.1F + static_cast<float>(rng.next() >> 40) / 16777216.0F * 9.9F;
    }
    ProductQuantizer reference = make_model(2, 8, 6);
    ASSERT_TRUE(fit_with_weights(reference, data, weights));
    ProductQuantizer unweighted = make_model(2, 8, 6);
    ASSERT_TRUE(unweighted.fit_impl(data.view(), std::nullopt));
    ASSERT_NE(codebook_bits(reference), codebook_bits(unweighted)) << "the weights must matter";
    for (const int exponent : {-40, 110, 120}) {
        std::vector<float> scaled = weights;
        for (float& w : scaled) {
            w = std::ldexp(w, exponent);
        }
        ProductQuantizer model = make_model(2, 8, 6);
        ASSERT_TRUE(fit_with_weights(model, data, scaled)) << exponent;
        EXPECT_EQ(codebook_bits(model), codebook_bits(reference)) << "weights times 2^" << exponent;
    }
}

/// 100 rows in each of four groups around (10g, 10g), g = 0..3, each row
/// within 0.5 of its group's middle.
[[nodiscard]] Matrix<float> four_groups() {
    test::SplitMix rng(61);
    Matrix<float> data(Shape<2>{400, 2});
    for (std::size_t r = 0; r < 400; ++r) {
        for (std::size_t d = 0; d < 2; ++d) {
            data.view()(r, d) =
                static_cast<float>(10 * (r / 100)) + static_cast<float>(rng.next() >> 40) / 16777216.0F - 0.5F;
        }
    }
    return data;
}

/// Each codeword against the float64 weighted mean of the rows nearest to
/// it, and each group's middle against its nearest codeword.
void expect_weighted_means_of_the_groups(const ProductQuantizer& model, const Matrix<float>& data,
                                         const std::vector<float>& weights, float tolerance) {
    const auto codewords = model.codewords()->view();
    const std::size_t ks = codewords.shape[1];
    std::vector<double> totals(ks, 0.0);
    std::vector<double> sums(ks * 2, 0.0);
    for (std::size_t r = 0; r < data.extent(0); ++r) {
        std::size_t nearest = 0;
        double best = std::numeric_limits<double>::infinity();
        for (std::size_t c = 0; c < ks; ++c) {
            double distance = 0.0;
            for (std::size_t d = 0; d < 2; ++d) {
                const double difference = static_cast<double>(data.view()(r, d)) - codewords(0, c, d);
                distance += difference * difference;
            }
            if (distance < best) {
                best = distance;
                nearest = c;
            }
        }
        totals[nearest] += weights[r];
        for (std::size_t d = 0; d < 2; ++d) {
            sums[nearest * 2 + d] += static_cast<double>(weights[r]) * data.view()(r, d);
        }
    }
    std::set<long> middles;
    for (std::size_t c = 0; c < ks; ++c) {
        ASSERT_GT(totals[c], 0.0) << "codeword " << c << " holds no row";
        for (std::size_t d = 0; d < 2; ++d) {
            ASSERT_TRUE(std::isfinite(codewords(0, c, d)));
            EXPECT_NEAR(codewords(0, c, d), sums[c * 2 + d] / totals[c], tolerance) << c << " " << d;
        }
        middles.insert(std::lround(codewords(0, c, 0) / 10.0F));
    }
    EXPECT_EQ(middles, (std::set<long>{0, 1, 2, 3}));
}

TEST(ProductQuantizerTraining, ExtremeWeightsKeepEveryGroupAndItsWeightedMean) {
    const Matrix<float> data = four_groups();
    test::SplitMix rng(62);
    const auto spread_weight = [&](float scale) {
        return scale * (1.0F + static_cast<float>(rng.next() >> 40) / 16777216.0F);
    };
    // Weights 63 binades apart: scaling them all by one power of two so that
    // the heavy group's sums fit must not push the light ones to zero.
    std::vector<float> far_apart(400);
    for (std::size_t r = 0; r < 400; ++r) {
        far_apart[r] = spread_weight(r < 100 ? 2e36F : 1e-27F);
    }
    // One row whose weighted sum alone (1e38 · 10) is beyond the float range.
    std::vector<float> one_heavy(400, 1.0F);
    one_heavy[150] = 1e38F;
    for (const auto& [name, weights] :
         {std::pair<const char*, const std::vector<float>&>{"63 binades apart", far_apart},
          std::pair<const char*, const std::vector<float>&>{"one weight of 1e38", one_heavy}}) {
        SCOPED_TRACE(name);
        ProductQuantizer model = make_model(1, 4, 10);
        ASSERT_TRUE(fit_with_weights(model, data, weights));
        expect_weighted_means_of_the_groups(model, data, weights, 1e-4F);
    }
}

TEST(ProductQuantizerTraining, AWeightThatScalingWouldZeroStillHoldsItsCluster) {
    // Rows at 100 weigh 1e-45 (the least subnormal), rows across [-5, 5)
    // weigh 3e38: the scaling the heavy rows need takes the light weights
    // below the least float. Were they 0, their cluster would be empty and
    // take the farthest row of the heavy ones instead.
    Matrix<float> data(Shape<2>{200, 1});
    std::vector<float> weights(200);
    double heavy_sum = 0.0;
    for (std::size_t r = 0; r < 200; ++r) {
        data.view()(r, 0) = r < 100 ? static_cast<float>(r) * 0.1F - 5.0F : 100.0F;
        weights[r] = r < 100 ? 3e38F : 1e-45F;
        heavy_sum += r < 100 ? data.view()(r, 0) : 0.0;
    }
    for (const std::size_t iterations : {1, 3}) {
        ProductQuantizer model = make_model(1, 2, iterations);
        ASSERT_TRUE(fit_with_weights(model, data, weights)) << iterations;
        const auto centers = model.codewords()->view();
        const float light = std::max(centers(0, 0, 0), centers(0, 1, 0));
        const float heavy = std::min(centers(0, 0, 0), centers(0, 1, 0));
        EXPECT_EQ(light, 100.0F) << iterations;
        EXPECT_NEAR(heavy, heavy_sum / 100.0, 1e-5) << iterations;
    }
}

TEST(ProductQuantizerTraining, WeightedMeansFollowTheWeights) {
    // Two groups on a line; the upper group's weights vary per case. Row 6 at
    // 40 joins the upper group, its weight 0 in the first two cases.
    const Matrix<float> data = matrix_of(7, 1, {0, 1, 2, 10, 11, 12, 40});
    struct Case {
        const char* name;
        std::vector<float> weights;
        float upper;
        float tolerance;
    };
    const float tiny = 1e-40F;  // subnormal: the weight sum has no finite reciprocal
    const std::vector<Case> cases = {
        {"a heavy row pulls its codeword", {1, 1, 1, 1, 1, 10, 0}, 141.0F * (1.0F / 12.0F), 0.0F},
        {"unit weights", {1, 1, 1, 1, 1, 1, 0}, 33.0F * (1.0F / 3.0F), 0.0F},
        {"subnormal weights", {1, 1, 1, tiny, tiny, tiny, tiny}, (10 + 11 + 12 + 40) / 4.0F, 1e-3F},
    };
    for (const Case& c : cases) {
        ProductQuantizer model = make_model(1, 2, 10);
        ASSERT_TRUE(model.fit_weighted(data.view(), array::ArrayView<const float, 1>::c_order(c.weights.data(), {7})))
            << c.name;
        const auto centers = model.codewords()->view();
        const float lower = std::min(centers(0, 0, 0), centers(0, 1, 0));
        const float upper = std::max(centers(0, 0, 0), centers(0, 1, 0));
        EXPECT_EQ(lower, 3.0F * (1.0F / 3.0F)) << c.name;
        EXPECT_NEAR(upper, c.upper, c.tolerance) << c.name;
    }
}

TEST(ProductQuantizerTraining, EmptyClustersTakeTheFarthestRowsLowerIndexFirst) {
    // Sorted values -7, 0 x5, 7: the quantile picks are three rows of 0, so
    // after one pass every row is in cluster 0 and clusters 1 and 2 are empty.
    // Rows 1 (7) and 3 (-7) are equally far: cluster 1 takes the lower index.
    const Matrix<float> x = matrix_of(7, 1, {0, 7, 0, -7, 0, 0, 0});
    struct Case {
        const char* name;
        std::optional<std::vector<float>> weights;
        std::vector<float> centers;
    };
    const std::vector<Case> cases = {
        {"unweighted", std::nullopt, {0.0F, 7.0F, -7.0F}},
        {"a row of weight 0 still refills",
         std::vector<float>{1, 0, 1, 1, 1, 1, 1},
         {-7.0F * (1.0F / 6.0F), 7.0F, -7.0F}},
    };
    const ProductQuantizer model = make_model(1, 3, 1);
    for (const Case& c : cases) {
        std::optional<std::span<const float>> weights;
        if (c.weights) {
            weights = *c.weights;
        }
        const auto centers = model.fit_subspace_kmeans(x.view(), weights, 0);
        ASSERT_TRUE(centers) << c.name;
        EXPECT_EQ(test::bit_patterns(centers->storage()), test::bit_patterns(c.centers)) << c.name;
    }
}

TEST(ProductQuantizerTraining, InitialRowsAndTheirFallbacks) {
    const Matrix<float> data = spread_matrix(40, 6, 5);
    // Zero passes keep the variance-quantile rows of each subspace.
    auto model = ProductQuantizer::from_codewords(Codebook<float>(Shape<3>{2, 5, 3}), std::nullopt, 0, 0, 0);
    ASSERT_TRUE(model);
    ASSERT_TRUE(model->fit_impl(data.view(), std::nullopt));
    for (std::size_t s = 0; s < 2; ++s) {
        const auto rows = math::variance_quantile_indices(data.view().columns(3 * s, 3), 5);
        ASSERT_TRUE(rows);
        for (std::size_t c = 0; c < 5; ++c) {
            for (std::size_t d = 0; d < 3; ++d) {
                EXPECT_EQ(model->codewords()->view()(s, c, d), data.view()((*rows)[c], 3 * s + d));
            }
        }
    }

    // Fewer rows than codewords: both quantile seedings refuse, and the seeded
    // shuffle orders the rows; the codewords beyond them stay zero.
    const Matrix<float> three = matrix_of(3, 1, {1, 2, 3});
    const ProductQuantizer four = make_model(1, 4, 1);
    std::set<std::vector<float>> orders;
    for (std::uint64_t seed = 0; seed < 12; ++seed) {
        const auto before_pass =
            ProductQuantizer::from_codewords(Codebook<float>(Shape<3>{1, 4, 1}), std::nullopt, 0, 0, 0);
        const auto centers = before_pass->fit_subspace_kmeans(three.view(), std::nullopt, seed);
        ASSERT_TRUE(centers);
        std::vector<float> order(centers->storage().begin(), centers->storage().begin() + 3);
        EXPECT_EQ(centers->storage()[3], 0.0F);
        std::vector<float> sorted = order;
        std::ranges::sort(sorted);
        EXPECT_EQ(sorted, (std::vector<float>{1, 2, 3})) << seed;
        orders.insert(order);
    }
    EXPECT_GT(orders.size(), 1U) << "the shuffle follows the seed";
    EXPECT_TRUE(four.fit_subspace_kmeans(three.view(), std::nullopt, 0)) << "a pass with more clusters than rows";

    // Zero columns: both seedings refuse, the shuffle seeds and the fit succeeds.
    ProductQuantizer empty_width = make_model(2, 2, 2);
    const Matrix<float> no_columns(Shape<2>{5, 0});
    ASSERT_TRUE(empty_width.fit_impl(no_columns.view(), std::nullopt));
    EXPECT_EQ(empty_width.subdim(), 0U);
    EXPECT_EQ(empty_width.codewords()->shape(), (Shape<3>{2, 2, 0}));
}

TEST(ProductQuantizerTraining, AnyLayoutTrainsLikeItsRowMajorCopy) {
    const std::size_t n = 300;
    const std::size_t dim = 6;
    const Matrix<float> data = spread_matrix(n, dim, 21);
    ProductQuantizer reference = make_model(3, 4, 5);
    ASSERT_TRUE(reference.fit_impl(data.view(), std::nullopt));

    std::vector<float> column_major(n * dim);
    std::vector<float> reversed(n * dim);
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t d = 0; d < dim; ++d) {
            column_major[d * n + r] = data.view()(r, d);
            reversed[(n - 1 - r) * dim + d] = data.view()(r, d);
        }
    }
    const std::vector<std::pair<const char*, MatrixView<const float>>> layouts = {
        {"column-major", {column_major.data(), {n, dim}, {1, static_cast<std::ptrdiff_t>(n)}}},
        {"negative row stride", {reversed.data() + (n - 1) * dim, {n, dim}, {-static_cast<std::ptrdiff_t>(dim), 1}}},
    };
    for (const auto& [name, view] : layouts) {
        ProductQuantizer model = make_model(3, 4, 5);
        ASSERT_TRUE(model.fit_impl(view, std::nullopt)) << name;
        EXPECT_EQ(codebook_bits(model), codebook_bits(reference)) << name;
    }
}

TEST(ProductQuantizerTraining, NonFiniteRowsInAnyLayoutAreRefusedAndTheModelKept) {
    constexpr std::size_t n = 60;
    constexpr std::size_t dim = 4;
    const Matrix<float> data = spread_matrix(n, dim, 71);
    struct Position {
        const char* name;
        std::size_t row, column;
    };
    const Position positions[] = {{"first row", 0, 0}, {"last row", n - 1, dim - 1}, {"one value", n / 2, 2}};
    for (const std::size_t opq_iterations : {0, 1}) {
        ProductQuantizer model = make_model(2, 4, 3, 0, opq_iterations);
        ASSERT_TRUE(model.fit_impl(data.view(), std::nullopt));
        const std::vector<std::uint32_t> codewords = codebook_bits(model);
        const std::optional<std::vector<std::uint32_t>> rotation =
            model.rotation() ? std::optional(test::bit_patterns(model.rotation()->storage())) : std::nullopt;
        for (const float value : {test::kNaN, test::kInf, -test::kInf}) {
            for (const Position& at : positions) {
                std::vector<float> column_major(n * dim);
                std::vector<float> reversed(n * dim);
                for (std::size_t r = 0; r < n; ++r) {
                    for (std::size_t d = 0; d < dim; ++d) {
                        const float x = r == at.row && d == at.column ? value : data.view()(r, d);
                        column_major[d * n + r] = x;
                        reversed[(n - 1 - r) * dim + d] = x;
                    }
                }
                const std::pair<const char*, MatrixView<const float>> layouts[] = {
                    {"column-major", {column_major.data(), {n, dim}, {1, static_cast<std::ptrdiff_t>(n)}}},
                    {"negative row stride",
                     {reversed.data() + (n - 1) * dim, {n, dim}, {-static_cast<std::ptrdiff_t>(dim), 1}}},
                };
                for (const auto& [layout, view] : layouts) {
                    SCOPED_TRACE(testing::Message()
                                 << "OPQ " << opq_iterations << ", " << value << " at " << at.name << ", " << layout);
                    EXPECT_EQ(error_text(model.fit_impl(view, std::nullopt)), "training data must be finite");
                    EXPECT_EQ(codebook_bits(model), codewords);
                    EXPECT_EQ(model.rotation().has_value(), rotation.has_value());
                    if (rotation) {
                        EXPECT_EQ(test::bit_patterns(model.rotation()->storage()), *rotation);
                    }
                }
            }
        }
    }
}

TEST(ProductQuantizerTraining, SameCodebooksOnOneAndAllWorkersAndForAnySeed) {
    const Matrix<float> data = spread_matrix(3000, 8, 31);
    ProductQuantizer all_workers = make_model(2, 16, 8, 1);
    ASSERT_TRUE(all_workers.fit_impl(data.view(), std::nullopt));
    {
        const parallel::WorkerLimit one(1);
        ProductQuantizer serial = make_model(2, 16, 8, 1);
        ASSERT_TRUE(serial.fit_impl(data.view(), std::nullopt));
        EXPECT_EQ(codebook_bits(serial), codebook_bits(all_workers));
    }
    ProductQuantizer other_seed = make_model(2, 16, 8, 99);
    ASSERT_TRUE(other_seed.fit_impl(data.view(), std::nullopt));
    EXPECT_EQ(codebook_bits(other_seed), codebook_bits(all_workers));
}

TEST(ProductQuantizerTraining, AFitInstallsAllOrNothing) {
    const Matrix<float> data = spread_matrix(50, 4, 41);
    auto model = ProductQuantizer::from_codewords(Codebook<float>(Shape<3>{2, 3, 2}), identity(4), 3, 0, 0);
    ASSERT_TRUE(model);
    const Matrix<float> too_few = spread_matrix(3, 4, 42);
    EXPECT_FALSE(model->fit_impl(too_few.view(), std::nullopt));
    EXPECT_TRUE(model->rotation().has_value()) << "a failed fit changes nothing";
    EXPECT_EQ(test::bit_patterns(model->codewords()->storage()), test::bit_patterns(std::vector<float>(12, 0.0F)));

    ASSERT_TRUE(model->fit_impl(data.view(), std::nullopt));
    EXPECT_FALSE(model->rotation().has_value()) << "a fit without OPQ drops the rotation";
    EXPECT_NE(test::bit_patterns(model->codewords()->storage()), test::bit_patterns(std::vector<float>(12, 0.0F)));
    EXPECT_EQ(model->codebook_size(), 3U);
    EXPECT_EQ(model->iterations(), 3U);
}

/// Codes of each row under `lookup`.
[[nodiscard]] Matrix<std::uint8_t> encode_with(const ProductQuantizer& model, MatrixView<const float> data,
                                               std::map<std::string, std::string> env) {
    auto codes = model.encode(data, test::fake_env(std::move(env)));
    EXPECT_TRUE(codes) << codes.error().to_string();
    return std::move(*codes);
}

/// An orthogonal (dim, dim) matrix: the Procrustes rotation between two random matrices.
[[nodiscard]] Matrix<float> random_rotation(std::size_t dim, std::uint64_t seed) {
    const Matrix<float> a = spread_matrix(3 * dim, dim, seed);
    const Matrix<float> b = spread_matrix(3 * dim, dim, seed + 1);
    auto rotation = math::orthogonal_procrustes(a.view(), b.view());
    EXPECT_TRUE(rotation);
    return std::move(*rotation);
}

/// rows·Rᵀ in double, rounded once: a row that R maps back onto `rows`.
[[nodiscard]] Matrix<float> unrotate(const Matrix<float>& rows, const Matrix<float>& rotation) {
    const std::size_t dim = rows.extent(1);
    Matrix<float> out(Shape<2>{rows.extent(0), dim});
    for (std::size_t r = 0; r < rows.extent(0); ++r) {
        for (std::size_t i = 0; i < dim; ++i) {
            double sum = 0.0;
            for (std::size_t j = 0; j < dim; ++j) {
                sum += static_cast<double>(rows.view()(r, j)) * static_cast<double>(rotation.view()(i, j));
            }
            out.view()(r, i) = static_cast<float>(sum);
        }
    }
    return out;
}

const std::map<std::string, std::string> kStandard{{settings::names::kPqEncode, "standard"}};
const std::map<std::string, std::string> kTransposed{{settings::names::kPqEncode, "transposed"}};

TEST(ProductQuantizerEncoding, EachCodeIsTheNearestCodewordOfItsSubspace) {
    // Codeword c of subspace m has the base-4 digits of c, times 3, as its
    // elements (plus m): codewords lie at least 3 apart, the rows within 0.1
    // of their generating codeword, so the nearest codeword is never in doubt.
    const std::size_t m_count = 4;
    const std::size_t ks = 64;
    const std::size_t ds = 4;
    const std::size_t n = 600;
    Codebook<float> codewords(Shape<3>{m_count, ks, ds});
    for (std::size_t m = 0; m < m_count; ++m) {
        for (std::size_t c = 0; c < ks; ++c) {
            for (std::size_t d = 0; d < ds; ++d) {
                codewords.view()(m, c, d) = static_cast<float>((c >> (2 * d)) % 4 * 3 + m);
            }
        }
    }
    test::SplitMix generator(3);
    const std::vector<std::uint8_t> expected = generator.codes(n * m_count, ks);
    Matrix<float> rotated_rows(Shape<2>{n, m_count * ds});
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t m = 0; m < m_count; ++m) {
            for (std::size_t d = 0; d < ds; ++d) {
                const float noise = static_cast<float>(generator.next() % 2001) * 5e-5F - 0.05F;
                rotated_rows.view()(r, m * ds + d) = codewords.view()(m, expected[r * m_count + m], d) + noise;
            }
        }
    }
    const Matrix<float> rotation = random_rotation(m_count * ds, 8);
    const Matrix<float> unrotated_rows = unrotate(rotated_rows, rotation);
    const Codebook<float> copy(codewords.storage(), codewords.shape());
    const ProductQuantizer plain =
        *ProductQuantizer::from_codewords(Codebook<float>(copy.storage(), copy.shape()), std::nullopt, 1, 0, 0);
    const ProductQuantizer rotated = *ProductQuantizer::from_codewords(
        Codebook<float>(copy.storage(), copy.shape()), Matrix<float>(rotation.storage(), rotation.shape()), 1, 0, 0);
    for (const auto* env : {&kStandard, &kTransposed}) {
        EXPECT_EQ(encode_with(plain, rotated_rows.view(), *env).storage(), expected) << env->begin()->second;
        EXPECT_EQ(encode_with(rotated, unrotated_rows.view(), *env).storage(), expected)
            << "rotated, " << env->begin()->second;
    }
    for (const ProductQuantizer* model : {&plain, &rotated}) {
        const Matrix<float> none(Shape<2>{0, m_count * ds});
        EXPECT_EQ(encode_with(*model, none.view(), {}).shape(), (Shape<2>{0, m_count}));
    }

    // Equal distances go to the first codeword in the standard encoder.
    Codebook<float> tie(Shape<3>{1, 8, 1});
    for (std::size_t c = 0; c < 8; ++c) {
        tie.view()(0, c, 0) = c == 3 ? -1.0F : c == 7 ? 1.0F : 50.0F;
    }
    const Matrix<float> origin(Shape<2>{1, 1});
    const ProductQuantizer tie_model = *ProductQuantizer::from_codewords(std::move(tie), std::nullopt, 1, 0, 0);
    EXPECT_EQ(encode_with(tie_model, origin.view(), kStandard).storage(), (std::vector<std::uint8_t>{3}));
}

/// M subspaces of one dimension; codeword 0 is negative and codeword 1
/// positive in each. A row whose first element is +inf tells the encoders
/// apart: every standard distance is +inf, so code 0, while the transposed
/// score of a positive codeword is -inf, so code 1.
struct Witness {
    ProductQuantizer model;
    Matrix<float> rows;
};

[[nodiscard]] Witness encoder_witness(std::size_t m_count, std::size_t ks, std::size_t n) {
    Codebook<float> codewords(Shape<3>{m_count, ks, 1});
    std::vector<float> values = test::SplitMix(5).spread(m_count * ks, -1, 3, false);
    for (std::size_t m = 0; m < m_count; ++m) {
        values[m * ks] = -values[m * ks];
    }
    Matrix<float> rows(Shape<2>{n, m_count});
    rows.view()(0, 0) = test::kInf;
    rows.view()(n - 1, 0) = test::kInf;
    return {*ProductQuantizer::from_codewords(Codebook<float>(std::move(values), Shape<3>{m_count, ks, 1}),
                                              std::nullopt, 1, 0, 0),
            std::move(rows)};
}

TEST(ProductQuantizerEncoding, TheSizeRuleAndTheSettingChooseTheEncoder) {
    using Env = std::map<std::string, std::string>;
    const std::string first = settings::names::kPqEncode;
    const std::string second = settings::names::kPqEncodeTransposed;
    struct Case {
        const char* name;
        Env env;
        std::size_t ks;
        std::size_t n;
        bool transposed;
    };
    const std::vector<Case> cases = {
        {"unset, Ks 256, n*M = 4096", {}, 256, 256, true},
        {"unset, Ks 256, n*M = 4080", {}, 256, 255, false},
        {"unset, Ks 32 at any size", {}, 32, 1024, false},
        {"set but empty: the size rule", {{first, ""}}, 256, 256, true},
        {"auto", {{first, "auto"}}, 256, 255, false},
        {"faiss with Ks 2", {{first, "faiss"}}, 2, 2, true},
        {"capitals and a dash", {{first, "Trans-Posed"}}, 2, 2, true},
        {"an unknown word", {{first, "quick"}}, 256, 256, false},
        {"second name is a word, not a switch", {{second, "1"}}, 256, 256, false},
        {"second name transposed", {{second, "transposed"}}, 2, 2, true},
        {"the first name wins when set", {{first, "quick"}, {second, "transposed"}}, 2, 2, false},
    };
    for (const Case& c : cases) {
        const Witness witness = encoder_witness(16, c.ks, c.n);
        const Matrix<std::uint8_t> codes = encode_with(witness.model, witness.rows.view(), c.env);
        EXPECT_EQ(codes.view()(0, 0), c.transposed ? 1 : 0) << c.name;
    }
}

TEST(ProductQuantizerEncoding, EachRotationBatchChoosesItsEncoderByItsOwnRows) {
    // Ks 64, M 128: the size rule takes the transposed encoder for a full
    // batch and the standard one for the two rows after it.
    const std::size_t dim = 128;
    const std::size_t batch = math::rotation_batch_rows(dim);
    Witness witness = encoder_witness(dim, 64, batch + 2);
    ProductQuantizer rotated = *ProductQuantizer::from_codewords(
        Codebook<float>(witness.model.codewords()->storage(), Shape<3>{dim, 64, 1}), identity(dim), 1, 0, 0);
    const Matrix<std::uint8_t> codes = encode_with(rotated, witness.rows.view(), {});
    EXPECT_EQ(codes.view()(0, 0), 1) << "first batch: transposed";
    EXPECT_EQ(codes.view()(batch + 1, 0), 0) << "last batch: standard";
}

TEST(ProductQuantizerDecoding, DecodingAnEncodingGivesTheNearestReconstruction) {
    const std::size_t m_count = 3;
    const std::size_t ks = 8;
    const std::size_t ds = 2;
    const std::size_t dim = m_count * ds;
    const std::size_t n = 300;
    const Codebook<float> codewords = test::spread_codebook(m_count, ks, ds);
    const Matrix<float> rotation = random_rotation(dim, 12);
    const std::vector<std::uint8_t> chosen = test::SplitMix(13).codes(n * m_count, ks);
    // Rows made of codewords, in the rotated space, and mapped back by Rᵀ.
    Matrix<float> exact(Shape<2>{n, dim});
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t m = 0; m < m_count; ++m) {
            for (std::size_t d = 0; d < ds; ++d) {
                exact.view()(r, m * ds + d) = codewords.view()(m, chosen[r * m_count + m], d);
            }
        }
    }
    const Matrix<float> unrotated = unrotate(exact, rotation);
    const Matrix<float> other = spread_matrix(n, dim, 14);
    const ProductQuantizer plain = *ProductQuantizer::from_codewords(
        Codebook<float>(codewords.storage(), codewords.shape()), std::nullopt, 1, 0, 0);
    const ProductQuantizer rotated =
        *ProductQuantizer::from_codewords(Codebook<float>(codewords.storage(), codewords.shape()),
                                          Matrix<float>(rotation.storage(), rotation.shape()), 1, 0, 0);

    const auto round_trip = [](const ProductQuantizer& model, const Matrix<float>& x) {
        const Matrix<std::uint8_t> codes = encode_with(model, x.view(), kStandard);
        auto decoded = model.decode(codes.view());
        EXPECT_TRUE(decoded);
        return std::move(*decoded);
    };
    EXPECT_EQ(test::bit_patterns(round_trip(plain, exact).storage()), test::bit_patterns(exact.storage()));
    const Matrix<float> back = round_trip(rotated, unrotated);
    for (std::size_t i = 0; i < n * dim; ++i) {
        ASSERT_NEAR(back.storage()[i], unrotated.storage()[i], 1e-4F) << i;
    }
    // Any row: its reconstruction is at least as near as every other
    // concatenation of codewords, subspace by subspace.
    const Matrix<float> nearest = round_trip(plain, other);
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t m = 0; m < m_count; ++m) {
            const auto squared = [&](const float* codeword) {
                double sum = 0.0;
                for (std::size_t d = 0; d < ds; ++d) {
                    const double diff = static_cast<double>(other.view()(r, m * ds + d)) - codeword[d];
                    sum += diff * diff;
                }
                return sum;
            };
            const double chosen_distance = squared(&nearest.view()(r, m * ds));
            for (std::size_t c = 0; c < ks; ++c) {
                EXPECT_LE(chosen_distance, squared(&codewords.view()(m, c, 0)) * (1.0 + 1e-6)) << r << " " << m;
            }
        }
    }

    for (const ProductQuantizer* model : {&plain, &rotated}) {
        const Matrix<std::uint8_t> none(Shape<2>{0, m_count});
        const auto decoded = model->decode(none.view());
        ASSERT_TRUE(decoded);
        EXPECT_EQ(decoded->shape(), (Shape<2>{0, dim}));
    }
}

TEST(ProductQuantizerDecoding, OversizedOutputsAreRefusedAndZeroWidthModelsRoundTrip) {
    const std::vector<std::uint8_t> few(8, 0);
    const ProductQuantizer model =
        *ProductQuantizer::from_codewords(test::spread_codebook(4, 256, 8), std::nullopt, 1, 0, 0);
    struct Case {
        const char* name;
        std::size_t rows;
    };
    for (const Case& c :
         {Case{"floats overflow", std::size_t{1} << 61}, Case{"bytes overflow", std::size_t{1} << 59}}) {
        const array::MatrixView<const std::uint8_t> huge{few.data(), {c.rows, 4}, {4, 1}};
        for (const auto& result : {model.decode(huge), model.decode_matrix(huge, model.codewords()->view())}) {
            ASSERT_FALSE(result) << c.name;
            const auto* shape = std::get_if<error::TarvinexError::Shape>(&result.error().variant());
            ASSERT_NE(shape, nullptr) << c.name;
            EXPECT_EQ(shape->failure.kind, error::ShapeErrorKind::Overflow) << c.name;
        }
    }

    // Fitted on zero columns, with and without a learned rotation, a model
    // encodes rows of no elements to code 0 and decodes them to rows of none.
    const Matrix<float> no_columns(Shape<2>{5, 0});
    for (const std::size_t opq_iterations : {0, 2}) {
        ProductQuantizer no_width = make_model(2, 2, 2, 0, opq_iterations);
        ASSERT_TRUE(no_width.fit_impl(no_columns.view(), std::nullopt)) << opq_iterations;
        EXPECT_EQ(no_width.rotation().has_value(), opq_iterations > 0);
        const Matrix<std::uint8_t> codes = encode_with(no_width, no_columns.view(), {});
        EXPECT_EQ(codes.storage(), std::vector<std::uint8_t>(10, 0)) << opq_iterations;
        const auto decoded = no_width.decode(codes.view());
        ASSERT_TRUE(decoded) << opq_iterations;
        EXPECT_EQ(decoded->shape(), (Shape<2>{5, 0})) << opq_iterations;
    }
}

/// Rows whose coordinates mix across subspaces: independent components of
/// widely different scales, turned by a random rotation.
[[nodiscard]] Matrix<float> correlated_rows(std::size_t n, std::size_t dim) {
    Matrix<float> latent = spread_matrix(n, dim, 51);
    for (std::size_t r = 0; r < n; ++r) {
        for (std::size_t d = 0; d < dim; ++d) {
            latent.view()(r, d) *= static_cast<float>(1U << (2 * (d % 4)));
        }
    }
    return unrotate(latent, random_rotation(dim, 52));
}

[[nodiscard]] double reconstruction_error(const ProductQuantizer& model, const Matrix<float>& x) {
    const Matrix<std::uint8_t> codes = encode_with(model, x.view(), {});
    const auto decoded = model.decode(codes.view());
    EXPECT_TRUE(decoded);
    double sum = 0.0;
    for (std::size_t i = 0; i < x.size(); ++i) {
        const double diff = static_cast<double>(decoded->storage()[i]) - x.storage()[i];
        sum += diff * diff;
    }
    return sum / static_cast<double>(x.extent(0));
}

TEST(ProductQuantizerRotation, LearnedRotationLowersTheReconstructionErrorAndIsOrthogonal) {
    const std::size_t dim = 8;
    const Matrix<float> x = correlated_rows(1500, dim);
    ProductQuantizer plain = make_model(2, 16, 10);
    ProductQuantizer learned = make_model(2, 16, 10, 0, 4);
    ASSERT_TRUE(plain.fit_impl(x.view(), std::nullopt));
    ASSERT_TRUE(learned.fit_impl(x.view(), std::nullopt));
    ASSERT_TRUE(learned.rotation().has_value());
    EXPECT_LT(reconstruction_error(learned, x), 0.9 * reconstruction_error(plain, x));

    const auto r = learned.rotation()->view();
    ASSERT_EQ(r.shape, (Shape<2>{dim, dim}));
    for (std::size_t i = 0; i < dim; ++i) {
        for (std::size_t j = 0; j < dim; ++j) {
            double dot = 0.0;
            for (std::size_t k = 0; k < dim; ++k) {
                dot += static_cast<double>(r(k, i)) * r(k, j);
            }
            EXPECT_NEAR(dot, i == j ? 1.0 : 0.0, 1e-5) << i << " " << j;
        }
    }

    // Stored column by column, the rows train to the same quality.
    std::vector<float> column_major(x.size());
    for (std::size_t row = 0; row < x.extent(0); ++row) {
        for (std::size_t d = 0; d < dim; ++d) {
            column_major[d * x.extent(0) + row] = x.view()(row, d);
        }
    }
    ProductQuantizer from_columns = make_model(2, 16, 10, 0, 4);
    ASSERT_TRUE(from_columns.fit_impl(
        MatrixView<const float>{column_major.data(), {x.extent(0), dim}, {1, static_cast<std::ptrdiff_t>(x.extent(0))}},
        std::nullopt));
    EXPECT_NEAR(reconstruction_error(from_columns, x), reconstruction_error(learned, x),
                1e-3 * reconstruction_error(learned, x));
}

TEST(ProductQuantizerRotation, OneIterationStoresItsProcrustesStepAndWeightsStayOutOfIt) {
    const Matrix<float> x = correlated_rows(400, 4);
    ProductQuantizer model = make_model(2, 8, 6, 3, 1);
    ASSERT_TRUE(model.fit_impl(x.view(), std::nullopt));

    // One codebook training on the unrotated rows, its reconstruction, one Procrustes step.
    const auto first = model.fit_codewords_with_weights(x.view(), std::nullopt);
    ASSERT_TRUE(first);
    const auto codes = model.encode_matrix(x.view(), first->view(), EncodeMode::SizeRule);
    ASSERT_TRUE(codes);
    const auto reconstruction = model.decode_matrix(codes->view(), first->view());
    ASSERT_TRUE(reconstruction);
    const auto step = math::orthogonal_procrustes(x.view(), reconstruction->view());
    ASSERT_TRUE(step);
    EXPECT_EQ(test::bit_patterns(model.rotation()->storage()), test::bit_patterns(step->storage()));
    const auto rotated = math::apply_rotation(x.view(), step->view());
    const auto last = model.fit_codewords_with_weights(rotated->view(), std::nullopt);
    EXPECT_EQ(codebook_bits(model), test::bit_patterns(last->storage()));

    // Weights of 2 give the unweighted codebooks, so the same rotation.
    ProductQuantizer weighted = make_model(2, 8, 6, 3, 1);
    const std::vector<float> twos(400, 2.0F);
    ASSERT_TRUE(weighted.fit_weighted(x.view(), array::ArrayView<const float, 1>::c_order(twos.data(), {400})));
    EXPECT_EQ(test::bit_patterns(weighted.rotation()->storage()), test::bit_patterns(model.rotation()->storage()));
    EXPECT_EQ(codebook_bits(weighted), codebook_bits(model));
}

}  // namespace
}  // namespace tarvinex::pq
