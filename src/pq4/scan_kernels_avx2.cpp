/// AVX2 form of the fast-scan kernel.
///
/// Per pair p: one 32-byte load brings the pair's byte for all 32 rows of the
/// block. Subquantizer 2p's 16 levels, copied into both 128-bit halves, are
/// looked up by the low nibbles with one byte shuffle; the 32 looked-up bytes
/// are widened to 16 bits and added into two 16-lane accumulators (rows 0-15
/// and 16-31). The high nibbles do the same with subquantizer 2p+1 when it
/// exists. Sums stay exact in 16 bits because M <= 257. Padding rows decode
/// their zero bytes as code 0 and carry that sum; callers never read it.
///
/// The AVX2 body sees only raw pointers and intrinsics and has internal
/// linkage, so no shared inline function is ever compiled for AVX2 here.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "pq4/quantized_tables.hpp"

#pragma GCC push_options
#pragma GCC target("avx2")

namespace tarvinex::pq4 {
namespace {

/// Rows 0-15 and 16-31 of a block, one 16-bit lane per row.
struct BlockSums {
    __m256i low;
    __m256i high;
};

/// The 32 rows' level sums of one center. `levels`: the center's M rows of 16
/// levels; `block_bytes`: the block's pairs*32 bytes.
BlockSums sum_block_avx2(const std::uint8_t* levels, const std::uint8_t* block_bytes, std::size_t m,
                         std::size_t pairs) {
    const __m256i nibble_mask = _mm256_set1_epi8(0x0F);
    BlockSums rows{_mm256_setzero_si256(), _mm256_setzero_si256()};

    const auto accumulate = [&](std::size_t s, __m256i codes) {
        const __m256i table =
            _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(levels + s * 16)));
        const __m256i looked_up = _mm256_shuffle_epi8(table, codes);
        rows.low = _mm256_add_epi16(rows.low, _mm256_cvtepu8_epi16(_mm256_castsi256_si128(looked_up)));
        rows.high = _mm256_add_epi16(rows.high, _mm256_cvtepu8_epi16(_mm256_extracti128_si256(looked_up, 1)));
    };

    for (std::size_t p = 0; p < pairs; ++p) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block_bytes + p * kBlockRows));
        accumulate(2 * p, _mm256_and_si256(bytes, nibble_mask));
        if (2 * p + 1 < m) {
            accumulate(2 * p + 1, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble_mask));
        }
    }
    return rows;
}

void scan_block_avx2(const std::uint8_t* levels, const std::uint8_t* block_bytes, std::size_t m, std::size_t pairs,
                     std::uint16_t* out) {
    const BlockSums rows = sum_block_avx2(levels, block_bytes, m, pairs);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), rows.low);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16), rows.high);
}

/// Lanes where `sums` is strictly below `best`, unsigned: AVX2 has no
/// unsigned 16-bit compare, but max(a, b) == a exactly when a >= b.
__m256i less_epu16(__m256i sums, __m256i best) {
    return _mm256_xor_si256(_mm256_cmpeq_epi16(_mm256_max_epu16(sums, best), sums), _mm256_set1_epi32(-1));
}

/// Moves `center` into the eight 32-bit lanes of `centers` whose 16-bit
/// lanes of `better` are set.
__m256i take_centers(__m256i centers, __m128i better, __m256i center) {
    return _mm256_blendv_epi8(centers, center, _mm256_cvtepi16_epi32(better));
}

/// Per row of the block, the first center with the strictly smallest raw sum,
/// starting from 65535, with sums and winners kept in registers.
void select_block_global_avx2(const std::uint8_t* levels, std::size_t k, const std::uint8_t* block_bytes, std::size_t m,
                              std::size_t pairs, std::uint32_t* best_center) {
    __m256i best_low = _mm256_set1_epi16(-1);
    __m256i best_high = _mm256_set1_epi16(-1);
    __m256i centers[4] = {_mm256_setzero_si256(), _mm256_setzero_si256(), _mm256_setzero_si256(),
                          _mm256_setzero_si256()};
    const std::size_t levels_per_center = m * 16;
    for (std::size_t c = 0; c < k; ++c) {
        const BlockSums rows = sum_block_avx2(levels + c * levels_per_center, block_bytes, m, pairs);
        const __m256i better_low = less_epu16(rows.low, best_low);
        const __m256i better_high = less_epu16(rows.high, best_high);
        best_low = _mm256_min_epu16(rows.low, best_low);
        best_high = _mm256_min_epu16(rows.high, best_high);
        const __m256i center = _mm256_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(c)));
        centers[0] = take_centers(centers[0], _mm256_castsi256_si128(better_low), center);
        centers[1] = take_centers(centers[1], _mm256_extracti128_si256(better_low, 1), center);
        centers[2] = take_centers(centers[2], _mm256_castsi256_si128(better_high), center);
        centers[3] = take_centers(centers[3], _mm256_extracti128_si256(better_high, 1), center);
    }
    for (int q = 0; q < 4; ++q) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(best_center + 8 * q), centers[q]);
    }
}

}  // namespace
}  // namespace tarvinex::pq4

#pragma GCC pop_options

namespace tarvinex::pq4 {

void pq4_scan_cluster_avx2(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, std::size_t block,
                           std::size_t center, std::uint16_t* out) {
    scan_block_avx2(tables.quantized.data() + center * packed.m * 16,
                    packed.data.data() + block * packed.pairs * kBlockRows, packed.m, packed.pairs, out);
}

void pq4_select_block_global_avx2(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables,
                                  std::size_t block, std::uint32_t* best_center) {
    select_block_global_avx2(tables.quantized.data(), tables.k, packed.data.data() + block * packed.pairs * kBlockRows,
                             packed.m, packed.pairs, best_center);
}

}  // namespace tarvinex::pq4
