// Dense assignment: the norm and distance helpers in their orders, the size
// rule and settings, the path choice, the block sizes, the transposed copy and
// kernels, and every path on every layout against a brute-force reference,
// with the tie and NaN rules and one worker against all.
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "array/array.hpp"
#include "dense/dense.hpp"
#include "parallel/pool.hpp"
#include "simd/cpu_features.hpp"
#include "simd/preference.hpp"
#include "simd/slice_kernels.hpp"
#include "testing.hpp"

namespace {

namespace array = tarvinex::array;
namespace dense = tarvinex::dense;
namespace parallel = tarvinex::parallel;
namespace simd = tarvinex::simd;
using dense::DensePath;
using Env = std::map<std::string, std::string>;
using tarvinex::test::bit_patterns;
using tarvinex::test::bits;
using tarvinex::test::fake_env;
using tarvinex::test::kInf;
using tarvinex::test::kNaN;
using tarvinex::test::runnable_families;
using tarvinex::test::SplitMix;

constexpr std::size_t kTailLengths[] = {1, 3, 4, 7, 8, 15, 16, 17, 31, 64, 65};
constexpr simd::CpuFeatures kAllFeatures{true, true, true};
constexpr simd::CpuFeatures kNoAvx512{true, false, false};

dense::DenseAssignSettings settings_for(const Env& env, simd::SliceKernel family) {
    dense::DenseAssignSettings s = dense::read_dense_assign_settings(fake_env(env));
    s.family = family;
    return s;
}

// ---------------------------------------------------------------- references

float four_lane_reference(const std::vector<float>& terms) {
    const std::size_t q = terms.size() / 4 * 4;
    float lanes[4] = {0.0F, 0.0F, 0.0F, 0.0F};
    for (std::size_t i = 0; i < q; ++i) {
        lanes[i % 4] = lanes[i % 4] + terms[i];
    }
    float tail = 0.0F;
    for (std::size_t i = q; i < terms.size(); ++i) {
        tail = tail + terms[i];
    }
    return (((lanes[0] + lanes[1]) + lanes[2]) + lanes[3]) + tail;
}

float sequential_reference(const std::vector<float>& terms) {
    float sum = 0.0F;
    for (const float t : terms) {
        sum = sum + t;
    }
    return sum;
}

struct Assignment {
    std::vector<std::size_t> labels;
    std::vector<float> distances;
};

/// Brute force over C-ordered values in double: exact for the integer data
/// below, ties to the lowest index, NaN never taken.
Assignment brute_force(const std::vector<float>& data, const std::vector<float>& centers, std::size_t dim,
                       bool spherical) {
    const std::size_t n = data.size() / dim;
    const std::size_t k = centers.size() / dim;
    Assignment out{std::vector<std::size_t>(n), std::vector<float>(n)};
    for (std::size_t r = 0; r < n; ++r) {
        std::size_t label = 0;
        double best = spherical ? -INFINITY : INFINITY;
        for (std::size_t j = 0; j < k; ++j) {
            double value = 0.0;
            for (std::size_t i = 0; i < dim; ++i) {
                const double x = data[r * dim + i];
                const double c = centers[j * dim + i];
                value += spherical ? x * c : (x - c) * (x - c);
            }
            if (spherical ? value > best : value < best) {
                best = value;
                label = j;
            }
        }
        out.labels[r] = label;
        out.distances[r] = spherical ? static_cast<float>(1.0 - best) : static_cast<float>(best);
    }
    return out;
}

// ---------------------------------------------------------------- layouts

enum class Layout { COrder, ColumnMajor, RowsReversed, BothAxesReversed, ColumnSlice };
constexpr Layout kLayouts[] = {Layout::COrder, Layout::ColumnMajor, Layout::RowsReversed, Layout::BothAxesReversed,
                               Layout::ColumnSlice};

const char* layout_name(Layout layout) {
    switch (layout) {
        case Layout::COrder:
            return "C order";
        case Layout::ColumnMajor:
            return "column-major";
        case Layout::RowsReversed:
            return "rows reversed";
        case Layout::BothAxesReversed:
            return "both axes reversed";
        case Layout::ColumnSlice:
            return "column slice";
    }
    return "";
}

/// A matrix holding the C-ordered `values` in `layout`; the column slice keeps
/// the matrix as columns 1..cols of a wider one, so it is the view that counts.
struct LaidOut {
    array::Matrix<float> owner;
    array::MatrixView<const float> view;
};

LaidOut lay_out(const std::vector<float>& values, std::size_t rows, std::size_t cols, Layout layout) {
    const auto r = static_cast<std::ptrdiff_t>(rows);
    const auto c = static_cast<std::ptrdiff_t>(cols);
    std::vector<float> storage(values.size());
    array::Strides<2> strides{c, 1};
    std::size_t width = cols;
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t j = 0; j < cols; ++j) {
            const float v = values[i * cols + j];
            switch (layout) {
                case Layout::COrder:
                    storage[i * cols + j] = v;
                    break;
                case Layout::ColumnMajor:
                    storage[i + j * rows] = v;
                    strides = {1, r};
                    break;
                case Layout::RowsReversed:
                    storage[(rows - 1 - i) * cols + j] = v;
                    strides = {-c, 1};
                    break;
                case Layout::BothAxesReversed:
                    storage[(rows - 1 - i) * cols + (cols - 1 - j)] = v;
                    strides = {-c, -1};
                    break;
                case Layout::ColumnSlice:
                    break;
            }
        }
    }
    if (layout == Layout::ColumnSlice) {
        width = cols + 3;
        storage.assign(rows * width, kNaN);
        for (std::size_t i = 0; i < rows; ++i) {
            for (std::size_t j = 0; j < cols; ++j) {
                storage[i * width + 1 + j] = values[i * cols + j];
            }
        }
        LaidOut out{array::Matrix<float>(std::move(storage), {rows, width}), {}};
        out.view = array::MatrixView<const float>(out.owner.view()).columns(1, cols);
        return out;
    }
    LaidOut out{array::Matrix<float>(std::move(storage), {rows, cols}, strides), {}};
    out.view = out.owner.view();
    return out;
}

