// The PQ k-means center updates: the bucket build, the empty list and the
// farthest-row choice; the code vote against a brute-force reference on every
// slice-kernel family; the dense means on both sides of the sequential
// threshold; the refill of each mode; the input checks and profile sums.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "array/array.hpp"
#include "error/error.hpp"
#include "pqkmeans/pqkmeans.hpp"
#include "simd/cpu_features.hpp"
#include "simd/slice_kernels.hpp"
#include "testing.hpp"

namespace {

namespace pqkmeans = tarvinex::pqkmeans;
namespace array = tarvinex::array;
namespace simd = tarvinex::simd;
using pqkmeans::ClusterProfile;
using pqkmeans::LabelBucketBuffers;
using pqkmeans::PqKMeans;
using tarvinex::error::InternalFailure;

using tarvinex::test::bit_patterns;
using tarvinex::test::kInf;
using tarvinex::test::kNaN;
using tarvinex::test::runnable_families;

/// Positive values over seven binades, so a changed summation order shows in
/// the last bits while sums stay free of cancellation.
class TestRng : public tarvinex::test::SplitMix {
public:
    using SplitMix::SplitMix;
    std::vector<float> floats(std::size_t n) { return spread(n, -3, 7, false); }
};

template <typename T>
array::MatrixView<T> c_view(std::vector<T>& values, std::size_t cols) {
    return array::MatrixView<T>::c_order(values.data(), {values.size() / cols, cols});
}
template <typename T>
array::MatrixView<const T> c_view(const std::vector<T>& values, std::size_t cols) {
    return array::MatrixView<const T>::c_order(values.data(), {values.size() / cols, cols});
}
/// A column-major (rows, cols) view: element (i, j) at i + rows*j.
template <typename T>
array::MatrixView<T> column_major_view(std::vector<T>& values, std::size_t cols) {
    const std::size_t rows = values.size() / cols;
    return {values.data(), {rows, cols}, {1, static_cast<std::ptrdiff_t>(rows)}};
}

/// The rows labelled j, ascending: what the update must treat as j's members.
std::vector<std::size_t> members_of(const std::vector<std::size_t>& labels, std::size_t j) {
    std::vector<std::size_t> out;
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (labels[i] == j) {
            out.push_back(i);
        }
    }
    return out;
}

/// A model over a C-ordered (M, Ks, Ds) codebook holding `values`.
PqKMeans make_model(std::vector<float> values, std::size_t m, std::size_t ks, std::size_t ds, std::size_t k,
                    std::optional<array::Matrix<float>> rotation = std::nullopt) {
    auto built = PqKMeans::new_with_options_and_spherical(
        array::Codebook<float>(std::move(values), array::Shape<3>{m, ks, ds}), std::move(rotation), k, 1, 0, false, 0,
        pqkmeans::InitMethod::Random, false, false);
    EXPECT_TRUE(built.has_value());
    return std::move(*built);
}

/// Codeword (s, c) of a C-ordered model.
std::span<const float> codeword(const PqKMeans& model, std::size_t s, std::size_t c) {
    const std::size_t ds = model.subdim();
    return {model.codewords().storage().data() + (s * model.codebook_size() + c) * ds, ds};
}

std::vector<float> decoded_row(const PqKMeans& model, const std::vector<std::uint8_t>& codes, std::size_t row) {
    std::vector<float> out;
    for (std::size_t s = 0; s < model.num_subquantizers(); ++s) {
        const auto word = codeword(model, s, codes[row * model.num_subquantizers() + s]);
        out.insert(out.end(), word.begin(), word.end());
    }
    return out;
}

// --- Bucket build ----------------------------------------------------------

struct BucketCase {
    std::vector<std::size_t> labels;
    std::size_t k;
    std::vector<std::size_t> counts, offsets, rows;
};

