/// The center update between assignment passes: sums and counts in the
/// sharded or the chunked form, the division, and the refill of empty
/// clusters. The refill, the chunk reduction and the division run on the
/// calling thread after every task has finished.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "array/size_product.hpp"
#include "dense/dense.hpp"
#include "error/settings.hpp"
#include "kmeans/kmeans.hpp"
#include "parallel/pool.hpp"
#include "ranking/float_order.hpp"

namespace tarvinex::dense {
namespace {

constexpr std::size_t kShardedMinRows = 16384;
constexpr std::size_t kLargeBufferBytes = std::size_t{1} << 20;
constexpr std::size_t kChunkRows = 4096;
/// Chunk buffers per worker in one wave.
constexpr std::size_t kBuffersPerWorker = 2;

/// The one accumulation both forms share: rows [begin, end) in order, those
/// whose label lies in [first_center, end_center) added into the spans.
template <typename AddRow>
void accumulate(std::span<const std::size_t> labels, std::size_t begin, std::size_t end, std::size_t first_center,
                std::size_t end_center, std::size_t dim, std::span<float> sums, std::span<std::size_t> counts,
                AddRow&& add_row) {
    for (std::size_t i = begin; i < end; ++i) {
        const std::size_t label = labels[i];
        if (label < first_center || label >= end_center) {
            continue;
        }
        const std::size_t local = label - first_center;
        counts[local] += 1;
        add_row(i, sums.subspan(local * dim, dim));
    }
}

[[nodiscard]] auto slice_adder(array::MatrixView<const float> data, const simd::SliceKernelTable& kernels) {
    return [data, &kernels](std::size_t i, std::span<float> dst) { kernels.add_assign(dst, data.row(i)); };
}

[[nodiscard]] auto view_adder(array::MatrixView<const float> data) {
    return [data](std::size_t i, std::span<float> dst) {
        for (std::size_t x = 0; x < dst.size(); ++x) {
            dst[x] = dst[x] + data(i, x);
        }
    };
}

void check_labels(std::span<const std::size_t> labels, std::size_t k) {
    TARVINEX_ASSERT(std::all_of(labels.begin(), labels.end(), [k](std::size_t l) { return l < k; }),
                    "a label is not below the number of centers");
}

void sums_sharded(array::MatrixView<const float> data, std::span<const std::size_t> labels, std::size_t k,
                  std::size_t workers, DenseUpdateScratch& scratch, const simd::SliceKernelTable& kernels) {
    const std::size_t dim = data.shape[1];
    scratch.sums.assign(checked_element_count<float>(k, dim), 0.0F);
    scratch.counts.assign(k, 0);
    const std::size_t shard = std::max<std::size_t>(1, k / workers + (k % workers != 0 ? 1 : 0));
    const bool slices = data.is_c_contiguous();
    parallel::for_chunks(k, shard, [&](std::size_t, std::size_t first, std::size_t end) {
        const std::span<float> sums = std::span(scratch.sums).subspan(first * dim, (end - first) * dim);
        const std::span<std::size_t> counts = std::span(scratch.counts).subspan(first, end - first);
        if (slices) {
            dense_center_sums_sharded_from_slices(data, labels, first, end, sums, counts, kernels);
        } else {
            dense_center_sums_sharded_from_view(data, labels, first, end, sums, counts);
        }
    });
}

void sums_chunked(array::MatrixView<const float> data, std::span<const std::size_t> labels, std::size_t k,
                  std::size_t workers, DenseUpdateScratch& scratch, const simd::SliceKernelTable& kernels) {
    const std::size_t n = data.shape[0];
    const std::size_t dim = data.shape[1];
    const std::size_t rows = dense_update_chunk_rows(n, k, dim, workers);
    const std::size_t chunks = parallel::chunk_count(n, rows);
    const std::size_t wave =
        std::min(chunks, std::max<std::size_t>(1, array::saturating_product(kBuffersPerWorker, workers)));
    scratch.ensure_chunk_buffers(wave, k, dim);
    std::fill(scratch.sums.begin(), scratch.sums.end(), 0.0F);
    std::fill(scratch.counts.begin(), scratch.counts.end(), 0);
    const bool slices = data.is_c_contiguous();
    for (std::size_t first_chunk = 0; first_chunk < chunks; first_chunk += wave) {
        const std::size_t in_wave = std::min(wave, chunks - first_chunk);
        parallel::for_range(0, in_wave, [&](std::size_t slot) {
            std::vector<float>& sums = scratch.chunk_sums[slot];
            std::vector<std::size_t>& counts = scratch.chunk_counts[slot];
            std::fill(sums.begin(), sums.end(), 0.0F);
            std::fill(counts.begin(), counts.end(), 0);
            const std::size_t begin = (first_chunk + slot) * rows;
            const std::size_t end = std::min(n, begin + rows);
            if (slices) {
                dense_center_sums_from_slices(data, labels, begin, end, sums, counts, kernels);
            } else {
                dense_center_sums_from_view(data, labels, begin, end, sums, counts);
            }
        });
        scratch.reduce_chunk_buffers(in_wave);
    }
}

}  // namespace

DenseUpdateMode read_dense_update_mode(const settings::EnvLookup& lookup) {
    const std::optional<std::string> word = settings::normalize_env_word(settings::names::kDenseUpdate, lookup);
    if (!word || settings::word_is_one_of(word, {"", "auto", "adaptive"})) {
        return DenseUpdateMode::Auto;
    }
    return settings::word_is_one_of(word, {"shard", "sharded", "centroid"}) ? DenseUpdateMode::Sharded
                                                                            : DenseUpdateMode::Chunked;
}

std::size_t dense_chunk_buffer_bytes(std::size_t k, std::size_t dim) noexcept {
    return array::saturating_sum(array::saturating_product(4, k, dim), array::saturating_product(8, k));
}

bool dense_center_update_sharded_enabled(std::size_t n, std::size_t k, std::size_t dim, DenseUpdateMode mode) {
    if (n == 0 || k == 0 || dim == 0) {
        return false;
    }
    switch (mode) {
        case DenseUpdateMode::Sharded:
            return true;
        case DenseUpdateMode::Chunked:
            return false;
        case DenseUpdateMode::Auto:
            break;
    }
    return n >= kShardedMinRows && dense_chunk_buffer_bytes(k, dim) >= kLargeBufferBytes;
}

std::size_t dense_update_chunk_rows(std::size_t n, std::size_t k, std::size_t dim, std::size_t workers) noexcept {
    if (n == 0) {
        return 1;
    }
    if (dense_chunk_buffer_bytes(k, dim) >= kLargeBufferBytes) {
        const std::size_t parts = std::max<std::size_t>(1, array::saturating_product(2, workers));
        return std::min(n, std::max(kChunkRows, n / parts + (n % parts != 0 ? 1 : 0)));
    }
    return std::min(n, kChunkRows);
}

DenseUpdateScratch::DenseUpdateScratch(std::size_t k, std::size_t dim)
    : sums(checked_element_count<float>(k, dim), 0.0F), counts(k, 0) {}

void DenseUpdateScratch::ensure_chunk_buffers(std::size_t chunks, std::size_t k, std::size_t dim) {
    const std::size_t floats = checked_element_count<float>(k, dim);
    sums.resize(floats, 0.0F);
    counts.resize(k, 0);
    if (chunk_sums.size() < chunks) {
        chunk_sums.resize(chunks);
        chunk_counts.resize(chunks);
    }
    for (std::size_t c = 0; c < chunks; ++c) {
        chunk_sums[c].resize(floats, 0.0F);
        chunk_counts[c].resize(k, 0);
    }
}

void DenseUpdateScratch::reduce_chunk_buffers(std::size_t chunks) {
    for (std::size_t c = 0; c < chunks; ++c) {
        const std::size_t floats = std::min(sums.size(), chunk_sums[c].size());
        for (std::size_t x = 0; x < floats; ++x) {
            sums[x] = sums[x] + chunk_sums[c][x];
        }
        const std::size_t centers = std::min(counts.size(), chunk_counts[c].size());
        for (std::size_t j = 0; j < centers; ++j) {
            counts[j] += chunk_counts[c][j];
        }
    }
}

void dense_center_sums_sharded_from_slices(array::MatrixView<const float> data, std::span<const std::size_t> labels,
                                           std::size_t first_center, std::size_t end_center, std::span<float> sums,
                                           std::span<std::size_t> counts, const simd::SliceKernelTable& kernels) {
    accumulate(labels, 0, labels.size(), first_center, end_center, data.shape[1], sums, counts,
               slice_adder(data, kernels));
}

void dense_center_sums_sharded_from_view(array::MatrixView<const float> data, std::span<const std::size_t> labels,
                                         std::size_t first_center, std::size_t end_center, std::span<float> sums,
                                         std::span<std::size_t> counts) {
    accumulate(labels, 0, labels.size(), first_center, end_center, data.shape[1], sums, counts, view_adder(data));
}

void dense_center_sums_from_slices(array::MatrixView<const float> data, std::span<const std::size_t> labels,
                                   std::size_t begin, std::size_t end, std::span<float> sums,
                                   std::span<std::size_t> counts, const simd::SliceKernelTable& kernels) {
    accumulate(labels, begin, end, 0, counts.size(), data.shape[1], sums, counts, slice_adder(data, kernels));
}

void dense_center_sums_from_view(array::MatrixView<const float> data, std::span<const std::size_t> labels,
                                 std::size_t begin, std::size_t end, std::span<float> sums,
                                 std::span<std::size_t> counts) {
    accumulate(labels, begin, end, 0, counts.size(), data.shape[1], sums, counts, view_adder(data));
}

void refill_empty_centers(array::MatrixView<const float> data, std::span<const std::size_t> labels,
                          std::span<const float> distances, std::span<const std::size_t> counts,
                          array::MatrixView<float> centers) {
    const std::vector<std::size_t> empty = kmeans::empty_cluster_indices(counts);
    if (empty.empty()) {
        return;
    }
    struct Pair {
        std::uint32_t key;
        std::size_t row;
    };
    std::vector<Pair> list;
    list.reserve(empty.size());
    // Once the list is full, a heap of list positions whose top is the pair a
    // farther row replaces: the least key, the first in list order on ties.
    std::vector<std::size_t> heap;
    const auto replaced_later = [&](std::size_t a, std::size_t b) {
        return list[a].key != list[b].key ? list[a].key > list[b].key : a > b;
    };
    for (std::size_t i = 0; i < labels.size(); ++i) {
        if (!std::isfinite(distances[i]) || counts[labels[i]] < 2) {
            continue;
        }
        const Pair pair{ranking::total_order_key(distances[i]), i};
        if (list.size() < empty.size()) {
            list.push_back(pair);
            if (list.size() == empty.size()) {
                heap.resize(list.size());
                for (std::size_t p = 0; p < heap.size(); ++p) {
                    heap[p] = p;
                }
                std::make_heap(heap.begin(), heap.end(), replaced_later);
            }
            continue;
        }
        if (pair.key > list[heap.front()].key) {
            std::pop_heap(heap.begin(), heap.end(), replaced_later);
            list[heap.back()] = pair;
            std::push_heap(heap.begin(), heap.end(), replaced_later);
        }
    }
    std::stable_sort(list.begin(), list.end(), [](const Pair& a, const Pair& b) { return a.key > b.key; });
    const std::size_t dim = centers.shape[1];
    for (std::size_t j = 0; j < list.size(); ++j) {
        for (std::size_t x = 0; x < dim; ++x) {
            centers(empty[j], x) = data(list[j].row, x);
        }
    }
}

void update_centers(array::MatrixView<const float> data, std::span<const std::size_t> labels,
                    std::span<const float> distances, array::MatrixView<float> centers, DenseUpdateScratch& scratch,
                    DenseUpdateMode mode) {
    const std::size_t n = data.shape[0];
    const std::size_t k = centers.shape[0];
    const std::size_t dim = data.shape[1];
    TARVINEX_ASSERT(labels.size() == n && distances.size() == n, "labels and distances must hold one entry per row");
    TARVINEX_ASSERT(centers.is_c_contiguous() && centers.shape[1] == dim, "centers must be C-contiguous (k, dim)");
    check_labels(labels, k);
    const std::size_t workers = parallel::worker_count();
    const simd::SliceKernelTable& kernels = simd::slice_kernels();
    if (dense_center_update_sharded_enabled(n, k, dim, mode)) {
        sums_sharded(data, labels, k, workers, scratch, kernels);
    } else {
        sums_chunked(data, labels, k, workers, scratch, kernels);
    }
    for (std::size_t j = 0; j < k; ++j) {
        if (scratch.counts[j] == 0) {
            continue;
        }
        const float inverse = 1.0F / static_cast<float>(scratch.counts[j]);
        const std::span<float> center = centers.row(j);
        for (std::size_t x = 0; x < dim; ++x) {
            center[x] = scratch.sums[j * dim + x] * inverse;
        }
    }
    refill_empty_centers(data, labels, distances, scratch.counts, centers);
}

}  // namespace tarvinex::dense