/// Whole numbers in [-6, 6], so every path's sums are exact and ties are
/// real; center 3 repeats center 1, row 2 is all NaN, center 0 holds a NaN.
struct Problem {
    std::vector<float> data;
    std::vector<float> centers;
    std::size_t dim;
};

Problem integer_problem(std::size_t n, std::size_t k, std::size_t dim, std::uint64_t seed) {
    SplitMix rng(seed);
    Problem p{rng.integers(n * dim, -6, 6), rng.integers(k * dim, -6, 6), dim};
    if (k > 3) {
        std::copy_n(p.centers.begin() + static_cast<std::ptrdiff_t>(dim), dim,
                    p.centers.begin() + static_cast<std::ptrdiff_t>(3 * dim));
    }
    if (n > 2) {
        std::fill_n(p.data.begin() + static_cast<std::ptrdiff_t>(2 * dim), dim, kNaN);
    }
    if (k > 1) {
        p.centers[dim / 2] = kNaN;
    }
    return p;
}

Assignment run(const LaidOut& data, const LaidOut& centers, bool spherical, const dense::DenseAssignSettings& s) {
    const std::size_t n = data.view.shape[0];
    Assignment out{std::vector<std::size_t>(n, 99), std::vector<float>(n, -7.0F)};
    std::optional<std::vector<float>> norms;
    if (!spherical) {
        norms = dense::squared_row_norms(data.view);
    }
    std::optional<std::span<const float>> norm_span;
    if (norms) {
        norm_span = std::span<const float>(*norms);
    }
    dense::assign_dense_into(data.view, centers.view, norm_span, spherical, out.labels, out.distances, s);
    return out;
}

// ---------------------------------------------------------------- helpers

TEST(DenseHelpers, NormsDotsAndDistancesKeepTheirOrders) {
    for (const std::size_t d : kTailLengths) {
        SplitMix rng(d);
        const std::vector<float> a = rng.spread(d, -3, 7, true);
        const std::vector<float> b = rng.spread(d, -3, 7, true);
        std::vector<float> squares, products, differences;
        for (std::size_t i = 0; i < d; ++i) {
            squares.push_back(a[i] * a[i]);
            products.push_back(a[i] * b[i]);
            const float diff = a[i] - b[i];
            differences.push_back(diff * diff);
        }
        const dense::VectorView va{a.data(), {d}, {1}};
        const dense::VectorView vb{b.data(), {d}, {1}};
        // The same values two apart in a buffer: a strided view of each.
        std::vector<float> a2(2 * d), b2(2 * d);
        for (std::size_t i = 0; i < d; ++i) {
            a2[2 * i] = a[i];
            b2[2 * i] = b[i];
        }
        const dense::VectorView sa{a2.data(), {d}, {2}};
        const dense::VectorView sb{b2.data(), {d}, {2}};
        const bool strided = d > 1;
        SCOPED_TRACE(d);
        EXPECT_EQ(bits(dense::squared_norm_slice(a)), bits(four_lane_reference(squares)));
        EXPECT_EQ(bits(dense::squared_norm(va)), bits(four_lane_reference(squares)));
        EXPECT_EQ(bits(dense::squared_norm(sa)),
                  bits(strided ? sequential_reference(squares) : four_lane_reference(squares)));
        EXPECT_EQ(bits(dense::dot_product(va, vb)), bits(four_lane_reference(products)));
        EXPECT_EQ(bits(dense::dot_product(sa, vb)),
                  bits(strided ? sequential_reference(products) : four_lane_reference(products)));
        for (const simd::SliceKernel family : runnable_families()) {
            EXPECT_EQ(bits(dense::l2_distance(va, vb, simd::slice_kernels(family))),
                      bits(simd::slice_kernels(family).l2_distance(a, b)));
            EXPECT_EQ(
                bits(dense::l2_distance(sa, sb, simd::slice_kernels(family))),
                bits(strided ? sequential_reference(differences) : simd::slice_kernels(family).l2_distance(a, b)));
        }
    }
}

