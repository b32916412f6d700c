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

/// `levels`: the center's M rows of 16 levels; `block_bytes`: the block's
/// pairs*32 bytes.
void scan_block_avx2(const std::uint8_t* levels, const std::uint8_t* block_bytes, std::size_t m, std::size_t pairs,
                     std::uint16_t* out) {
    const __m256i nibble_mask = _mm256_set1_epi8(0x0F);
    __m256i rows_low = _mm256_setzero_si256();
    __m256i rows_high = _mm256_setzero_si256();

    const auto accumulate = [&](std::size_t s, __m256i codes) {
        const __m256i table =
            _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(levels + s * 16)));
        const __m256i looked_up = _mm256_shuffle_epi8(table, codes);
        rows_low = _mm256_add_epi16(rows_low, _mm256_cvtepu8_epi16(_mm256_castsi256_si128(looked_up)));
        rows_high = _mm256_add_epi16(rows_high, _mm256_cvtepu8_epi16(_mm256_extracti128_si256(looked_up, 1)));
    };

    for (std::size_t p = 0; p < pairs; ++p) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block_bytes + p * kBlockRows));
        accumulate(2 * p, _mm256_and_si256(bytes, nibble_mask));
        if (2 * p + 1 < m) {
            accumulate(2 * p + 1, _mm256_and_si256(_mm256_srli_epi16(bytes, 4), nibble_mask));
        }
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), rows_low);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 16), rows_high);
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

}  // namespace tarvinex::pq4