TEST(BucketBuild, GroupsRowsByLabelInAscendingOrder) {
    const BucketCase cases[] = {
        {{2, 0, 2, 1, 0, 2}, 4, {2, 1, 3, 0}, {0, 2, 3, 6, 6}, {1, 4, 3, 0, 2, 5}},
        // Built into the same buffers after a larger case: nothing stale may remain.
        {{1, 1, 0}, 2, {1, 2}, {0, 1, 3}, {2, 0, 1}},
        {{}, 2, {0, 0}, {0, 0, 0}, {}},
    };
    LabelBucketBuffers buffers;
    for (const BucketCase& c : cases) {
        const LabelBucketBuffers::Views views = buffers.build(c.labels, c.k);
        EXPECT_EQ(std::vector<std::size_t>(views.counts.begin(), views.counts.end()), c.counts);
        EXPECT_EQ(std::vector<std::size_t>(views.offsets.begin(), views.offsets.end()), c.offsets);
        EXPECT_EQ(std::vector<std::size_t>(views.rows.begin(), views.rows.end()), c.rows);
        EXPECT_EQ(buffers.counts, c.counts);
        EXPECT_EQ(buffers.rows, c.rows);
        // Each cursor has walked to the end of its bucket.
        EXPECT_EQ(buffers.cursor, std::vector<std::size_t>(c.offsets.begin() + 1, c.offsets.end()));
    }
}

TEST(BucketBuild, LabelOfKIsAnInternalFailure) {
    LabelBucketBuffers buffers;
    const std::vector<std::size_t> labels{0, 2, 1};
    EXPECT_THROW((void)buffers.build(labels, 2), InternalFailure);
}

// --- Empty clusters and farthest rows ---------------------------------------

TEST(EmptyClusterIndices, ListsZeroCountsAscending) {
    EXPECT_EQ(pqkmeans::empty_cluster_indices(std::vector<std::size_t>{3, 0, 5, 0}), (std::vector<std::size_t>{1, 3}));
    EXPECT_EQ(pqkmeans::empty_cluster_indices(std::vector<std::size_t>{3, 1, 5}), std::vector<std::size_t>{});
    EXPECT_EQ(pqkmeans::empty_cluster_indices(std::vector<std::size_t>{}), std::vector<std::size_t>{});
}

struct FarthestCase {
    const char* name;
    std::vector<float> distances;
    std::size_t count;
    std::vector<std::size_t> rows;
};

void PrintTo(const FarthestCase& c, std::ostream* os) { *os << c.name; }

const FarthestCase kFarthestCases[] = {
    {"ties_to_the_smaller_row", {1.0F, 3.0F, 3.0F, 2.0F}, 2, {1, 2}},
    {"tie_with_the_weakest_kept_stays_out", {5.0F, 1.0F, 5.0F, 5.0F}, 2, {0, 2}},
    {"later_larger_rows_replace_kept_ones", {1.0F, 2.0F, 3.0F, 4.0F, 5.0F, 4.0F}, 3, {4, 3, 5}},
    {"negative_zero_below_positive_zero", {-0.0F, 0.0F, -0.0F}, 3, {1, 0, 2}},
    {"nan_above_inf_negative_nan_below_minus_inf", {kInf, kNaN, -kNaN, 5.0F, -kInf}, 5, {1, 0, 3, 4, 2}},
    {"inf_first", {1.0F, kInf, 7.0F}, 1, {1}},
    {"count_zero", {1.0F, 2.0F}, 0, {}},
    {"count_above_n", {2.0F, 5.0F, 5.0F}, 7, {1, 2, 0}},
    {"no_rows", {}, 3, {}},
};

class FarthestRows : public testing::TestWithParam<FarthestCase> {};

TEST_P(FarthestRows, RankByDistanceDescendingThenRow) {
    const FarthestCase& c = GetParam();
    EXPECT_EQ(pqkmeans::select_farthest_rows(c.distances, c.count), c.rows);
}

