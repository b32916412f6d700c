#pragma once
/// The row scans of the assignment passes over unpacked codes: each row of a
/// C-contiguous (n, M) code matrix gets the nearest of k centers and its
/// distance.
///
/// Shared rules, kept by every scan so that the table and direct paths agree
/// bit for bit:
/// - Chunks of rows on the pool (256 rows; 4096 for a table read in several
///   blocks); each task writes only its chunk's labels and distances.
/// - A row starts from (label 0, +inf) and visits centers in ascending index;
///   only a strictly smaller total replaces the best, so the lowest index wins
///   ties and a NaN total never wins.
/// - Totals are floats summed in ascending subquantizer order. The direct
///   scans start from +0.0, the table scan from its first entry; adding a
///   non-negative first term to +0.0 changes nothing.
///
/// Callers guarantee that codes are below Ks and that `labels` and
/// `distances` hold n entries.

#include <cstddef>
#include <cstdint>
#include <span>

#include "array/array.hpp"
#include "simd/distance.hpp"
#include "simd/preference.hpp"

namespace tarvinex::pqkmeans {

inline constexpr std::size_t kScanChunkRows = 256;

/// Totals from the center lookup table `table` (M*Ks*k entries in blocks of
/// `block_centers`, see lookup_table.hpp), scored by the `family` form of
/// lookup_min_rows. A task scans its rows against one block after another
/// and keeps each row's best so far, replacing it only on a strictly smaller
/// total, so the result equals one scan over all k centers in order.
void assign_with_lookup_into(array::MatrixView<const std::uint8_t> codes, std::span<const float> table, std::size_t ks,
                             std::size_t k, std::size_t block_centers, std::span<std::size_t> labels,
                             std::span<float> distances, simd::SliceKernel family);

/// The plain (M, Ks, k) table (one block) with this process's kernel family.
void assign_with_lookup_into(array::MatrixView<const std::uint8_t> codes, std::span<const float> table, std::size_t ks,
                             std::size_t k, std::span<std::size_t> labels, std::span<float> distances);

/// Symmetric totals without a table: +0.0, then
/// D_cw[(s*Ks + a(s))*Ks + b(j, s)] for s = 0 .. M-1, against the center codes
/// `centers` (k, M, C order) and the codeword-distance table (M*Ks*Ks).
/// The vector families score eight rows side by side (simd/direct_sums.hpp),
/// the portable one two rows at a time; the results are the same.
void assign_direct_into(array::MatrixView<const std::uint8_t> codes, array::MatrixView<const std::uint8_t> centers,
                        std::span<const float> codeword_distances, std::size_t ks, std::span<std::size_t> labels,
                        std::span<float> distances, simd::SliceKernel family);

/// The same with this process's kernel family.
void assign_direct_into(array::MatrixView<const std::uint8_t> codes, array::MatrixView<const std::uint8_t> centers,
                        std::span<const float> codeword_distances, std::size_t ks, std::span<std::size_t> labels,
                        std::span<float> distances);

/// ADC totals without a table: +0.0, then `kernel`'s squared distance between
/// codeword (s, a(s)) and sub-vector s of center j, for s = 0 .. M-1. The
/// codebook (M, Ks, Ds) and `centers` (k, M*Ds) are C-ordered, and `kernel`
/// suits width Ds.
void assign_adc_direct_into(array::MatrixView<const std::uint8_t> codes, array::MatrixView<const float> centers,
                            array::CodebookView<const float> codewords, simd::DistanceKernel kernel,
                            std::span<std::size_t> labels, std::span<float> distances);

}  // namespace tarvinex::pqkmeans
