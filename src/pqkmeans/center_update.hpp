#pragma once
/// The per-center steps of the PQ k-means center updates.
///
/// Layouts: a code matrix is (n, M), read through its strides; a codebook
/// span is the C-ordered (M, Ks, Ds) block, codeword c of subquantizer s at
/// (s*Ks + c)*Ds; the codeword-distance table is (M, Ks, Ks), C order. A
/// center is one row: M code bytes, or D = M*Ds floats.
///
/// Callers guarantee that codes are below Ks and that member rows are below n.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "array/array.hpp"
#include "simd/slice_kernels.hpp"

namespace tarvinex::pqkmeans {

/// Means of at most this many members are summed in one pass in ascending
/// row order, so they are reproducible; larger ones are summed in parallel.
inline constexpr std::size_t kSequentialMeanMaxMembers = 1023;
/// Members per partial sum of a parallel mean.
inline constexpr std::size_t kMeanChunkMembers = 256;

/// Scratch of one task of the code vote, reused for every center it handles.
/// The counters are 64-bit so that no cluster size can wrap them.
struct CodeVoteScratch {
    /// (M, Ks): members whose code of subquantizer s is c, at s*Ks + c.
    std::vector<std::uint64_t> histogram;
    /// Ks summed distances of one subquantizer.
    std::vector<float> scores;

    CodeVoteScratch(std::size_t m_count, std::size_t ks) : histogram(m_count * ks, 0), scores(ks, 0.0F) {}
};

/// The code vote of one center: for each subquantizer s, the codeword c' with
/// the least sum over members of D_cw[(s*Ks + code)*Ks + c']. The sum runs
/// over the codewords c in ascending order that h > 0 members use, adding
/// round(float(h) * D_cw[(s*Ks + c)*Ks + c']) to each score; the first
/// least score wins, so the lower codeword takes ties. `center` (M bytes) is
/// left unchanged when `members` is empty.
void vote_center_code_into(array::MatrixView<const std::uint8_t> codes, std::span<const std::size_t> members,
                           std::span<const float> codeword_distances, std::size_t ks, std::span<std::uint8_t> center,
                           CodeVoteScratch& scratch, const simd::SliceKernelTable& kernels);

/// accumulator[s*Ds + d] += codeword (s, code(row, s)) element d, for each
/// row of `rows` in order and s = 0 .. M-1. `accumulator` holds D floats.
void accumulate_code_rows_into_center(array::MatrixView<const std::uint8_t> codes, std::span<const std::size_t> rows,
                                      std::span<const float> codebooks, std::size_t m_count, std::size_t ks,
                                      std::size_t ds, std::span<float> accumulator,
                                      const simd::SliceKernelTable& kernels);

/// `center` (D floats) becomes the mean of the decoded codes of `members`
/// (ascending rows): summed in ascending order for at most 1023 members, in
/// parallel 256-member partial sums otherwise, then scaled by 1/c. Left
/// unchanged when `members` is empty.
void mean_dense_center_from_codes_into(array::MatrixView<const std::uint8_t> codes,
                                       std::span<const std::size_t> members, std::span<const float> codebooks,
                                       std::size_t m_count, std::size_t ks, std::size_t ds, std::span<float> center,
                                       const simd::SliceKernelTable& kernels);

/// The same mean over the rows of the C-contiguous (n, D) `vectors`.
void mean_dense_center_from_vectors_into(array::MatrixView<const float> vectors, std::span<const std::size_t> members,
                                         std::span<float> center, const simd::SliceKernelTable& kernels);

/// out[s*Ds .. s*Ds + Ds - 1] = codeword (s, code(row, s)) for every s.
void decode_code_row_into(array::MatrixView<const std::uint8_t> codes, std::size_t row,
                          std::span<const float> codebooks, std::size_t m_count, std::size_t ks, std::size_t ds,
                          std::span<float> out);

}  // namespace tarvinex::pqkmeans
