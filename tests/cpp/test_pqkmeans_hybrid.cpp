// The hybrid assignment pass against a reference that builds every row's
// shortlist by sorting (estimate, index) pairs and refines it exactly: every
// shortlist engine (lookup table, direct sums, packed 4-bit float scan, the
// quantized fast-scan), the exact path, a rotation, NaN centers, and the
// input checks in their order; and the hybrid fit's refusal of non-finite rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <numeric>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "math/math.hpp"
#include "pq4/quantized_tables.hpp"
#include "pqkmeans/hybrid_shortlist.hpp"
#include "pqkmeans/pqkmeans.hpp"
#include "simd/distance.hpp"
#include "testing.hpp"

namespace {

namespace array = tarvinex::array;
namespace pq4 = tarvinex::pq4;
namespace pqkmeans = tarvinex::pqkmeans;
namespace simd = tarvinex::simd;
using pqkmeans::AssignmentBuffers;
using pqkmeans::PqKMeans;
using tarvinex::test::bit_patterns;
using tarvinex::test::kInf;
using tarvinex::test::kNaN;
using tarvinex::test::SplitMix;

constexpr std::size_t kBudget = 1073741824;

struct Problem {
    std::size_t m, ks, ds, n, k;
    array::Codebook<float> codewords;
    std::vector<std::uint8_t> codes;
    std::vector<float> vectors;
    std::vector<float> centers;
    std::optional<array::Matrix<float>> rotation;

    [[nodiscard]] std::size_t dim() const { return m * ds; }
    [[nodiscard]] array::MatrixView<const std::uint8_t> code_view() const {
        return array::MatrixView<const std::uint8_t>::c_order(codes.data(), {n, m});
    }
    [[nodiscard]] array::MatrixView<const float> vector_view() const {
        return array::MatrixView<const float>::c_order(vectors.data(), {n, dim()});
    }
    [[nodiscard]] array::MatrixView<const float> center_view() const {
        return array::MatrixView<const float>::c_order(centers.data(), {k, dim()});
    }
    [[nodiscard]] PqKMeans model(std::size_t budget) const {
        auto built = PqKMeans::new_with_options_and_spherical(codewords, rotation, k, 1, 0, false, budget,
                                                              pqkmeans::InitMethod::Random, false, false);
        EXPECT_TRUE(built.has_value()) << built.error().to_string();
        return std::move(*built);
    }

    /// The centers as the estimates see them: rotated when there is a rotation.
    [[nodiscard]] std::vector<float> pq_space_centers() const {
        if (!rotation) {
            return centers;
        }
        return (*tarvinex::math::apply_rotation(center_view(), rotation->view())).storage();
    }
    /// Estimates from +0.0 in subquantizer order, each term the width-Ds
    /// routine's distance: what the table holds and the direct sums add.
    [[nodiscard]] std::vector<float> estimates(std::size_t i) const {
        const std::vector<float> rotated = pq_space_centers();
        const simd::DistanceKernel kernel = simd::for_subdim(ds);
        std::vector<float> out(k);
        for (std::size_t j = 0; j < k; ++j) {
            float sum = 0.0F;
            for (std::size_t s = 0; s < m; ++s) {
                const float* codeword = codewords.storage().data() + (s * ks + codes[i * m + s]) * ds;
                sum += simd::distance(kernel, {codeword, ds}, {rotated.data() + j * dim() + s * ds, ds});
            }
            out[j] = sum;
        }
        return out;
    }
    [[nodiscard]] float exact(std::size_t i, std::size_t j) const {
        return simd::distance(simd::for_subdim(dim()), {vectors.data() + i * dim(), dim()},
                              {centers.data() + j * dim(), dim()});
    }
};

Problem make_problem(std::size_t m, std::size_t ks, std::size_t ds, std::size_t n, std::size_t k, std::uint64_t seed) {
    SplitMix rng(seed);
    const std::size_t dim = m * ds;
    return Problem{m,
                   ks,
                   ds,
                   n,
                   k,
                   array::Codebook<float>(rng.spread(m * ks * ds, -2, 4, true), array::Shape<3>{m, ks, ds}),
                   rng.codes(n * m, ks),
                   rng.spread(n * dim, -2, 4, true),
                   rng.spread(k * dim, -2, 4, true),
                   std::nullopt};
}

struct Assignment {
    std::vector<std::size_t> labels;
    std::vector<float> distances;
};

/// Per row: the `shortlist` least (estimate, index) pairs, a NaN estimate
/// above everything, then the least (exact, index) over them from (+inf, 0).
template <typename Estimates>
Assignment reference(const Problem& p, std::size_t shortlist, Estimates&& estimates_of) {
    Assignment out{std::vector<std::size_t>(p.n), std::vector<float>(p.n)};
    for (std::size_t i = 0; i < p.n; ++i) {
        const std::vector<float> e = estimates_of(i);
        std::vector<std::size_t> order(p.k);
        std::iota(order.begin(), order.end(), 0);
        std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
            if (std::isnan(e[a]) != std::isnan(e[b])) return std::isnan(e[b]);
            return !std::isnan(e[a]) && e[a] < e[b];
        });
        order.resize(std::min(shortlist, p.k));
        std::size_t best = 0;
        float best_distance = kInf;
        for (const std::size_t c : order) {
            const float d = p.exact(i, c);
            if (d < best_distance || (d == best_distance && c < best)) {
                best = c;
                best_distance = d;
            }
        }
        out.labels[i] = best;
        out.distances[i] = best_distance;
    }
    return out;
}

