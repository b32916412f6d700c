// Dense assignment: the norm and distance helpers in their orders.
#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "array/array.hpp"
#include "dense/dense.hpp"
#include "simd/cpu_features.hpp"
#include "simd/preference.hpp"
#include "simd/slice_kernels.hpp"
#include "testing.hpp"

namespace {

namespace array = tarvinex::array;
namespace dense = tarvinex::dense;
namespace simd = tarvinex::simd;
using tarvinex::test::bit_patterns;
using tarvinex::test::bits;
using tarvinex::test::kNaN;
using tarvinex::test::runnable_families;
using tarvinex::test::SplitMix;

constexpr std::size_t kTailLengths[] = {1, 3, 4, 7, 8, 15, 16, 17, 31, 64, 65};

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
            EXPECT_EQ(bits(dense::l2_distance(va, vb, family)), bits(simd::slice_kernels(family).l2_distance(a, b)));
            EXPECT_EQ(
                bits(dense::l2_distance(sa, sb, family)),
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

}  // namespace
