// The PQ k-means model's configuration: constructor checks and their order,
// the init parser, the codeword-distance table, the per-call buffers, the
// code-value check and 4-bit packing, the table-size rule and profile sums.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "array/array.hpp"
#include "error/error.hpp"
#include "pqkmeans/pqkmeans.hpp"
#include "testing.hpp"

namespace {

namespace pqkmeans = tarvinex::pqkmeans;
namespace array = tarvinex::array;
using pqkmeans::InitMethod;
using pqkmeans::PqKMeans;

constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

/// The same codebook stored column-major: element (m, c, d) at m + M*(c + Ks*d).
array::Codebook<float> column_major_copy(const array::Codebook<float>& source) {
    const auto& shape = source.shape();
    std::vector<float> storage(source.size());
    const array::Strides<3> strides{1, static_cast<std::ptrdiff_t>(shape[0]),
                                    static_cast<std::ptrdiff_t>(shape[0] * shape[1])};
    array::Codebook<float> out(std::move(storage), shape, strides);
    for (std::size_t s = 0; s < shape[0]; ++s) {
        for (std::size_t c = 0; c < shape[1]; ++c) {
            for (std::size_t d = 0; d < shape[2]; ++d) {
                out.view()(s, c, d) = source.view()(s, c, d);
            }
        }
    }
    return out;
}

std::string error_text(const tarvinex::error::TarvinexError& e) { return e.to_string(); }

// --- Constructors ----------------------------------------------------------

enum class TableArg { Computed, WrongSize, Null };

struct ConstructorCase {
    const char* name;
    array::Shape<3> shape;
    TableArg table;
    std::optional<array::Shape<2>> rotation;  ///< (D + rows, D + cols) when given
    std::size_t k;
    std::size_t iterations;
    const char* error;               ///< nullptr: accepted
    float rotation_diagonal = 1.0F;  ///< the diagonal of a square rotation; 1 makes it the identity
};

constexpr const char* kShape = "codewords must have shape (M, Ks, Ds)";
constexpr const char* kKs = "codebook_size above 256 is not supported";
constexpr const char* kTable = "codeword distance table does not match codewords";
constexpr const char* kRotation = "rotation must be square and match the codeword dimensionality";
constexpr const char* kOrthogonal = "rotation must be orthogonal";
constexpr const char* kK = "k must be greater than zero";
constexpr const char* kIterations = "iterations must be greater than zero";

const ConstructorCase kConstructorCases[] = {
    {"empty_m", {0, 4, 2}, TableArg::Computed, std::nullopt, 3, 5, kShape},
    {"empty_ks", {2, 0, 2}, TableArg::Computed, std::nullopt, 3, 5, kShape},
    {"empty_ds", {2, 4, 0}, TableArg::Computed, std::nullopt, 3, 5, kShape},
    {"shape_before_ks", {0, 257, 1}, TableArg::Computed, std::nullopt, 0, 0, kShape},
    {"ks_257", {2, 257, 1}, TableArg::Computed, std::array<std::size_t, 2>{1, 0}, 0, 0, kKs},
    {"ks_256", {2, 256, 1}, TableArg::Computed, std::nullopt, 3, 5, nullptr},
    {"ks_1", {3, 1, 2}, TableArg::Computed, std::nullopt, 1, 1, nullptr},
    {"table_before_rotation_and_k", {2, 4, 3}, TableArg::WrongSize, std::array<std::size_t, 2>{1, 0}, 0, 0, kTable},
    {"null_table", {2, 4, 3}, TableArg::Null, std::nullopt, 3, 5, kTable},
    {"rotation_square", {2, 4, 3}, TableArg::Computed, std::array<std::size_t, 2>{0, 0}, 3, 5, nullptr},
    {"rotation_extra_column", {2, 4, 3}, TableArg::Computed, std::array<std::size_t, 2>{0, 1}, 3, 5, kRotation},
    {"rotation_extra_row", {2, 4, 3}, TableArg::Computed, std::array<std::size_t, 2>{1, 0}, 3, 5, kRotation},
    {"rotation_before_k", {2, 4, 3}, TableArg::Computed, std::array<std::size_t, 2>{0, 1}, 0, 0, kRotation},
    {"orthogonal_before_k", {2, 4, 3}, TableArg::Computed, std::array<std::size_t, 2>{0, 0}, 0, 0, kOrthogonal, 2.0F},
    {"k_before_iterations", {2, 4, 3}, TableArg::Computed, std::nullopt, 0, 0, kK},
    {"iterations_zero", {2, 4, 3}, TableArg::Computed, std::nullopt, 3, 0, kIterations},
};

struct Built {
    tarvinex::error::Result<PqKMeans> from_table;
    std::optional<tarvinex::error::Result<PqKMeans>> from_codewords;  ///< only for a computed table
};

Built build(const ConstructorCase& c) {
    const array::Codebook<float> codewords = tarvinex::test::spread_codebook(c.shape[0], c.shape[1], c.shape[2]);
    const std::size_t dim = c.shape[0] * c.shape[2];
    std::optional<array::Matrix<float>> rotation;
    if (c.rotation) {
        rotation.emplace(array::Shape<2>{dim + (*c.rotation)[0], dim + (*c.rotation)[1]});
        for (std::size_t i = 0; i < std::min(rotation->extent(0), rotation->extent(1)); ++i) {
            rotation->view()(i, i) = c.rotation_diagonal;
        }
    }
    pqkmeans::CodewordDistances table;
    if (c.table == TableArg::Computed) {
        table = std::make_shared<const std::vector<float>>(pqkmeans::compute_codeword_distances(codewords.view()));
    } else if (c.table == TableArg::WrongSize) {
        table = std::make_shared<const std::vector<float>>(c.shape[0] * c.shape[1] * c.shape[1] - 1, 0.0F);
    }
    Built out{PqKMeans::with_codeword_distances_and_options(codewords, table, rotation, c.k, c.iterations, 11, true,
                                                            4096, InitMethod::Random, true, false),
              std::nullopt};
    if (c.table == TableArg::Computed) {
        out.from_codewords = PqKMeans::new_with_options_and_spherical(codewords, rotation, c.k, c.iterations, 11, true,
                                                                      4096, InitMethod::Random, true, false);
    }
    return out;
}

class Constructors : public testing::TestWithParam<ConstructorCase> {};

TEST_P(Constructors, CheckInOrderWithExactTexts) {
    const ConstructorCase& c = GetParam();
    Built built = build(c);
    std::vector<tarvinex::error::Result<PqKMeans>*> results{&built.from_table};
    if (built.from_codewords) {
        results.push_back(&*built.from_codewords);
    }
    for (auto* result : results) {
        if (c.error == nullptr) {
            ASSERT_TRUE(result->has_value()) << error_text(result->error());
        } else {
            ASSERT_FALSE(result->has_value());
            EXPECT_EQ(error_text(result->error()), c.error);
            EXPECT_TRUE(std::holds_alternative<tarvinex::error::TarvinexError::Message>(result->error().variant()));
        }
    }
}

INSTANTIATE_TEST_SUITE_P(PqKMeans, Constructors, testing::ValuesIn(kConstructorCases),
                         [](const testing::TestParamInfo<ConstructorCase>& info) { return info.param.name; });

TEST(PqKMeansConstruction, TakesShapeAndConfigurationAndStartsWithoutResults) {
    const array::Codebook<float> codewords = tarvinex::test::spread_codebook(3, 5, 4);
    auto table = std::make_shared<const std::vector<float>>(pqkmeans::compute_codeword_distances(codewords.view()));
    array::Matrix<float> identity(array::Shape<2>{12, 12});
    for (std::size_t i = 0; i < 12; ++i) {
        identity.view()(i, i) = 1.0F;
    }
    auto built = PqKMeans::with_codeword_distances_and_options(codewords, table, identity, 7, 9, 42, true, 1234,
                                                               InitMethod::KMeansPlusPlus, true, true);
    ASSERT_TRUE(built.has_value());
    const PqKMeans& model = *built;
    EXPECT_EQ(model.num_subquantizers(), 3U);
    EXPECT_EQ(model.codebook_size(), 5U);
    EXPECT_EQ(model.subdim(), 4U);
    EXPECT_EQ(model.dim(), 12U);
    EXPECT_EQ(model.k(), 7U);
    EXPECT_EQ(model.iterations(), 9U);
    EXPECT_EQ(model.seed(), 42U);
    EXPECT_EQ(model.lookup_table_bytes(), 1234U);
    EXPECT_TRUE(model.verbose());
    EXPECT_TRUE(model.early_stopping());
    EXPECT_TRUE(model.spherical());
    EXPECT_EQ(model.init(), InitMethod::KMeansPlusPlus);
    EXPECT_TRUE(model.labels().empty());
    EXPECT_TRUE(model.inertia_history().empty());
    EXPECT_FALSE(model.cluster_centers().has_value());
    EXPECT_FALSE(model.dense_cluster_centers().has_value());
    ASSERT_TRUE(model.rotation().has_value());
    // The model holds the caller's table, not a copy.
    EXPECT_EQ(model.codeword_distances().get(), table.get());
    EXPECT_EQ(table.use_count(), 2);
}

TEST(PqKMeansConstruction, KeepsTheCodebookMemoryOrder) {
    const array::Codebook<float> codewords = column_major_copy(tarvinex::test::spread_codebook(2, 3, 4));
    auto model = PqKMeans::new_with_options_and_spherical(codewords, std::nullopt, 2, 1, 0, false, 0,
                                                          InitMethod::FarthestFirst, false, false);
    ASSERT_TRUE(model.has_value());
    EXPECT_FALSE(model->codewords().is_c_contiguous());
    EXPECT_EQ(model->codewords().storage(), codewords.storage());
}

TEST(PqKMeansConstruction, CodewordsMustBeFiniteAfterTheirShapeAndBeforeTheRotation) {
    const auto poisoned = [](array::Codebook<float> codewords, std::size_t s, std::size_t c, std::size_t d,
                             float value) {
        codewords.view()(s, c, d) = value;
        return codewords;
    };
    const array::Codebook<float> plain = tarvinex::test::spread_codebook(2, 4, 3);
    constexpr const char* kFinite = "codewords must be finite";
    struct Case {
        const char* name;
        array::Codebook<float> codewords;
        std::optional<array::Matrix<float>> rotation;
        const char* error;  ///< nullptr: accepted
    };
    const Case cases[] = {
        {"finite", plain, std::nullopt, nullptr},
        {"NaN first", poisoned(plain, 0, 0, 0, tarvinex::test::kNaN), std::nullopt, kFinite},
        {"+inf last", poisoned(plain, 1, 3, 2, tarvinex::test::kInf), std::nullopt, kFinite},
        {"-inf inside, stored column by column", poisoned(column_major_copy(plain), 1, 2, 0, -tarvinex::test::kInf),
         std::nullopt, kFinite},
        {"Ks above 256 first", poisoned(tarvinex::test::spread_codebook(1, 257, 1), 0, 9, 0, tarvinex::test::kNaN),
         std::nullopt, kKs},
        {"the values before the rotation", poisoned(plain, 0, 1, 1, tarvinex::test::kNaN),
         array::Matrix<float>(array::Shape<2>{6, 5}), kFinite},
    };
    const auto text = [](const auto& result) {
        return result.has_value() ? std::string() : error_text(result.error());
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string want = c.error == nullptr ? "" : c.error;
        EXPECT_EQ(text(pqkmeans::check_codewords(c.codewords)), want);
        EXPECT_EQ(text(PqKMeans::new_with_options_and_spherical(c.codewords, c.rotation, 2, 1, 0, false, 0,
                                                                InitMethod::Random, false, false)),
                  want);
    }
    // Over a table of its own the values are the caller's business: NaN
    // codewords reach the passes, which must cope with them.
    auto table =
        std::make_shared<const std::vector<float>>(pqkmeans::compute_codeword_distances(cases[1].codewords.view()));
    EXPECT_TRUE(PqKMeans::with_codeword_distances_and_options(cases[1].codewords, table, std::nullopt, 2, 1, 0, false,
                                                              0, InitMethod::Random, false, false)
                    .has_value());
}

// --- Init method -----------------------------------------------------------

struct ParseCase {
    const char* text;
    std::optional<InitMethod> method;
};

const ParseCase kParseCases[] = {
    {"farthest", InitMethod::FarthestFirst},
    {"farthest-first", InitMethod::FarthestFirst},
    {"farthest_first", InitMethod::FarthestFirst},
    {"Farthest_First", InitMethod::FarthestFirst},
    {"deterministic", InitMethod::FarthestFirst},
    {"kmeans++", InitMethod::KMeansPlusPlus},
    {"k-means++", InitMethod::KMeansPlusPlus},
    {"K_Means++", InitMethod::KMeansPlusPlus},
    {"pq-kmeans++", InitMethod::KMeansPlusPlus},
    {"pq-kmeans-plus-plus", InitMethod::KMeansPlusPlus},
    {"PQ_KMEANS_PLUS_PLUS", InitMethod::KMeansPlusPlus},
    {"random", InitMethod::Random},
    {"RANDOM", InitMethod::Random},
    {"kmeans-plus-plus", std::nullopt},
    {"Kmeans-Plus-Plus", std::nullopt},
    {"farthestfirst", std::nullopt},
    {" random", std::nullopt},
    {"random ", std::nullopt},
    {"", std::nullopt},
};

TEST(InitMethod, ParsesListedSpellingsAndQuotesOthersAsGiven) {
    for (const ParseCase& c : kParseCases) {
        SCOPED_TRACE(std::string("text '") + c.text + "'");
        const auto parsed = pqkmeans::parse_init_method(c.text);
        if (c.method) {
            ASSERT_TRUE(parsed.has_value()) << error_text(parsed.error());
            EXPECT_EQ(*parsed, *c.method);
        } else {
            ASSERT_FALSE(parsed.has_value());
            EXPECT_EQ(error_text(parsed.error()), std::string("unsupported init '") + c.text +
                                                      "'; expected one of farthest_first, kmeans++, random");
        }
    }
}

TEST(InitMethod, IsTheByteBothEnginesStore) {
    static_assert(sizeof(InitMethod) == 1);
    EXPECT_EQ(static_cast<std::uint8_t>(InitMethod::FarthestFirst), 0);
    EXPECT_EQ(static_cast<std::uint8_t>(InitMethod::KMeansPlusPlus), 1);
    EXPECT_EQ(static_cast<std::uint8_t>(InitMethod::Random), 2);
}

// --- Codeword-distance table -----------------------------------------------

TEST(CodewordDistances, SumsSquaresInOrderSymmetricWithZeroDiagonalInAnyMemoryOrder) {
    const std::size_t m = 3;
    const std::size_t ks = 6;
    const std::size_t ds = 5;
    const array::Codebook<float> codewords = tarvinex::test::spread_codebook(m, ks, ds);
    const std::vector<float> table = pqkmeans::compute_codeword_distances(codewords.view());
    ASSERT_EQ(table.size(), m * ks * ks);
    const auto cw = codewords.view();
    for (std::size_t s = 0; s < m; ++s) {
        for (std::size_t a = 0; a < ks; ++a) {
            for (std::size_t b = 0; b < ks; ++b) {
                float want = 0.0F;
                for (std::size_t d = 0; d < ds; ++d) {
                    const float diff = cw(s, a, d) - cw(s, b, d);
                    const float square = diff * diff;
                    want = want + square;
                }
                const float got = table[(s * ks + a) * ks + b];
                EXPECT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(want));
                EXPECT_EQ(std::bit_cast<std::uint32_t>(got),
                          std::bit_cast<std::uint32_t>(table[(s * ks + b) * ks + a]));
            }
            EXPECT_EQ(std::bit_cast<std::uint32_t>(table[(s * ks + a) * ks + a]), 0U);
        }
    }
    EXPECT_EQ(pqkmeans::compute_codeword_distances(column_major_copy(codewords).view()), table);
}

