#pragma once
/// The center lookup table of one assignment pass and the rule that decides
/// whether it is built.
///
/// (M, Ks, k), C order: the entry of codeword c of subquantizer s for center j
/// is at (s*Ks + c)*k + j, so the k entries of one (subquantizer, codeword)
/// pair are adjacent and the lookup-minimum kernels read 8 or 16 centers at
/// once. For Ks = 16 this is exactly the float table of the 4-bit scans.
///
/// Symmetric entry: D_cw[(s*Ks + c)*Ks + b(j, s)], row code first, center code
/// second. ADC entry: the fixed-width squared distance between codeword (s, c)
/// and sub-vector s of center j.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "array/array.hpp"

namespace tarvinex::pqkmeans {

/// Table rows (one per subquantizer and codeword) filled by one pool task.
inline constexpr std::size_t kLookupBlockRows = 16;

/// The entry count e = M*Ks*k when a table of 4*e bytes fits `budget_bytes`
/// (equality fits); nothing when M*Ks or M*Ks*k overflows, or when e >= 2^62.
[[nodiscard]] std::optional<std::size_t> lookup_table_entries(std::size_t m_count, std::size_t ks, std::size_t k,
                                                              std::size_t budget_bytes);

/// Fills `lookup` (M*Ks*k entries) with the symmetric table of `centers`
/// (k, M, read through its strides) from the codeword-distance table
/// (M*Ks*Ks). No budget applies: the caller has sized `lookup`.
void fill_symmetric_lookup_table(std::span<const float> codeword_distances, std::size_t ks,
                                 array::MatrixView<const std::uint8_t> centers, std::span<float> lookup);

}  // namespace tarvinex::pqkmeans
