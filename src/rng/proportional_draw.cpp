#include "rng/proportional_draw.hpp"

#include "rng/uniform.hpp"

namespace tarvinex::rng {
namespace {

constexpr double kMinDrawWeight = 2.220446049250313e-16;

}  // namespace

std::expected<std::size_t, NoDraw> proportional_draw(SeededRng& rng, std::span<const float> weights) {
    // -0.0 is the exact additive identity: the first term enters unchanged.
    double total = -0.0;
    for (const float weight : weights) {
        if (is_drawable_weight(weight)) {
            total += static_cast<double>(weight);
        }
    }
    if (total <= kMinDrawWeight) {
        return std::unexpected(NoDraw::TooLittleWeight);
    }
    double remaining = random_range(rng, 0.0, total);
    for (std::size_t i = 0; i < weights.size(); ++i) {
        if (!is_drawable_weight(weights[i])) {
            continue;
        }
        remaining -= static_cast<double>(weights[i]);
        if (remaining <= 0.0) {
            return i;
        }
    }
    return std::unexpected(NoDraw::WalkEnded);
}

}  // namespace tarvinex::rng
