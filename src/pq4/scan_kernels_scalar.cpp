/// Portable form of the fast-scan kernel: the 16-bit sum of one center's
/// levels for each real row of a 32-row block, pair by pair, the low nibble
/// looked up in subquantizer 2p's 16 levels and the high one in 2p+1's.
/// Padding rows get 65535, a value no caller reads.

#include <cstddef>
#include <cstdint>

#include "pq4/quantized_tables.hpp"

namespace tarvinex::pq4 {

void pq4_scan_cluster_scalar(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, std::size_t block,
                             std::size_t center, std::uint16_t* out) {
    const std::size_t m = packed.m;
    const std::uint8_t* levels = tables.quantized.data() + center * m * 16;
    const std::uint8_t* block_bytes = packed.data.data() + block * packed.pairs * kBlockRows;
    const std::size_t first_row = block * kBlockRows;
    const std::size_t real_rows = packed.rows - first_row < kBlockRows ? packed.rows - first_row : kBlockRows;
    for (std::size_t r = 0; r < kBlockRows; ++r) {
        out[r] = UINT16_MAX;
    }
    for (std::size_t r = 0; r < real_rows; ++r) {
        std::uint16_t sum = 0;
        for (std::size_t p = 0; p < packed.pairs; ++p) {
            const std::uint8_t byte = block_bytes[p * kBlockRows + r];
            sum = static_cast<std::uint16_t>(sum + levels[(2 * p) * 16 + (byte & 0x0F)]);
            if (2 * p + 1 < m) {
                sum = static_cast<std::uint16_t>(sum + levels[(2 * p + 1) * 16 + (byte >> 4)]);
            }
        }
        out[r] = sum;
    }
}

}  // namespace tarvinex::pq4