TEST(DenseHelpers, RowNormsOnEveryLayoutMatchTheRowsOwnOrder) {
    const std::size_t rows = 37;
    const std::size_t cols = 19;
    const std::vector<float> values = SplitMix(5).spread(rows * cols, -3, 7, true);
    for (const Layout layout : kLayouts) {
        SCOPED_TRACE(layout_name(layout));
        const LaidOut m = lay_out(values, rows, cols, layout);
        std::vector<float> expected;
        for (std::size_t i = 0; i < rows; ++i) {
            expected.push_back(dense::squared_norm(dense::row_view(m.view, i)));
        }
        EXPECT_EQ(bit_patterns(dense::squared_row_norms(m.view)), bit_patterns(expected));
    }
    // A contiguous row's norm is the four-lane sum whatever the matrix layout.
    const LaidOut c_order = lay_out(values, rows, cols, Layout::COrder);
    const LaidOut sliced = lay_out(values, rows, cols, Layout::ColumnSlice);
    EXPECT_EQ(bit_patterns(dense::squared_row_norms(c_order.view)),
              bit_patterns(dense::squared_row_norms(sliced.view)));
}

// ---------------------------------------------------------------- settings

TEST(DenseSettings, SizeRuleAndSettingsTable) {
    struct Case {
        Env env;
        std::size_t n, k, dim;
        bool spherical;
        bool expected;
    };
    const Case cases[] = {
        {{}, 3'906'250, 256, 1, false, true},   // n*k*dim = 10^9 exactly
        {{}, 3'003'003, 333, 1, false, false},  // 999,999,999
        {{}, 3'003'004, 333, 1, true, true},
        {{}, 100'000'000, 255, 100, false, false},
        {{}, 0, 256, 1'000'000, false, false},
        {{}, SIZE_MAX, SIZE_MAX, SIZE_MAX, false, true},  // the work saturates
        {{{"TARVINEX_DENSE_BLAS_MIN_K", "0"}}, 1'000'000'000, 1, 1, false, true},
        {{{"TARVINEX_DENSE_BLAS_MIN_K", "0"}}, 999'999'999, 1, 1, true, false},
        {{{"TARVINEX_DENSE_BLAS_MIN_K", "10"}, {"TARVINEX_DENSE_BLAS_MIN_K_L2", "500"}},
         10'000'000,
         10,
         10,
         false,
         true},
        {{{"TARVINEX_DENSE_BLAS_MIN_K_L2", "500"}}, 10'000'000, 300, 10, false, false},
        {{{"TARVINEX_DENSE_BLAS_MIN_K_L2", "500"}}, 10'000'000, 300, 10, true, true},
        {{{"TARVINEX_DENSE_BLAS_MIN_K_COSINE", "+10"}}, 10'000'000, 10, 10, true, true},
        {{{"TARVINEX_DENSE_BLAS_MIN_K_COSINE", "10"}}, 10'000'000, 10, 10, false, false},
        {{{"TARVINEX_DENSE_BLAS_MIN_K", "ten"}, {"TARVINEX_DENSE_BLAS_MIN_K_L2", "10"}},
         10'000'000,
         10,
         10,
         false,
         true},
        {{{"TARVINEX_DENSE_BLAS_MIN_OPS", "1025"}}, 4, 256, 1, false, false},
        {{{"TARVINEX_DENSE_BLAS_MIN_OPS", "1000"}}, 4, 256, 1, false, true},
        {{{"TARVINEX_DENSE_BLAS_MIN_OPS", "-1"}}, 4, 256, 1, false, false},
        {{{"TARVINEX_DENSE_ASSIGN", "ROWS"}}, 3'906'250, 256, 1, false, false},
        {{{"TARVINEX_DENSE_ASSIGN", "Row"}}, 3'906'250, 256, 1, false, false},
        {{{"TARVINEX_DENSE_ASSIGN", "scalar"}}, 3'906'250, 256, 1, true, false},
        {{{"TARVINEX_DENSE_ASSIGN", "Manual"}}, 3'906'250, 256, 1, false, false},
        // BLAS-off words are lower-cased only: with "-" or "_" they are no off-word.
        {{{"TARVINEX_DENSE_ASSIGN", "ro_ws"}}, 3'906'250, 256, 1, false, true},
        {{{"TARVINEX_DENSE_ASSIGN", "man-ual"}}, 3'906'250, 256, 1, false, true},
        {{{"TARVINEX_DENSE_ASSIGN", "no_blas"}}, 3'906'250, 256, 1, false, true},
        {{{"TARVINEX_DENSE_ASSIGN", "no_blas"}}, 10, 256, 1, false, false},
        {{{"TARVINEX_DENSE_ASSIGN", ""}}, 10, 256, 1, false, false},
        {{{"TARVINEX_DENSE_ASSIGN", "S-GEMM"}}, 1, 1, 1, false, true},
        {{{"TARVINEX_DENSE_ASSIGN", "Blas"}}, 1, 1, 1, true, true},
        {{{"TARVINEX_DENSE_ASSIGN", "g_e_m_m"}}, 1, 1, 1, false, true},
        {{{"TARVINEX_DENSE_ASSIGN", "gemm"}}, 1, 0, 1, false, false},
        {{{"TARVINEX_DENSE_ASSIGN", "\xff"}}, 3'906'250, 256, 1, false, true},  // not text: unset
        {{{"TARVINEX_DENSE_ASSIGN", "\xff"}}, 1, 1, 1, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.n << " x " << c.k << " x " << c.dim << " spherical " << c.spherical);
        const dense::DenseAssignSettings s = dense::read_dense_assign_settings(fake_env(c.env));
        EXPECT_EQ(s.blas_enabled, dense::dense_blas_enabled(fake_env(c.env)));
        EXPECT_EQ(dense::dense_blas_may_run(c.n, c.k, c.dim, c.spherical, s), c.expected);
    }
}

TEST(DenseSettings, PathChoiceTable) {
    const Env blas{{"TARVINEX_DENSE_ASSIGN", "sgemm"}};
    const std::size_t kBeyond32Bits = std::size_t{INT_MAX} + 1;
    // 16 centers of width 64: the transposed path's smallest shape.
    const dense::AssignShape square{100, 16, 64, true, false, false};
    const auto transposed_env = [](const char* word) { return Env{{"TARVINEX_DENSE_TRANSPOSED", word}}; };
    using K = simd::SliceKernel;
    struct Case {
        Env env;
        dense::AssignShape shape;
        K family;
        simd::CpuFeatures features;
        DensePath expected;
    };
    const Case cases[] = {
        {blas, {100, 3, 5, true, true, false}, K::Avx2, kAllFeatures, DensePath::Blas},
        {blas, {100, 3, 5, true, false, false}, K::Avx2, kAllFeatures, DensePath::Slice},  // no row norms
        {blas, {100, 3, 5, true, false, true}, K::Scalar, kAllFeatures, DensePath::Blas},
        {blas, {100, 3, 5, false, true, false}, K::Avx2, kAllFeatures, DensePath::Strided},
        {blas, {100, INT_MAX, 5, true, true, false}, K::Avx2, kAllFeatures, DensePath::Blas},
        {blas, {100, kBeyond32Bits, 5, true, true, false}, K::Avx2, kAllFeatures, DensePath::Slice},
        {blas, {100, 3, kBeyond32Bits, true, false, true}, K::Avx2, kAllFeatures, DensePath::Slice},
        {{}, {100, 16, 64, true, true, false}, K::Avx512, kAllFeatures, DensePath::Transposed},
        {{}, {100, 64, 64, true, false, true}, K::Avx512, kAllFeatures, DensePath::Transposed},
        {{}, {100, 20, 300, true, false, false}, K::Avx512, kAllFeatures, DensePath::Transposed},
        {{}, {100, 15, 64, true, false, false}, K::Avx512, kAllFeatures, DensePath::Slice},
        {{}, {100, 65, 64, true, false, false}, K::Avx512, kAllFeatures, DensePath::Slice},
        {{}, {100, 16, 63, true, false, false}, K::Avx512, kAllFeatures, DensePath::Slice},
        {{}, {100, 16, 64, false, false, false}, K::Avx512, kAllFeatures, DensePath::Strided},
        {{}, square, K::Avx2, kAllFeatures, DensePath::Slice},
        {{}, square, K::Avx512, kNoAvx512, DensePath::Slice},
        {transposed_env("Disabled"), square, K::Avx512, kAllFeatures, DensePath::Slice},
        {transposed_env("O-F-F"), square, K::Avx512, kAllFeatures, DensePath::Slice},
        {transposed_env("0"), square, K::Avx512, kAllFeatures, DensePath::Slice},
        {transposed_env("yes"), square, K::Avx512, kAllFeatures, DensePath::Transposed},
        {{{"TARVINEX_DENSE_ASSIGN", "rows"}, {"TARVINEX_DENSE_BLAS_MIN_K", "0"}, {"TARVINEX_DENSE_BLAS_MIN_OPS", "0"}},
         {100, 3, 5, true, true, false},
         K::Scalar,
         kAllFeatures,
         DensePath::Slice},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.shape.n << " x " << c.shape.k << " x " << c.shape.dim << " family "
                                        << simd::slice_kernel_label(c.family));
        EXPECT_EQ(dense::choose_dense_path(c.shape, settings_for(c.env, c.family), c.features), c.expected);
    }
}