// --- Buffers ---------------------------------------------------------------

TEST(AssignmentBuffers, StartZeroedAndEmptyAndHandOverTheirLabels) {
    pqkmeans::AssignmentBuffers buffers = pqkmeans::AssignmentBuffers::create(3);
    EXPECT_EQ(buffers.labels, (std::vector<std::size_t>{0, 0, 0}));
    EXPECT_EQ(buffers.distances, (std::vector<float>{0.0F, 0.0F, 0.0F}));
    EXPECT_TRUE(buffers.lookup.empty());
    EXPECT_TRUE(buffers.pq4_tables.quantized.empty());
    EXPECT_EQ(buffers.pq4_tables.global_scale, 1.0F);
    EXPECT_EQ(buffers.pq4_tables.global_bias, 0.0F);
    EXPECT_FALSE(buffers.pq4_tables.per_cluster);
    EXPECT_TRUE(buffers.buckets.counts.empty() && buffers.buckets.offsets.empty() && buffers.buckets.cursor.empty() &&
                buffers.buckets.rows.empty());
    EXPECT_EQ(buffers.workspace.shape(), (array::Shape<2>{0, 0}));

    buffers.labels = {4, 1, 2};
    buffers.lookup.assign(10, 1.0F);
    const std::vector<std::size_t> labels = std::move(buffers).into_labels();
    EXPECT_EQ(labels, (std::vector<std::size_t>{4, 1, 2}));
    EXPECT_EQ(buffers.lookup.capacity(), 0U);  // NOLINT(bugprone-use-after-move): freed, not moved from
}

