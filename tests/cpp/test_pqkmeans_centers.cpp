// Storage and conversion of PQ k-means centers: float centers encoded as
// their exact nearest codewords, the way into and out of the rotated space,
// unit normalisation, C-ordered copies of strided input, and the setters'
// refusals, each of which leaves the model as it was.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "array/array.hpp"
#include "error/error.hpp"
#include "pqkmeans/pqkmeans.hpp"
#include "testing.hpp"

namespace {

namespace array = tarvinex::array;
namespace error = tarvinex::error;
using tarvinex::pqkmeans::InitMethod;
using tarvinex::pqkmeans::PqKMeans;
using tarvinex::test::bit_patterns;
using tarvinex::test::bits;
using tarvinex::test::kInf;
using tarvinex::test::kNaN;
using tarvinex::test::SplitMix;

struct ModelOptions {
    std::size_t m = 2;
    std::size_t ks = 16;
    std::size_t ds = 4;
    std::size_t k = 3;
    std::optional<array::Matrix<float>> rotation = std::nullopt;
    bool spherical = false;
    bool column_major_codebook = false;
    /// Codeword Ks − 1 of every subquantizer repeats codeword 2.
    bool repeated_codeword = false;
};

/// A model over a codebook of whole numbers in [-8, 8], so squared distances
/// are exact and ties are real ties.
PqKMeans make_model(ModelOptions options, std::uint64_t seed = 1) {
    SplitMix rng(seed);
    std::vector<float> values = rng.integers(options.m * options.ks * options.ds, -8, 8);
    if (options.repeated_codeword) {
        for (std::size_t m = 0; m < options.m; ++m) {
            for (std::size_t d = 0; d < options.ds; ++d) {
                values[(m * options.ks + options.ks - 1) * options.ds + d] =
                    values[(m * options.ks + 2) * options.ds + d];
            }
        }
    }
    array::Codebook<float> codewords(std::move(values), array::Shape<3>{options.m, options.ks, options.ds});
    if (options.column_major_codebook) {
        codewords = array::copy_keeping_layout(array::CodebookView<const float>{
            codewords.view().data,
            codewords.shape(),
            {1, static_cast<std::ptrdiff_t>(options.m), static_cast<std::ptrdiff_t>(options.m * options.ks)}});
    }
    auto built = PqKMeans::new_with_options_and_spherical(std::move(codewords), std::move(options.rotation), options.k,
                                                          3, seed, false, std::size_t{1} << 20, InitMethod::Random,
                                                          false, options.spherical);
    EXPECT_TRUE(built.has_value());
    return std::move(*built);
}

array::Matrix<float> c_matrix(std::vector<float> values, std::size_t cols) {
    const std::size_t rows = values.size() / cols;
    return {std::move(values), array::Shape<2>{rows, cols}};
}

/// The same elements stored column-major.
template <typename T>
array::Matrix<T> column_major(const array::Matrix<T>& c_ordered) {
    const std::size_t rows = c_ordered.extent(0);
    const std::size_t cols = c_ordered.extent(1);
    std::vector<T> storage(rows * cols);
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            storage[i + j * rows] = c_ordered.view()(i, j);
        }
    }
    return {std::move(storage), {rows, cols}, {1, static_cast<std::ptrdiff_t>(rows)}};
}