TEST(DenseSettings, BlasBlocksAndTheirScoreBuffer) {
    struct Case {
        std::size_t n, k, score_bytes, rows;
    };
    constexpr std::size_t kMiB = std::size_t{1} << 20;
    const Case cases[] = {
        {1500, 256, 4 * kMiB, 1500},        {5000, std::size_t{1} << 20, 4 * kMiB, 1024},
        {100, 4, 4 * kMiB, 1024},           {10'000'000, 256, 4 * kMiB, 4096},
        {10'000'000, 1024, 4 * kMiB, 1024}, {10'000'000, 1024, 8 * kMiB, 2048},
        {100'000'000, 1, 4 * kMiB, kMiB},   {SIZE_MAX, SIZE_MAX, SIZE_MAX, 1024},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(dense::blas_block_rows(c.n, c.k, c.score_bytes), c.rows) << c.n << " x " << c.k;
    }
    EXPECT_EQ(dense::blas_tile_score_bytes({.l2_bytes = 2 * kMiB, .source = "test"}), 2 * kMiB);
    EXPECT_EQ(dense::blas_tile_score_bytes({.l2_bytes = kMiB / 2, .source = "test"}), kMiB / 2);
    EXPECT_EQ(dense::allocate_scores(3, 5).size(), 15U);
    // rows*k beyond what a vector can index is a failed allocation, not a length error.
    EXPECT_THROW((void)dense::allocate_scores(std::size_t{INT_MAX}, std::size_t{INT_MAX}), std::bad_alloc);
    EXPECT_THROW((void)dense::allocate_scores(SIZE_MAX, 2), std::bad_alloc);
}

