#pragma once
/// Samples of distinct indices: `amount` values from [0, length) in sample
/// order, by whichever of three methods suits the sizes. The choice of method
/// is part of the result, since each method consumes words differently.

#include <cstdint>
#include <vector>

#include "rng/seeded_rng.hpp"

namespace tarvinex::rng::index {

enum class SampleMethod : std::uint8_t {
    Floyd,      ///< Floyd's combination method; cheap for small amounts
    InPlace,    ///< partial Fisher-Yates over the whole index range
    Rejection,  ///< draw until unseen; for amounts small against length
};

/// The method `sample` uses for these sizes. Lengths of 2^32 and more always
/// use rejection (with 64-bit words).
[[nodiscard]] SampleMethod choose_sample_method(std::uint64_t length, std::uint64_t amount);

/// `amount` distinct indices below `length`, in sample order. More samples
/// than indices is a broken invariant.
[[nodiscard]] std::vector<std::uint64_t> sample(SeededRng& rng, std::uint64_t length, std::uint64_t amount);

}  // namespace tarvinex::rng::index
