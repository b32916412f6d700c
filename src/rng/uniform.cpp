/// Integer draws below a bound (one-correction widening multiply and
/// rejection) and the float draw over a half-open range.

#include "rng/uniform.hpp"

#include <bit>
#include <cmath>

#include "error/error.hpp"

namespace tarvinex::rng {

std::uint32_t uniform_below_u32(SeededRng& rng, std::uint32_t bound) {
    constexpr std::uint64_t kTwoTo32 = std::uint64_t{1} << 32;
    const std::uint64_t product = std::uint64_t{rng.next_u32()} * bound;
    auto high = static_cast<std::uint32_t>(product >> 32);
    const std::uint64_t low = product & (kTwoTo32 - 1);
    // Only a low half this close to the top can carry into the high half once
    // the next 32 bits of the infinite-precision product are known.
    if (low > kTwoTo32 - bound) {
        const std::uint64_t next_high = (std::uint64_t{rng.next_u32()} * bound) >> 32;
        if (low + next_high >= kTwoTo32) ++high;
    }
    return high;
}

std::uint64_t uniform_below_u64(SeededRng& rng, std::uint64_t bound) {
    const unsigned __int128 product = static_cast<unsigned __int128>(rng.next_u64()) * bound;
    auto high = static_cast<std::uint64_t>(product >> 64);
    const auto low = static_cast<std::uint64_t>(product);
    // 0 - bound is 2^64 - bound in unsigned arithmetic.
    if (low > std::uint64_t{0} - bound) {
        const auto next_high =
            static_cast<std::uint64_t>((static_cast<unsigned __int128>(rng.next_u64()) * bound) >> 64);
        // The sum overflows exactly when it reaches 2^64.
        if (low + next_high < low) ++high;
    }
    return high;
}

std::uint32_t uniform_below_rejection_u32(SeededRng& rng, std::uint32_t bound) {
    // (2^32 - bound) mod bound low halves are the excess that would bias the result.
    const std::uint32_t threshold = (std::uint32_t{0} - bound) % bound;
    std::uint64_t product = 0;
    do {
        product = std::uint64_t{rng.next_u32()} * bound;
    } while (static_cast<std::uint32_t>(product) < threshold);
    return static_cast<std::uint32_t>(product >> 32);
}

std::uint64_t uniform_below_rejection_u64(SeededRng& rng, std::uint64_t bound) {
    const std::uint64_t threshold = (std::uint64_t{0} - bound) % bound;
    unsigned __int128 product = 0;
    do {
        product = static_cast<unsigned __int128>(rng.next_u64()) * bound;
    } while (static_cast<std::uint64_t>(product) < threshold);
    return static_cast<std::uint64_t>(product >> 64);
}

double float_in_range_from_bits(std::uint64_t bits, double low, double high) {
    constexpr std::uint64_t kExponentOfOne = 0x3FF0000000000000ull;
    const double in_one_two = std::bit_cast<double>((bits >> 12) | kExponentOfOne);
    const double unit = in_one_two - 1.0;
    // Product and sum are rounded separately: a fused multiply-add would give
    // different bits.
    const double scaled = unit * (high - low);
    return scaled + low;
}

double random_range(SeededRng& rng, double low, double high) {
    TARVINEX_ASSERT(low < high, "cannot sample empty range");
    TARVINEX_ASSERT(std::isfinite(high - low), "cannot sample a range of infinite width");
    return float_in_range_from_bits(rng.next_u64(), low, high);
}

}  // namespace tarvinex::rng
