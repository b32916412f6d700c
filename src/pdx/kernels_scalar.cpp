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

}  // namespace tarvinex::pdx
