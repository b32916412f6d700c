#pragma once
/// The k-means++ draw: one position picked with probability proportional to
/// its weight. Each engine decides what to do when nothing is drawn, so the
/// draw says why instead of choosing for them.

#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <span>

#include "rng/seeded_rng.hpp"

namespace tarvinex::rng {

/// Only positive finite weights can be drawn: chosen markers (-1), zeros
/// (duplicates of a chosen row), infinities and NaN are out.
[[nodiscard]] constexpr bool is_drawable_weight(float weight) {
    return weight > 0.0F && weight < std::numeric_limits<float>::infinity();
}

enum class NoDraw : std::uint8_t {
    /// The drawable weights total at most the double epsilon (typically every
    /// remaining row duplicates a chosen one); the generator was not drawn.
    TooLittleWeight,
    /// The walk ended with a sliver of the draw left, which rounding in the
    /// running subtraction can cause; the generator was drawn.
    WalkEnded,
};

/// The total is the drawable weights widened to double and added in position
/// order from -0.0. Above the epsilon, r = random_range(rng, 0, total) (one
/// word), and the walk subtracts each drawable weight in position order: the
/// first position where r <= 0 is drawn.
[[nodiscard]] std::expected<std::size_t, NoDraw> proportional_draw(SeededRng& rng, std::span<const float> weights);

}  // namespace tarvinex::rng
