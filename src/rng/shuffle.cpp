/// The shuffle visits positions m .. n-1 and swaps each position i with a
/// uniform index in [0, i]. For lists below 2^32 - 1 elements the indices come
/// from an increasing-range chooser: one draw below b (b+1) ... (b+c-1) < 2^32
/// is split into c mixed-radix digits, one per position, so a draw serves up
/// to eleven positions.

#include "rng/shuffle.hpp"

#include <cstdint>
#include <limits>
#include <utility>

#include "rng/uniform.hpp"

namespace tarvinex::rng {
namespace {

constexpr std::uint64_t kMaxU32 = std::numeric_limits<std::uint32_t>::max();

/// Hands out indices in [0, n'] for n' = m, m+1, ... in turn.
class IncreasingRangeChooser {
public:
    explicit IncreasingRangeChooser(std::uint64_t first_range_end)
        : current_(first_range_end), pending_(first_range_end == 0 ? 1 : 0) {}

    std::uint64_t next_index(SeededRng& rng) {
        const std::uint64_t range = current_ + 1;
        if (pending_ > 0) {
            --pending_;
        } else {
            std::uint64_t product = range;
            std::uint32_t count = 1;
            while (range + count <= kMaxU32 / product) {
                product *= range + count;
                ++count;
            }
            chunk_ = uniform_below_u32(rng, static_cast<std::uint32_t>(product));
            pending_ = count - 1;
        }
        current_ = range;
        if (pending_ == 0) return chunk_;
        const std::uint64_t digit = chunk_ % range;
        chunk_ /= range;
        return digit;
    }

private:
    std::uint64_t current_;
    std::uint32_t pending_;
    std::uint64_t chunk_ = 0;
};

/// Index in [0, position], for lists too long for the chooser's 32-bit chunks.
std::uint64_t direct_index(SeededRng& rng, std::uint64_t position) {
    if (position < kMaxU32) return uniform_below_u32(rng, static_cast<std::uint32_t>(position + 1));
    return uniform_below_u64(rng, position + 1);
}

}  // namespace

ShuffledParts partial_shuffle(SeededRng& rng, std::span<std::size_t> list, std::size_t amount) {
    const std::size_t length = list.size();
    const std::size_t first = amount >= length ? 0 : length - amount;
    if (length < kMaxU32) {
        IncreasingRangeChooser chooser(first);
        for (std::size_t i = first; i < length; ++i) std::swap(list[i], list[chooser.next_index(rng)]);
    } else {
        for (std::size_t i = first; i < length; ++i) std::swap(list[i], list[direct_index(rng, i)]);
    }
    return {list.subspan(first), list.first(first)};
}

}  // namespace tarvinex::rng