Assignment run(const Problem& p, std::size_t shortlist, std::size_t budget, pq4::FastScanSettings fastscan = {}) {
    const PqKMeans model = p.model(budget);
    const auto packed = model.pack_pq4_codes(p.code_view());
    EXPECT_TRUE(packed.has_value());
    AssignmentBuffers buffers = AssignmentBuffers::create(0);
    const auto done = model.assign_hybrid_into(p.code_view(), p.vector_view(), p.center_view(), shortlist,
                                               packed->has_value() ? &**packed : nullptr, nullptr, fastscan, buffers);
    EXPECT_TRUE(done.has_value()) << done.error().to_string();
    return {buffers.labels, buffers.distances};
}

void expect_same(const Assignment& got, const Assignment& want) {
    EXPECT_EQ(got.labels, want.labels);
    EXPECT_EQ(bit_patterns(got.distances), bit_patterns(want.distances));
}

TEST(HybridAssign, PathFollowsTheExactRuleThenTheTable) {
    using P = pqkmeans::HybridAssignmentPath;
    struct Case {
        pqkmeans::HybridPathInputs in;
        P path;
    };
    const Case cases[] = {
        {{.exact = true}, P::ExactPlain},
        {{.exact = true, .flash = true}, P::ExactFlash},
        {{.exact = true, .pdx_copy = true, .flash = true}, P::ExactPdx},
        {{.exact = true, .pdx_copy = true, .pdx_pruning = true}, P::ExactPdxPruned},
        // The pruning switch alone makes no copy; the table never matters to the exact pass.
        {{.exact = true, .pdx_pruning = true, .table_fits = true, .packed = true}, P::ExactPlain},
        {{}, P::ShortlistDirectAdc},
        {{.pdx_copy = true, .flash = true, .packed = true, .fastscan = true}, P::ShortlistDirectAdc},
        {{.table_fits = true}, P::ShortlistLookup},
        {{.table_fits = true, .fastscan = true}, P::ShortlistLookup},
        {{.table_fits = true, .packed = true}, P::ShortlistPq4Lookup},
        {{.table_fits = true, .packed = true, .fastscan = true}, P::ShortlistPq4Quantized},
    };
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(pqkmeans::choose_hybrid_path(cases[i].in), cases[i].path) << "case " << i;
    }
}

