/// Portable forms of the PDX center kernels.
///
/// The loops over rows run over all 64 lanes of the block: the padding rows
/// hold zeros, cost nothing to carry and give the compiler a fixed trip count
/// that it turns into 128-bit vector operations on every x86-64 processor. A
/// row's distance is still its own sequential sum over the dimensions.

#include <cstddef>
#include <span>

#include "pdx/pdx.hpp"

namespace tarvinex::pdx {

void block_center_l2_scalar(std::span<const float> block, std::size_t dim, std::span<const float> center,
                            std::span<float> sums) noexcept {
    float acc[kBlockRows] = {};
    for (std::size_t d = 0; d < dim; ++d) {
        const float v = center[d];
        const float* x = block.data() + d * kBlockRows;
        for (std::size_t r = 0; r < kBlockRows; ++r) {
            const float difference = x[r] - v;
            acc[r] = acc[r] + difference * difference;
        }
    }
    for (std::size_t r = 0; r < kBlockRows; ++r) {
        sums[r] = acc[r];
    }
}

std::size_t block_center_l2_pruned_scalar(std::span<const float> block, std::size_t rows, std::size_t dim,
                                          std::span<const float> center, std::span<const float> best,
                                          std::span<float> sums) noexcept {
    float acc[kBlockRows] = {};
    bool active[kBlockRows];
    for (std::size_t r = 0; r < kBlockRows; ++r) {
        active[r] = r < rows;
    }
    std::size_t d = 0;
    while (d < dim) {
        const float v = center[d];
        const float* x = block.data() + d * kBlockRows;
        bool any_active = false;
        for (std::size_t r = 0; r < kBlockRows; ++r) {
            const float difference = x[r] - v;
            const float extended = acc[r] + difference * difference;
            acc[r] = active[r] ? extended : acc[r];
            // A NaN partial sum compares false and stays active, as in the exact form.
            active[r] = active[r] && !(best[r] <= acc[r]);
            any_active = any_active || active[r];
        }
        ++d;
        if (!any_active) {
            break;
        }
    }
    for (std::size_t r = 0; r < kBlockRows; ++r) {
        sums[r] = acc[r];
    }
    return d;
}

}  // namespace tarvinex::pdx