// --- Code values and packing -----------------------------------------------

PqKMeans model_with_ks(std::size_t ks, std::size_t m = 3) {
    auto model = PqKMeans::new_with_options_and_spherical(tarvinex::test::spread_codebook(m, ks, 2), std::nullopt, 2, 1,
                                                          0, false, 0, InitMethod::Random, false, false);
    EXPECT_TRUE(model.has_value());
    return std::move(*model);
}

struct CodeValueCase {
    std::size_t ks;
    std::uint8_t largest_code;
    bool accepted;
};

TEST(CheckCodeValues, RefusesCodesOfKsOrMoreExceptWhereEveryByteIsChecked) {
    const CodeValueCase cases[] = {
        {1, 0, true},
        {1, 1, false},
        {15, 14, true},
        {15, 15, false},
        {17, 16, true},
        {17, 17, false},
        {255, 255, false},
        {256, 255, true},
        // 4-bit packing reports codes of 16 or more with its own text.
        {16, 200, true},
    };
    for (const CodeValueCase& c : cases) {
        SCOPED_TRACE("Ks " + std::to_string(c.ks) + ", code " + std::to_string(c.largest_code));
        const PqKMeans model = model_with_ks(c.ks);
        // 70 rows of 3 codes, the largest one near the end.
        std::vector<std::uint8_t> codes(70 * 3, 0);
        codes[68 * 3 + 2] = c.largest_code;
        const auto checked =
            model.check_code_values(array::MatrixView<const std::uint8_t>::c_order(codes.data(), {70, 3}));
        if (c.accepted) {
            EXPECT_TRUE(checked.has_value());
        } else {
            ASSERT_FALSE(checked.has_value());
            EXPECT_EQ(error_text(checked.error()), "code values must be below codebook_size");
        }
    }
}

