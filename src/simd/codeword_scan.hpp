#pragma once
/// Batched codeword scans: one sub-vector against a whole codebook at once.
///
/// The nearest-codeword scans read the codebook in blocks of 16 codewords,
/// transposed so that element d of the 16 codewords is one run of 16 floats,
/// and score the codewords of a block in parallel lanes. Each scan reproduces
/// one `DistanceKernel` routine of distance.hpp bit for bit: a lane follows
/// the codeword through the same per-position sums over the blocks of the
/// sub-vector and the same reduction tree as the per-pair routine, so the
/// winner of every near-tie is the same. Selection is the per-pair loop's: the
/// first codeword of least distance, a NaN never wins, and a row whose
/// distances are all NaN or +inf gets (0, +inf).
///
/// The transposed-score kernels compute the transposed encoder's scores
/// |c|² − 2·x·c, one lane per codeword, in the slice kernels' order.
///
/// Layout of the codeword blocks: (ceil(Ks/16), Ds, 16), C order; element d of
/// codeword c at ((c/16)*Ds + d)*16 + c%16. Lanes past Ks hold NaN, whose
/// distance never wins.

#include <cstddef>
#include <vector>

#include "simd/cpu_features.hpp"
#include "simd/distance.hpp"
#include "simd/preference.hpp"
#include "simd/slice_kernels.hpp"

