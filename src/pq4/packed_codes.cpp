/// Packing of 4-bit code matrices and the float-table scan.
///
/// The scan unpacks each row's M codes and hands them to the lookup-minimum
/// slice kernel of the process family, which scores 8 or 16 adjacent centers
/// per vector with one lane each: every center's value is its float sum in
/// subquantizer order, the same bits as a sequential loop.

#include "pq4/packed_codes.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "array/size_product.hpp"
#include "error/error.hpp"
#include "parallel/pool.hpp"
#include "simd/slice_kernels.hpp"

namespace tarvinex::pq4 {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
/// Both the code count and the padded byte count are products of the shape.
constexpr const char* kShapeOverflows = "PQ4 code shape overflows usize";

/// The byte offset of pair p of row i.
[[nodiscard]] std::size_t byte_index(std::size_t pairs, std::size_t i, std::size_t p) {
    return (i / kBlockRows) * pairs * kBlockRows + p * kBlockRows + i % kBlockRows;
}

}  // namespace

error::Result<PackedPq4Codes> PackedPq4Codes::pack(std::span<const std::uint8_t> codes, std::size_t rows,
                                                   std::size_t m) {
    const std::optional<std::size_t> checked_total = array::checked_product(rows, m);
    if (!checked_total) {
        return error::fail(kShapeOverflows);
    }
    const std::size_t total = *checked_total;
    if (codes.size() != total) {
        return error::fail("PQ4 code matrix length does not match shape");
    }
    PackedPq4Codes packed;
    packed.rows = rows;
    packed.m = m;
    packed.pairs = m - m / 2;
    if (total == 0) {
        return packed;
    }
    const std::optional<std::size_t> bytes = array::checked_product(packed.blocks(), kBlockRows, packed.pairs);
    if (!bytes) {
        return error::fail(kShapeOverflows);
    }
    packed.data.assign(*bytes, 0);
    for (std::size_t i = 0; i < rows; ++i) {
        const std::uint8_t* row = codes.data() + i * m;
        for (std::size_t p = 0; p < packed.pairs; ++p) {
            const std::uint8_t low = row[2 * p];
            const std::uint8_t high = (2 * p + 1 < m) ? row[2 * p + 1] : std::uint8_t{0};
            if (low > 15 || high > 15) {
                return error::fail("PQ4 packing requires codebook_size <= 16");
            }
            packed.data[byte_index(packed.pairs, i, p)] = static_cast<std::uint8_t>(low | (high << 4));
        }
    }
    return packed;
}

void assign_pq4_lookup_into(const PackedPq4Codes& packed, std::span<const float> table, std::size_t k,
                            std::size_t block_centers, std::span<std::size_t> labels, std::span<float> distances) {
    if (packed.m == 0) {
        // Every value is the empty sum +0.0; with no center nothing is below +inf.
        std::fill(labels.begin(), labels.end(), std::size_t{0});
        std::fill(distances.begin(), distances.end(), k == 0 ? kInfinity : 0.0f);
        return;
    }
    TARVINEX_ASSERT(block_centers > 0, "lookup table blocks need at least one center");
    const simd::SliceKernelTable& kernels = simd::slice_kernels();
    const std::size_t m = packed.m;
    const std::size_t chunk_rows = block_centers >= k ? kScanChunkRows : simd::kBlockScanChunkRows;
    parallel::for_chunks(
        packed.rows, chunk_rows, [&] { return std::vector<std::uint8_t>(chunk_rows * m); },
        [&](std::size_t, std::size_t begin, std::size_t end, std::vector<std::uint8_t>& row_codes) {
            const std::size_t count = end - begin;
            for (std::size_t i = 0; i < count; ++i) {
                for (std::size_t s = 0; s < m; ++s) {
                    row_codes[i * m + s] = packed.code(begin + i, s);
                }
            }
            const std::span<float> chunk_distances = distances.subspan(begin, count);
            simd::lookup_min_over_blocks(kernels, std::span<const std::uint8_t>(row_codes).first(count * m), m, table,
                                         kCodebookSize, k, block_centers, labels.subspan(begin, count),
                                         chunk_distances);
            // The kernel starts from the first entry, a sum from +0.0; they
            // differ only for a sum of -0.0, which adding +0.0 turns into +0.0.
            for (float& distance : chunk_distances) {
                distance = distance + 0.0f;
            }
        });
}

void assign_pq4_lookup_into(const PackedPq4Codes& packed, std::span<const float> table, std::size_t k,
                            std::span<std::size_t> labels, std::span<float> distances) {
    assign_pq4_lookup_into(packed, table, k, std::max<std::size_t>(k, 1), labels, distances);
}

float pq4_exact_distance(const PackedPq4Codes& packed, std::span<const float> table, std::size_t k, std::size_t i,
                         std::size_t j) {
    float sum = 0.0f;
    for (std::size_t s = 0; s < packed.m; ++s) {
        sum = sum + table[(s * kCodebookSize + packed.code(i, s)) * k + j];
    }
    return sum;
}

}  // namespace tarvinex::pq4
