/// Packing of 4-bit code matrices and the float-table scan.
///
/// The scan keeps every center's value as one float sum from +0.0 in
/// subquantizer order. It walks the centers of a row in tiles so that the k
/// entries of one (subquantizer, code) pair are read as consecutive floats
/// into a small stack accumulator, without allocating per row or per task.

#include "pq4/packed_codes.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "error/error.hpp"
#include "parallel/pool.hpp"

namespace tarvinex::pq4 {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();
/// Centers whose sums one row keeps on the stack at a time.
constexpr std::size_t kCenterTile = 64;

/// The byte offset of pair p of row i.
[[nodiscard]] std::size_t byte_index(std::size_t pairs, std::size_t i, std::size_t p) {
    return (i / kBlockRows) * pairs * kBlockRows + p * kBlockRows + i % kBlockRows;
}

/// Row i's nearest center: ascending centers, strict <, so ties keep the lower
/// index and a NaN sum is never taken.
[[nodiscard]] std::pair<std::size_t, float> nearest_center(const PackedPq4Codes& packed, std::span<const float> table,
                                                           std::size_t k, std::size_t i) {
    std::size_t best_index = 0;
    float best = kInfinity;
    std::array<float, kCenterTile> sums{};
    for (std::size_t tile_begin = 0; tile_begin < k; tile_begin += kCenterTile) {
        const std::size_t width = std::min(kCenterTile, k - tile_begin);
        std::fill_n(sums.begin(), width, 0.0f);
        for (std::size_t s = 0; s < packed.m; ++s) {
            const float* entries = table.data() + (s * 16 + packed.code(i, s)) * k + tile_begin;
            for (std::size_t t = 0; t < width; ++t) {
                sums[t] = sums[t] + entries[t];
            }
        }
        for (std::size_t t = 0; t < width; ++t) {
            if (sums[t] < best) {
                best = sums[t];
                best_index = tile_begin + t;
            }
        }
    }
    return {best_index, best};
}

}  // namespace

error::Result<PackedPq4Codes> PackedPq4Codes::pack(std::span<const std::uint8_t> codes, std::size_t rows,
                                                   std::size_t m) {
    std::size_t total = 0;
    if (__builtin_mul_overflow(rows, m, &total)) {
        return error::fail("PQ4 code shape overflows usize");
    }
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
    std::size_t padded_rows = 0;
    std::size_t bytes = 0;
    if (__builtin_mul_overflow(packed.blocks(), kBlockRows, &padded_rows) ||
        __builtin_mul_overflow(padded_rows, packed.pairs, &bytes)) {
        return error::fail("PQ4 code shape overflows usize");
    }
    packed.data.assign(bytes, 0);
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
                            std::span<std::size_t> labels, std::span<float> distances) {
    parallel::for_chunks(packed.rows, kScanChunkRows, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const auto [index, distance] = nearest_center(packed, table, k, i);
            labels[i] = index;
            distances[i] = distance;
        }
    });
}

float pq4_exact_distance(const PackedPq4Codes& packed, std::span<const float> table, std::size_t k, std::size_t i,
                         std::size_t j) {
    float sum = 0.0f;
    for (std::size_t s = 0; s < packed.m; ++s) {
        sum = sum + table[(s * 16 + packed.code(i, s)) * k + j];
    }
    return sum;
}

}  // namespace tarvinex::pq4
