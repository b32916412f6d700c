#pragma once
/// The engines of the hybrid assignment: rows kept both as codes and as raw
/// vectors (n, D) get the center (k, D, unrotated space) of least exact
/// squared distance, either over all centers or over a shortlist of the L
/// centers whose asymmetric (ADC) estimates are smallest.
///
/// Shortlist rules, shared by the four shortlist engines:
/// - Centers are offered in ascending index; an entry is (estimate, index) in
///   lexicographic order, a NaN estimate ranking above +inf. A full list takes
///   an offer only when it is below its worst (largest) entry, which it
///   replaces; so equal estimates keep the lower index and a NaN never enters
///   a full list.
/// - Refining takes the lexicographic minimum of (exact distance, index) over
///   the list, from (+inf, 0): a NaN distance is never taken, and a row whose
///   distances are all +inf or NaN gets label 0 and +inf.
/// - 256-row chunks on the pool, each task with its own shortlists; a row's
///   result depends on that row alone.

#include <cstddef>
#include <cstdint>
#include <span>

#include "pq4/packed_codes.hpp"
#include "pq4/quantized_tables.hpp"
#include "simd/slice_kernels.hpp"

namespace tarvinex::pqkmeans {

/// The engine of one hybrid pass.
enum class HybridAssignmentPath : std::uint8_t {
    ExactPdx,
    ExactPdxPruned,
    ExactFlash,
    ExactPlain,
    ShortlistDirectAdc,
    ShortlistLookup,
    ShortlistPq4Lookup,
    ShortlistPq4Quantized,
};

/// What the choice of a hybrid pass's engine depends on.
struct HybridPathInputs {
    bool exact = false;        ///< refine_exact_top_l >= k: every center is refined
    bool pdx_copy = false;     ///< the call made the dimension-major copy of the vectors
    bool pdx_pruning = false;  ///< TARVINEX_PDX_PRUNE
    bool flash = false;        ///< TARVINEX_FLASH_EXACT
    bool table_fits = false;   ///< the center lookup table fits the budget and the codebook is C-contiguous
    bool packed = false;       ///< 4-bit packed codes (Ks = 16)
    bool fastscan = false;     ///< TARVINEX_PQ4_FASTSCAN
};

/// The engine, a pure function of the inputs. Exact: the dimension-major
/// copy when there is one (pruned when asked), else flash when asked, else the
/// plain kernels. Shortlist: the lookup table when it fits (over packed
/// codes, quantized when the fast-scan is on), else the direct ADC sums. A
/// quantized table that cannot be made (a non-finite entry) leaves the pass
/// on the float table of the same codes.
[[nodiscard]] HybridAssignmentPath choose_hybrid_path(const HybridPathInputs& in) noexcept;

/// What every engine refines with: the raw vectors (n, D) and the unrotated
/// centers (k, D), both C order, and the outputs of n entries.
struct HybridRefineInput {
    std::span<const float> vectors;
    std::span<const float> centers;
    std::size_t dim = 0;
    std::size_t k = 0;
    std::span<std::size_t> labels;
    std::span<float> distances;
};

/// Every center examined: the family's nearest_l2_center on each row.
void assign_exact_dense_into(std::span<const float> vectors, std::span<const float> centers, std::size_t dim,
                             std::size_t k, std::span<std::size_t> labels, std::span<float> distances,
                             const simd::SliceKernelTable& kernels = simd::slice_kernels());

/// Estimates summed directly: per subquantizer in order, from +0.0, the
/// width-Ds routine's distance between codeword (s, code) and sub-vector s of
/// workspace row j (the centers rotated into the PQ space).
void assign_hybrid_direct_adc_into(std::span<const std::uint8_t> codes, std::span<const float> workspace,
                                   std::span<const float> codewords, std::size_t m, std::size_t ks, std::size_t ds,
                                   std::size_t shortlist, const HybridRefineInput& refine);

/// Estimates from the center lookup table T (M, Ks, k): T[(0*Ks + c_0)*k + j]
/// + T[(1*Ks + c_1)*k + j] + ..., in subquantizer order.
void assign_hybrid_with_lookup_into(std::span<const std::uint8_t> codes, std::span<const float> lookup, std::size_t m,
                                    std::size_t ks, std::size_t shortlist, const HybridRefineInput& refine);

/// The same sums from +0.0 over 4-bit packed codes (Ks = 16).
void assign_hybrid_pq4_with_lookup_into(const pq4::PackedPq4Codes& packed, std::span<const float> lookup,
                                        std::size_t shortlist, const HybridRefineInput& refine);

/// Estimates m_q*b + s*a from the 16-bit block sums s of the quantized tables
/// (a, b: the center's scale and bias, or the global ones), 32 rows a block.
void assign_hybrid_pq4_quantized_with_lookup_into(const pq4::PackedPq4Codes& packed,
                                                  const pq4::QuantizedPq4LookupTables& tables,
                                                  const pq4::Pq4Kernels& kernels, std::size_t shortlist,
                                                  const HybridRefineInput& refine);

}  // namespace tarvinex::pqkmeans