namespace tarvinex::simd {

inline constexpr std::size_t kCodewordBlockLanes = 16;

/// Floats of the blocked copy of ks codewords of ds floats.
[[nodiscard]] constexpr std::size_t codeword_blocks_size(std::size_t ks, std::size_t ds) noexcept {
    return (ks + kCodewordBlockLanes - 1) / kCodewordBlockLanes * kCodewordBlockLanes * ds;
}

/// The blocked copy of codewords (ks, ds), row-major, into out
/// (codeword_blocks_size(ks, ds) floats).
void block_codewords_into(const float* codewords, std::size_t ks, std::size_t ds, float* out) noexcept;

/// (index, distance) of the nearest of ks blocked codewords to row (ds floats).
using NearestCodewordScan = IndexedValue (*)(const float* row, const float* blocks, std::size_t ks,
                                             std::size_t ds) noexcept;

// Sequential sums from zero: the Scalar routine, and Slice under the portable family.
[[nodiscard]] IndexedValue nearest_codeword_sequential_scalar(const float* row, const float* blocks, std::size_t ks,
                                                              std::size_t ds) noexcept;
// Simd4's (d0 + d2) + (d1 + d3), in portable code for the portable family or processors without AVX2.
[[nodiscard]] IndexedValue nearest_codeword_simd4_scalar(const float* row, const float* blocks, std::size_t ks,
                                                         std::size_t ds) noexcept;
[[nodiscard]] IndexedValue nearest_codeword_simd4_avx2(const float* row, const float* blocks, std::size_t ks,
                                                       std::size_t ds) noexcept;
// Simd8 .. Simd64: eight lane positions, pairwise reduction; ds is the width.
[[nodiscard]] IndexedValue nearest_codeword_simd8_avx2(const float* row, const float* blocks, std::size_t ks,
                                                       std::size_t ds) noexcept;
[[nodiscard]] IndexedValue nearest_codeword_simd16_avx2(const float* row, const float* blocks, std::size_t ks,
                                                        std::size_t ds) noexcept;
[[nodiscard]] IndexedValue nearest_codeword_simd32_avx2(const float* row, const float* blocks, std::size_t ks,
                                                        std::size_t ds) noexcept;
[[nodiscard]] IndexedValue nearest_codeword_simd64_avx2(const float* row, const float* blocks, std::size_t ks,
                                                        std::size_t ds) noexcept;
// The same five routines, sixteen codewords a register.
[[nodiscard]] IndexedValue nearest_codeword_simd4_avx512(const float* row, const float* blocks, std::size_t ks,
                                                         std::size_t ds) noexcept;
[[nodiscard]] IndexedValue nearest_codeword_simd8_avx512(const float* row, const float* blocks, std::size_t ks,
                                                         std::size_t ds) noexcept;
[[nodiscard]] IndexedValue nearest_codeword_simd16_avx512(const float* row, const float* blocks, std::size_t ks,
                                                          std::size_t ds) noexcept;
[[nodiscard]] IndexedValue nearest_codeword_simd32_avx512(const float* row, const float* blocks, std::size_t ks,
                                                          std::size_t ds) noexcept;
[[nodiscard]] IndexedValue nearest_codeword_simd64_avx512(const float* row, const float* blocks, std::size_t ks,
                                                          std::size_t ds) noexcept;
// nearest_l2_center_avx2's four-center groups at a width ds that is a
// multiple of 8 (no tail): eight lane positions from zero, pairwise
// reduction, as Simd8 .. Simd64 at any such width; eight or sixteen
// codewords a register.
[[nodiscard]] IndexedValue nearest_codeword_pairwise_avx2(const float* row, const float* blocks, std::size_t ks,
                                                          std::size_t ds) noexcept;
[[nodiscard]] IndexedValue nearest_codeword_pairwise_avx512(const float* row, const float* blocks, std::size_t ks,
                                                            std::size_t ds) noexcept;
// l2_distance_avx2: eight lane positions from zero, lane order, then the tail.
[[nodiscard]] IndexedValue nearest_codeword_slice_avx2(const float* row, const float* blocks, std::size_t ks,
                                                       std::size_t ds) noexcept;
// l2_distance_avx512, which Simd16Avx512 .. Simd64Avx512 equal at their widths:
// sixteen lane positions from zero, lane order, then the tail.
[[nodiscard]] IndexedValue nearest_codeword_slice_avx512(const float* row, const float* blocks, std::size_t ks,
                                                         std::size_t ds) noexcept;

/// The scan that reproduces `kernel`; `family` is the family whose
/// l2_distance the Slice routine calls.
[[nodiscard]] NearestCodewordScan nearest_codeword_scan(DistanceKernel kernel, SliceKernel family,
                                                        const CpuFeatures& features) noexcept;

/// The scan for `kernel` in this process (Slice is the process family's).
[[nodiscard]] NearestCodewordScan nearest_codeword_scan(DistanceKernel kernel);

/// The scan over centers blocked as codewords (block_codewords_into) that
/// gives `family`'s nearest_l2_center bit for bit on the first `centers` of
/// k centers of width dim; the kernel scores the rest, after them in its
/// walk. No scan where the family has none at this width.
struct NearestCenterScan {
    NearestCodewordScan scan = nullptr;
    std::size_t centers = 0;
};

/// AVX-512: the lane-order scan over all k. AVX2 at a width that is a
/// multiple of 8: the pairwise scan over the whole groups of four centers
/// (the kernel reduces the last k mod 4 in lane order), sixteen a register
/// where the processor allows.
[[nodiscard]] NearestCenterScan nearest_center_scan(SliceKernel family, const CpuFeatures& features, std::size_t k,
                                                    std::size_t dim) noexcept;

/// scores[c] = norms[c] + Σ_d round(round(row[d]·−2)·transposed[d*ks + c]),
/// added for d = 0 .. ds − 1 in order, for c < ks: the value the slice kernels'
/// scaled additions leave. transposed is (ds, ks), norms and scores ks floats.
using TransposedScores = void (*)(const float* row, const float* transposed, const float* norms, std::size_t ks,
                                  std::size_t ds, float* scores) noexcept;

void transposed_scores_scalar(const float* row, const float* transposed, const float* norms, std::size_t ks,
                              std::size_t ds, float* scores) noexcept;
void transposed_scores_avx2(const float* row, const float* transposed, const float* norms, std::size_t ks,
                            std::size_t ds, float* scores) noexcept;
void transposed_scores_avx512(const float* row, const float* transposed, const float* norms, std::size_t ks,
                              std::size_t ds, float* scores) noexcept;

/// The family's transposed-score kernel.
[[nodiscard]] TransposedScores transposed_scores_kernel(SliceKernel family) noexcept;

/// The transposed encoder's choice for one row: the family's argmin of the
/// family's transposed scores, as if the scores were written to `scores` (ks
/// floats, used as scratch) and scanned there, so the same index and value.
using TransposedNearest = IndexedValue (*)(const float* row, const float* transposed, const float* norms,
                                           std::size_t ks, std::size_t ds, float* scores) noexcept;

IndexedValue transposed_nearest_scalar(const float* row, const float* transposed, const float* norms, std::size_t ks,
                                       std::size_t ds, float* scores) noexcept;
IndexedValue transposed_nearest_avx2(const float* row, const float* transposed, const float* norms, std::size_t ks,
                                     std::size_t ds, float* scores) noexcept;
/// For codebooks of 64, 128, 192 or 256 codewords the scores stay in
/// registers, their d-sums run as independent chains and the argmin reads
/// them there, in the order the vector argmin reads memory.
IndexedValue transposed_nearest_avx512(const float* row, const float* transposed, const float* norms, std::size_t ks,
                                       std::size_t ds, float* scores) noexcept;

/// The family's transposed nearest-codeword kernel.
[[nodiscard]] TransposedNearest transposed_nearest_kernel(SliceKernel family) noexcept;

}  // namespace tarvinex::simd