TEST(HybridAssign, ShortlistEnginesMatchTheSortedReference) {
    struct Case {
        const char* name;
        std::size_t m, ks, ds, n, k, budget;
        bool rotate;
    };
    const Case cases[] = {
        {"lookup table", 4, 256, 2, 300, 9, kBudget, false},
        {"direct sums", 4, 256, 2, 300, 9, 64, false},
        {"packed 4-bit, odd M", 5, 16, 3, 300, 9, kBudget, false},
        {"lookup table, rotated", 3, 256, 4, 280, 11, kBudget, true},
        {"direct sums, rotated", 3, 256, 4, 280, 11, 64, true},
    };
    for (const Case& c : cases) {
        Problem p = make_problem(c.m, c.ks, c.ds, c.n, c.k, c.n + c.m);
        if (c.rotate) {
            // A Householder reflection is orthogonal and mixes every coordinate.
            const std::size_t d = p.dim();
            array::Matrix<float> r(array::Shape<2>{d, d});
            const float v = 1.0F / std::sqrt(static_cast<float>(d));
            for (std::size_t a = 0; a < d; ++a) {
                for (std::size_t b = 0; b < d; ++b) {
                    r.view()(a, b) = (a == b ? 1.0F : 0.0F) - 2.0F * v * v;
                }
            }
            p.rotation = std::move(r);
        }
        for (const std::size_t shortlist : {std::size_t{1}, std::size_t{3}, c.k - 1}) {
            SCOPED_TRACE(testing::Message() << c.name << ", L = " << shortlist);
            expect_same(run(p, shortlist, c.budget),
                        reference(p, shortlist, [&](std::size_t i) { return p.estimates(i); }));
        }
    }
}

TEST(HybridAssign, ExactPathExaminesEveryCenter) {
    Problem p = make_problem(4, 256, 3, 700, 10, 5);
    // Whole numbers: every summation order gives the same distances, and
    // ties are common; a repeated center makes more, which the lower index takes.
    SplitMix rng(6);
    p.vectors = rng.integers(p.vectors.size(), -3, 3);
    p.centers = rng.integers(p.centers.size(), -3, 3);
    std::copy_n(p.centers.begin(), p.dim(), p.centers.end() - static_cast<std::ptrdiff_t>(p.dim()));
    const Assignment all = reference(p, p.k, [&](std::size_t) { return std::vector<float>(p.k, 0.0F); });
    expect_same(run(p, p.k, kBudget), all);
    expect_same(run(p, p.k + 5, 64), all);

    // The dimension-major copy serves the exact path; one of other rows is refused.
    const PqKMeans model = p.model(kBudget);
    AssignmentBuffers buffers = AssignmentBuffers::create(0);
    const auto pdx = tarvinex::pdx::PdxMatrix::from_row_major(p.vectors, p.n, p.dim());
    ASSERT_TRUE(pdx.has_value());
    ASSERT_TRUE(
        model.assign_hybrid_into(p.code_view(), p.vector_view(), p.center_view(), p.k, nullptr, &*pdx, {}, buffers)
            .has_value());
    expect_same({buffers.labels, buffers.distances}, all);
    const auto fewer =
        tarvinex::pdx::PdxMatrix::from_row_major(std::span<const float>(p.vectors).first(p.dim() * 5), 5, p.dim());
    ASSERT_TRUE(fewer.has_value());
    EXPECT_EQ(
        model.assign_hybrid_into(p.code_view(), p.vector_view(), p.center_view(), p.k, nullptr, &*fewer, {}, buffers)
            .error()
            .to_string(),
        "PDX exact assignment matrix does not match input vectors");
}

TEST(HybridAssign, QuantizedScanRanksByItsOwnEstimates) {
    Problem p = make_problem(6, 16, 2, 300, 12, 9);
    const PqKMeans model = p.model(kBudget);
    // The reference rebuilds the estimates from the same quantized tables.
    array::HugePageFloats lookup;
    ASSERT_TRUE(model.build_dense_lookup_tables_into(p.center_view(), p.k, lookup));
    pq4::QuantizedPq4LookupTables tables;
    ASSERT_TRUE(tables.update_from_f32(lookup, p.m, p.k, pq4::LutCalibration::PerCluster));
    const auto packed = model.pack_pq4_codes(p.code_view());
    ASSERT_TRUE(packed.has_value() && packed->has_value());
    const auto estimates = [&](std::size_t i) {
        std::vector<float> out(p.k);
        std::uint16_t sums[pq4::kBlockRows];
        for (std::size_t j = 0; j < p.k; ++j) {
            pq4::pq4_scan_cluster_scalar(**packed, tables, i / pq4::kBlockRows, j, sums);
            out[j] = static_cast<float>(tables.m) * tables.biases[j] +
                     static_cast<float>(sums[i % pq4::kBlockRows]) * tables.scales[j];
        }
        return out;
    };
    for (const std::size_t shortlist : {std::size_t{1}, std::size_t{4}}) {
        SCOPED_TRACE(shortlist);
        expect_same(run(p, shortlist, kBudget, {true, pq4::LutCalibration::PerCluster}),
                    reference(p, shortlist, estimates));
    }
}

