#pragma once
/// Flash exact assignment: every row of a row-major float matrix to its
/// nearest center, in the matrix's own layout with no rearranged copy of the
/// rows. Each row is read once per group of eight centers, whose eight
/// distances are accumulated side by side.
///
/// Each distance is the sequential sum over the dimensions in order from
/// zero, every square rounded before it is added: the portable distance
/// loop's order and the PDX assignment's, so the labels and distance bits
/// equal those of `pdx::PdxMatrix::assign_l2_into`. Centers are compared in
/// index order and kept only when strictly closer: ties go to the lower
/// index, a NaN distance is never chosen, and a row whose distances are all
/// NaN gets (0, +inf).
///
/// The centers are copied once per call into panels of sixteen, two groups of
/// eight side by side, so the sums of a group are one contiguous load per
/// dimension: panel p holds centers 16p .. 16p + 15, and the value of center
/// 16p + j in dimension d lies at (p*dim + d)*16 + j. Lanes past k hold 0.0
/// and are never compared.

#include <cstddef>
#include <span>
#include <vector>

#include "error/error.hpp"
#include "error/settings.hpp"
#include "simd/cpu_features.hpp"
#include "simd/preference.hpp"
#include "simd/slice_kernels.hpp"

namespace tarvinex::flash {

/// Centers per panel.
inline constexpr std::size_t kPanelCenters = 16;
/// Rows per task.
inline constexpr std::size_t kChunkRows = 128;

/// The panel copy of k row-major centers of dim values (layout above).
[[nodiscard]] std::vector<float> center_panels(std::span<const float> centers, std::size_t k, std::size_t dim);

// The squared distances of one row of dim values to the centers of one panel:
// sums[j] = the sum over d = 0, 1, ... in order of (row[d] - panel[d*16 + j])^2
// for the lanes j < count (1 to 16); lanes at and past `count` may hold
// anything. `panel` holds dim*16 values, `sums` 16. The vector forms may only
// run where their family is runnable; every form gives the same bits, because
// the lanes are centers, never summed across.
void panel_l2_scalar(std::span<const float> row, std::span<const float> panel, std::size_t dim, std::size_t count,
                     std::span<float> sums) noexcept;
void panel_l2_avx2(std::span<const float> row, std::span<const float> panel, std::size_t dim, std::size_t count,
                   std::span<float> sums) noexcept;
void panel_l2_avx512(std::span<const float> row, std::span<const float> panel, std::size_t dim, std::size_t count,
                     std::span<float> sums) noexcept;

using PanelKernel = void (*)(std::span<const float> row, std::span<const float> panel, std::size_t dim,
                             std::size_t count, std::span<float> sums) noexcept;

/// One family's kernel; `family` is the family it belongs to.
struct FlashKernels {
    simd::SliceKernel family;
    PanelKernel panel_l2;
};

/// The kernel of `family`, or of the highest family below it that a
/// processor with `features` runs.
[[nodiscard]] FlashKernels flash_kernels_for(simd::SliceKernel family, const simd::CpuFeatures& features);

/// The kernel of this process's family and processor, chosen on the first call.
[[nodiscard]] const FlashKernels& selected_flash_kernels();

/// (index, squared distance) of the nearest of k >= 1 centers to one row, from
/// their panel copy.
[[nodiscard]] simd::IndexedValue nearest_l2_center_flash(const FlashKernels& kernels, std::span<const float> row,
                                                         std::span<const float> panels, std::size_t k, std::size_t dim);

/// Writes every row's nearest center and squared distance. `vectors` holds
/// rows*dim values and `centers` k*dim, both row-major; labels and distances
/// hold rows entries. Fails with a message, writing nothing, when dim or k is
/// 0 or a length does not match; rows = 0 is no error.
[[nodiscard]] error::Result<void> assign_l2_flash_into(std::span<const float> vectors, std::span<const float> centers,
                                                       std::size_t rows, std::size_t dim, std::size_t k,
                                                       std::span<std::size_t> labels, std::span<float> distances);
/// The same with the given kernel in place of the process's.
[[nodiscard]] error::Result<void> assign_l2_flash_into(std::span<const float> vectors, std::span<const float> centers,
                                                       std::size_t rows, std::size_t dim, std::size_t k,
                                                       std::span<std::size_t> labels, std::span<float> distances,
                                                       const FlashKernels& kernels);

/// TARVINEX_FLASH_EXACT, or TARVINEX_EXACT_ASSIGNMENT when it is unset or not
/// text, read through `lookup`: on for 1/on/yes/true/auto/flash/flashassign.
[[nodiscard]] bool read_flash_exact(const settings::EnvLookup& lookup);

/// Whether the hybrid assignment's exact path without a PDX matrix runs
/// flash; read once per process.
[[nodiscard]] bool flash_exact_enabled();

}  // namespace tarvinex::flash