INSTANTIATE_TEST_SUITE_P(Table, FarthestRows, testing::ValuesIn(kFarthestCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FarthestRowsHeap, AgreesWithAFullSortOnManyDuplicates) {
    TestRng rng(5);
    std::vector<float> distances(500);
    for (float& d : distances) {
        d = static_cast<float>(rng.next() % 40);
    }
    std::vector<std::size_t> sorted(distances.size());
    for (std::size_t i = 0; i < sorted.size(); ++i) {
        sorted[i] = i;
    }
    std::stable_sort(sorted.begin(), sorted.end(),
                     [&](std::size_t a, std::size_t b) { return distances[a] > distances[b]; });
    for (const std::size_t count : {1UL, 13UL, 499UL, 500UL}) {
        EXPECT_EQ(pqkmeans::select_farthest_rows(distances, count),
                  std::vector<std::size_t>(sorted.begin(), sorted.begin() + static_cast<std::ptrdiff_t>(count)))
            << count;
    }
}

// --- Code vote -------------------------------------------------------------

/// The vote in its defining order: per subquantizer, codewords c ascending
/// with a nonzero count h, score[c'] = score[c'] + round(float(h) * D_cw);
/// then the first strictly smallest score from (0, +inf).
std::vector<std::uint8_t> reference_vote_row(const PqKMeans& model, const std::vector<std::uint8_t>& codes,
                                             const std::vector<std::size_t>& members) {
    const std::size_t m = model.num_subquantizers();
    const std::size_t ks = model.codebook_size();
    const std::vector<float>& table = *model.codeword_distances();
    std::vector<std::uint8_t> out(m);
    for (std::size_t s = 0; s < m; ++s) {
        std::vector<std::uint64_t> histogram(ks, 0);
        for (const std::size_t row : members) {
            ++histogram[codes[row * m + s]];
        }
        std::vector<float> scores(ks, 0.0F);
        for (std::size_t c = 0; c < ks; ++c) {
            if (histogram[c] == 0) {
                continue;
            }
            for (std::size_t candidate = 0; candidate < ks; ++candidate) {
                const float product = static_cast<float>(histogram[c]) * table[(s * ks + c) * ks + candidate];
                scores[candidate] = scores[candidate] + product;
            }
        }
        std::size_t best = 0;
        float best_score = kInf;
        for (std::size_t candidate = 0; candidate < ks; ++candidate) {
            if (scores[candidate] < best_score) {
                best = candidate;
                best_score = scores[candidate];
            }
        }
        out[s] = static_cast<std::uint8_t>(best);
    }
    return out;
}

struct VoteProblemCase {
    const char* name;
    std::size_t m, ks, ds, n, k;
};

void PrintTo(const VoteProblemCase& c, std::ostream* os) { *os << c.name; }

const VoteProblemCase kVoteProblems[] = {
    {"m4_ks256_ds2", 4, 256, 2, 3000, 5},
    // Hundreds of members per codeword: the float(h) products round.
    {"m3_ks3_ds4_large_counts", 3, 3, 4, 5000, 3},
    {"m2_ks17_ds1", 2, 17, 1, 400, 9},
};

class CodeVote : public testing::TestWithParam<VoteProblemCase> {};

TEST_P(CodeVote, MatchesTheReferenceBitForBitOnEveryFamily) {
    const VoteProblemCase& c = GetParam();
    TestRng rng(c.m * 100 + c.ks);
    const PqKMeans model = make_model(rng.floats(c.m * c.ks * c.ds), c.m, c.ks, c.ds, c.k);
    const std::vector<std::uint8_t> codes = rng.codes(c.n * c.m, c.ks);
    const std::vector<std::size_t> labels = rng.labels(c.n, c.k);
    const std::vector<float> distances(c.n, 1.0F);

    std::vector<std::vector<std::uint8_t>> want(c.k);
    for (std::size_t j = 0; j < c.k; ++j) {
        const std::vector<std::size_t> members = members_of(labels, j);
        ASSERT_FALSE(members.empty());
        want[j] = reference_vote_row(model, codes, members);
    }

    // The update, with this process's family.
    std::vector<std::uint8_t> centers = rng.codes(c.k * c.m, c.ks);
    LabelBucketBuffers buckets;
    ClusterProfile profile;
    ASSERT_TRUE(model.update_centers(c_view(codes, c.m), labels, distances, c_view(centers, c.m), buckets, profile));
    for (std::size_t j = 0; j < c.k; ++j) {
        EXPECT_EQ(std::vector<std::uint8_t>(centers.begin() + static_cast<std::ptrdiff_t>(j * c.m),
                                            centers.begin() + static_cast<std::ptrdiff_t>((j + 1) * c.m)),
                  want[j])
            << "center " << j;
    }

    // Each family's kernels, one center at a time, with one scratch reused.
    for (const simd::SliceKernel family : runnable_families()) {
        pqkmeans::CodeVoteScratch scratch(c.m, c.ks);
        for (std::size_t j = 0; j < c.k; ++j) {
            const std::vector<std::size_t> members = members_of(labels, j);
            std::vector<std::uint8_t> center(c.m, 0);
            pqkmeans::vote_center_code_into(c_view(codes, c.m), members, *model.codeword_distances(), c.ks, center,
                                            scratch, simd::slice_kernels(family));
            EXPECT_EQ(center, want[j]) << simd::slice_kernel_label(family) << " center " << j;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Problems, CodeVote, testing::ValuesIn(kVoteProblems),
                         [](const auto& info) { return std::string(info.param.name); });

struct SmallVoteCase {
    const char* name;
    std::size_t m, ks, ds;
    std::vector<float> codebook;
    std::vector<std::uint8_t> codes;  ///< (n, M)
    std::vector<std::size_t> labels;
    std::vector<std::uint8_t> centers_before, centers_after;  ///< (k, M)
};

void PrintTo(const SmallVoteCase& c, std::ostream* os) { *os << c.name; }

const SmallVoteCase kSmallVotes[] = {
    // Subquantizer 0 codewords {0, 1, 3}: members 0 and 1 score 1 for both.
    // Subquantizer 1 codewords {5, 0, 1}: members 1 and 2 score 1 for both.
    {"lower_codeword_wins_ties", 2, 3, 1, {0, 1, 3, 5, 0, 1}, {0, 1, 1, 2}, {0, 0}, {2, 0}, {0, 1}},
    // Codewords {0, 4, 5}, three members of 0 and one of 2: 25 < 49 < 75.
    // Counting each used codeword once would pick 1 (scores 25, 17, 25).
    {"member_counts_weigh_the_score", 1, 3, 1, {0, 4, 5}, {0, 0, 0, 2}, {0, 0, 0, 0}, {2}, {0}},
    {"ks1_writes_zero",
     3,
     1,
     2,
     {1, 2, 3, 4, 5, 6},
     {0, 0, 0, 0, 0, 0, 0, 0, 0},
     {0, 1, 1},
     {7, 7, 7, 9, 9, 9},
     {0, 0, 0, 0, 0, 0}},
};

class SmallVote : public testing::TestWithParam<SmallVoteCase> {};

TEST_P(SmallVote, WritesTheExpectedCodes) {
    const SmallVoteCase& c = GetParam();
    const std::size_t k = c.centers_before.size() / c.m;
    const PqKMeans model = make_model(c.codebook, c.m, c.ks, c.ds, k);
    std::vector<std::uint8_t> centers = c.centers_before;
    const std::vector<float> distances(c.labels.size(), 1.0F);
    LabelBucketBuffers buckets;
    ClusterProfile profile;
    ASSERT_TRUE(
        model.update_centers(c_view(c.codes, c.m), c.labels, distances, c_view(centers, c.m), buckets, profile));
    EXPECT_EQ(centers, c.centers_after);
}

INSTANTIATE_TEST_SUITE_P(Table, SmallVote, testing::ValuesIn(kSmallVotes),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CodeVoteCenter, WithoutMembersKeepsItsCode) {
    const PqKMeans model = make_model({0, 1, 3, 5, 0, 1}, 2, 3, 1, 1);
    const std::vector<std::uint8_t> codes{0, 1, 1, 2};
    std::vector<std::uint8_t> center{2, 0};
    pqkmeans::CodeVoteScratch scratch(2, 3);
    pqkmeans::vote_center_code_into(c_view(codes, 2), {}, *model.codeword_distances(), 3, center, scratch,
                                    simd::slice_kernels());
    EXPECT_EQ(center, (std::vector<std::uint8_t>{2, 0}));
}

// --- Dense means -----------------------------------------------------------

/// Sums `rows` of `values` (D columns) from zero in the given order.
std::vector<float> sequential_sum(const std::vector<float>& values, std::size_t dim,
                                  std::span<const std::size_t> rows) {
    std::vector<float> sum(dim, 0.0F);
    for (const std::size_t row : rows) {
        for (std::size_t d = 0; d < dim; ++d) {
            sum[d] = sum[d] + values[row * dim + d];
        }
    }
    return sum;
}

std::vector<float> scaled(std::vector<float> sum, std::size_t members) {
    const float r = 1.0F / static_cast<float>(members);
    for (float& x : sum) {
        x = x * r;
    }
    return sum;
}

/// The mean in 256-member chunk sums added left to right; the update joins the
/// same chunk sums in the pool's order, so it agrees to a few ulps.
std::vector<float> chunked_mean(const std::vector<float>& values, std::size_t dim,
                                const std::vector<std::size_t>& members) {
    std::vector<float> total(dim, 0.0F);
    for (std::size_t begin = 0; begin < members.size(); begin += 256) {
        const std::size_t length = std::min<std::size_t>(256, members.size() - begin);
        const std::vector<float> part = sequential_sum(values, dim, std::span(members).subspan(begin, length));
        for (std::size_t d = 0; d < dim; ++d) {
            total[d] = total[d] + part[d];
        }
    }
    return scaled(std::move(total), members.size());
}

/// Three clusters of 1023, 1024 and 3 members, interleaved over the rows.
struct MeanProblem {
    static constexpr std::size_t kM = 2, kKs = 16, kDs = 3, kDim = kM * kDs, kK = 3;
    std::vector<std::size_t> labels;
    std::vector<std::uint8_t> codes;
    std::vector<float> vectors;
    std::vector<float> decoded;  ///< every row's decoded code, (n, D)

    static std::vector<std::size_t> shuffled_labels(TestRng& rng) {
        std::vector<std::size_t> labels;
        labels.insert(labels.end(), 1023, 0);
        labels.insert(labels.end(), 1024, 1);
        labels.insert(labels.end(), 3, 2);
        for (std::size_t i = labels.size(); i-- > 1;) {
            std::swap(labels[i], labels[rng.next() % (i + 1)]);
        }
        return labels;
    }
};

/// A permutation of the D axes: a model that applied it would move elements.
array::Matrix<float> permutation_rotation(std::size_t dim) {
    array::Matrix<float> rotation(array::Shape<2>{dim, dim});
    for (std::size_t i = 0; i < dim; ++i) {
        rotation.view()(i, (i + 1) % dim) = 1.0F;
    }
    return rotation;
}

enum class DenseMode { FromCodes, FromVectors };

const char* mode_name(DenseMode mode) { return mode == DenseMode::FromCodes ? "from_codes" : "from_vectors"; }
void PrintTo(DenseMode mode, std::ostream* os) { *os << mode_name(mode); }

class DenseMean : public testing::TestWithParam<DenseMode> {};

TEST_P(DenseMean, ExactUpTo1023MembersAndCloseFrom1024) {
    using P = MeanProblem;
    TestRng rng(31);
    const PqKMeans model =
        make_model(rng.floats(P::kM * P::kKs * P::kDs), P::kM, P::kKs, P::kDs, P::kK, permutation_rotation(P::kDim));
    P p;
    p.labels = P::shuffled_labels(rng);
    const std::size_t n = p.labels.size();
    p.codes = rng.codes(n * P::kM, P::kKs);
    p.vectors = rng.floats(n * P::kDim);
    for (std::size_t i = 0; i < n; ++i) {
        const std::vector<float> row = decoded_row(model, p.codes, i);
        p.decoded.insert(p.decoded.end(), row.begin(), row.end());
    }
    const std::vector<float>& contributions = GetParam() == DenseMode::FromCodes ? p.decoded : p.vectors;
    const std::vector<float> distances(n, 1.0F);

    std::vector<float> centers(P::kK * P::kDim, -1.0F);
    LabelBucketBuffers buckets;
    if (GetParam() == DenseMode::FromCodes) {
        ASSERT_TRUE(model.update_dense_centers_from_codes(c_view(p.codes, P::kM), p.labels, distances,
                                                          c_view(centers, P::kDim), buckets));
    } else {
        ASSERT_TRUE(model.update_dense_centers_from_vectors(c_view(p.vectors, P::kDim), p.labels, distances,
                                                            c_view(centers, P::kDim), buckets));
    }
    const auto center = [&](std::size_t j) { return std::span<const float>(centers).subspan(j * P::kDim, P::kDim); };

    for (const std::size_t j : {0UL, 2UL}) {
        const std::vector<std::size_t> members = members_of(p.labels, j);
        const std::vector<float> want = scaled(sequential_sum(contributions, P::kDim, members), members.size());
        EXPECT_EQ(bit_patterns(center(j)), bit_patterns(want)) << "center " << j;
    }
    // The fixture tells the two orders apart, so a chunked 1023 would show.
    EXPECT_NE(bit_patterns(chunked_mean(contributions, P::kDim, members_of(p.labels, 0))), bit_patterns(center(0)));

    const std::vector<float> want = chunked_mean(contributions, P::kDim, members_of(p.labels, 1));
    for (std::size_t d = 0; d < P::kDim; ++d) {
        EXPECT_NEAR(center(1)[d], want[d], 4.0F * std::numeric_limits<float>::epsilon() * std::fabs(want[d]))
            << "element " << d;
    }
}

INSTANTIATE_TEST_SUITE_P(Modes, DenseMean, testing::Values(DenseMode::FromCodes, DenseMode::FromVectors),
                         [](const auto& info) { return std::string(mode_name(info.param)); });

// --- Refill ----------------------------------------------------------------

/// Clusters 0 and 3 of 4 are empty. Row 4 is the farthest (+inf); rows 1 and
/// 3 tie next, so row 1 goes before row 3.
struct RefillProblem {
    static constexpr std::size_t kM = 2, kKs = 4, kDs = 2, kDim = kM * kDs, kK = 4;
    std::vector<std::size_t> labels{1, 1, 2, 1, 2, 1};
    std::vector<float> distances{0.5F, 3.0F, 1.0F, 3.0F, kInf, 0.1F};
    std::vector<std::uint8_t> codes{0, 1, 1, 2, 2, 3, 3, 0, 1, 1, 3, 3};
    std::vector<float> vectors;
    PqKMeans model;

    RefillProblem()
        : vectors(TestRng(8).floats(6 * kDim)),
          model(make_model(TestRng(9).floats(kM * kKs * kDs), kM, kKs, kDs, kK, permutation_rotation(kDim))) {}

    [[nodiscard]] std::vector<std::size_t> members(std::size_t j) const { return members_of(labels, j); }
    [[nodiscard]] std::vector<float> vector_row(std::size_t row) const {
        return {vectors.begin() + static_cast<std::ptrdiff_t>(row * kDim),
                vectors.begin() + static_cast<std::ptrdiff_t>((row + 1) * kDim)};
    }
};

template <typename T>
std::vector<T> row_copy(const std::vector<T>& matrix, std::size_t cols, std::size_t j) {
    return {matrix.begin() + static_cast<std::ptrdiff_t>(j * cols),
            matrix.begin() + static_cast<std::ptrdiff_t>((j + 1) * cols)};
}

TEST(Refill, SymmetricCopiesTheFarthestCodeRows) {
    using P = RefillProblem;
    const P p;
    std::vector<std::uint8_t> centers(P::kK * P::kM, 0);
    LabelBucketBuffers buckets;
    ClusterProfile profile;
    ASSERT_TRUE(p.model.update_centers(c_view(p.codes, P::kM), p.labels, p.distances, c_view(centers, P::kM), buckets,
                                       profile));
    EXPECT_EQ(row_copy(centers, P::kM, 0), row_copy(p.codes, P::kM, 4));
    EXPECT_EQ(row_copy(centers, P::kM, 1), reference_vote_row(p.model, p.codes, p.members(1)));
    EXPECT_EQ(row_copy(centers, P::kM, 2), reference_vote_row(p.model, p.codes, p.members(2)));
    EXPECT_EQ(row_copy(centers, P::kM, 3), row_copy(p.codes, P::kM, 1));
}

TEST(Refill, AdcDecodesTheFarthestRowsInTheRotatedSpace) {
    using P = RefillProblem;
    const P p;
    std::vector<float> centers(P::kK * P::kDim, -1.0F);
    LabelBucketBuffers buckets;
    ASSERT_TRUE(p.model.update_dense_centers_from_codes(c_view(p.codes, P::kM), p.labels, p.distances,
                                                        c_view(centers, P::kDim), buckets));
    std::vector<float> decoded;
    for (std::size_t i = 0; i < p.labels.size(); ++i) {
        const std::vector<float> row = decoded_row(p.model, p.codes, i);
        decoded.insert(decoded.end(), row.begin(), row.end());
    }
    EXPECT_EQ(row_copy(centers, P::kDim, 0), row_copy(decoded, P::kDim, 4));
    EXPECT_EQ(row_copy(centers, P::kDim, 3), row_copy(decoded, P::kDim, 1));
    for (const std::size_t j : {1UL, 2UL}) {
        EXPECT_EQ(bit_patterns(row_copy(centers, P::kDim, j)),
                  bit_patterns(scaled(sequential_sum(decoded, P::kDim, p.members(j)), p.members(j).size())));
    }
}

TEST(Refill, HybridCopiesTheFarthestRawRows) {
    using P = RefillProblem;
    const P p;
    std::vector<float> centers(P::kK * P::kDim, -1.0F);
    LabelBucketBuffers buckets;
    ASSERT_TRUE(p.model.update_dense_centers_from_vectors(c_view(p.vectors, P::kDim), p.labels, p.distances,
                                                          c_view(centers, P::kDim), buckets));
    EXPECT_EQ(row_copy(centers, P::kDim, 0), p.vector_row(4));
    EXPECT_EQ(row_copy(centers, P::kDim, 3), p.vector_row(1));
    for (const std::size_t j : {1UL, 2UL}) {
        EXPECT_EQ(bit_patterns(row_copy(centers, P::kDim, j)),
                  bit_patterns(scaled(sequential_sum(p.vectors, P::kDim, p.members(j)), p.members(j).size())));
    }
}

// --- Input checks ----------------------------------------------------------

enum class Mode { Symmetric, Adc, Hybrid };

struct CheckCase {
    const char* name;
    Mode mode;
    bool codebook_column_major;
    bool vectors_column_major;
    const char* error;
    bool buckets_built;  ///< the check comes after the bucket build
};

void PrintTo(const CheckCase& c, std::ostream* os) { *os << c.name; }

// The centers are column-major in every case, so each case also shows that
// an earlier check wins over the centers' one.
const CheckCase kCheckCases[] = {
    {"symmetric_centers", Mode::Symmetric, false, false, "cluster centers must be C-contiguous", true},
    {"adc_codebook_first", Mode::Adc, true, false, "codewords are not contiguous", false},
    {"adc_centers", Mode::Adc, false, false, "dense centers must be C-contiguous", true},
    {"hybrid_vectors_first", Mode::Hybrid, false, true, "input vectors must be C-contiguous", false},
    {"hybrid_centers", Mode::Hybrid, false, false, "dense centers must be C-contiguous", true},
};

class InputChecks : public testing::TestWithParam<CheckCase> {};

TEST_P(InputChecks, FailInOrderBeforeAnyCenterChanges) {
    const CheckCase& c = GetParam();
    using P = RefillProblem;
    const P p;
    std::optional<PqKMeans> column_major_model;
    if (c.codebook_column_major) {
        const auto& source = p.model.codewords();
        const array::Strides<3> strides{1, static_cast<std::ptrdiff_t>(P::kM),
                                        static_cast<std::ptrdiff_t>(P::kM * P::kKs)};
        array::Codebook<float> codewords(std::vector<float>(source.size()), source.shape(), strides);
        for (std::size_t s = 0; s < P::kM; ++s) {
            for (std::size_t w = 0; w < P::kKs; ++w) {
                for (std::size_t d = 0; d < P::kDs; ++d) {
                    codewords.view()(s, w, d) = source.view()(s, w, d);
                }
            }
        }
        auto built = PqKMeans::new_with_options_and_spherical(std::move(codewords), std::nullopt, P::kK, 1, 0, false, 0,
                                                              pqkmeans::InitMethod::Random, false, false);
        ASSERT_TRUE(built.has_value());
        column_major_model.emplace(std::move(*built));
    }
    const PqKMeans& model = column_major_model ? *column_major_model : p.model;

    LabelBucketBuffers buckets;
    tarvinex::error::Result<void> result;
    std::vector<std::uint8_t> code_centers(P::kK * P::kM, 7);
    std::vector<float> dense_centers(P::kK * P::kDim, -1.0F);
    std::vector<float> vectors = p.vectors;
    switch (c.mode) {
        case Mode::Symmetric: {
            ClusterProfile profile;
            result = model.update_centers(c_view(p.codes, P::kM), p.labels, p.distances,
                                          column_major_view(code_centers, P::kM), buckets, profile);
            break;
        }
        case Mode::Adc:
            result = model.update_dense_centers_from_codes(c_view(p.codes, P::kM), p.labels, p.distances,
                                                           column_major_view(dense_centers, P::kDim), buckets);
            break;
        case Mode::Hybrid: {
            const array::MatrixView<const float> input =
                c.vectors_column_major ? column_major_view(vectors, P::kDim) : c_view(vectors, P::kDim);
            result = model.update_dense_centers_from_vectors(input, p.labels, p.distances,
                                                             column_major_view(dense_centers, P::kDim), buckets);
            break;
        }
    }
    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().to_string(), c.error);
    EXPECT_EQ(buckets.counts.size(), c.buckets_built ? P::kK : 0);
    EXPECT_EQ(code_centers, std::vector<std::uint8_t>(P::kK * P::kM, 7));
    EXPECT_EQ(dense_centers, std::vector<float>(P::kK * P::kDim, -1.0F));
}

INSTANTIATE_TEST_SUITE_P(Table, InputChecks, testing::ValuesIn(kCheckCases),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Profile sums ----------------------------------------------------------

/// Runs the symmetric update of the refill problem, or the same problem with
/// every cluster holding a member.
ClusterProfile profiled_update(ClusterProfile profile, bool with_empty_clusters) {
    using P = RefillProblem;
    P p;
    if (!with_empty_clusters) {
        p.labels = {0, 1, 2, 3, 2, 1};
    }
    std::vector<std::uint8_t> centers(P::kK * P::kM, 0);
    LabelBucketBuffers buckets;
    EXPECT_TRUE(p.model.update_centers(c_view(p.codes, P::kM), p.labels, p.distances, c_view(centers, P::kM), buckets,
                                       profile));
    return profile;
}

TEST(UpdateProfile, SumsGrowOnlyWhenEnabled) {
    using std::chrono::nanoseconds;
    ClusterProfile disabled;
    disabled.update_total = nanoseconds(5);
    disabled.update_counts = nanoseconds(5);
    disabled.update_vote = nanoseconds(5);
    disabled.update_reseed = nanoseconds(5);
    const ClusterProfile after_disabled = profiled_update(disabled, true);
    EXPECT_EQ(after_disabled.update_total, nanoseconds(5));
    EXPECT_EQ(after_disabled.update_counts, nanoseconds(5));
    EXPECT_EQ(after_disabled.update_vote, nanoseconds(5));
    EXPECT_EQ(after_disabled.update_reseed, nanoseconds(5));

    ClusterProfile enabled;
    enabled.enabled = true;
    const ClusterProfile with_empty = profiled_update(enabled, true);
    EXPECT_GT(with_empty.update_total, nanoseconds(0));
    EXPECT_GT(with_empty.update_reseed, nanoseconds(0));
    EXPECT_GE(with_empty.update_total, with_empty.update_counts + with_empty.update_vote + with_empty.update_reseed);

    // Without empty clusters there is no refill to time.
    const ClusterProfile without_empty = profiled_update(enabled, false);
    EXPECT_GT(without_empty.update_total, nanoseconds(0));
    EXPECT_EQ(without_empty.update_reseed, nanoseconds(0));
    // The assignment sums belong to the passes.
    EXPECT_EQ(without_empty.assign_total, nanoseconds(0));
}

TEST(UpdateProfile, OverflowingSumIsAnInternalFailure) {
    ClusterProfile profile;
    profile.enabled = true;
    profile.update_counts = std::chrono::nanoseconds::max();
    EXPECT_THROW((void)profiled_update(profile, true), InternalFailure);
}

}  // namespace