TEST(CheckCodeValues, ReadsThroughStrides) {
    const PqKMeans model = model_with_ks(5, 2);
    // A (3, 2) column-major view: element (i, s) at i + 3*s; only 5 is out of range.
    const std::vector<std::uint8_t> codes{0, 1, 2, 3, 4, 5};
    const array::MatrixView<const std::uint8_t> view{codes.data(), {3, 2}, {1, 3}};
    EXPECT_FALSE(model.check_code_values(view).has_value());
    const array::MatrixView<const std::uint8_t> first_two_rows{codes.data(), {2, 2}, {1, 3}};
    EXPECT_TRUE(model.check_code_values(first_two_rows).has_value());
}

TEST(PackPq4Codes, PacksOnlyWithSixteenCodewords) {
    std::vector<std::uint8_t> codes{0, 15, 7, 3, 9, 12};  // (2, 3)
    const auto view = array::MatrixView<const std::uint8_t>::c_order(codes.data(), {2, 3});

    const auto packed = model_with_ks(16).pack_pq4_codes(view);
    ASSERT_TRUE(packed.has_value());
    ASSERT_TRUE(packed->has_value());
    EXPECT_EQ((*packed)->rows, 2U);
    EXPECT_EQ((*packed)->m, 3U);
    for (std::size_t i = 0; i < 2; ++i) {
        for (std::size_t s = 0; s < 3; ++s) {
            EXPECT_EQ((*packed)->code(i, s), codes[i * 3 + s]);
        }
    }

    const auto not_attempted = model_with_ks(15).pack_pq4_codes(view);
    ASSERT_TRUE(not_attempted.has_value());
    EXPECT_FALSE(not_attempted->has_value());

    codes[4] = 16;
    const auto refused = model_with_ks(16).pack_pq4_codes(view);
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(error_text(refused.error()), "PQ4 packing requires codebook_size <= 16");
}

