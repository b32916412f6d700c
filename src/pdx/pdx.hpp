#pragma once
/// The PDX matrix: a copy of a row-major float matrix in 64-row blocks stored
/// dimension by dimension, for exact nearest-center assignment. One pass over
/// a center's dimensions then updates 64 row distances with contiguous vector
/// operations.
///
/// Layout: block b holds rows 64*b .. 64*b + 63; the value of row i in
/// dimension d lies at ((i / 64)*dim + d)*64 + i % 64. The last block's
/// padding rows hold 0.0 and are never assigned or reported.
///
/// Exact assignment sums each distance sequentially over the dimensions in
/// order from zero, every square rounded before it is added (the portable
/// distance loop's order), and keeps a center only when it is strictly closer:
/// ties go to the lower index, a NaN distance is never chosen, and a row whose
/// distances are all NaN gets (0, +inf). The pruned form stops adding to a row
/// once its partial sum reaches its best; it gives the same labels and
/// distance bits, because squares are never negative and a partial sum that
/// has reached the best can no longer beat it.

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "error/error.hpp"
#include "error/settings.hpp"
#include "simd/cpu_features.hpp"
#include "simd/preference.hpp"

namespace tarvinex::pdx {

/// Rows per block.
inline constexpr std::size_t kBlockRows = 64;

// One center's squared distances to all 64 rows of a block, padding rows
// included: sums[r] = the sum over d = 0, 1, ... in order of
// (block[d*64 + r] - center[d])^2. `block` holds dim*64 values, `center` dim,
// `sums` 64. The vector forms may only run where their family is runnable;
// every form gives the same bits, because the lanes are rows, never summed
// across.
void block_center_l2_scalar(std::span<const float> block, std::size_t dim, std::span<const float> center,
                            std::span<float> sums) noexcept;
void block_center_l2_avx2(std::span<const float> block, std::size_t dim, std::span<const float> center,
                          std::span<float> sums) noexcept;
void block_center_l2_avx512(std::span<const float> block, std::size_t dim, std::span<const float> center,
                            std::span<float> sums) noexcept;

// The pruned form for the block's first `rows` rows, given their 64 best
// distances so far. A row stops adding, keeping its partial sum, once
// best[r] <= sums[r] after an addition (a NaN sum compares false and goes on);
// the dimensions are cut short when no row is left. Padding rows keep 0.0.
// Returns the number of dimensions run, 1 to dim.
std::size_t block_center_l2_pruned_scalar(std::span<const float> block, std::size_t rows, std::size_t dim,
                                          std::span<const float> center, std::span<const float> best,
                                          std::span<float> sums) noexcept;
std::size_t block_center_l2_pruned_avx2(std::span<const float> block, std::size_t rows, std::size_t dim,
                                        std::span<const float> center, std::span<const float> best,
                                        std::span<float> sums) noexcept;
std::size_t block_center_l2_pruned_avx512(std::span<const float> block, std::size_t rows, std::size_t dim,
                                          std::span<const float> center, std::span<const float> best,
                                          std::span<float> sums) noexcept;

using BlockCenterKernel = void (*)(std::span<const float> block, std::size_t dim, std::span<const float> center,
                                   std::span<float> sums) noexcept;
using PrunedBlockCenterKernel = std::size_t (*)(std::span<const float> block, std::size_t rows, std::size_t dim,
                                                std::span<const float> center, std::span<const float> best,
                                                std::span<float> sums) noexcept;

/// One family's kernels; `family` is the family they belong to.
struct PdxKernels {
    simd::SliceKernel family;
    BlockCenterKernel center_l2;
    PrunedBlockCenterKernel center_l2_pruned;
};

/// The kernels of `family`, or of the highest family below it that a
/// processor with `features` runs.
[[nodiscard]] PdxKernels pdx_kernels_for(simd::SliceKernel family, const simd::CpuFeatures& features);

/// The kernels of this process's family and processor, chosen on the first call.
[[nodiscard]] const PdxKernels& selected_pdx_kernels();

// One block's assignment: the nearest of k >= 1 row-major centers for each of
// the block's first `rows` rows (1 to 64), written to `labels` and `distances`
// (rows entries each). The pruned form returns the (center, dimension) steps
// it ran: k*dim when nothing was pruned.
void assign_block_l2(const PdxKernels& kernels, std::span<const float> block, std::size_t rows, std::size_t dim,
                     std::span<const float> centers, std::size_t k, std::span<std::size_t> labels,
                     std::span<float> distances);
std::size_t assign_block_l2_pruned(const PdxKernels& kernels, std::span<const float> block, std::size_t rows,
                                   std::size_t dim, std::span<const float> centers, std::size_t k,
                                   std::span<std::size_t> labels, std::span<float> distances);

class PdxMatrix {
public:
    /// The matrix of `rows` rows of `dim` values given row by row. Fails with
    /// a message when rows or dim is 0 or data does not hold rows*dim values.
    [[nodiscard]] static error::Result<PdxMatrix> from_row_major(std::span<const float> data, std::size_t rows,
                                                                 std::size_t dim);

