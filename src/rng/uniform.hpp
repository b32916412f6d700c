#pragma once
/// Uniform draws from a SeededRng: integers below a bound and floats in a
/// half-open range. The word consumption of each draw is part of its contract,
/// since every later draw of the same generator depends on it.

#include <cstdint>

#include "rng/seeded_rng.hpp"

namespace tarvinex::rng {

/// Uniform integer in [0, bound), 1 <= bound < 2^32: widening multiply with
/// one correction step (no loop), consuming one or two 32-bit words.
[[nodiscard]] std::uint32_t uniform_below_u32(SeededRng& rng, std::uint32_t bound);
/// The same with 64-bit words and 128-bit products, for bounds of 2^32 and more.
[[nodiscard]] std::uint64_t uniform_below_u64(SeededRng& rng, std::uint64_t bound);

/// Uniform integer in [0, bound) by rejection, exactly unbiased, consuming a
/// variable number of words; bound >= 1.
[[nodiscard]] std::uint32_t uniform_below_rejection_u32(SeededRng& rng, std::uint32_t bound);
[[nodiscard]] std::uint64_t uniform_below_rejection_u64(SeededRng& rng, std::uint64_t bound);

/// The float in [low, high) that the 64-bit word `bits` maps to: its top 52
/// bits as the mantissa of a value in [1, 2), minus 1, scaled and shifted.
/// Requires low < high with a finite width.
[[nodiscard]] double float_in_range_from_bits(std::uint64_t bits, double low, double high);

/// A float in [low, high) from exactly one 64-bit word draw. An empty,
/// inverted or NaN range, or an infinite width, is a broken invariant.
[[nodiscard]] double random_range(SeededRng& rng, double low, double high);

}  // namespace tarvinex::rng