// --- Table-size rule -------------------------------------------------------

struct TableSizeCase {
    std::size_t m, ks, k, budget;
    std::optional<std::size_t> entries;
};

TEST(LookupTableEntries, BuildsWhenFourBytesPerEntryFitTheBudget) {
    constexpr std::size_t kTwo31 = std::size_t{1} << 31;
    constexpr std::size_t kTwo32 = std::size_t{1} << 32;
    constexpr std::size_t kTwo62 = std::size_t{1} << 62;
    const TableSizeCase cases[] = {
        {2, 16, 3, 384, 96},            // exactly the table's bytes
        {2, 16, 3, 383, std::nullopt},  // one byte short
        {1, 1, 1, 0, std::nullopt},     // a zero budget never builds
        {1, 1, 1, 4, 1},
        {4, 256, 1024, 1073741824, 1048576},
        {kTwo32, kTwo32, 1, kMax, std::nullopt},  // M*Ks overflows
        {kTwo31, kTwo31, 8, kMax, std::nullopt},  // M*Ks*k overflows
        {kTwo31, kTwo31, 1, kMax, std::nullopt},  // 2^62 entries
        {kTwo62 - 1, 1, 1, kMax, kTwo62 - 1},     // the largest table
    };
    for (const TableSizeCase& c : cases) {
        SCOPED_TRACE(std::to_string(c.m) + " x " + std::to_string(c.ks) + " x " + std::to_string(c.k) + " in " +
                     std::to_string(c.budget));
        EXPECT_EQ(pqkmeans::lookup_table_entries(c.m, c.ks, c.k, c.budget), c.entries);
    }
}

// --- Profile sums ----------------------------------------------------------

TEST(ClusterProfile, DurationSumsRefuseToOverflow) {
    std::chrono::nanoseconds sum{5};
    pqkmeans::add_duration(sum, std::chrono::nanoseconds{7});
    EXPECT_EQ(sum.count(), 12);

    std::chrono::nanoseconds full = std::chrono::nanoseconds::max();
    try {
        pqkmeans::add_duration(full, std::chrono::nanoseconds{1});
        ADD_FAILURE() << "no assertion";
    } catch (const tarvinex::error::InternalFailure& failure) {
        EXPECT_STREQ(failure.what(), "overflow when adding durations");
    }
    EXPECT_EQ(full, std::chrono::nanoseconds::max());
}

}  // namespace
