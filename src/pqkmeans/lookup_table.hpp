#pragma once
/// The center lookup table of one assignment pass and the rule that decides
/// whether it is built.
///
/// Layout: the centers fall into blocks of B (the last block may be shorter),
/// and block b, of width w, is an (M, Ks, w) C-order table of its own that
/// starts at entry b*B*M*Ks. The entry of codeword c of subquantizer s for
/// center j = b*B + t is therefore at b*B*M*Ks + (s*Ks + c)*w + t: the w
/// entries of one (subquantizer, codeword) pair are adjacent, so the
/// lookup-minimum kernels read 8 or 16 centers at once, and one block is a
/// contiguous M*Ks*w slice that a scan can keep in cache while many rows
/// visit it. With B = k there is one block: the plain (M, Ks, k) table, the
/// one the quantized 4-bit fast-scan and the hybrid shortlists read.
///
/// Symmetric entry: D_cw[(s*Ks + c)*Ks + b(j, s)], row code first, center code
/// second. ADC entry: the fixed-width squared distance between codeword (s, c)
/// and sub-vector s of center j.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "array/array.hpp"
#include "simd/cache_sizes.hpp"

namespace tarvinex::pqkmeans {

/// Table rows (one per subquantizer and codeword) filled by one pool task.
inline constexpr std::size_t kLookupBlockRows = 16;

/// The entry count e = M*Ks*k when a table of 4*e bytes fits `budget_bytes`
/// (equality fits); nothing when M*Ks or M*Ks*k overflows, or when e >= 2^62.
[[nodiscard]] std::optional<std::size_t> lookup_table_entries(std::size_t m_count, std::size_t ks, std::size_t k,
                                                              std::size_t budget_bytes);

/// The most bytes one block's slice of a center table may take: three
/// quarters of one core's L2 within a cap, or 2 MiB where that L2 is too
/// small to hold a block; never a figure of the shared cache, which a
/// virtual machine may report for the whole host.
[[nodiscard]] std::size_t lookup_block_slice_bytes(const simd::CacheSizes& cache);

/// The block width B for a table that a row scan reads block by block. The
/// widest block is the most centers, in an odd number of steps of
/// kLookupBlockStep (at least kMinLookupBlockSteps), whose slice takes at
/// most `slice_bytes`. When that covers all k centers but at most one step,
/// B is k itself, except that a k which is a multiple of 8 steps gives
/// k - kLookupBlockStep; otherwise B is the narrowest odd number of steps
/// that needs no more blocks than the widest does.
///
/// Why these sizes: a whole table beyond the last-level cache makes every
/// row wait on memory, while a block too narrow leaves too few centers per
/// row and block for the per-row work (finding the code rows, checking the
/// best) to pay off. On a two-core AVX2 Zen (512 KiB L2, 8 MiB L3) slices of
/// 2-4 MiB from the L3 were fastest; on a two-core AVX-512 Xeon guest (2 MiB
/// L2, the host's 480 MiB L3 reported) slices of one L2 were 1.3-1.9x
/// faster than one block sized from the reported L3, and with the table in
/// huge pages slices of three quarters of the L2 were 3-6% faster again. A row stride of a multiple of 256
/// floats maps a row's M runs to the same few cache sets: a 1024-center table
/// of 16 codewords scanned at 26% of the add bound as one block and at 66% in
/// blocks of 992 and 32.
[[nodiscard]] std::size_t lookup_block_centers(std::size_t m_count, std::size_t ks, std::size_t k,
                                               std::size_t slice_bytes);

/// The same with this machine's slice, `lookup_block_slice_bytes(detected_cache_sizes())`.
[[nodiscard]] std::size_t lookup_block_centers(std::size_t m_count, std::size_t ks, std::size_t k);

/// Block widths are multiples of this, so the vector kernels run full lane groups.
inline constexpr std::size_t kLookupBlockStep = 32;
/// The narrowest block: 96 centers, three steps.
inline constexpr std::size_t kMinLookupBlockSteps = 3;
/// A block's slice: three quarters of one core's L2 (the rest holds the
/// rows, their results and what passes through), up to the cap, where that
/// is at least kMinL2SliceBytes; below, the block cannot live in the L2 and
/// takes a slice of kSharedCacheSliceBytes from the cache behind it.
inline constexpr std::size_t kLookupSliceL2Quarters = 3;
inline constexpr std::size_t kMinL2SliceBytes = std::size_t{1} << 20;
inline constexpr std::size_t kSharedCacheSliceBytes = std::size_t{2} << 20;
inline constexpr std::size_t kMaxLookupSliceBytes = std::size_t{4} << 20;

/// Where (subquantizer s, codeword c, center j) lives in a table of k centers
/// in blocks of `block_centers`.
[[nodiscard]] inline std::size_t lookup_entry_index(std::size_t m_count, std::size_t ks, std::size_t k,
                                                    std::size_t block_centers, std::size_t s, std::size_t c,
                                                    std::size_t j) {
    const std::size_t block_begin = j - j % block_centers;
    const std::size_t width = std::min(block_centers, k - block_begin);
    return block_begin * m_count * ks + (s * ks + c) * width + (j - block_begin);
}

/// Fills `lookup` (M*Ks*k entries) with the symmetric table of `centers`
/// (k, M, read through its strides) from the codeword-distance table
/// (M*Ks*Ks), in blocks of `block_centers` (1 <= B; B >= k is one block). No
/// budget applies: the caller has sized `lookup`.
void fill_symmetric_lookup_table(std::span<const float> codeword_distances, std::size_t ks,
                                 array::MatrixView<const std::uint8_t> centers, std::span<float> lookup,
                                 std::size_t block_centers);

/// The same as one block, the plain (M, Ks, k) table.
void fill_symmetric_lookup_table(std::span<const float> codeword_distances, std::size_t ks,
                                 array::MatrixView<const std::uint8_t> centers, std::span<float> lookup);

}  // namespace tarvinex::pqkmeans