    /// Every real row's nearest center (labels) and its squared distance.
    /// `centers` holds k centers of dim values, row-major; labels and
    /// distances hold rows() entries. Nothing is written when a check fails.
    [[nodiscard]] error::Result<void> assign_l2_into(std::span<const float> centers, std::size_t k,
                                                     std::span<std::size_t> labels, std::span<float> distances) const;
    /// The same results with the pruned kernels.
    [[nodiscard]] error::Result<void> assign_l2_pruned_into(std::span<const float> centers, std::size_t k,
                                                            std::span<std::size_t> labels,
                                                            std::span<float> distances) const;

    // The same with the given kernels in place of the process's.
    [[nodiscard]] error::Result<void> assign_l2_into(std::span<const float> centers, std::size_t k,
                                                     std::span<std::size_t> labels, std::span<float> distances,
                                                     const PdxKernels& kernels) const;
    [[nodiscard]] error::Result<void> assign_l2_pruned_into(std::span<const float> centers, std::size_t k,
                                                            std::span<std::size_t> labels, std::span<float> distances,
                                                            const PdxKernels& kernels) const;

    /// ceil(rows/64)*64*dim values, block by block (layout above).
    [[nodiscard]] std::span<const float> data() const noexcept { return data_; }
    [[nodiscard]] std::size_t rows() const noexcept { return rows_; }
    [[nodiscard]] std::size_t dim() const noexcept { return dim_; }
    [[nodiscard]] std::size_t block_count() const noexcept { return (rows_ + kBlockRows - 1) / kBlockRows; }
    /// Block b's dim*64 values.
    [[nodiscard]] std::span<const float> block(std::size_t b) const noexcept {
        return std::span<const float>(data_).subspan(b * dim_ * kBlockRows, dim_ * kBlockRows);
    }
    /// Real rows of block b: 64, or fewer in the last block.
    [[nodiscard]] std::size_t block_rows(std::size_t b) const noexcept {
        return rows_ - b * kBlockRows < kBlockRows ? rows_ - b * kBlockRows : kBlockRows;
    }

private:
    PdxMatrix(std::vector<float> data, std::size_t rows, std::size_t dim)
        : data_(std::move(data)), rows_(rows), dim_(dim) {}

    std::vector<float> data_;
    std::size_t rows_ = 0;
    std::size_t dim_ = 0;
};

/// TARVINEX_PDX_EXACT read through `lookup`: on for 1/on/yes/true/auto.
[[nodiscard]] bool read_pdx_exact(const settings::EnvLookup& lookup);
/// TARVINEX_PDX_PRUNE, or TARVINEX_DIM_PRUNE when it is unset or not text,
/// read through `lookup`: on for 1/on/yes/pdx/true/auto.
[[nodiscard]] bool read_pdx_pruning(const settings::EnvLookup& lookup);

/// Whether hybrid assignment builds a PDX matrix; read once per process.
[[nodiscard]] bool pdx_exact_enabled();
/// Whether a PDX assignment runs pruned; read once per process.
[[nodiscard]] bool pdx_pruning_enabled();

}  // namespace tarvinex::pdx