/// An orthogonal (D, D) matrix that is not symmetric, so R and Rᵀ differ:
/// the product of two Householder reflections I − 2vvᵀ/|v|², in double.
array::Matrix<float> orthogonal(std::size_t dim) {
    const auto reflection = [dim](double shift) {
        std::vector<double> v(dim);
        double norm = 0.0;
        for (std::size_t i = 0; i < dim; ++i) {
            v[i] = 1.0 + static_cast<double>(i % 3) - shift * static_cast<double>(i);
            norm += v[i] * v[i];
        }
        std::vector<double> h(dim * dim);
        for (std::size_t i = 0; i < dim; ++i) {
            for (std::size_t j = 0; j < dim; ++j) {
                h[i * dim + j] = (i == j ? 1.0 : 0.0) - 2.0 * v[i] * v[j] / norm;
            }
        }
        return h;
    };
    const std::vector<double> a = reflection(0.25);
    const std::vector<double> b = reflection(-0.5);
    array::Matrix<float> r(array::Shape<2>{dim, dim});
    for (std::size_t i = 0; i < dim; ++i) {
        for (std::size_t j = 0; j < dim; ++j) {
            double sum = 0.0;
            for (std::size_t l = 0; l < dim; ++l) {
                sum += a[i * dim + l] * b[l * dim + j];
            }
            r.view()(i, j) = static_cast<float>(sum);
        }
    }
    return r;
}

/// Row i of a matrix times R (or Rᵀ), in double.
std::vector<double> times(array::MatrixView<const float> x, std::size_t i, array::MatrixView<const float> r,
                          bool transposed) {
    std::vector<double> out(r.extent(1), 0.0);
    for (std::size_t j = 0; j < r.extent(1); ++j) {
        for (std::size_t l = 0; l < x.extent(1); ++l) {
            out[j] += static_cast<double>(x(i, l)) * static_cast<double>(transposed ? r(j, l) : r(l, j));
        }
    }
    return out;
}

/// The codes by brute force: per part the first codeword of least squared
/// distance, summed in double (exact on whole numbers).
std::vector<std::uint8_t> reference_codes(const PqKMeans& model, array::MatrixView<const float> centers) {
    const auto book = model.codewords().view();
    std::vector<std::uint8_t> codes;
    for (std::size_t i = 0; i < centers.extent(0); ++i) {
        for (std::size_t m = 0; m < model.num_subquantizers(); ++m) {
            std::size_t best = 0;
            double best_distance = std::numeric_limits<double>::infinity();
            for (std::size_t c = 0; c < model.codebook_size(); ++c) {
                double distance = 0.0;
                for (std::size_t d = 0; d < model.subdim(); ++d) {
                    const double diff =
                        static_cast<double>(centers(i, m * model.subdim() + d)) - static_cast<double>(book(m, c, d));
                    distance += diff * diff;
                }
                if (distance < best_distance) {
                    best = c;
                    best_distance = distance;
                }
            }
            codes.push_back(static_cast<std::uint8_t>(best));
        }
    }
    return codes;
}

std::vector<std::uint8_t> elements(const array::Matrix<std::uint8_t>& m) {
    return array::c_order_copy(m.view()).storage();
}
std::vector<float> elements(const array::Matrix<float>& m) { return array::c_order_copy(m.view()).storage(); }

template <typename T>
std::optional<std::vector<T>> stored_elements(const std::optional<array::Matrix<T>>& stored) {
    if (!stored) {
        return std::nullopt;
    }
    return elements(*stored);
}

