#pragma once
/// The slice kernels: the vectorised inner loops, each in a portable, an AVX2
/// and an AVX-512 form, declared side by side.
///
/// Shared rules (the results of near-ties depend on them, so every form keeps
/// them exactly):
/// - Every product is rounded to float before it is added; nothing is fused.
/// - With L lanes (8 AVX2, 16 AVX-512), lane j sums elements L*b + j over the
///   full blocks b = 0, 1, ... in block order, starting from zero. The lane sums
///   are then reduced, either pairwise (AVX2: h_i = s_i + s_{i+4}, then
///   (h0 + h1) + (h2 + h3)) or in lane order (((s0 + s1) + s2) + ...), and the
///   elements after the last full block are added one by one in order.
/// - Selection scans candidates in index order and replaces the best only on a
///   strict improvement: the first best wins ties, and a NaN is never chosen.
/// - The portable forms sum sequentially from zero in element order.
///
/// Layouts: a center block holds k centers of `dim` floats, row-major (center c
/// starts at c*dim). A center lookup table is (M, Ks, k), C order: the entry of
/// subquantizer m, codeword c and center j is at (m*Ks + c)*k + j.
///
/// The kernels check no lengths: callers guarantee that rows hold `dim`
/// floats, center blocks k*dim, lookup tables M*Ks*k, that codes are below Ks
/// and M >= 1. The AVX2/AVX-512 forms may only run where the family allows.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>

#include "simd/preference.hpp"

