/// The flash assignment entry: its checks, the panel copy of the centers, the
/// selection over the panels, the chunk loop, the kernel table and the switch.

#include <algorithm>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "array/size_product.hpp"
#include "flash/flash.hpp"
#include "parallel/pool.hpp"

namespace tarvinex::flash {
namespace {

/// The checks, in this order, before any work. A product that wraps matches
/// no real slice length.
error::Result<void> check_assignment(std::span<const float> vectors, std::span<const float> centers, std::size_t rows,
                                     std::size_t dim, std::size_t k, std::span<std::size_t> labels,
                                     std::span<float> distances) {
    if (dim == 0) {
        return error::fail("vector dimensionality must be positive");
    }
    if (k == 0) {
        return error::fail("k must be greater than zero");
    }
    const std::optional<std::size_t> vector_values = array::checked_product(rows, dim);
    if (!vector_values || vectors.size() != *vector_values) {
        return error::fail("input vector matrix length does not match shape");
    }
    const std::optional<std::size_t> center_values = array::checked_product(k, dim);
    if (!center_values || centers.size() != *center_values) {
        return error::fail("center matrix length does not match shape");
    }
    if (labels.size() != rows || distances.size() != rows) {
        return error::fail("assignment output length does not match rows");
    }
    return {};
}

}  // namespace

std::vector<float> center_panels(std::span<const float> centers, std::size_t k, std::size_t dim) {
    const std::size_t panels = (k + kPanelCenters - 1) / kPanelCenters;
    const std::optional<std::size_t> values = array::checked_product(panels, kPanelCenters, dim);
    TARVINEX_ASSERT(values.has_value(), "the panel copy of a real center slice has a representable size");
    std::vector<float> out(*values, 0.0F);
    for (std::size_t c = 0; c < k; ++c) {
        const std::size_t panel = c / kPanelCenters;
        const std::size_t lane = c % kPanelCenters;
        for (std::size_t d = 0; d < dim; ++d) {
            out[(panel * dim + d) * kPanelCenters + lane] = centers[c * dim + d];
        }
    }
    return out;
}

simd::IndexedValue nearest_l2_center_flash(const FlashKernels& kernels, std::span<const float> row,
                                           std::span<const float> panels, std::size_t k, std::size_t dim) {
    simd::IndexedValue best{0, std::numeric_limits<float>::infinity()};
    float sums[kPanelCenters];
    for (std::size_t first = 0; first < k; first += kPanelCenters) {
        const std::size_t count = std::min(kPanelCenters, k - first);
        kernels.panel_l2(row, panels.subspan(first * dim, kPanelCenters * dim), dim, count, std::span<float>(sums));
        // Centers come in index order, so strictly closer is the whole rule:
        // the first of equal distances stays, and a NaN never enters.
        for (std::size_t j = 0; j < count; ++j) {
            if (sums[j] < best.value) {
                best = {first + j, sums[j]};
            }
        }
    }
    return best;
}

error::Result<void> assign_l2_flash_into(std::span<const float> vectors, std::span<const float> centers,
                                         std::size_t rows, std::size_t dim, std::size_t k,
                                         std::span<std::size_t> labels, std::span<float> distances,
                                         const FlashKernels& kernels) {
    TARVINEX_TRY(check_assignment(vectors, centers, rows, dim, k, labels, distances));
    if (rows == 0) {
        return {};
    }
    const std::vector<float> panels = center_panels(centers, k, dim);
    parallel::for_chunks(rows, kChunkRows, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            const simd::IndexedValue best =
                nearest_l2_center_flash(kernels, vectors.subspan(r * dim, dim), panels, k, dim);
            labels[r] = static_cast<std::size_t>(best.index);
            distances[r] = best.value;
        }
    });
    return {};
}

error::Result<void> assign_l2_flash_into(std::span<const float> vectors, std::span<const float> centers,
                                         std::size_t rows, std::size_t dim, std::size_t k,
                                         std::span<std::size_t> labels, std::span<float> distances) {
    return assign_l2_flash_into(vectors, centers, rows, dim, k, labels, distances, selected_flash_kernels());
}

FlashKernels flash_kernels_for(simd::SliceKernel family, const simd::CpuFeatures& features) {
    static constexpr FlashKernels kScalar{simd::SliceKernel::Scalar, panel_l2_scalar};
    static constexpr FlashKernels kAvx2{simd::SliceKernel::Avx2, panel_l2_avx2};
    static constexpr FlashKernels kAvx512{simd::SliceKernel::Avx512, panel_l2_avx512};
    static constexpr simd::KernelTable<FlashKernels> kTable{kScalar, kAvx2, kAvx512};
    return kTable.for_family(family, features);
}

const FlashKernels& selected_flash_kernels() {
    static const FlashKernels kernels = flash_kernels_for(simd::selected_slice_kernel(), simd::detected_cpu_features());
    return kernels;
}

bool read_flash_exact(const settings::EnvLookup& lookup) {
    return settings::on_switch(settings::normalize_env_word_with_second_name(settings::names::kFlashExact,
                                                                             settings::names::kExactAssignment, lookup),
                               {"1", "on", "yes", "true", "auto", "flash", "flashassign"});
}

bool flash_exact_enabled() {
    static const bool enabled = read_flash_exact(settings::process_lookup());
    return enabled;
}

}  // namespace tarvinex::flash