TEST(EncodeCenters, EveryPartGetsItsExactNearestCodewordLowestIndexOnTies) {
    // Ds 4, 8 and 16 take fixed-width routines, 3 and 5 the generic ones.
    for (const std::size_t ds : {3U, 4U, 5U, 8U, 16U}) {
        SCOPED_TRACE(ds);
        PqKMeans model = make_model({.m = 3, .ks = 11, .ds = ds, .k = 6, .repeated_codeword = true});
        const std::size_t dim = 3 * ds;
        SplitMix rng(ds);
        array::Matrix<float> centers = c_matrix(rng.integers(6 * dim, -9, 9), dim);
        // Every part of center 4 is codeword 10, which repeats codeword 2;
        // part 1 of center 5 is all NaN.
        const auto book = model.codewords().view();
        for (std::size_t m = 0; m < 3; ++m) {
            for (std::size_t d = 0; d < ds; ++d) {
                centers.view()(4, m * ds + d) = book(m, 10, d);
                centers.view()(5, ds + d) = kNaN;
            }
        }
        const auto encoded = model.encode_centers_from_pq(centers.view());
        ASSERT_TRUE(encoded.has_value()) << encoded.error().to_string();
        ASSERT_TRUE(encoded->is_c_contiguous());
        EXPECT_EQ(encoded->storage(), reference_codes(model, centers.view()));
        for (std::size_t m = 0; m < 3; ++m) {
            EXPECT_EQ(encoded->view()(4, m), 2);
        }
        EXPECT_EQ(encoded->view()(5, 1), 0);
    }

    PqKMeans model = make_model({.column_major_codebook = true});
    const std::vector<float> rows(3 * 8, 1.0F);
    std::vector<std::string> messages;
    for (const array::MatrixView<const float> centers : {
             array::MatrixView<const float>{rows.data(), {3, 8}, {1, 3}},
             array::MatrixView<const float>::c_order(rows.data(), {3, 8}),
         }) {
        const auto refused = model.encode_centers_from_pq(centers);
        ASSERT_FALSE(refused.has_value());
        messages.push_back(refused.error().to_string());
    }
    EXPECT_EQ(messages,
              (std::vector<std::string>{"dense centers must be C-contiguous", "codewords are not contiguous"}));
}

TEST(CenterSpaces, RotatedCentersGoBackByTheTransposeAndForwardAgain) {
    // The rotation held column-major as well, so the transposed view is read
    // through other strides.
    for (const bool column_major_rotation : {false, true}) {
        SCOPED_TRACE(column_major_rotation);
        const array::Matrix<float> r = orthogonal(8);
        PqKMeans model = make_model({.rotation = column_major_rotation ? column_major(r) : r});
        SplitMix rng(5);
        const array::Matrix<float> rotated = c_matrix(rng.integers(3 * 8, -6, 6), 8);

        ASSERT_TRUE(model.store_dense_centers_from_pq(rotated.view()).has_value());
        const array::Matrix<float>& stored = *model.dense_cluster_centers();
        EXPECT_TRUE(stored.is_c_contiguous());
        EXPECT_EQ(elements(*model.cluster_centers()), reference_codes(model, rotated.view()));
        for (std::size_t i = 0; i < 3; ++i) {
            const std::vector<double> back = times(rotated.view(), i, r.view(), true);
            for (std::size_t j = 0; j < 8; ++j) {
                EXPECT_NEAR(stored.view()(i, j), back[j], 1e-4);
            }
        }
        const auto forward = model.centers_to_pq_space(stored.view());
        ASSERT_TRUE(forward.has_value());
        for (std::size_t i = 0; i < 3; ++i) {
            for (std::size_t j = 0; j < 8; ++j) {
                EXPECT_NEAR(forward->view()(i, j), rotated.view()(i, j), 1e-4);
            }
        }

        // The unrotated way in: the floats kept as given, the codes those of X·R.
        const array::Matrix<float> raw = c_matrix(rng.integers(3 * 8, -6, 6), 8);
        ASSERT_TRUE(model.set_dense_cluster_centers(raw).has_value());
        EXPECT_EQ(elements(*model.dense_cluster_centers()), raw.storage());
        const auto expected_rotated = model.centers_to_pq_space(raw.view());
        ASSERT_TRUE(expected_rotated.has_value());
        EXPECT_EQ(elements(*model.cluster_centers()), reference_codes(model, expected_rotated->view()));
    }
}