// ---------------------------------------------------------------- transposed kernels

/// The portable forms, and the AVX-512 forms where this processor has them.
std::vector<dense::TransposedKernels> runnable_transposed_forms() {
    std::vector<dense::TransposedKernels> forms{dense::transposed_kernels_for(simd::SliceKernel::Scalar, {})};
    if (simd::detected_cpu_features().avx512f) {
        forms.push_back(dense::transposed_kernels_for(simd::SliceKernel::Avx512, simd::detected_cpu_features()));
    }
    return forms;
}

TEST(DenseTransposed, CopyIsPaddedToSixteenCenters) {
    const std::size_t k = 20;
    const std::size_t dim = 3;
    const std::vector<float> values = SplitMix(2).integers(k * dim, 1, 9);
    const LaidOut centers = lay_out(values, k, dim, Layout::ColumnMajor);
    ASSERT_EQ(dense::transposed_stride(k), 32U);
    EXPECT_EQ(dense::transposed_stride(16), 16U);
    EXPECT_EQ(dense::transposed_stride(64), 64U);
    const std::vector<float> t = dense::transpose_centers(centers.view);
    ASSERT_EQ(t.size(), dim * 32);
    for (std::size_t j = 0; j < dim; ++j) {
        for (std::size_t c = 0; c < 32; ++c) {
            EXPECT_EQ(bits(t[j * 32 + c]), bits(c < k ? values[c * dim + j] : 0.0F)) << j << ", " << c;
        }
    }
}

TEST(DenseTransposed, KernelTableFallsBackToThePortableForms) {
    using K = simd::SliceKernel;
    EXPECT_EQ(dense::transposed_kernels_for(K::Avx512, kAllFeatures).family, K::Avx512);
    EXPECT_EQ(dense::transposed_kernels_for(K::Avx512, kNoAvx512).family, K::Scalar);
    EXPECT_EQ(dense::transposed_kernels_for(K::Avx2, kAllFeatures).family, K::Scalar);
    EXPECT_EQ(dense::transposed_kernels_for(K::Scalar, kAllFeatures).family, K::Scalar);
}

