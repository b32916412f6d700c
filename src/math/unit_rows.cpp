/// The unit scaling of a row whose float sum of squares overflows although
/// every element is finite. Dividing by that sum's square root would turn
/// the row into zeros; a power of two brings the largest element into [1, 2)
/// first, where the squares cannot overflow, and the exact scaling leaves the
/// direction as it was.

#include <algorithm>
#include <cmath>
#include <span>

#include "math/math.hpp"

namespace tarvinex::math {

bool normalize_if_squares_overflow(std::span<float> row, float sum_of_squares) {
    if (!std::isinf(sum_of_squares) || !std::all_of(row.begin(), row.end(), [](float x) { return std::isfinite(x); })) {
        return false;
    }
    float largest = 0.0F;
    for (const float x : row) {
        largest = std::max(largest, std::fabs(x));
    }
    const int exponent = std::ilogb(largest);
    float scaled_sum = -0.0F;
    for (const float x : row) {
        const float v = std::ldexp(x, -exponent);
        const float square = v * v;
        scaled_sum = scaled_sum + square;
    }
    const float scaled_norm = std::sqrt(scaled_sum);
    for (float& x : row) {
        x = std::ldexp(x, -exponent) / scaled_norm;
    }
    return true;
}

}  // namespace tarvinex::math