TEST(NormalizeCenters, RowsBecomeUnitExceptTinyOnesAndNonFiniteOnesFollowTheirArithmetic) {
    const float tiny = std::ldexp(1.0F, -12);  // two of them: a sum of squares of exactly 2^-23
    const float above = std::ldexp(1.0F + std::ldexp(1.0F, -10), -12);
    struct Case {
        const char* name;
        std::vector<float> row;
        std::function<void(const std::vector<float>&, const std::vector<float>&)> check;
    };
    const auto unchanged = [](const std::vector<float>& in, const std::vector<float>& out) {
        EXPECT_EQ(bit_patterns(out), bit_patterns(in));
    };
    // 1 / sqrt(s) once, then one multiplication per element.
    const auto scaled_by_inverse_norm = [](const std::vector<float>& in, const std::vector<float>& out) {
        float s = 0.0F;
        for (const float x : in) {
            const float square = x * x;
            s = s + square;
        }
        const float factor = 1.0F / std::sqrt(s);
        for (std::size_t j = 0; j < in.size(); ++j) {
            EXPECT_EQ(bits(out[j]), bits(in[j] * factor)) << j;
        }
    };
    const auto unit = [](const std::vector<float>& in, const std::vector<float>& out) {
        double norm = 0.0;
        double in_norm = 0.0;
        for (std::size_t j = 0; j < in.size(); ++j) {
            norm += static_cast<double>(out[j]) * out[j];
            in_norm += static_cast<double>(in[j]) * in[j];
        }
        EXPECT_NEAR(norm, 1.0, 1e-6);
        for (std::size_t j = 0; j < in.size(); ++j) {
            EXPECT_NEAR(out[j], in[j] / std::sqrt(in_norm), 1e-6) << j;
        }
    };
    const Case cases[] = {
        {"plain", {3.0F, -4.0F, 0.5F, 7.25F}, scaled_by_inverse_norm},
        {"plain, spread", {1e-3F, 2e5F, -3e-7F, 1.5F}, scaled_by_inverse_norm},
        {"squares sum to the epsilon", {tiny, 0.0F, -tiny, 0.0F}, unchanged},
        {"squares just above the epsilon", {above, 0.0F, -tiny, 0.0F}, scaled_by_inverse_norm},
        {"zeros", {0.0F, -0.0F, 0.0F, 0.0F}, unchanged},
        {"overflowing squares of finite elements", {3e38F, -2e38F, 1.0F, 1e30F}, unit},
        {"one NaN",
         {1.0F, kNaN, 2.0F, 3.0F},
         [](const std::vector<float>&, const std::vector<float>& out) {
             for (const float x : out) {
                 EXPECT_TRUE(std::isnan(x));
             }
         }},
        {"an infinite element",
         {1.0F, kInf, -2.0F, 0.0F},
         [](const std::vector<float>&, const std::vector<float>& out) {
             EXPECT_EQ(bits(out[0]), bits(0.0F));
             EXPECT_TRUE(std::isnan(out[1]));
             EXPECT_EQ(bits(out[2]), bits(-0.0F));
             EXPECT_EQ(bits(out[3]), bits(0.0F));
         }},
    };
    std::vector<float> values;
    for (const Case& c : cases) {
        values.insert(values.end(), c.row.begin(), c.row.end());
    }
    const std::size_t k = std::size(cases);
    ASSERT_TRUE(
        PqKMeans::normalize_dense_centers_in_place(array::MatrixView<float>::c_order(values.data(), {k, 4}), 4, k)
            .has_value());
    for (std::size_t i = 0; i < k; ++i) {
        SCOPED_TRACE(cases[i].name);
        cases[i].check(cases[i].row, std::vector<float>(values.begin() + 4 * i, values.begin() + 4 * i + 4));
    }
}