TEST(DenseTransposed, EveryFormEqualsThePortableSliceKernel) {
    const std::vector<dense::TransposedKernels> forms = runnable_transposed_forms();
    for (const std::size_t k : {1, 15, 16, 17, 20, 32, 33, 64}) {
        for (const std::size_t dim : kTailLengths) {
            SplitMix rng(k * 100 + dim);
            const std::vector<float> values = rng.spread(k * dim, -3, 6, true);
            std::vector<float> row = rng.spread(dim, -3, 6, true);
            const LaidOut centers = lay_out(values, k, dim, Layout::COrder);
            const std::vector<float> t = dense::transpose_centers(centers.view);
            const std::size_t stride = dense::transposed_stride(k);
            const simd::IndexedValue l2 = simd::nearest_l2_center_scalar(row, values, k, dim);
            const simd::IndexedValue dot = simd::nearest_dot_center_scalar(row, values, k, dim);
            for (const dense::TransposedKernels& form : forms) {
                SCOPED_TRACE(testing::Message()
                             << simd::slice_kernel_label(form.family) << " k " << k << " dim " << dim);
                const simd::IndexedValue got_l2 = form.nearest_l2_center(row, t, k, stride, dim);
                const simd::IndexedValue got_dot = form.nearest_dot_center(row, t, k, stride, dim);
                EXPECT_EQ(got_l2.index, l2.index);
                EXPECT_EQ(bits(got_l2.value), bits(l2.value));
                EXPECT_EQ(got_dot.index, dot.index);
                EXPECT_EQ(bits(got_dot.value), bits(dot.value));
            }
        }
    }
    if (forms.size() == 1) {
        GTEST_SKIP() << "this processor lacks avx512f; the portable forms were checked";
    }
}

TEST(DenseTransposed, ChunkBodyMatchesBruteForceAndNeverTakesPadding) {
    // Rows at the origin would be nearest to the zero padding lanes.
    const std::size_t n = 50, k = 20, dim = 64;
    Problem p = integer_problem(n, k, dim, 11);
    std::fill_n(p.data.begin(), dim, 0.0F);
    for (float& c : p.centers) {
        c = std::isnan(c) ? c : c + 10.0F;
    }
    const LaidOut data = lay_out(p.data, n, dim, Layout::COrder);
    const LaidOut centers = lay_out(p.centers, k, dim, Layout::COrder);
    const std::vector<float> t = dense::transpose_centers(centers.view);
    const std::vector<dense::TransposedKernels> forms = runnable_transposed_forms();
    for (const dense::TransposedKernels& form : forms) {
        for (const bool spherical : {false, true}) {
            SCOPED_TRACE(testing::Message() << simd::slice_kernel_label(form.family) << " spherical " << spherical);
            Assignment got{std::vector<std::size_t>(n), std::vector<float>(n)};
            dense::assign_dense_transposed_into(data.view, t, k, spherical, form, 0, n, got.labels, got.distances);
            const Assignment want = brute_force(p.data, p.centers, dim, spherical);
            EXPECT_EQ(got.labels, want.labels);
            EXPECT_EQ(bit_patterns(got.distances), bit_patterns(want.distances));
        }
    }
}

// ---------------------------------------------------------------- whole assignment

/// The settings that force each path, on C-ordered data; other layouts take
/// the strided path under every one of them.
struct Forcing {
    const char* name;
    Env env;
};
const Forcing kForcings[] = {
    {"blas", {{"TARVINEX_DENSE_ASSIGN", "sgemm"}}},
    {"transposed or slice", {{"TARVINEX_DENSE_ASSIGN", "rows"}}},
    {"slice", {{"TARVINEX_DENSE_ASSIGN", "rows"}, {"TARVINEX_DENSE_TRANSPOSED", "off"}}},
};

TEST(DenseAssign, EveryPathFamilyAndLayoutMatchesBruteForce) {
    // 1100 rows: three chunks; 64 columns and 20 centers: the transposed shape.
    const std::size_t n = 1100, k = 20, dim = 64;
    const Problem p = integer_problem(n, k, dim, 3);
    for (const bool spherical : {false, true}) {
        const Assignment want = brute_force(p.data, p.centers, dim, spherical);
        ASSERT_EQ(want.labels[2], 0U);
        ASSERT_EQ(want.distances[2], kInf);
        for (const Layout layout : kLayouts) {
            const LaidOut data = lay_out(p.data, n, dim, layout);
            const LaidOut centers = lay_out(p.centers, k, dim, layout);
            for (const Forcing& forcing : kForcings) {
                for (const simd::SliceKernel family : runnable_families()) {
                    SCOPED_TRACE(testing::Message() << forcing.name << ", " << layout_name(layout) << ", "
                                                    << simd::slice_kernel_label(family) << ", spherical " << spherical);
                    const Assignment got = run(data, centers, spherical, settings_for(forcing.env, family));
                    EXPECT_EQ(got.labels, want.labels);
                    EXPECT_EQ(bit_patterns(got.distances), bit_patterns(want.distances));
                }
            }
        }
    }
}

