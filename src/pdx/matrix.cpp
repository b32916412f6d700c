/// Building the PDX matrix, the two assignment entries, the kernel table and
/// the two switches.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "array/size_product.hpp"
#include "parallel/pool.hpp"
#include "pdx/pdx.hpp"

namespace tarvinex::pdx {
namespace {

/// The checks both assignment forms make, in this order, before any work.
error::Result<void> check_assignment(const PdxMatrix& matrix, std::span<const float> centers, std::size_t k,
                                     std::span<std::size_t> labels, std::span<float> distances) {
    if (k == 0) {
        return error::fail("k must be greater than zero");
    }
    // A k*dim that wraps matches no real slice length.
    const std::optional<std::size_t> center_values = array::checked_product(k, matrix.dim());
    if (!center_values || centers.size() != *center_values) {
        return error::fail("center matrix length does not match PDX shape");
    }
    if (labels.size() != matrix.rows() || distances.size() != matrix.rows()) {
        return error::fail("assignment output length does not match PDX rows");
    }
    return {};
}

/// Runs `assign_block(kernels, block, ...)` on every block, one task per
/// block; each writes only its block's slice of the outputs.
template <typename AssignBlock>
void for_each_block(const PdxMatrix& matrix, std::span<const float> centers, std::size_t k,
                    std::span<std::size_t> labels, std::span<float> distances, const PdxKernels& kernels,
                    AssignBlock assign_block) {
    parallel::for_range(0, matrix.block_count(), [&](std::size_t b) {
        const std::size_t first = b * kBlockRows;
        const std::size_t rows = matrix.block_rows(b);
        assign_block(kernels, matrix.block(b), rows, matrix.dim(), centers, k, labels.subspan(first, rows),
                     distances.subspan(first, rows));
    });
}

}  // namespace

error::Result<PdxMatrix> PdxMatrix::from_row_major(std::span<const float> data, std::size_t rows, std::size_t dim) {
    if (rows == 0) {
        return error::fail("PDX matrix must contain at least one row");
    }
    if (dim == 0) {
        return error::fail("PDX matrix dimensionality must be positive");
    }
    const std::optional<std::size_t> values = array::checked_product(rows, dim);
    if (!values || data.size() != *values) {
        return error::fail("row-major matrix length does not match shape");
    }
    const std::size_t blocks = (rows + kBlockRows - 1) / kBlockRows;
    const std::optional<std::size_t> stored = array::checked_product(blocks, kBlockRows, dim);
    TARVINEX_ASSERT(stored.has_value(), "a PDX matrix of a real row-major slice has a representable size");
    PdxMatrix matrix(std::vector<float>(*stored, 0.0F), rows, dim);
    float* out = matrix.data_.data();
    parallel::for_range(0, blocks, [&](std::size_t b) {
        float* block = out + b * dim * kBlockRows;
        const std::size_t real = matrix.block_rows(b);
        for (std::size_t r = 0; r < real; ++r) {
            const float* row = data.data() + (b * kBlockRows + r) * dim;
            for (std::size_t d = 0; d < dim; ++d) {
                block[d * kBlockRows + r] = row[d];
            }
        }
    });
    return matrix;
}

error::Result<void> PdxMatrix::assign_l2_into(std::span<const float> centers, std::size_t k,
                                              std::span<std::size_t> labels, std::span<float> distances,
                                              const PdxKernels& kernels) const {
    TARVINEX_TRY(check_assignment(*this, centers, k, labels, distances));
    for_each_block(*this, centers, k, labels, distances, kernels, assign_block_l2);
    return {};
}

error::Result<void> PdxMatrix::assign_l2_pruned_into(std::span<const float> centers, std::size_t k,
                                                     std::span<std::size_t> labels, std::span<float> distances,
                                                     const PdxKernels& kernels) const {
    TARVINEX_TRY(check_assignment(*this, centers, k, labels, distances));
    for_each_block(*this, centers, k, labels, distances, kernels, assign_block_l2_pruned);
    return {};
}

error::Result<void> PdxMatrix::assign_l2_into(std::span<const float> centers, std::size_t k,
                                              std::span<std::size_t> labels, std::span<float> distances) const {
    return assign_l2_into(centers, k, labels, distances, selected_pdx_kernels());
}

error::Result<void> PdxMatrix::assign_l2_pruned_into(std::span<const float> centers, std::size_t k,
                                                     std::span<std::size_t> labels, std::span<float> distances) const {
    return assign_l2_pruned_into(centers, k, labels, distances, selected_pdx_kernels());
}

PdxKernels pdx_kernels_for(simd::SliceKernel family, const simd::CpuFeatures& features) {
    static constexpr PdxKernels kScalar{simd::SliceKernel::Scalar, block_center_l2_scalar,
                                        block_center_l2_pruned_scalar};
    static constexpr PdxKernels kAvx2{simd::SliceKernel::Avx2, block_center_l2_avx2, block_center_l2_pruned_avx2};
    static constexpr PdxKernels kAvx512{simd::SliceKernel::Avx512, block_center_l2_avx512,
                                        block_center_l2_pruned_avx512};
    static constexpr simd::KernelTable<PdxKernels> kTable{kScalar, kAvx2, kAvx512};
    return kTable.for_family(family, features);
}

const PdxKernels& selected_pdx_kernels() {
    static const PdxKernels kernels = pdx_kernels_for(simd::selected_slice_kernel(), simd::detected_cpu_features());
    return kernels;
}

bool read_pdx_exact(const settings::EnvLookup& lookup) {
    return settings::on_switch(settings::normalize_env_word(settings::names::kPdxExact, lookup),
                               {"1", "on", "yes", "true", "auto"});
}

bool read_pdx_pruning(const settings::EnvLookup& lookup) {
    return settings::on_switch(
        settings::normalize_env_word_with_second_name(settings::names::kPdxPrune, settings::names::kDimPrune, lookup),
        {"1", "on", "yes", "pdx", "true", "auto"});
}

bool pdx_exact_enabled() {
    static const bool enabled = read_pdx_exact(settings::process_lookup());
    return enabled;
}

bool pdx_pruning_enabled() {
    static const bool enabled = read_pdx_pruning(settings::process_lookup());
    return enabled;
}

}  // namespace tarvinex::pdx
