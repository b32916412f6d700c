/// The assignment entry point: the settings it reads, the path choice, and the
/// BLAS, slice and strided paths.
///
/// The BLAS path turns the distances of a tile of rows into one product
/// S = B·Cᵀ and selects from the scores at once, while they are still in
/// cache: each worker multiplies its own tiles on its own thread, so a tile's
/// scores are in that worker's L2. Read back from memory they made a pass
/// cost twice its product; with OpenBLAS's threads on each product, its idle
/// threads spun through the selection and cost a fifth more. A tile holds at
/// least 1024 rows so the product stays large enough to be worth its call.
/// The per-row paths allocate nothing per row.

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <new>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "array/size_product.hpp"
#include "dense/dense.hpp"
#include "dense/selection.hpp"
#include "error/settings.hpp"
#include "math/blas.hpp"
#include "parallel/pool.hpp"
#include "simd/codeword_scan.hpp"
#include "simd/cpu_features.hpp"
#include "simd/slice_kernels.hpp"

namespace tarvinex::dense {
namespace {

/// Rows per task of the per-row paths.
constexpr std::size_t kChunkRows = 512;
constexpr std::uint64_t kDefaultBlasMinK = 256;
constexpr std::uint64_t kDefaultBlasMinOps = 1'000'000'000;
constexpr std::size_t kTransposedMinDim = 64;
constexpr std::size_t kTransposedMinK = 16;
constexpr std::size_t kTransposedMaxK = 64;
constexpr std::size_t kBlasIntMax = INT_MAX;
/// The blocked scan numbers its centers in 32-bit lanes.
constexpr std::size_t kMaxBlockedCenters = std::size_t{1} << 30;

using detail::best_of;
using detail::store;

/// A-Z lowered and nothing else: the locale has no say in a setting's word.
[[nodiscard]] std::string ascii_lower(std::string value) {
    for (char& c : value) {
        c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return value;
}

void assign_strided_into(array::MatrixView<const float> data, array::MatrixView<const float> centers, bool spherical,
                         const simd::SliceKernelTable& kernels, std::size_t begin, std::size_t end,
                         std::span<std::size_t> labels, std::span<float> distances) {
    const std::size_t k = centers.shape[0];
    for (std::size_t r = begin; r < end; ++r) {
        const VectorView row = row_view(data, r);
        const simd::IndexedValue best = best_of(k, spherical, [&](std::size_t j) {
            const VectorView center = row_view(centers, j);
            return spherical ? dot_product(row, center) : l2_distance(row, center, kernels);
        });
        store(best, spherical, r, labels, distances);
    }
}

void assign_blas_into(array::MatrixView<const float> data, array::MatrixView<const float> centers,
                      std::span<const float> row_norms, bool spherical, const simd::SliceKernelTable& kernels,
                      std::size_t tile_score_bytes, std::span<std::size_t> labels, std::span<float> distances) {
    const std::size_t n = data.shape[0];
    const std::size_t k = centers.shape[0];
    const std::size_t dim = data.shape[1];
    const std::vector<float> center_norms = spherical ? std::vector<float>{} : squared_row_norms(centers);
    const std::size_t tile = blas_block_rows(n, k, tile_score_bytes);
    // Cᵀ as a (dim, k) view over the row-major centers.
    const array::MatrixView<const float> centers_t{centers.data, {dim, k}, {1, static_cast<std::ptrdiff_t>(dim)}};
    // Each worker multiplies its own tile on its own thread and selects from
    // the scores while they are in its L2.
    const math::SingleThreadedBlas one_thread_per_product;
    parallel::for_chunks(
        n, tile, [&] { return allocate_scores(std::min(tile, n), k); },
        [&](std::size_t, std::size_t first, std::size_t end, std::vector<float>& scores) {
            const std::size_t rows = end - first;
            const array::MatrixView<const float> tile_rows{
                data.data + first * dim, {rows, dim}, {static_cast<std::ptrdiff_t>(dim), 1}};
            math::multiply_into(tile_rows, centers_t, array::MatrixView<float>::c_order(scores.data(), {rows, k}));
            for (std::size_t i = 0; i < rows; ++i) {
                const std::size_t r = first + i;
                const std::span<const float> s(scores.data() + i * k, k);
                if (spherical) {
                    store(kernels.greatest_score(s), true, r, labels, distances);
                    continue;
                }
                // (|c|^2 + |x|^2) - 2x.c, a negative rounding artefact clamped to +0.
                store(kernels.least_l2_from_scores(s, center_norms, row_norms[r]), false, r, labels, distances);
            }
        });
}

}  // namespace

bool dense_blas_enabled(const settings::EnvLookup& lookup) {
    const std::optional<std::string> text = settings::env_text(settings::names::kDenseAssign, lookup);
    if (!text) {
        return true;
    }
    const std::string word = ascii_lower(*text);
    return word != "row" && word != "rows" && word != "scalar" && word != "manual";
}

DenseAssignSettings read_dense_assign_settings(const settings::EnvLookup& lookup) {
    namespace names = settings::names;
    DenseAssignSettings out;
    out.blas_enabled = dense_blas_enabled(lookup);
    out.blas_forced =
        settings::word_is_one_of(settings::normalize_env_word(names::kDenseAssign, lookup), {"blas", "gemm", "sgemm"});
    out.blas_min_k = settings::env_usize(names::kDenseBlasMinK, lookup);
    out.blas_min_k_l2 = settings::env_usize(names::kDenseBlasMinKL2, lookup);
    out.blas_min_k_cosine = settings::env_usize(names::kDenseBlasMinKCosine, lookup);
    out.blas_min_ops = settings::env_usize(names::kDenseBlasMinOps, lookup);
    out.transposed = settings::off_switch_is_on(settings::normalize_env_word(names::kDenseTransposed, lookup),
                                                {"0", "no", "off", "false", "disable", "disabled"});
    out.family = simd::selected_slice_kernel();
    out.blas_tile_score_bytes = blas_tile_score_bytes(simd::detected_cache_sizes());
    return out;
}

bool dense_blas_may_run(std::size_t n, std::size_t k, std::size_t dim, bool spherical,
                        const DenseAssignSettings& settings) {
    if (!settings.blas_enabled || n == 0 || k == 0 || dim == 0) {
        return false;
    }
    if (settings.blas_forced) {
        return true;
    }
    const std::optional<std::uint64_t> mode_min_k = spherical ? settings.blas_min_k_cosine : settings.blas_min_k_l2;
    const std::uint64_t min_k = settings.blas_min_k.or_else([&] { return mode_min_k; }).value_or(kDefaultBlasMinK);
    if (k < min_k) {
        return false;
    }
    return array::saturating_product(n, k, dim) >= settings.blas_min_ops.value_or(kDefaultBlasMinOps);
}

DensePath choose_dense_path(const AssignShape& shape, const DenseAssignSettings& settings,
                            const simd::CpuFeatures& features) {
    // Every argument of the product (k, dim and the leading dimensions dim and
    // k) stays within BLAS's 32-bit integers; the rows of a block always do.
    const bool blas = dense_blas_may_run(shape.n, shape.k, shape.dim, shape.spherical, settings) &&
                      shape.c_contiguous && (shape.spherical || shape.row_norms) && shape.k <= kBlasIntMax &&
                      shape.dim <= kBlasIntMax;
    if (blas) {
        return DensePath::Blas;
    }
    if (!shape.c_contiguous) {
        return DensePath::Strided;
    }
    const bool transposed = settings.family == simd::SliceKernel::Avx512 &&
                            transposed_kernels_for(settings.family, features).family == simd::SliceKernel::Avx512 &&
                            shape.dim >= kTransposedMinDim && shape.k >= kTransposedMinK &&
                            shape.k <= kTransposedMaxK && settings.transposed;
    return transposed ? DensePath::Transposed : DensePath::Slice;
}

std::size_t blas_block_rows(std::size_t n, std::size_t k, std::size_t score_bytes) noexcept {
    const std::size_t fitting = score_bytes / array::saturating_product(4, k);
    return std::max(kBlasMinRows, std::min(n, fitting));
}

std::size_t blas_tile_score_bytes(const simd::CacheSizes& cache) noexcept { return cache.l2_bytes; }

std::vector<float> allocate_scores(std::size_t rows, std::size_t k) {
    const std::optional<std::size_t> count = array::checked_product(rows, k);
    if (!count || *count > std::vector<float>().max_size()) {
        throw std::bad_alloc();
    }
    return std::vector<float>(*count);
}

void assign_dense_slices_into(array::MatrixView<const float> data, array::MatrixView<const float> centers,
                              bool spherical, const simd::SliceKernelTable& kernels, std::size_t begin, std::size_t end,
                              std::span<std::size_t> labels, std::span<float> distances) {
    const std::size_t k = centers.shape[0];
    const std::size_t dim = data.shape[1];
    const std::span<const float> center_block = centers.contiguous_span();
    const auto nearest = spherical ? kernels.nearest_dot_center : kernels.nearest_l2_center;
    for (std::size_t r = begin; r < end; ++r) {
        store(nearest(data.row(r), center_block, k, dim), spherical, r, labels, distances);
    }
}

namespace {

/// The plain distances of the vector slice kernels, eight or sixteen centers
/// a register: the centers in blocks of sixteen, each block's coordinate d
/// side by side, and the codeword scan that reproduces the kernel's sums bit
/// for bit. Per center it drops the kernel's lane reductions (and AVX-512's
/// transposes), a third of its work at dimension 64. Centers past the scan's
/// take the kernel, after the scanned ones as in its walk.
void assign_dense_blocked_into(array::MatrixView<const float> data, array::MatrixView<const float> centers,
                               const simd::NearestCenterScan& blocked, const simd::SliceKernelTable& kernels,
                               std::span<std::size_t> labels, std::span<float> distances) {
    const std::size_t k = centers.shape[0];
    const std::size_t dim = data.shape[1];
    const std::size_t scanned = blocked.centers;
    std::vector<float> blocks(simd::codeword_blocks_size(scanned, dim));
    simd::block_codewords_into(centers.data, scanned, dim, blocks.data());
    const std::span<const float> rest = centers.contiguous_span().subspan(scanned * dim);
    parallel::for_chunks(data.shape[0], kChunkRows, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            const std::span<const float> row = data.row(r);
            simd::IndexedValue best = blocked.scan(row.data(), blocks.data(), scanned, dim);
            if (scanned < k) {
                const simd::IndexedValue later = kernels.nearest_l2_center(row, rest, k - scanned, dim);
                if (later.value < best.value) {
                    best = {scanned + later.index, later.value};
                }
            }
            store(best, false, r, labels, distances);
        }
    });
}

}  // namespace

