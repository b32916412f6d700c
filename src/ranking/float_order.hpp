#pragma once
/// Floats as unsigned keys that sort in the IEEE 754 total order: -NaN below
/// -inf, -0 below +0, +NaN above +inf. Rankings that must be total (farthest
/// rows, greatest variance) compare these keys, so NaN never breaks a sort.

#include <bit>
#include <cstdint>

namespace tarvinex::ranking {

/// Sign-set patterns are flipped whole so that they descend below every
/// sign-clear pattern, which gets the sign bit set.
[[nodiscard]] constexpr std::uint32_t total_order_key(float value) {
    const auto bits = std::bit_cast<std::uint32_t>(value);
    return (bits & 0x80000000U) != 0 ? ~bits : bits | 0x80000000U;
}

[[nodiscard]] constexpr std::uint64_t total_order_key(double value) {
    const auto bits = std::bit_cast<std::uint64_t>(value);
    return (bits & 0x8000000000000000ULL) != 0 ? ~bits : bits | 0x8000000000000000ULL;
}

}  // namespace tarvinex::ranking