TEST(DenseAssign, SliceAndStridedPathsKeepTheirOrderBitForBit) {
    // Uneven values: a changed summation order or kernel shows in the last
    // bits. The shapes give sixteen-center blocks with and without a partial
    // one, groups of four centers with one to three left over, and
    // dimensions with no full register, a tail, and none; a NaN row and a
    // repeated center check the first-best rule.
    struct Shape {
        std::size_t n, k, dim;
    };
    for (const Shape shape : {Shape{600, 13, 37}, Shape{300, 102, 64}, Shape{200, 33, 3}, Shape{150, 7, 16}}) {
        const auto [n, k, dim] = shape;
        SplitMix rng(17);
        std::vector<float> values = rng.spread(n * dim, -3, 6, true);
        std::vector<float> center_values = rng.spread(k * dim, -3, 6, true);
        std::fill_n(values.begin() + static_cast<std::ptrdiff_t>(5 * dim), dim, kNaN);
        std::copy_n(center_values.begin() + static_cast<std::ptrdiff_t>(2 * dim), dim,
                    center_values.begin() + static_cast<std::ptrdiff_t>((k - 1) * dim));
        std::copy_n(center_values.begin() + static_cast<std::ptrdiff_t>(2 * dim), dim,
                    values.begin() + static_cast<std::ptrdiff_t>(7 * dim));
        const Env slice{{"TARVINEX_DENSE_ASSIGN", "rows"}, {"TARVINEX_DENSE_TRANSPOSED", "off"}};
        for (const Layout layout : kLayouts) {
            const LaidOut data = lay_out(values, n, dim, layout);
            const LaidOut centers = lay_out(center_values, k, dim, layout);
            for (const simd::SliceKernel family : runnable_families()) {
                const simd::SliceKernelTable& kernels = simd::slice_kernels(family);
                for (const bool spherical : {false, true}) {
                    SCOPED_TRACE(testing::Message()
                                 << "k " << k << ", dim " << dim << ", " << layout_name(layout) << ", "
                                 << simd::slice_kernel_label(family) << ", spherical " << spherical);
                    Assignment want{std::vector<std::size_t>(n), std::vector<float>(n)};
                    for (std::size_t r = 0; r < n; ++r) {
                        simd::IndexedValue best{0, spherical ? -kInf : kInf};
                        if (layout == Layout::COrder) {
                            best = spherical ? kernels.nearest_dot_center(data.view.row(r), center_values, k, dim)
                                             : kernels.nearest_l2_center(data.view.row(r), center_values, k, dim);
                        }
                        for (std::size_t j = 0; j < k && layout != Layout::COrder; ++j) {
                            const dense::VectorView x = dense::row_view(data.view, r);
                            const dense::VectorView c = dense::row_view(centers.view, j);
                            const float v = spherical ? dense::dot_product(x, c) : dense::l2_distance(x, c, kernels);
                            if (spherical ? v > best.value : v < best.value) {
                                best = {j, v};
                            }
                        }
                        want.labels[r] = best.index;
                        want.distances[r] = spherical ? 1.0F - best.value : best.value;
                    }
                    const Assignment got = run(data, centers, spherical, settings_for(slice, family));
                    EXPECT_EQ(got.labels, want.labels);
                    EXPECT_EQ(bit_patterns(got.distances), bit_patterns(want.distances));
                }
            }
        }
    }
}

TEST(DenseAssign, BlasOverSeveralBlocksMatchesBruteForce) {
    // 2^16 centers: blocks of 1024 rows, the last one of 52.
    const std::size_t n = 2100, k = std::size_t{1} << 16, dim = 3;
    const Problem p = integer_problem(n, k, dim, 8);
    ASSERT_EQ(dense::blas_block_rows(n, k, dense::read_dense_assign_settings().blas_tile_score_bytes), 1024U);
    const LaidOut data = lay_out(p.data, n, dim, Layout::COrder);
    const LaidOut centers = lay_out(p.centers, k, dim, Layout::COrder);
    for (const bool spherical : {false, true}) {
        SCOPED_TRACE(spherical);
        const Assignment want = brute_force(p.data, p.centers, dim, spherical);
        const Assignment got =
            run(data, centers, spherical, settings_for(kForcings[0].env, simd::selected_slice_kernel()));
        EXPECT_EQ(got.labels, want.labels);
        EXPECT_EQ(bit_patterns(got.distances), bit_patterns(want.distances));
    }
}

