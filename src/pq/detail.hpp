#pragma once
/// What the training, the encoders and the rotation training share inside the
/// module: the nearest-codeword scan.

#include <cstddef>
#include <limits>
#include <span>

#include "array/array.hpp"
#include "simd/distance.hpp"

namespace tarvinex::pq::detail {

struct Nearest {
    std::size_t index;
    float distance;
};

/// The first of `ks` codewords (row-major, `ds` floats each) at least
/// distance from x: a NaN distance never wins, and a row whose distances are
/// all NaN or +inf gets index 0 at distance +inf.
[[nodiscard]] inline Nearest nearest_codeword(simd::DistanceKernel kernel, std::span<const float> x,
                                              const float* codewords, std::size_t ks, std::size_t ds) {
    Nearest best{0, std::numeric_limits<float>::infinity()};
    for (std::size_t c = 0; c < ks; ++c) {
        const float d = simd::distance(kernel, x, {codewords + c * ds, ds});
        if (d < best.distance) {
            best = {c, d};
        }
    }
    return best;
}

}  // namespace tarvinex::pq::detail
