/// The bounded plain-mode passes: Hamerly bounds and early abandoning, and the
/// per-center bookkeeping the Hamerly passes need between updates.

#include <cmath>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <vector>

#include "dense/dense.hpp"
#include "dense/selection.hpp"
#include "parallel/pool.hpp"

namespace tarvinex::dense {
namespace {

constexpr std::size_t kChunkRows = 512;
constexpr std::size_t kBlockDims = 16;
constexpr float kInf = std::numeric_limits<float>::infinity();

struct BestAndSecond {
    std::size_t index = 0;
    float best = kInf;
    float second = kInf;
};

BestAndSecond scan_with_second(std::span<const float> row, array::MatrixView<const float> centers,
                               const simd::SliceKernelTable& kernels) {
    BestAndSecond found;
    for (std::size_t j = 0; j < centers.shape[0]; ++j) {
        const float d = kernels.l2_distance(row, centers.row(j));
        if (d < found.best) {
            found = {j, d, found.best};
        } else if (d < found.second) {
            found.second = d;
        }
    }
    return found;
}

void store_with_second(const BestAndSecond& found, std::size_t i, std::span<std::size_t> labels,
                       std::span<float> distances, HamerlyBounds bounds) {
    labels[i] = found.index;
    distances[i] = found.best;
    bounds.upper[i] = std::sqrt(found.best);
    bounds.lower[i] = std::sqrt(found.second);
}

/// The row's best center and distance by early abandoning, starting from
/// center `start` at distance t (finite or +inf, never NaN).
simd::IndexedValue early_abandon_search(std::span<const float> row, array::MatrixView<const float> centers,
                                        std::size_t start, float t, const simd::SliceKernelTable& kernels) {
    std::size_t best = start;
    for (std::size_t j = 0; j < centers.shape[0]; ++j) {
        if (j == start) {
            continue;
        }
        const std::span<const float> center = centers.row(j);
        // An infinite bound abandons nothing, so the candidate is summed in full.
        const std::optional<float> partial =
            std::isfinite(t) ? abandoning_l2_distance(row, center, t) : kernels.l2_distance(row, center);
        if (partial && *partial < t) {
            best = j;
            t = *partial;
        } else if (j < best && (!partial || *partial == t)) {
            // A lower index may still tie the best: only the full distance can tell.
            const float full = kernels.l2_distance(row, center);
            if (full <= t) {
                best = j;
                t = full;
            }
        }
    }
    return {best, t};
}

}  // namespace

std::optional<float> abandoning_l2_distance(std::span<const float> a, std::span<const float> b, float bound) noexcept {
    const std::size_t dim = a.size();
    const std::size_t blocked = dim - dim % kBlockDims;
    float lanes[4] = {0.0F, 0.0F, 0.0F, 0.0F};
    const auto lane_sum = [&] { return ((lanes[0] + lanes[1]) + lanes[2]) + lanes[3]; };
    for (std::size_t block = 0; block < blocked; block += kBlockDims) {
        for (std::size_t q = 0; q < 4; ++q) {
            for (std::size_t i = block + 4 * q; i < block + 4 * q + 4; ++i) {
                const float diff = a[i] - b[i];
                lanes[q] += diff * diff;
            }
        }
        if (lane_sum() >= bound) {
            return std::nullopt;
        }
    }
    float sum = lane_sum();
    for (std::size_t i = blocked; i < dim; ++i) {
        const float diff = a[i] - b[i];
        sum += diff * diff;
        if (sum >= bound) {
            return std::nullopt;
        }
    }
    return sum;
}

void assign_dense_with_second_into(array::MatrixView<const float> data, array::MatrixView<const float> centers,
                                   std::span<std::size_t> labels, std::span<float> distances, HamerlyBounds bounds,
                                   const simd::SliceKernelTable& kernels) {
    parallel::for_chunks(data.shape[0], kChunkRows, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            store_with_second(scan_with_second(data.row(i), centers, kernels), i, labels, distances, bounds);
        }
    });
}

void assign_dense_hamerly_into(array::MatrixView<const float> data, array::MatrixView<const float> centers,
                               std::span<std::size_t> labels, std::span<float> distances, HamerlyBounds bounds,
                               const HamerlyCenterState& state, const simd::SliceKernelTable& kernels) {
    parallel::for_chunks(data.shape[0], kChunkRows, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::size_t a = labels[i];
            const float upper = bounds.upper[i] + state.shifts[a];
            float lower = bounds.lower[i] - state.largest_shift;
            if (!(lower >= 0.0F)) {
                lower = 0.0F;  // negative or NaN: nothing is known any more
            }
            const float half_min = state.half_min[a];
            const float z = half_min > lower ? half_min : lower;
            const std::span<const float> row = data.row(i);
            const float d = kernels.l2_distance(row, centers.row(a));
            // The second test needs the square root, so it runs only when the first fails.
            if (z >= upper || z >= std::sqrt(d)) {
                distances[i] = d;
                bounds.upper[i] = std::sqrt(d);
                bounds.lower[i] = lower;
            } else {
                store_with_second(scan_with_second(row, centers, kernels), i, labels, distances, bounds);
            }
        }
    });
}

void assign_dense_early_abandon_into(array::MatrixView<const float> data, array::MatrixView<const float> centers,
                                     std::span<std::size_t> labels, std::span<float> distances,
                                     const simd::SliceKernelTable& kernels) {
    const std::size_t k = centers.shape[0];
    parallel::for_chunks(data.shape[0], kChunkRows, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::span<const float> row = data.row(i);
            const std::size_t start = labels[i] < k ? labels[i] : k - 1;
            const float t = kernels.l2_distance(row, centers.row(start));
            // From a NaN no candidate could ever win, so the row would stay on a
            // NaN center for good: scan it as the plain engine does instead.
            const simd::IndexedValue best =
                std::isnan(t)
                    ? detail::best_of(k, false, [&](std::size_t j) { return kernels.l2_distance(row, centers.row(j)); })
                    : early_abandon_search(row, centers, start, t, kernels);
            detail::store(best, false, i, labels, distances);
        }
    });
}

std::vector<float> center_half_min_distances(array::MatrixView<const float> centers,
                                             const simd::SliceKernelTable& kernels) {
    const std::size_t k = centers.shape[0];
    std::vector<float> half_min(k, kInf);
    if (k < 2) {
        return half_min;
    }
    parallel::map_into(std::span<float>(half_min), [&](std::size_t c) {
        float least = kInf;
        for (std::size_t j = 0; j < k; ++j) {
            const float d = j == c ? kInf : l2_distance(row_view(centers, c), row_view(centers, j), kernels);
            if (d < least) {
                least = d;
            }
        }
        return 0.5F * std::sqrt(least);
    });
    return half_min;
}

std::vector<float> center_movements_between(array::MatrixView<const float> old_centers,
                                            array::MatrixView<const float> new_centers,
                                            const simd::SliceKernelTable& kernels) {
    std::vector<float> movements(new_centers.shape[0]);
    parallel::map_into(std::span<float>(movements), [&](std::size_t c) {
        return std::sqrt(l2_distance(row_view(old_centers, c), row_view(new_centers, c), kernels));
    });
    return movements;
}

}  // namespace tarvinex::dense