TEST(DenseAssign, BlasTilesOfAnySizeGiveTheSameBits) {
    // Values with full mantissas, so a product summed in another order would
    // show in the last bits: tiles of 1024 rows against one tile of all 3100.
    const std::size_t n = 3100, k = 300, dim = 96;
    SplitMix rng(41);
    const std::vector<float> data_values = rng.spread(n * dim, -2, 3, true);
    const std::vector<float> center_values = rng.spread(k * dim, -2, 3, true);
    for (const Layout layout : kLayouts) {
        SCOPED_TRACE(layout_name(layout));
        const LaidOut data = lay_out(data_values, n, dim, layout);
        const LaidOut centers = lay_out(center_values, k, dim, Layout::COrder);
        for (const bool spherical : {false, true}) {
            dense::DenseAssignSettings small = settings_for(kForcings[0].env, simd::selected_slice_kernel());
            dense::DenseAssignSettings whole = small;
            small.blas_tile_score_bytes = 1;
            whole.blas_tile_score_bytes = SIZE_MAX;
            const Assignment tiled = run(data, centers, spherical, small);
            const Assignment untiled = run(data, centers, spherical, whole);
            EXPECT_EQ(tiled.labels, untiled.labels) << spherical;
            EXPECT_EQ(bit_patterns(tiled.distances), bit_patterns(untiled.distances)) << spherical;
        }
    }
}

TEST(DenseAssign, BlasOnUnevenValuesIsCloseAndNeverNegative) {
    // Rows are copies of centers in shuffled order: (|c|^2 + |x|^2) - 2x.c can
    // round below zero, which must show as +0, never as a negative distance.
    const std::size_t k = 300, dim = 40, n = 900;
    SplitMix rng(21);
    const std::vector<float> center_values = rng.spread(k * dim, -2, 6, true);
    const std::vector<std::size_t> picks = rng.labels(n, k);
    std::vector<float> values;
    for (const std::size_t pick : picks) {
        values.insert(values.end(), center_values.begin() + static_cast<std::ptrdiff_t>(pick * dim),
                      center_values.begin() + static_cast<std::ptrdiff_t>((pick + 1) * dim));
    }
    const LaidOut data = lay_out(values, n, dim, Layout::COrder);
    const LaidOut centers = lay_out(center_values, k, dim, Layout::COrder);
    const Assignment got = run(data, centers, false, settings_for(kForcings[0].env, simd::selected_slice_kernel()));
    for (std::size_t r = 0; r < n; ++r) {
        EXPECT_EQ(got.labels[r], picks[r]) << r;
        EXPECT_FALSE(std::signbit(got.distances[r])) << r;
        EXPECT_LE(got.distances[r], 1e-2F * dense::squared_norm_slice(data.view.row(r))) << r;
    }
    // Spherical scores against the exact dot products.
    const Assignment sph = run(data, centers, true, settings_for(kForcings[0].env, simd::selected_slice_kernel()));
    const Assignment ref = brute_force(values, center_values, dim, true);
    for (std::size_t r = 0; r < n; ++r) {
        EXPECT_NEAR(sph.distances[r], ref.distances[r], 1e-4 * std::abs(ref.distances[r]) + 1e-3) << r;
    }
}

TEST(DenseAssign, OneWorkerAndAllWorkersAgreeOnEveryPath) {
    const std::size_t n = 2000, k = 24, dim = 70;
    SplitMix rng(4);
    const std::vector<float> values = rng.spread(n * dim, -3, 6, true);
    const std::vector<float> center_values = rng.spread(k * dim, -3, 6, true);
    for (const Layout layout : {Layout::COrder, Layout::ColumnMajor}) {
        const LaidOut data = lay_out(values, n, dim, layout);
        const LaidOut centers = lay_out(center_values, k, dim, layout);
        for (const Forcing& forcing : kForcings) {
            for (const bool spherical : {false, true}) {
                SCOPED_TRACE(testing::Message()
                             << forcing.name << ", " << layout_name(layout) << ", spherical " << spherical);
                const dense::DenseAssignSettings s = settings_for(forcing.env, simd::selected_slice_kernel());
                const Assignment all = run(data, centers, spherical, s);
                Assignment one;
                {
                    const parallel::WorkerLimit limit(1);
                    one = run(data, centers, spherical, s);
                }
                EXPECT_EQ(one.labels, all.labels);
                EXPECT_EQ(bit_patterns(one.distances), bit_patterns(all.distances));
            }
        }
    }
}

TEST(DenseAssign, NoRowsWritesNothing) {
    const std::vector<float> center_values{1.0F, 2.0F};
    const LaidOut centers = lay_out(center_values, 1, 2, Layout::COrder);
    const array::MatrixView<const float> empty{nullptr, {0, 2}, {2, 1}};
    std::vector<std::size_t> labels;
    std::vector<float> distances;
    for (const Forcing& forcing : kForcings) {
        dense::assign_dense_into(empty, centers.view, std::span<const float>{}, false, labels, distances,
                                 settings_for(forcing.env, simd::selected_slice_kernel()));
    }
    EXPECT_TRUE(labels.empty());
}

}  // namespace