void assign_dense_into(array::MatrixView<const float> data, array::MatrixView<const float> centers,
                       std::optional<std::span<const float>> row_norms, bool spherical, std::span<std::size_t> labels,
                       std::span<float> distances, const DenseAssignSettings& settings) {
    const AssignShape shape{
        .n = data.shape[0],
        .k = centers.shape[0],
        .dim = data.shape[1],
        .c_contiguous = data.is_c_contiguous() && centers.is_c_contiguous() && centers.shape[1] == data.shape[1],
        .row_norms = row_norms.has_value(),
        .spherical = spherical,
    };
    switch (choose_dense_path(shape, settings)) {
        case DensePath::Blas:
            assign_blas_into(data, centers, row_norms.value_or(std::span<const float>{}), spherical,
                             simd::slice_kernels(settings.family), settings.blas_tile_score_bytes, labels, distances);
            return;
        case DensePath::Transposed: {
            const std::vector<float> transposed = transpose_centers(centers);
            const TransposedKernels kernels = transposed_kernels_for(settings.family, simd::detected_cpu_features());
            parallel::for_chunks(shape.n, kChunkRows, [&](std::size_t, std::size_t begin, std::size_t end) {
                assign_dense_transposed_into(data, transposed, shape.k, spherical, kernels, begin, end, labels,
                                             distances);
            });
            return;
        }
        case DensePath::Slice: {
            const simd::SliceKernelTable& kernels = simd::slice_kernels(settings.family);
            const simd::NearestCenterScan blocked =
                simd::nearest_center_scan(settings.family, simd::detected_cpu_features(), shape.k, shape.dim);
            if (!spherical && blocked.scan != nullptr && shape.k < kMaxBlockedCenters) {
                assign_dense_blocked_into(data, centers, blocked, kernels, labels, distances);
                return;
            }
            parallel::for_chunks(shape.n, kChunkRows, [&](std::size_t, std::size_t begin, std::size_t end) {
                assign_dense_slices_into(data, centers, spherical, kernels, begin, end, labels, distances);
            });
            return;
        }
        case DensePath::Strided: {
            const simd::SliceKernelTable& kernels = simd::slice_kernels(settings.family);
            parallel::for_chunks(shape.n, kChunkRows, [&](std::size_t, std::size_t begin, std::size_t end) {
                assign_strided_into(data, centers, spherical, kernels, begin, end, labels, distances);
            });
            return;
        }
    }
}

}  // namespace tarvinex::dense
