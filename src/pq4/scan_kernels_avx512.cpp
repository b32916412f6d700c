/// AVX-512BW form of the fast-scan kernel.
///
/// As the AVX2 form: per pair one 32-byte load of the block's bytes, the
/// 16 levels of a subquantizer in both 128-bit halves, one byte shuffle per
/// nibble. The 32 looked-up bytes are widened at once into a single 32-lane
/// 16-bit accumulator, one lane per row. Padding rows carry the sum of code 0.
///
/// The AVX-512 body sees only raw pointers and intrinsics and has internal
/// linkage, so no shared inline function is ever compiled for AVX-512 here.

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

#include "pq4/quantized_tables.hpp"

#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw")

namespace tarvinex::pq4 {
namespace {

/// The 32 rows' level sums of one center. `levels`: the center's M rows of 16
/// levels; `block_bytes`: the block's pairs*32 bytes.
__m512i sum_block_avx512(const std::uint8_t* levels, const std::uint8_t* block_bytes, std::size_t m,
                         std::size_t pairs) {
    const __m256i nibble_mask = _mm256_set1_epi8(0x0F);
    __m512i rows = _mm512_setzero_si512();

    const auto accumulate = [&](std::size_t s, __m256i codes) {
        const __m256i table =
            _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(levels + s * 16)));
        rows = _mm512_add_epi16(rows, _mm512_cvtepu8_epi16(_mm256_shuffle_epi8(table, codes)));
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

void scan_block_avx512(const std::uint8_t* levels, const std::uint8_t* block_bytes, std::size_t m, std::size_t pairs,
                       std::uint16_t* out) {
    _mm512_storeu_si512(out, sum_block_avx512(levels, block_bytes, m, pairs));
}

/// Per row of the block, the first center with the strictly smallest raw sum,
/// starting from 65535. Sums, best sums and best centers stay in registers
/// for the whole walk over the centers.
void select_block_global_avx512(const std::uint8_t* levels, std::size_t k, const std::uint8_t* block_bytes,
                                std::size_t m, std::size_t pairs, std::uint32_t* best_center) {
    __m512i best = _mm512_set1_epi16(-1);
    __m512i centers_low = _mm512_setzero_si512();
    __m512i centers_high = _mm512_setzero_si512();
    const std::size_t levels_per_center = m * 16;
    for (std::size_t c = 0; c < k; ++c) {
        const __m512i rows = sum_block_avx512(levels + c * levels_per_center, block_bytes, m, pairs);
        const __mmask32 better = _mm512_cmplt_epu16_mask(rows, best);
        best = _mm512_mask_mov_epi16(best, better, rows);
        const __m512i center = _mm512_set1_epi32(static_cast<int>(static_cast<std::uint32_t>(c)));
        centers_low = _mm512_mask_mov_epi32(centers_low, static_cast<__mmask16>(better & 0xFFFF), center);
        centers_high = _mm512_mask_mov_epi32(centers_high, static_cast<__mmask16>(better >> 16), center);
    }
    _mm512_storeu_si512(best_center, centers_low);
    _mm512_storeu_si512(best_center + 16, centers_high);
}

}  // namespace
}  // namespace tarvinex::pq4

#pragma GCC pop_options

namespace tarvinex::pq4 {

void pq4_scan_cluster_avx512(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, std::size_t block,
                             std::size_t center, std::uint16_t* out) {
    scan_block_avx512(tables.quantized.data() + center * packed.m * 16,
                      packed.data.data() + block * packed.pairs * kBlockRows, packed.m, packed.pairs, out);
}

void pq4_select_block_global_avx512(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables,
                                    std::size_t block, std::uint32_t* best_center) {
    select_block_global_avx512(tables.quantized.data(), tables.k,
                               packed.data.data() + block * packed.pairs * kBlockRows, packed.m, packed.pairs,
                               best_center);
}

}  // namespace tarvinex::pq4
