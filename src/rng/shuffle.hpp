#pragma once
/// Partial Fisher-Yates shuffle of a list of machine words, drawing its swap
/// positions from a SeededRng.

#include <cstddef>
#include <span>

#include "rng/seeded_rng.hpp"

namespace tarvinex::rng {

/// The two parts of a shuffled list, both views into it.
struct ShuffledParts {
    std::span<std::size_t> tail;  ///< the last `amount` positions: the chosen elements
    std::span<std::size_t> head;  ///< the rest, in front of the tail
};

/// Shuffles the last `amount` positions of `list` in place (the whole list
/// when amount >= its length). Swaps may bring head elements into the tail.
ShuffledParts partial_shuffle(SeededRng& rng, std::span<std::size_t> list, std::size_t amount);

}  // namespace tarvinex::rng