namespace tarvinex::simd {

/// A selected position and its score.
struct IndexedValue {
    std::uint64_t index;
    float value;
};

// First minimum. Empty gives (0, +inf). NaN elements are ignored. The portable
// form returns (0, +inf) when nothing is below +inf; the vector forms return
// the first index holding the smallest non-NaN value (so [NaN, +inf] gives 1).
[[nodiscard]] IndexedValue argmin_scalar(std::span<const float> values) noexcept;
[[nodiscard]] IndexedValue argmin_avx2(std::span<const float> values) noexcept;
[[nodiscard]] IndexedValue argmin_avx512(std::span<const float> values) noexcept;

// Squared Euclidean distance. The portable form sums over the shorter length;
// the vector forms sum over a's length (lane-order reduction, then the tail).
[[nodiscard]] float l2_distance_scalar(std::span<const float> a, std::span<const float> b) noexcept;
[[nodiscard]] float l2_distance_avx2(std::span<const float> a, std::span<const float> b) noexcept;
[[nodiscard]] float l2_distance_avx512(std::span<const float> a, std::span<const float> b) noexcept;

// dst[i] = dst[i] + src[i]. Vector forms cover dst's length (src at least as
// long), the portable form the shorter length.
void add_assign_scalar(std::span<float> dst, std::span<const float> src) noexcept;
void add_assign_avx2(std::span<float> dst, std::span<const float> src) noexcept;
void add_assign_avx512(std::span<float> dst, std::span<const float> src) noexcept;

// dst[i] = dst[i] + round(scale * src[i]).
void scaled_add_assign_scalar(std::span<float> dst, std::span<const float> src, float scale) noexcept;
void scaled_add_assign_avx2(std::span<float> dst, std::span<const float> src, float scale) noexcept;
void scaled_add_assign_avx512(std::span<float> dst, std::span<const float> src, float scale) noexcept;

// (index, squared distance) of the nearest of k centers; k = 0 gives (0, +inf).
// AVX2: groups of 4 centers reduced pairwise, then single centers in lane order.
// AVX-512: groups of 16 (their lanes added side by side after a transpose),
// then of 8, of 4, then single centers, all in lane order.
[[nodiscard]] IndexedValue nearest_l2_center_scalar(std::span<const float> row, std::span<const float> centers,
                                                    std::size_t k, std::size_t dim) noexcept;
[[nodiscard]] IndexedValue nearest_l2_center_avx2(std::span<const float> row, std::span<const float> centers,
                                                  std::size_t k, std::size_t dim) noexcept;
[[nodiscard]] IndexedValue nearest_l2_center_avx512(std::span<const float> row, std::span<const float> centers,
                                                    std::size_t k, std::size_t dim) noexcept;

// (index, dot product) of the center with the largest dot product; k = 0 gives
// (0, -inf). AVX2: groups of 4, then singles, all pairwise. AVX-512: groups of
// 16 (transposed as above), of 8, then singles, all in lane order.
[[nodiscard]] IndexedValue nearest_dot_center_scalar(std::span<const float> row, std::span<const float> centers,
                                                     std::size_t k, std::size_t dim) noexcept;
[[nodiscard]] IndexedValue nearest_dot_center_avx2(std::span<const float> row, std::span<const float> centers,
                                                   std::size_t k, std::size_t dim) noexcept;
[[nodiscard]] IndexedValue nearest_dot_center_avx512(std::span<const float> row, std::span<const float> centers,
                                                     std::size_t k, std::size_t dim) noexcept;

// (index, score) of the center j whose summed table entries for one code row,
// table[(m*Ks + codes[m])*k + j] added for m = 0..M-1 in order, are least;
// k = 0 gives (0, +inf). The vector forms score 8 or 16 centers side by side,
// one lane each, so every form gives bit-identical scores.
[[nodiscard]] IndexedValue select_lookup_min_scalar(std::span<const std::uint8_t> codes, std::span<const float> table,
                                                    std::size_t ks, std::size_t k) noexcept;
[[nodiscard]] IndexedValue select_lookup_min_avx2(std::span<const std::uint8_t> codes, std::span<const float> table,
                                                  std::size_t ks, std::size_t k) noexcept;
[[nodiscard]] IndexedValue select_lookup_min_avx512(std::span<const std::uint8_t> codes, std::span<const float> table,
                                                    std::size_t ks, std::size_t k) noexcept;

// The same walk over the k centers first_center .. first_center + k - 1 of
// one table block, continuing from `best`: a total replaces it only when
// strictly smaller, so a scan over blocks in order, each call starting from
// the last one's result, equals one call over every center.
[[nodiscard]] IndexedValue lookup_min_from_scalar(std::span<const std::uint8_t> codes, std::span<const float> table,
                                                  std::size_t ks, std::size_t k, std::size_t first_center,
                                                  IndexedValue best) noexcept;
[[nodiscard]] IndexedValue lookup_min_from_avx2(std::span<const std::uint8_t> codes, std::span<const float> table,
                                                std::size_t ks, std::size_t k, std::size_t first_center,
                                                IndexedValue best) noexcept;
[[nodiscard]] IndexedValue lookup_min_from_avx512(std::span<const std::uint8_t> codes, std::span<const float> table,
                                                  std::size_t ks, std::size_t k, std::size_t first_center,
                                                  IndexedValue best) noexcept;

// lookup_min_from for each of n rows of M codes (`codes` holds n*M, row r at
// r*M) against one block of `width` centers, continuing from and writing back
// (labels[r], distances[r]); n is the length of `labels` and `distances`.
void lookup_min_rows_scalar(std::span<const std::uint8_t> codes, std::size_t m_count, std::span<const float> block,
                            std::size_t ks, std::size_t width, std::size_t first_center, std::span<std::size_t> labels,
                            std::span<float> distances) noexcept;
void lookup_min_rows_avx2(std::span<const std::uint8_t> codes, std::size_t m_count, std::span<const float> block,
                          std::size_t ks, std::size_t width, std::size_t first_center, std::span<std::size_t> labels,
                          std::span<float> distances) noexcept;
void lookup_min_rows_avx512(std::span<const std::uint8_t> codes, std::size_t m_count, std::span<const float> block,
                            std::size_t ks, std::size_t width, std::size_t first_center, std::span<std::size_t> labels,
                            std::span<float> distances) noexcept;

// The first least of the squared distances of one row from its dot products
// with the centers, d_j = (center_norms[j] + row_norm) - (scores[j] + scores[j]),
// a result below zero (a rounding artefact) taken as +0; a NaN is never
// chosen and nothing below +inf gives (0, +inf). Each d_j is computed
// elementwise and the choice is exact, so every form gives the same result.
[[nodiscard]] IndexedValue least_l2_from_scores_scalar(std::span<const float> scores,
                                                       std::span<const float> center_norms, float row_norm) noexcept;
[[nodiscard]] IndexedValue least_l2_from_scores_avx2(std::span<const float> scores, std::span<const float> center_norms,
                                                     float row_norm) noexcept;
[[nodiscard]] IndexedValue least_l2_from_scores_avx512(std::span<const float> scores,
                                                       std::span<const float> center_norms, float row_norm) noexcept;

// The first greatest score, a NaN never chosen, (0, -inf) when nothing is
// above -inf; the value is the chosen score's own (zeros of both signs tie).
[[nodiscard]] IndexedValue greatest_score_scalar(std::span<const float> scores) noexcept;
[[nodiscard]] IndexedValue greatest_score_avx2(std::span<const float> scores) noexcept;
[[nodiscard]] IndexedValue greatest_score_avx512(std::span<const float> scores) noexcept;

/// One family's forms of every slice kernel.
struct SliceKernelTable {
    IndexedValue (*argmin)(std::span<const float> values) noexcept;
    float (*l2_distance)(std::span<const float> a, std::span<const float> b) noexcept;
    void (*add_assign)(std::span<float> dst, std::span<const float> src) noexcept;
    void (*scaled_add_assign)(std::span<float> dst, std::span<const float> src, float scale) noexcept;
    IndexedValue (*nearest_l2_center)(std::span<const float> row, std::span<const float> centers, std::size_t k,
                                      std::size_t dim) noexcept;
    IndexedValue (*nearest_dot_center)(std::span<const float> row, std::span<const float> centers, std::size_t k,
                                       std::size_t dim) noexcept;
    IndexedValue (*select_lookup_min)(std::span<const std::uint8_t> codes, std::span<const float> table, std::size_t ks,
                                      std::size_t k) noexcept;
    IndexedValue (*lookup_min_from)(std::span<const std::uint8_t> codes, std::span<const float> table, std::size_t ks,
                                    std::size_t k, std::size_t first_center, IndexedValue best) noexcept;
    void (*lookup_min_rows)(std::span<const std::uint8_t> codes, std::size_t m_count, std::span<const float> block,
                            std::size_t ks, std::size_t width, std::size_t first_center, std::span<std::size_t> labels,
                            std::span<float> distances) noexcept;
    IndexedValue (*least_l2_from_scores)(std::span<const float> scores, std::span<const float> center_norms,
                                         float row_norm) noexcept;
    IndexedValue (*greatest_score)(std::span<const float> scores) noexcept;
};

/// The one place a family turns into kernels.
[[nodiscard]] inline const SliceKernelTable& slice_kernels(SliceKernel family) noexcept {
    static constexpr SliceKernelTable kScalar{
        argmin_scalar,
        l2_distance_scalar,
        add_assign_scalar,
        scaled_add_assign_scalar,
        nearest_l2_center_scalar,
        nearest_dot_center_scalar,
        select_lookup_min_scalar,
        lookup_min_from_scalar,
        lookup_min_rows_scalar,
        least_l2_from_scores_scalar,
        greatest_score_scalar,
    };
    static constexpr SliceKernelTable kAvx2{
        argmin_avx2,
        l2_distance_avx2,
        add_assign_avx2,
        scaled_add_assign_avx2,
        nearest_l2_center_avx2,
        nearest_dot_center_avx2,
        select_lookup_min_avx2,
        lookup_min_from_avx2,
        lookup_min_rows_avx2,
        least_l2_from_scores_avx2,
        greatest_score_avx2,
    };
    static constexpr SliceKernelTable kAvx512{
        argmin_avx512,
        l2_distance_avx512,
        add_assign_avx512,
        scaled_add_assign_avx512,
        nearest_l2_center_avx512,
        nearest_dot_center_avx512,
        select_lookup_min_avx512,
        lookup_min_from_avx512,
        lookup_min_rows_avx512,
        least_l2_from_scores_avx512,
        greatest_score_avx512,
    };
    return *by_family(family, &kScalar, &kAvx2, &kAvx512);
}

/// Rows per task of a scan that visits a table block by block: enough rows
/// that each block, once in cache, serves many of them (a row reads 1/Ks of
/// a block).
inline constexpr std::size_t kBlockScanChunkRows = 4096;

/// One chunk's rows (n rows of M codes, C order) against a center table of k
/// centers in blocks of `block_centers` (block b, of width w, an (M, Ks, w)
/// table at entry b*B*M*Ks), one block after another: labels and distances
/// (n each) start at (0, +inf) and keep each row's best so far, so the result
/// is that of one walk over all k centers in order.
inline void lookup_min_over_blocks(const SliceKernelTable& kernels, std::span<const std::uint8_t> codes,
                                   std::size_t m_count, std::span<const float> table, std::size_t ks, std::size_t k,
                                   std::size_t block_centers, std::span<std::size_t> labels,
                                   std::span<float> distances) {
    for (std::size_t& label : labels) {
        label = 0;
    }
    for (float& distance : distances) {
        distance = std::numeric_limits<float>::infinity();
    }
    const std::size_t block_entries = m_count * ks * block_centers;
    for (std::size_t block_begin = 0, b = 0; block_begin < k; block_begin += block_centers, ++b) {
        const std::size_t width = block_centers < k - block_begin ? block_centers : k - block_begin;
        kernels.lookup_min_rows(codes, m_count, table.subspan(b * block_entries, m_count * ks * width), ks, width,
                                block_begin, labels, distances);
    }
}

/// The kernels of this process's family. Hoist the reference out of row loops.
[[nodiscard]] inline const SliceKernelTable& slice_kernels() {
    static const SliceKernelTable& table = slice_kernels(selected_slice_kernel());
    return table;
}

}  // namespace tarvinex::simd