TEST(HybridAssign, NanAndInfiniteCenters) {
    Problem p = make_problem(4, 256, 2, 200, 6, 13);
    // Center 0 is NaN: its estimate ranks last, so it never takes a place a
    // real center wants, and its exact distance is never taken.
    std::fill_n(p.centers.begin(), p.dim(), kNaN);
    for (const std::size_t shortlist : {std::size_t{1}, std::size_t{2}, p.k}) {
        const Assignment got = run(p, shortlist, kBudget);
        if (shortlist < p.k) {
            expect_same(got, reference(p, shortlist, [&](std::size_t i) { return p.estimates(i); }));
        }
        EXPECT_EQ(std::count(got.labels.begin(), got.labels.end(), 0), 0);
    }
    // Every center infinitely far: label 0 and +inf on both paths.
    std::fill(p.centers.begin(), p.centers.end(), kInf);
    for (const std::size_t shortlist : {std::size_t{2}, p.k}) {
        const Assignment got = run(p, shortlist, kBudget);
        EXPECT_EQ(got.labels, std::vector<std::size_t>(p.n, 0));
        EXPECT_EQ(got.distances, std::vector<float>(p.n, kInf));
    }
}

TEST(HybridAssign, ChecksInOrderAndEmptyInput) {
    const Problem p = make_problem(2, 256, 2, 6, 3, 21);
    const PqKMeans model = p.model(kBudget);
    AssignmentBuffers buffers = AssignmentBuffers::create(0);
    const auto column_major = [](const auto& view) {
        auto flipped = view;
        flipped.strides = {1, static_cast<std::ptrdiff_t>(view.shape[0])};
        return flipped;
    };
    const auto message = [&](auto codes, auto vectors, auto centers, std::size_t shortlist) {
        const auto done = model.assign_hybrid_into(codes, vectors, centers, shortlist, nullptr, nullptr, {}, buffers);
        return done.has_value() ? std::string() : done.error().to_string();
    };
    const std::vector<float> wide(4 * 5, 1.0F);
    const auto wrong_shape = array::MatrixView<const float>::c_order(wide.data(), {4, 5});
    EXPECT_EQ(message(column_major(p.code_view()), column_major(p.vector_view()), p.center_view(), 1),
              "code matrix must be C-contiguous");
    EXPECT_EQ(message(p.code_view(), column_major(p.vector_view()), column_major(p.center_view()), 1),
              "input vectors must be C-contiguous");
    EXPECT_EQ(message(p.code_view(), p.vector_view(), column_major(p.center_view()), 1),
              "dense centers must be C-contiguous");
    EXPECT_EQ(message(p.code_view(), p.vector_view(), wrong_shape, 1),
              "dense cluster center shape does not match the model");
    // Codewords that are not C-contiguous leave no table and no direct sums.
    array::Codebook<float> reversed(p.codewords.storage(), p.codewords.shape(),
                                    {-static_cast<std::ptrdiff_t>(p.ks * p.ds), 2, 1});
    const PqKMeans strided = *PqKMeans::new_with_options_and_spherical(
        reversed, std::nullopt, p.k, 1, 0, false, kBudget, pqkmeans::InitMethod::Random, false, false);
    const auto refused =
        strided.assign_hybrid_into(p.code_view(), p.vector_view(), p.center_view(), 1, nullptr, nullptr, {}, buffers);
    EXPECT_EQ(refused.error().to_string(), "codewords are not contiguous");
    EXPECT_TRUE(
        strided.assign_hybrid_into(p.code_view(), p.vector_view(), p.center_view(), p.k, nullptr, nullptr, {}, buffers)
            .has_value());

    const std::vector<std::uint8_t> no_codes;
    const std::vector<float> no_vectors;
    for (const std::size_t shortlist : {std::size_t{1}, p.k}) {
        ASSERT_TRUE(model
                        .assign_hybrid_into(array::MatrixView<const std::uint8_t>::c_order(no_codes.data(), {0, p.m}),
                                            array::MatrixView<const float>::c_order(no_vectors.data(), {0, p.dim()}),
                                            p.center_view(), shortlist, nullptr, nullptr, {}, buffers)
                        .has_value());
        EXPECT_TRUE(buffers.labels.empty() && buffers.distances.empty());
    }
}

