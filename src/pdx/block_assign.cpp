/// One block's assignment: the best of the centers for each row, from the
/// per-center row sums of the kernels.
///
/// The best is kept over all 64 lanes (padding rows included), so its loops
/// have a fixed trip count; only the real rows are written out.

#include <cstddef>
#include <limits>
#include <span>

#include "pdx/pdx.hpp"

namespace tarvinex::pdx {
namespace {

struct BlockBest {
    float value[kBlockRows];
    std::size_t index[kBlockRows];

    BlockBest() {
        for (std::size_t r = 0; r < kBlockRows; ++r) {
            value[r] = std::numeric_limits<float>::infinity();
            index[r] = 0;
        }
    }

    /// Center c's sums, kept only where strictly below the best: centers come
    /// in index order, so the first of equal distances stays, and a NaN never
    /// enters.
    void keep_closer(const float* sums, std::size_t c) {
        for (std::size_t r = 0; r < kBlockRows; ++r) {
            if (sums[r] < value[r]) {
                value[r] = sums[r];
                index[r] = c;
            }
        }
    }

    void write(std::size_t rows, std::span<std::size_t> labels, std::span<float> distances) const {
        for (std::size_t r = 0; r < rows; ++r) {
            labels[r] = index[r];
            distances[r] = value[r];
        }
    }
};

}  // namespace

void assign_block_l2(const PdxKernels& kernels, std::span<const float> block, std::size_t rows, std::size_t dim,
                     std::span<const float> centers, std::size_t k, std::span<std::size_t> labels,
                     std::span<float> distances) {
    BlockBest best;
    float sums[kBlockRows];
    for (std::size_t c = 0; c < k; ++c) {
        kernels.center_l2(block, dim, centers.subspan(c * dim, dim), std::span<float>(sums));
        best.keep_closer(sums, c);
    }
    best.write(rows, labels, distances);
}

std::size_t assign_block_l2_pruned(const PdxKernels& kernels, std::span<const float> block, std::size_t rows,
                                   std::size_t dim, std::span<const float> centers, std::size_t k,
                                   std::span<std::size_t> labels, std::span<float> distances) {
    BlockBest best;
    float sums[kBlockRows];
    std::size_t steps = 0;
    for (std::size_t c = 0; c < k; ++c) {
        steps += kernels.center_l2_pruned(block, rows, dim, centers.subspan(c * dim, dim),
                                          std::span<const float>(best.value), std::span<float>(sums));
        best.keep_closer(sums, c);
    }
    best.write(rows, labels, distances);
    return steps;
}

}  // namespace tarvinex::pdx
