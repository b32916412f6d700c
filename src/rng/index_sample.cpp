/// Floyd, in-place and rejection sampling of distinct indices, and the
/// size-based choice between them. The choice is evaluated in 32-bit floats
/// with every product and sum rounded to float, so that borderline sizes pick
/// the same method everywhere.

#include "rng/index_sample.hpp"

#include <cstddef>
#include <unordered_set>
#include <utility>

#include "error/error.hpp"
#include "rng/uniform.hpp"

namespace tarvinex::rng::index {
namespace {

constexpr std::uint64_t kFirstWideLength = std::uint64_t{1} << 32;

std::vector<std::uint64_t> sample_floyd(SeededRng& rng, std::uint32_t length, std::uint32_t amount) {
    std::vector<std::uint64_t> chosen;
    chosen.reserve(amount);
    for (std::uint32_t value = length - amount; value < length; ++value) {
        const std::uint64_t pick = uniform_below_u32(rng, value + 1);
        for (std::uint64_t& entry : chosen) {
            if (entry == pick) {
                entry = value;
                break;
            }
        }
        chosen.push_back(pick);
    }
    return chosen;
}

std::vector<std::uint64_t> sample_in_place(SeededRng& rng, std::uint32_t length, std::uint32_t amount) {
    std::vector<std::uint32_t> indices(length);
    for (std::uint32_t i = 0; i < length; ++i) indices[i] = i;
    for (std::uint32_t i = 0; i < amount; ++i) {
        const std::uint32_t j = i + uniform_below_u32(rng, length - i);
        std::swap(indices[i], indices[j]);
    }
    return {indices.begin(), indices.begin() + amount};
}

/// The chosen set only answers membership; the result keeps draw order.
template <typename DrawBelowLength>
std::vector<std::uint64_t> sample_rejection(std::uint64_t amount, DrawBelowLength draw_below_length) {
    std::unordered_set<std::uint64_t> seen;
    seen.reserve(amount);
    std::vector<std::uint64_t> chosen;
    chosen.reserve(amount);
    for (std::uint64_t i = 0; i < amount; ++i) {
        std::uint64_t pick = 0;
        do {
            pick = draw_below_length();
        } while (!seen.insert(pick).second);
        chosen.push_back(pick);
    }
    return chosen;
}

}  // namespace

SampleMethod choose_sample_method(std::uint64_t length, std::uint64_t amount) {
    if (length >= kFirstWideLength) return SampleMethod::Rejection;
    // Cost models fitted separately below and above half a million indices.
    const std::size_t large = length >= 500000 ? 1 : 0;
    const float length_f = static_cast<float>(static_cast<std::uint32_t>(length));
    const float amount_f = static_cast<float>(static_cast<std::uint32_t>(amount));
    if (amount < 163) {
        constexpr float kSlope[2] = {1.6f, 0.17777778f};
        constexpr float kOffset[2] = {10.0f, 7.7777777f};
        // Each step on its own float so nothing is kept at wider precision.
        const float sloped = kSlope[large] * amount_f;
        const float shifted = sloped + kOffset[large];
        const float in_place_cost = shifted * amount_f;
        return amount > 11 && in_place_cost > length_f ? SampleMethod::InPlace : SampleMethod::Floyd;
    }
    constexpr float kRejectionRatio[2] = {270.0f, 36.666668f};
    const float in_place_cost = kRejectionRatio[large] * amount_f;
    return in_place_cost > length_f ? SampleMethod::InPlace : SampleMethod::Rejection;
}

std::vector<std::uint64_t> sample(SeededRng& rng, std::uint64_t length, std::uint64_t amount) {
    TARVINEX_ASSERT(amount <= length, "`amount` of samples must be less than or equal to `length`");
    if (length >= kFirstWideLength) {
        return sample_rejection(amount, [&] { return uniform_below_rejection_u64(rng, length); });
    }
    const auto length32 = static_cast<std::uint32_t>(length);
    const auto amount32 = static_cast<std::uint32_t>(amount);
    switch (choose_sample_method(length, amount)) {
        case SampleMethod::Floyd:
            return sample_floyd(rng, length32, amount32);
        case SampleMethod::InPlace:
            return sample_in_place(rng, length32, amount32);
        case SampleMethod::Rejection:
            return sample_rejection(amount, [&] { return std::uint64_t{uniform_below_rejection_u32(rng, length32)}; });
    }
    return {};
}

}  // namespace tarvinex::rng::index
