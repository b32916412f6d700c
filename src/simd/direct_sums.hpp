#pragma once
/// The direct symmetric sums of eight rows at once, one row per lane: the
/// scan that runs when a pass's center lookup table does not fit its budget.
///
/// Row r's total for a center is the float sum, from +0.0 in ascending
/// subquantizer order, of D_cw[(s*Ks + a_r(s))*Ks + b(s)], as in the portable
/// loop; lanes are never summed across, so the totals are the same bits.
/// Each lane keeps its row's first least total (strictly smaller replaces,
/// NaN never does), the center index ascending. The AVX2 form serves the
/// AVX-512 family too: the lanes only need AVX2.

#include <cstddef>
#include <cstdint>

#include "simd/cpu_features.hpp"
#include "simd/preference.hpp"

namespace tarvinex::simd {

inline constexpr std::size_t kDirectRows = 8;

/// Fills `interleaved` (M*Ks*8 floats) for the eight rows of M codes at
/// `rows`: entry (s*Ks + c)*8 + r is D_cw[(s*Ks + a_r(s))*Ks + c], so the
/// eight rows' entries for one center code are one vector.
void interleave_row_tables_avx2(const std::uint8_t* rows, std::size_t m_count, const float* codeword_distances,
                                std::size_t ks, float* interleaved) noexcept;

/// The nearest of the k centers (M codes each at `centers`, C order) for each
/// of the eight rows whose interleaved tables are given: labels[r] and
/// distances[r]. Callers guarantee k < 2^31.
void nearest_direct_rows_avx2(const float* interleaved, const std::uint8_t* centers, std::size_t m_count,
                              std::size_t ks, std::size_t k, std::size_t* labels, float* distances) noexcept;

using InterleaveRowTables = void (*)(const std::uint8_t* rows, std::size_t m_count, const float* codeword_distances,
                                     std::size_t ks, float* interleaved) noexcept;
using NearestDirectRows = void (*)(const float* interleaved, const std::uint8_t* centers, std::size_t m_count,
                                   std::size_t ks, std::size_t k, std::size_t* labels, float* distances) noexcept;

/// The eight-row direct sums of a family, both null where it has none (the
/// portable family scores rows its own way).
struct DirectRowKernels {
    InterleaveRowTables interleave = nullptr;
    NearestDirectRows nearest = nullptr;
};

/// The direct-sum kernels for `family` on a processor with `features`: the
/// AVX2 form for both vector families.
[[nodiscard]] DirectRowKernels direct_row_kernels(SliceKernel family, const CpuFeatures& features);

}  // namespace tarvinex::simd