TEST(HybridFit, NonFiniteVectorsAreRefusedAfterTheOtherChecksAndTheModelIsKept) {
    const Problem p = make_problem(2, 8, 2, 60, 3, 31);
    PqKMeans model = p.model(kBudget);
    ASSERT_TRUE(model.fit_hybrid(p.code_view(), p.vector_view(), 2).has_value());
    const std::vector<std::size_t> labels = model.labels();
    const std::vector<double> history = model.inertia_history();
    const std::vector<float> centers = model.dense_cluster_centers()->storage();
    const std::vector<std::uint8_t> center_codes = model.cluster_centers()->storage();

    const auto poisoned = [&](std::size_t at, float value) {
        std::vector<float> out = p.vectors;
        out[at] = value;
        return out;
    };
    const auto message = [](const PqKMeans& m, const std::vector<std::uint8_t>& codes,
                            const std::vector<float>& vectors) {
        PqKMeans copy = m;
        const std::size_t rows = vectors.size() / copy.dim();
        const auto done =
            copy.fit_hybrid(array::MatrixView<const std::uint8_t>::c_order(codes.data(), {rows, 2}),
                            array::MatrixView<const float>::c_order(vectors.data(), {rows, copy.dim()}), 2);
        return done.has_value() ? std::string() : done.error().to_string();
    };
    const std::vector<float> with_nan = poisoned(7, kNaN);
    std::vector<std::uint8_t> code_of_ks = p.codes;
    code_of_ks.back() = 8;
    EXPECT_EQ(message(model, code_of_ks, with_nan), "code values must be below codebook_size");
    EXPECT_EQ(message(model, std::vector<std::uint8_t>(p.codes.begin(), p.codes.begin() + 4),
                      std::vector<float>(with_nan.begin(), with_nan.begin() + 8)),
              "number of rows must be at least k");
    const PqKMeans strided = *PqKMeans::new_with_options_and_spherical(
        array::Codebook<float>(p.codewords.storage(), p.codewords.shape(),
                               {-static_cast<std::ptrdiff_t>(p.ks * p.ds), 2, 1}),
        std::nullopt, p.k, 1, 0, false, kBudget, pqkmeans::InitMethod::Random, false, false);
    EXPECT_EQ(message(strided, p.codes, with_nan), "codewords are not contiguous");

    const std::size_t values = p.vectors.size();
    for (const auto& [at, value] :
         {std::pair<std::size_t, float>{0, kNaN}, std::pair<std::size_t, float>{values - 1, kInf},
          std::pair<std::size_t, float>{values / 2, -kInf}}) {
        const std::vector<float> bad = poisoned(at, value);
        const auto done =
            model.fit_hybrid(p.code_view(), array::MatrixView<const float>::c_order(bad.data(), {p.n, p.dim()}), 2);
        ASSERT_FALSE(done.has_value()) << value << " at " << at;
        EXPECT_EQ(done.error().to_string(), "input vectors must be finite");
        EXPECT_EQ(model.labels(), labels);
        EXPECT_EQ(model.inertia_history(), history);
        EXPECT_EQ(bit_patterns(model.dense_cluster_centers()->storage()), bit_patterns(centers));
        EXPECT_EQ(model.cluster_centers()->storage(), center_codes);
    }
}

}  // namespace
