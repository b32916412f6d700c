#include "pqkmeans/lookup_table.hpp"

#include <algorithm>
#include <span>
#include <vector>

#include "array/size_product.hpp"
#include "parallel/pool.hpp"
#include "pqkmeans/model.hpp"
#include "simd/distance.hpp"

namespace tarvinex::pqkmeans {
namespace {

constexpr std::size_t kMaxLookupEntries = std::size_t{1} << 62;

/// Calls fill(r, b, w, out) for each table row r = s*Ks + c of each block b
/// of width w, with `out` at that row's w entries; one pool task per group of
/// rows of one block.
template <typename Fill>
void for_each_table_row(std::size_t rows_per_block, std::size_t k, std::size_t block_centers, float* lookup,
                        Fill&& fill) {
    const std::size_t blocks = (k + block_centers - 1) / block_centers;
    const std::size_t groups_per_block = (rows_per_block + kLookupBlockRows - 1) / kLookupBlockRows;
    parallel::for_chunks(blocks * groups_per_block, 1, [&](std::size_t, std::size_t task, std::size_t) {
        const std::size_t b = task / groups_per_block;
        const std::size_t first_row = (task % groups_per_block) * kLookupBlockRows;
        const std::size_t block_begin = b * block_centers;
        const std::size_t width = std::min(block_centers, k - block_begin);
        float* block = lookup + block_begin * rows_per_block;
        for (std::size_t r = first_row; r < std::min(rows_per_block, first_row + kLookupBlockRows); ++r) {
            fill(r, block_begin, width, block + r * width);
        }
    });
}

}  // namespace

std::size_t lookup_block_slice_bytes(const simd::CacheSizes& cache) {
    const std::size_t share = cache.l2_bytes / 4 * kLookupSliceL2Quarters;
    return share >= kMinL2SliceBytes ? std::min(share, kMaxLookupSliceBytes) : kSharedCacheSliceBytes;
}

std::size_t lookup_block_centers(std::size_t m_count, std::size_t ks, std::size_t k) {
    return lookup_block_centers(m_count, ks, k, lookup_block_slice_bytes(simd::detected_cache_sizes()));
}

std::size_t lookup_block_centers(std::size_t m_count, std::size_t ks, std::size_t k, std::size_t slice_bytes) {
    const std::size_t step_bytes = std::max<std::size_t>(1, m_count * ks * kLookupBlockStep * sizeof(float));
    std::size_t max_steps = std::max(kMinLookupBlockSteps, slice_bytes / step_bytes);
    // An odd number of steps: a row stride of a multiple of 256 floats puts
    // a row's M runs, and the runs of nearby centers, into the same few
    // cache sets.
    max_steps -= max_steps % 2 == 0 ? 1 : 0;
    const std::size_t max_block = max_steps * kLookupBlockStep;
    // A table at most one step wider than the widest block is read as one,
    // but for that rule's last step: splitting it evenly cost more than the
    // step read past the slice.
    if (max_block + kLookupBlockStep >= k) {
        // One block, unless its stride would be such a multiple: then all
        // but the last step, an odd number of them, and that step.
        return k % (8 * kLookupBlockStep) == 0 ? k - kLookupBlockStep : std::max<std::size_t>(k, 1);
    }
    // As many blocks as the widest allows, of nearly equal width, so no short
    // last block pays the per-row cost of a block for a few centers.
    const std::size_t blocks = (k + max_block - 1) / max_block;
    const std::size_t width = (k + blocks - 1) / blocks;
    std::size_t steps = (width + kLookupBlockStep - 1) / kLookupBlockStep;
    steps += steps % 2 == 0 ? 1 : 0;
    return std::min(steps, max_steps) * kLookupBlockStep;
}

std::optional<std::size_t> lookup_table_entries(std::size_t m_count, std::size_t ks, std::size_t k,
                                                std::size_t budget_bytes) {
    const std::optional<std::size_t> entries = array::checked_product(m_count, ks, k);
    if (!entries || *entries >= kMaxLookupEntries) {
        return std::nullopt;
    }
    // Below 2^62 entries the byte count cannot overflow.
    if (*entries * sizeof(float) > budget_bytes) {
        return std::nullopt;
    }
    return entries;
}

void fill_symmetric_lookup_table(std::span<const float> codeword_distances, std::size_t ks,
                                 array::MatrixView<const std::uint8_t> centers, std::span<float> lookup,
                                 std::size_t block_centers) {
    const std::size_t k = centers.extent(0);
    const std::size_t m_count = centers.extent(1);
    TARVINEX_ASSERT(array::checked_product(m_count, ks, ks) == codeword_distances.size(),
                    "codeword distance table does not match the centers");
    TARVINEX_ASSERT(array::checked_product(m_count, ks, k) == lookup.size(), "lookup table does not match the centers");
    TARVINEX_ASSERT(block_centers > 0, "lookup table blocks need at least one center");
    for_each_table_row(m_count * ks, k, block_centers, lookup.data(),
                       [&](std::size_t r, std::size_t block_begin, std::size_t width, float* out) {
                           const std::size_t s = r / ks;
                           // Row r = s*Ks + c is also row r of the codeword-distance table.
                           const float* from_codeword = codeword_distances.data() + r * ks;
                           for (std::size_t t = 0; t < width; ++t) {
                               out[t] = from_codeword[centers(block_begin + t, s)];
                           }
                       });
}

void fill_symmetric_lookup_table(std::span<const float> codeword_distances, std::size_t ks,
                                 array::MatrixView<const std::uint8_t> centers, std::span<float> lookup) {
    fill_symmetric_lookup_table(codeword_distances, ks, centers, lookup, std::max<std::size_t>(centers.extent(0), 1));
}

std::size_t PqKMeans::scan_block_centers(const pq4::PackedPq4Codes* packed,
                                         const pq4::FastScanSettings& fastscan) const {
    return packed != nullptr && fastscan.enabled ? std::max<std::size_t>(k_, 1)
                                                 : lookup_block_centers(num_subquantizers_, codebook_size_, k_);
}

bool PqKMeans::build_lookup_tables_into(array::MatrixView<const std::uint8_t> centers, std::size_t block_centers,
                                        array::HugePageFloats& lookup) const {
    TARVINEX_ASSERT(centers.extent(0) == k_ && centers.extent(1) == num_subquantizers_,
                    "center codes do not match the model");
    const std::optional<std::size_t> entries =
        lookup_table_entries(num_subquantizers_, codebook_size_, k_, lookup_table_bytes_);
    if (!entries) {
        return false;
    }
    lookup.resize(*entries);
    fill_symmetric_lookup_table(*codeword_distances_, codebook_size_, centers, lookup, block_centers);
    return true;
}

bool PqKMeans::dense_lookup_table_fits() const {
    return lookup_table_entries(num_subquantizers_, codebook_size_, k_, lookup_table_bytes_).has_value() &&
           codewords_.is_c_contiguous();
}

bool PqKMeans::build_dense_lookup_tables_into(array::MatrixView<const float> centers, std::size_t block_centers,
                                              array::HugePageFloats& lookup) const {
    TARVINEX_ASSERT(centers.extent(0) == k_ && centers.extent(1) == dim_, "dense centers do not match the model");
    if (!dense_lookup_table_fits() || !centers.is_c_contiguous()) {
        return false;
    }
    lookup.resize(*lookup_table_entries(num_subquantizers_, codebook_size_, k_, lookup_table_bytes_));

    const std::size_t ks = codebook_size_;
    const std::size_t ds = subdim_;
    const std::size_t k = k_;
    const simd::DistanceFunction distance = simd::distance_function(simd::for_subdim(ds));
    const float* codewords = codewords_.view().data;
    TARVINEX_ASSERT(block_centers > 0, "lookup table blocks need at least one center");
    for_each_table_row(num_subquantizers_ * ks, k, block_centers, lookup.data(),
                       [&](std::size_t r, std::size_t block_begin, std::size_t width, float* out) {
                           // Row r = s*Ks + c is codeword (s, c) of the C-ordered codebook.
                           const float* codeword = codewords + r * ds;
                           const array::MatrixView<const float> parts = centers.columns((r / ks) * ds, ds);
                           for (std::size_t t = 0; t < width; ++t) {
                               out[t] = distance(codeword, parts.row(block_begin + t).data(), ds);
                           }
                       });
    return true;
}

}  // namespace tarvinex::pqkmeans
