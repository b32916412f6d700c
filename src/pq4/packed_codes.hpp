#pragma once
/// Code matrices with 16 codewords per subquantizer, packed two codes to a
/// byte in blocks of 32 rows, and the float-table scan over them.
///
/// Layout of `data`: block b (rows 32b .. 32b+31, the last one padded with zero
/// bytes) starts at b*pairs*32; inside it pair p (subquantizers 2p and 2p+1)
/// holds 32 bytes, one per row. So the byte of row i and pair p is at
/// (i / 32)*pairs*32 + p*32 + i % 32; its low nibble is the code of
/// subquantizer 2p, its high nibble that of 2p+1 (0 when M is odd). One 32-byte
/// load fetches a pair for a whole block, which is what the fast-scan needs.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error/error.hpp"

namespace tarvinex::pq4 {

inline constexpr std::size_t kBlockRows = 32;
/// Codewords per subquantizer of packed codes.
inline constexpr std::size_t kCodebookSize = 16;
/// Rows per task of the scans: eight packed blocks.
inline constexpr std::size_t kScanChunkRows = 256;

struct PackedPq4Codes {
    std::vector<std::uint8_t> data;
    std::size_t rows = 0;
    std::size_t m = 0;
    std::size_t pairs = 0;  ///< bytes per row: ceil(M / 2)

    /// Packs a row-major (rows, m) code matrix. Fails with "PQ4 code shape
    /// overflows usize", "PQ4 code matrix length does not match shape" or "PQ4
    /// packing requires codebook_size <= 16", checked in that order.
    [[nodiscard]] static error::Result<PackedPq4Codes> pack(std::span<const std::uint8_t> codes, std::size_t rows,
                                                            std::size_t m);

    /// ceil(rows / 32), written so that no row count near the top of the range wraps.
    [[nodiscard]] std::size_t blocks() const { return rows / kBlockRows + (rows % kBlockRows != 0 ? 1 : 0); }

    /// The code of row i in subquantizer s.
    [[nodiscard]] std::uint8_t code(std::size_t i, std::size_t s) const {
        const std::uint8_t byte = data[(i / kBlockRows) * pairs * kBlockRows + (s / 2) * kBlockRows + i % kBlockRows];
        return (s % 2 == 0) ? static_cast<std::uint8_t>(byte & 0x0F) : static_cast<std::uint8_t>(byte >> 4);
    }
};

/// For every row, the nearest of k centers by the float center lookup table
/// (M*16*k entries; entry of subquantizer s, code v, center j at
/// (s*16 + v)*k + j), summed from +0.0 in subquantizer order; the lowest index
/// wins ties and NaN never wins. k = 0 gives (0, +inf). `labels` and
/// `distances` have `packed.rows` entries. Runs 256-row chunks on the pool.
void assign_pq4_lookup_into(const PackedPq4Codes& packed, std::span<const float> table, std::size_t k,
                            std::span<std::size_t> labels, std::span<float> distances);

/// The same from a table in blocks of `block_centers` centers, each block an
/// (M, 16, w) table of its own (the layout of the PQ k-means center tables):
/// a chunk of rows visits one block after another, each row keeping its
/// best so far, which gives the single-block result.
void assign_pq4_lookup_into(const PackedPq4Codes& packed, std::span<const float> table, std::size_t k,
                            std::size_t block_centers, std::span<std::size_t> labels, std::span<float> distances);

/// The exact float distance of row i to center j by the table, summed as in
/// the float scan. The quantized scan rescores its winners with it.
[[nodiscard]] float pq4_exact_distance(const PackedPq4Codes& packed, std::span<const float> table, std::size_t k,
                                       std::size_t i, std::size_t j);

}  // namespace tarvinex::pq4