TEST(NormalizeCenters, SphericalStorageKeepsTheNormalisedRows) {
    PqKMeans model = make_model({.k = 2, .spherical = true});
    const array::Matrix<float> raw = c_matrix({3, 0, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 8);
    ASSERT_TRUE(model.set_dense_cluster_centers(raw).has_value());
    const float factor = 1.0F / std::sqrt(25.0F);
    const std::vector<float> expected{3.0F * factor, 0, 0, 4.0F * factor, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    EXPECT_EQ(elements(*model.dense_cluster_centers()), expected);
    EXPECT_EQ(elements(*model.cluster_centers()), reference_codes(model, model.dense_cluster_centers()->view()));

    // From the rotated side the codes are those of the normalised rows too.
    ASSERT_TRUE(model.store_dense_centers_from_pq(raw.view()).has_value());
    EXPECT_EQ(elements(*model.dense_cluster_centers()), expected);
    EXPECT_EQ(elements(*model.cluster_centers()), reference_codes(model, model.dense_cluster_centers()->view()));
}

TEST(CenterSetters, StridedInputIsStoredInCOrderAndStaysUsable) {
    // No rotation and spherical, rotation and not: the four ways through storage.
    for (const bool rotated : {false, true}) {
        for (const bool spherical : {false, true}) {
            SCOPED_TRACE(std::string(rotated ? "rotated" : "plain") + (spherical ? ", spherical" : ""));
            ModelOptions options{.spherical = spherical};
            if (rotated) {
                options.rotation = orthogonal(8);
            }
            PqKMeans model = make_model(std::move(options));
            SplitMix rng(9);
            const array::Matrix<float> raw = c_matrix(rng.integers(3 * 8, -6, 6), 8);
            PqKMeans reference = make_model({.rotation = model.rotation(), .spherical = spherical});
            ASSERT_TRUE(reference.set_dense_cluster_centers(raw).has_value());

            const auto stored = model.set_dense_cluster_centers(column_major(raw));
            ASSERT_TRUE(stored.has_value()) << stored.error().to_string();
            EXPECT_TRUE(model.dense_cluster_centers()->is_c_contiguous());
            EXPECT_EQ(bit_patterns(model.dense_cluster_centers()->storage()),
                      bit_patterns(reference.dense_cluster_centers()->storage()));
            EXPECT_EQ(model.cluster_centers()->storage(), reference.cluster_centers()->storage());
        }
    }

    PqKMeans model = make_model({});
    const array::Matrix<std::uint8_t> codes(std::vector<std::uint8_t>{1, 15, 0, 7, 9, 3}, {3, 2});
    ASSERT_TRUE(model.set_cluster_centers(column_major(codes)).has_value());
    EXPECT_TRUE(model.cluster_centers()->is_c_contiguous());
    EXPECT_EQ(model.cluster_centers()->storage(), codes.storage());
    // A symmetric prediction reads the stored codes as contiguous rows.
    const std::vector<std::uint8_t> rows{1, 15, 9, 3, 0, 7};
    const auto labels = model.predict(array::MatrixView<const std::uint8_t>::c_order(rows.data(), {3, 2}));
    ASSERT_TRUE(labels.has_value()) << labels.error().to_string();
    EXPECT_EQ(*labels, (std::vector<std::size_t>{0, 2, 1}));
}

TEST(CenterSetters, RefusalsNameTheProblemAndLeaveEveryResultAsItWas) {
    // A fitted model with dense centers stored after the fit, where the
    // codebook's layout lets them be stored.
    const auto fitted = [](ModelOptions options) {
        const std::size_t ks = options.ks;
        PqKMeans model = make_model(std::move(options));
        SplitMix rng(3);
        const std::vector<std::uint8_t> codes = rng.codes(10 * 2, ks);
        EXPECT_TRUE(model.fit(array::MatrixView<const std::uint8_t>::c_order(codes.data(), {10, 2})).has_value());
        (void)model.set_dense_cluster_centers(c_matrix(rng.integers(3 * 8, -4, 4), 8));
        return model;
    };
    struct Case {
        const char* name;
        ModelOptions options;
        std::function<error::Result<void>(PqKMeans&)> call;
        const char* message;
    };
    Case cases[] = {
        {"codes with a column too many",
         {},
         [](PqKMeans& m) {
             return m.set_cluster_centers(array::Matrix<std::uint8_t>(array::Shape<2>{3, 3}));
         },
         "cluster center shape does not match the model"},
        {"codes with a row too few",
         {},
         [](PqKMeans& m) {
             return m.set_cluster_centers(array::Matrix<std::uint8_t>(array::Shape<2>{2, 2}));
         },
         "cluster center shape does not match the model"},
        {"a code of 16 with 16 codewords",
         {},
         [](PqKMeans& m) {
             return m.set_cluster_centers(
                 array::Matrix<std::uint8_t>(std::vector<std::uint8_t>{0, 1, 2, 16, 4, 5}, array::Shape<2>{3, 2}));
         },
         "cluster center codes must be below codebook_size"},
        {"a code of 200 with 5 codewords",
         {.ks = 5},
         [](PqKMeans& m) {
             return m.set_cluster_centers(
                 array::Matrix<std::uint8_t>(std::vector<std::uint8_t>{0, 1, 2, 3, 200, 4}, array::Shape<2>{3, 2}));
         },
         "cluster center codes must be below codebook_size"},
        {"dense centers with a column too many",
         {},
         [](PqKMeans& m) {
             return m.set_dense_cluster_centers(array::Matrix<float>(array::Shape<2>{3, 9}));
         },
         "dense cluster center shape does not match the model"},
        {"dense centers on a column-major codebook",
         {.column_major_codebook = true},
         [](PqKMeans& m) {
             return m.set_dense_cluster_centers(array::Matrix<float>(array::Shape<2>{3, 8}));
         },
         "codewords are not contiguous"},
        {"rotated centers on a column-major codebook",
         {.spherical = true, .column_major_codebook = true},
         [](PqKMeans& m) {
             const std::vector<float> rows(3 * 8, 1.0F);
             return m.store_dense_centers_from_pq(array::MatrixView<const float>::c_order(rows.data(), {3, 8}));
         },
         "codewords are not contiguous"},
        {"rotated centers of the wrong shape, never read",
         {},
         [](PqKMeans& m) {
             return m.store_dense_centers_from_pq(array::MatrixView<const float>{nullptr, {4, 8}, {8, 1}});
         },
         "dense cluster center shape does not match the model"},
        {"rotated centers, column-major",
         {.spherical = true},
         [](PqKMeans& m) {
             return m.store_dense_centers_from_pq(column_major(array::Matrix<float>(array::Shape<2>{3, 8})).view());
         },
         "dense centers must be C-contiguous"},
    };
    for (Case& c : cases) {
        SCOPED_TRACE(c.name);
        PqKMeans model = fitted(std::move(c.options));
        const std::vector<std::size_t> labels = model.labels();
        const std::vector<double> history = model.inertia_history();
        const auto codes = stored_elements(model.cluster_centers());
        const auto dense = stored_elements(model.dense_cluster_centers());

        const error::Result<void> result = c.call(model);
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().to_string(), c.message);
        EXPECT_EQ(model.labels(), labels);
        EXPECT_EQ(model.inertia_history(), history);
        EXPECT_EQ(stored_elements(model.cluster_centers()), codes);
        EXPECT_EQ(stored_elements(model.dense_cluster_centers()), dense);
    }

    // Codes of the right shape replace the codes and drop the dense centers;
    // labels and history stay. With 256 codewords every byte is a code.
    for (const std::size_t ks : {16U, 256U}) {
        PqKMeans model = fitted({.ks = ks});
        const std::vector<std::size_t> labels = model.labels();
        const std::vector<double> history = model.inertia_history();
        const std::vector<std::uint8_t> codes{15, 0, 1, 2, 3, static_cast<std::uint8_t>(ks - 1)};
        ASSERT_TRUE(model.set_cluster_centers(array::Matrix<std::uint8_t>(codes, array::Shape<2>{3, 2})).has_value());
        EXPECT_EQ(model.cluster_centers()->storage(), codes);
        EXPECT_FALSE(model.dense_cluster_centers().has_value());
        EXPECT_EQ(model.labels(), labels);
        EXPECT_EQ(model.inertia_history(), history);
    }
}

}  // namespace
