// Size products and sums that must not wrap, row and column slices and transposes of
// strided matrices, and C-ordered copies of any layout.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <vector>

#include <gtest/gtest.h>

#include "array/array.hpp"
#include "array/huge_pages.hpp"
#include "array/size_product.hpp"

namespace {

namespace array = tarvinex::array;
constexpr std::size_t kMax = std::numeric_limits<std::size_t>::max();

TEST(SizeProduct, CheckedAndSaturatingAgreeUntilOverflow) {
    struct Case {
        std::vector<std::size_t> factors;
        std::optional<std::size_t> product;
    };
    const Case cases[] = {
        {{7}, 7},
        {{3, 5}, 15},
        {{0, kMax, kMax}, 0},
        {{kMax, 1}, kMax},
        {{std::size_t{1} << 32, std::size_t{1} << 31}, std::size_t{1} << 63},
        {{std::size_t{1} << 32, std::size_t{1} << 32}, std::nullopt},
        {{std::size_t{1} << 40, std::size_t{1} << 30, 0}, std::nullopt},
        {{2, 3, kMax / 5}, std::nullopt},
    };
    for (const Case& c : cases) {
        std::optional<std::size_t> checked;
        std::size_t saturated = 0;
        if (c.factors.size() == 1) {
            checked = array::checked_product(c.factors[0]);
            saturated = array::saturating_product(c.factors[0]);
        } else if (c.factors.size() == 2) {
            checked = array::checked_product(c.factors[0], c.factors[1]);
            saturated = array::saturating_product(c.factors[0], c.factors[1]);
        } else {
            checked = array::checked_product(c.factors[0], c.factors[1], c.factors[2]);
            saturated = array::saturating_product(c.factors[0], c.factors[1], c.factors[2]);
        }
        EXPECT_EQ(checked, c.product);
        EXPECT_EQ(saturated, c.product.value_or(kMax));
    }
}

TEST(SizeSum, SaturatesInsteadOfWrapping) {
    EXPECT_EQ(array::saturating_sum(3, 4), 7U);
    EXPECT_EQ(array::saturating_sum(kMax - 1, 1), kMax);
    EXPECT_EQ(array::saturating_sum(kMax - 1, 2), kMax);
    EXPECT_EQ(array::saturating_sum(kMax, 1, 0), kMax);
    EXPECT_EQ(array::saturating_sum(kMax / 2, kMax / 2, 1), kMax);
    EXPECT_EQ(array::saturating_sum(kMax / 2, kMax / 2, 2), kMax);
}

TEST(ArrayView, RowsAndColumnsFollowTheStrides) {
    // A 3 x 4 window with a row stride of 6 inside a larger buffer.
    std::vector<std::int32_t> buffer(20);
    for (std::size_t i = 0; i < buffer.size(); ++i) {
        buffer[i] = static_cast<std::int32_t>(i);
    }
    const array::MatrixView<const std::int32_t> window{buffer.data() + 1, {3, 4}, {6, 1}};
    EXPECT_EQ(std::vector<std::int32_t>(window.row(2).begin(), window.row(2).end()),
              (std::vector<std::int32_t>{13, 14, 15, 16}));

    const array::MatrixView<const std::int32_t> middle = window.columns(1, 2);
    EXPECT_EQ(middle.extent(0), 3U);
    EXPECT_EQ(middle.extent(1), 2U);
    EXPECT_EQ(middle(0, 0), 2);
    EXPECT_EQ(middle(2, 1), 15);
    EXPECT_EQ(std::vector<std::int32_t>(middle.row(1).begin(), middle.row(1).end()), (std::vector<std::int32_t>{8, 9}));
    EXPECT_EQ(window.columns(4, 0).extent(1), 0U);

    const array::MatrixView<const std::int32_t> flipped = window.transposed();
    EXPECT_EQ(flipped.shape, (array::Shape<2>{4, 3}));
    EXPECT_EQ(flipped(3, 1), window(1, 3));
    EXPECT_EQ(flipped(0, 2), 13);
}

TEST(CopyInCOrder, EveryLayoutGivesTheSameCOrderedElements) {
    // Element (i, j, l) of a (2, 3, 2) array is 100*i + 10*j + l, stored in
    // five layouts: C order, reversed axes, a reversed middle axis, a step of
    // 2 along the rows of a larger block, and a view with no elements.
    std::vector<std::int32_t> buffer(48, -1);
    const auto value = [](std::size_t i, std::size_t j, std::size_t l) {
        return static_cast<std::int32_t>(100 * i + 10 * j + l);
    };
    const auto fill = [&](const array::ArrayView<std::int32_t, 3>& view) {
        for (std::size_t i = 0; i < 2; ++i) {
            for (std::size_t j = 0; j < 3; ++j) {
                for (std::size_t l = 0; l < 2; ++l) {
                    view(i, j, l) = value(i, j, l);
                }
            }
        }
    };
    const array::ArrayView<std::int32_t, 3> layouts[] = {
        {buffer.data(), {2, 3, 2}, {6, 2, 1}},
        {buffer.data(), {2, 3, 2}, {1, 2, 6}},
        {buffer.data() + 4, {2, 3, 2}, {6, -2, 1}},
        {buffer.data(), {2, 3, 2}, {24, 4, 2}},
    };
    std::vector<std::int32_t> expected;
    for (std::size_t i = 0; i < 2; ++i) {
        for (std::size_t j = 0; j < 3; ++j) {
            for (std::size_t l = 0; l < 2; ++l) {
                expected.push_back(value(i, j, l));
            }
        }
    }
    for (const auto& layout : layouts) {
        std::fill(buffer.begin(), buffer.end(), -1);
        fill(layout);
        const array::OwnedArray<std::int32_t, 3> copy = array::c_order_copy(layout);
        EXPECT_TRUE(copy.is_c_contiguous());
        EXPECT_EQ(copy.shape(), layout.shape);
        EXPECT_EQ(copy.storage(), expected);
    }
    const array::MatrixView<const std::int32_t> empty{nullptr, {0, 5}, {1, 0}};
    EXPECT_EQ(array::c_order_copy(empty).size(), 0U);
}

TEST(HugePageFloats, LargeTablesStartOnAHugePageAndBehaveAsVectors) {
    // Below 2 MiB the plain allocator; from 2 MiB, 2 MiB-aligned storage.
    // Growing, copying and shrinking keep the values either way.
    array::HugePageFloats small(1000, 1.5F);
    array::HugePageFloats large(array::kHugePageBytes / sizeof(float) + 3, 2.5F);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(large.data()) % array::kHugePageBytes, 0U);
    EXPECT_TRUE(std::ranges::all_of(large, [](float v) { return v == 2.5F; }));
    small.resize(large.size(), 7.0F);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(small.data()) % array::kHugePageBytes, 0U);
    EXPECT_EQ(small[999], 1.5F);
    EXPECT_EQ(small[1000], 7.0F);
    const array::HugePageFloats copy = large;
    EXPECT_EQ(copy, large);
    large.resize(10);
    large.shrink_to_fit();
    EXPECT_EQ(large.size(), 10U);
    EXPECT_EQ(large[9], 2.5F);
}

}  // namespace
