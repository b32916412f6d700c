#pragma once
/// Sizes of buffers and tables are products of user-given extents; a product
/// that wraps would size a buffer too small and let a scan read past it.

#include <cstddef>
#include <limits>
#include <optional>

namespace tarvinex::array {

/// first * rest..., or nothing when the product does not fit in size_t.
template <typename... Rest>
[[nodiscard]] constexpr std::optional<std::size_t> checked_product(std::size_t first, Rest... rest) {
    std::size_t product = first;
    const bool overflow = (__builtin_mul_overflow(product, static_cast<std::size_t>(rest), &product) || ...);
    if (overflow) {
        return std::nullopt;
    }
    return product;
}

/// first * rest..., or the largest size_t when the product does not fit: for
/// sizes compared against a budget, where "too large" is the whole answer.
template <typename... Rest>
[[nodiscard]] constexpr std::size_t saturating_product(std::size_t first, Rest... rest) {
    return checked_product(first, rest...).value_or(std::numeric_limits<std::size_t>::max());
}

/// first + rest..., or the largest size_t when the sum does not fit: a byte
/// count made of saturated products stays saturated.
template <typename... Rest>
[[nodiscard]] constexpr std::size_t saturating_sum(std::size_t first, Rest... rest) {
    std::size_t sum = first;
    const bool overflow = (__builtin_add_overflow(sum, static_cast<std::size_t>(rest), &sum) || ...);
    return overflow ? std::numeric_limits<std::size_t>::max() : sum;
}

}  // namespace tarvinex::array
