#pragma once
/// Sizes of buffers and tables are products of user-given extents; a product
/// that wraps would size a buffer too small and let a scan read past it.

#include <cstddef>
#include <optional>

namespace tarvinex::pqkmeans {

/// a*b, or nothing when the product does not fit in size_t.
[[nodiscard]] inline std::optional<std::size_t> checked_product(std::size_t a, std::size_t b) {
    std::size_t product = 0;
    if (__builtin_mul_overflow(a, b, &product)) {
        return std::nullopt;
    }
    return product;
}

}  // namespace tarvinex::pqkmeans
