/// Codebook training: one weighted Lloyd k-means per subspace, the subspaces
/// side by side on the pool and each pass parallel over row chunks.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "array/size_product.hpp"
#include "error/interrupt.hpp"
#include "math/math.hpp"
#include "parallel/pool.hpp"
#include "pq/detail.hpp"
#include "pq/pq.hpp"
#include "ranking/farthest_rows.hpp"
#include "rng/seeded_rng.hpp"
#include "rng/shuffle.hpp"
#include "simd/codeword_scan.hpp"
#include "simd/distance.hpp"
#include "simd/slice_kernels.hpp"

namespace tarvinex::pq {

namespace {

/// Per-cluster float sums of a run of rows: sums (Ks, Ds) row-major, weights Ks.
struct Accumulator {
    std::vector<float> sums;
    std::vector<float> weights;
};

[[nodiscard]] Accumulator zero_accumulator(std::size_t ks, std::size_t ds) {
    return {std::vector<float>(ks * ds, 0.0F), std::vector<float>(ks, 0.0F)};
}

/// Rows per chunk of a pass: 256 while one accumulator stays below 1 MiB;
/// beyond that about two chunks per worker, so the accumulators stay few.
[[nodiscard]] std::size_t rows_per_chunk(std::size_t n, std::size_t ks, std::size_t ds) {
    if (n == 0) {
        return 1;
    }
    const std::size_t bytes =
        array::saturating_sum(array::saturating_product(ks, ds, 4), array::saturating_product(ks, 4));
    if (bytes < kLargeAccumulatorBytes) {
        return std::min(n, kRowsPerChunk);
    }
    const std::size_t chunks = std::max<std::size_t>(1, 2 * parallel::worker_count());
    return std::min(n, std::max(kRowsPerChunk, n / chunks + (n % chunks != 0 ? 1 : 0)));
}

/// The initial rows of a subspace: the variance quantiles, else the principal
/// direction quantiles, else the first rows of a seeded full shuffle. The
/// seeding functions refuse fewer rows than codewords and zero columns; their
/// errors only select the next method.
[[nodiscard]] std::vector<std::size_t> initial_rows(array::MatrixView<const float> x, std::size_t ks,
                                                    std::uint64_t seed) {
    if (auto rows = math::variance_quantile_indices(x, ks)) {
        return std::move(*rows);
    }
    if (auto rows = math::pca_quantile_indices(x, ks)) {
        return std::move(*rows);
    }
    const std::size_t n = x.extent(0);
    std::vector<std::size_t> order(n);
    std::iota(order.begin(), order.end(), std::size_t{0});
    if (n > 1) {
        rng::SeededRng generator = rng::SeededRng::seed_from_u64(seed);
        rng::partial_shuffle(generator, order, n);
    }
    order.resize(std::min(n, ks));
    return order;
}

/// total + partial[0] + partial[1] + ... over the chunks of n rows, left to
/// right, whatever the worker count. Chunks run a wave at a time so that only
/// a few partial accumulators live at once; the waves do not change the order.
template <typename ChunkBody>
[[nodiscard]] Accumulator fold_chunks_in_order(std::size_t n, std::size_t chunk_rows, Accumulator total,
                                               const simd::SliceKernelTable& kernels, ChunkBody&& chunk_body) {
    const std::size_t wave_rows = array::saturating_product(chunk_rows, 4 * parallel::worker_count());
    const auto combine = [&](Accumulator left, Accumulator right) {
        kernels.add_assign(left.sums, right.sums);
        for (std::size_t c = 0; c < left.weights.size(); ++c) {
            left.weights[c] += right.weights[c];
        }
        return left;
    };
    for (std::size_t first = 0; first < n; first += std::min(wave_rows, n - first)) {
        const std::size_t rows = std::min(wave_rows, n - first);
        total = parallel::chunk_ordered_sum(
            rows, chunk_rows, std::move(total),
            [&](std::size_t, std::size_t begin, std::size_t end) { return chunk_body(first + begin, first + end); },
            combine);
    }
    return total;
}

}  // namespace

error::Result<array::Codebook<float>> ProductQuantizer::fit_codewords_with_weights(
    array::MatrixView<const float> data, std::optional<std::span<const float>> weights) const {
    const std::size_t m_count = num_subquantizers_;
    const std::size_t ks = codebook_size_;
    const std::size_t ds = data.extent(1) / m_count;
    std::vector<std::optional<array::Matrix<float>>> trained(m_count);
    TARVINEX_TRY(parallel::try_for_with_stop(
        0, m_count, [&](std::size_t m, const std::atomic<bool>& stop) -> error::Result<void> {
            TARVINEX_TRY_ASSIGN(trained[m], fit_subspace_kmeans(data.columns(m * ds, ds), weights, seed_ + m, &stop));
            return {};
        }));
    array::Codebook<float> codewords(array::Shape<3>{m_count, ks, ds});
    for (std::size_t m = 0; m < m_count; ++m) {
        const std::vector<float>& centers = trained[m]->storage();
        std::copy(centers.begin(), centers.end(),
                  codewords.storage().begin() + static_cast<std::ptrdiff_t>(m * ks * ds));
    }
    return codewords;
}

error::Result<array::Matrix<float>> ProductQuantizer::fit_subspace_kmeans(
    array::MatrixView<const float> x, std::optional<std::span<const float>> weights, std::uint64_t seed,
    const std::atomic<bool>* stop_requested) const {
    const std::size_t n = x.extent(0);
    const std::size_t ds = x.extent(1);
    const std::size_t ks = codebook_size_;
    TARVINEX_ASSERT(!weights || weights->size() == n, "pq: one weight per training row");
    // Rows are read in place when each is contiguous and they do not overlap.
    std::optional<array::Matrix<float>> copy;
    if (x.strides[1] != 1 || x.strides[0] < static_cast<std::ptrdiff_t>(ds)) {
        copy = array::c_order_copy(x);
        x = copy->view();
    }

    array::Matrix<float> centers(array::Shape<2>{ks, ds});
    const std::vector<std::size_t> first_rows = initial_rows(x, ks, seed);
    for (std::size_t j = 0; j < first_rows.size(); ++j) {
        std::ranges::copy(x.row(first_rows[j]), centers.view().row(j).begin());
    }

    const simd::NearestCodewordScan scan = simd::nearest_codeword_scan(simd::for_subdim(ds));
    const simd::SliceKernelTable& kernels = simd::slice_kernels();
    const std::size_t chunk_rows = rows_per_chunk(n, ks, ds);
    std::vector<float> distances(n);
    std::vector<std::size_t> empty;
    std::vector<float> blocks(simd::codeword_blocks_size(ks, ds));
    for (std::size_t pass = 0; pass < iterations_; ++pass) {
        TARVINEX_TRY(parallel::check_stop(stop_requested));
        TARVINEX_TRY(interrupt::check_pass_boundary());
        simd::block_codewords_into(centers.storage().data(), ks, ds, blocks.data());
        const auto accumulate_rows = [&](std::size_t begin, std::size_t end) {
            Accumulator acc = zero_accumulator(ks, ds);
            for (std::size_t r = begin; r < end; ++r) {
                const std::span<const float> row = x.row(r);
                const detail::Nearest nearest = detail::nearest_codeword(scan, row, blocks.data(), ks);
                distances[r] = nearest.distance;
                const float w = weights ? (*weights)[r] : 1.0F;
                if (w <= 0.0F) {
                    continue;
                }
                acc.weights[nearest.index] += w;
                kernels.scaled_add_assign({acc.sums.data() + nearest.index * ds, ds}, row, w);
            }
            return acc;
        };
        const Accumulator total =
            fold_chunks_in_order(n, chunk_rows, zero_accumulator(ks, ds), kernels, accumulate_rows);

        empty.clear();
        for (std::size_t c = 0; c < ks; ++c) {
            if (total.weights[c] == 0.0F) {
                empty.push_back(c);
            }
        }
        const std::vector<std::size_t> farthest = ranking::select_farthest_rows(distances, empty.size());
        std::size_t next_farthest = 0;
        for (std::size_t c = 0; c < ks; ++c) {
            const std::span<float> center = centers.view().row(c);
            const float weight = total.weights[c];
            if (weight == 0.0F) {
                if (next_farthest < farthest.size()) {
                    std::ranges::copy(x.row(farthest[next_farthest++]), center.begin());
                }
                continue;
            }
            const float* sum = total.sums.data() + c * ds;
            // A subnormal weight has no finite reciprocal; its mean is still the quotient.
            const float reciprocal = 1.0F / weight;
            if (std::isfinite(reciprocal)) {
                for (std::size_t i = 0; i < ds; ++i) {
                    center[i] = sum[i] * reciprocal;
                }
            } else {
                for (std::size_t i = 0; i < ds; ++i) {
                    center[i] = sum[i] / weight;
                }
            }
        }
    }
    return centers;
}

}  // namespace tarvinex::pq
