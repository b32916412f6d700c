#pragma once
/// 8-bit copies of a 4-bit center lookup table and the fast-scan over packed
/// codes: a cheap 16-bit estimate picks each row's center, and the winner is
/// rescored exactly from the float table.
///
/// Levels are center-major: the level of (center c, subquantizer s, code v) is
/// at (c*M + s)*16 + v, so one center's 16 levels of a subquantizer fill one
/// 128-bit register and a byte shuffle looks up 32 rows at once. A level
/// approximates entry ~ bias + level*scale; M <= 257 keeps a sum of M levels
/// within 16 bits (257*255 = 65535).

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "error/settings.hpp"
#include "pq4/packed_codes.hpp"
#include "simd/cpu_features.hpp"
#include "simd/preference.hpp"

namespace tarvinex::pq4 {

/// TARVINEX_PQ4_FASTSCAN: "1", "on", "yes", "true", "auto" or "fastscan"
/// turn the fast-scan on; anything else leaves it off.
[[nodiscard]] bool pq4_fastscan_enabled(const settings::EnvLookup& lookup = settings::process_lookup());

enum class LutCalibration : std::uint8_t { Global, PerCluster };

/// TARVINEX_PQ4_LUT_CALIBRATION: "cluster", "centroid", "percluster" or
/// "percentroid" select per-cluster calibration; anything else global.
[[nodiscard]] LutCalibration lut_calibration(const settings::EnvLookup& lookup = settings::process_lookup());

/// Both fast-scan settings, read together once per operation by its driver and
/// passed down as plain values, so no scan reads the environment.
struct FastScanSettings {
    bool enabled = false;
    LutCalibration calibration = LutCalibration::Global;
};

[[nodiscard]] FastScanSettings read_fastscan_settings(const settings::EnvLookup& lookup = settings::process_lookup());

struct QuantizedPq4LookupTables {
    std::vector<std::uint8_t> quantized;  ///< k*M*16 levels, center-major
    std::vector<float> scales;            ///< per center, per-cluster mode only
    std::vector<float> biases;            ///< per center (its minimum entry), per-cluster mode only
    std::size_t m = 0;
    std::size_t k = 0;
    float global_scale = 1.0f;
    float global_bias = 0.0f;
    bool per_cluster = false;

    /// Rebuilds the levels from the float table (M*16*k entries) with the
    /// given calibration. Returns false, leaving every field unchanged, when the table cannot be
    /// quantized exactly enough to be useful: a size that overflows, M > 257,
    /// a length other than M*16*k, k = 0, an entry that is not finite, a range
    /// (max - min) that is not finite, or a scale that underflows to 0.
    [[nodiscard]] bool update_from_f32(std::span<const float> table, std::size_t m, std::size_t k,
                                       LutCalibration calibration);
};

/// out[r] = sum over s of the level of (center, s, code(32*block + r, s)), in
/// 16-bit arithmetic, for r = 0..31. Padding rows carry no result: the
/// portable kernel writes 65535 there, the vector kernels the sum of the
/// zero padding codes.
using Pq4ScanKernel = void (*)(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, std::size_t block,
                               std::size_t center, std::uint16_t* out);

void pq4_scan_cluster_scalar(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, std::size_t block,
                             std::size_t center, std::uint16_t* out);
void pq4_scan_cluster_avx2(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, std::size_t block,
                           std::size_t center, std::uint16_t* out);
/// Needs AVX-512BW.
void pq4_scan_cluster_avx512(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables, std::size_t block,
                             std::size_t center, std::uint16_t* out);

/// Global calibration, one block: per row, the first center with the strictly
/// smallest raw sum from 65535 (the same winners as running the scan kernel of
/// the same family for every center), with the sums kept in registers across
/// the centers. k must be below 2^32.
using Pq4GlobalBlockSelector = void (*)(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables,
                                        std::size_t block, std::uint32_t* best_center);
void pq4_select_block_global_avx2(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables,
                                  std::size_t block, std::uint32_t* best_center);
/// Needs AVX-512BW.
void pq4_select_block_global_avx512(const PackedPq4Codes& packed, const QuantizedPq4LookupTables& tables,
                                    std::size_t block, std::uint32_t* best_center);

/// One family's fast-scan kernels. `family` is the family they belong to,
/// which is lower than the one asked for when the processor lacks its
/// instructions.
struct Pq4Kernels {
    simd::SliceKernel family;
    Pq4ScanKernel scan_cluster;
    Pq4GlobalBlockSelector select_block_global;  ///< null for the portable form
};

/// The kernels of `family` on a processor with `features`: avx512 needs
/// AVX-512BW and otherwise falls back to avx2 when the processor has AVX2;
/// avx2 needs AVX2; everything else gets the portable form.
[[nodiscard]] Pq4Kernels pq4_kernels_for(simd::SliceKernel family, const simd::CpuFeatures& features);

/// The kernels of this process's family and processor, chosen on the first call.
[[nodiscard]] const Pq4Kernels& selected_pq4_kernels();

/// The fast-scan assignment with `kernels` and `calibration`. Returns false
/// with `labels` and `distances` untouched when `tables` refuses the update;
/// otherwise every row gets the center with the smallest estimate (lowest
/// index on ties) and its exact float distance, and the result is true.
[[nodiscard]] bool assign_pq4_lookup_quantized_into(const PackedPq4Codes& packed, std::span<const float> table,
                                                    std::size_t k, QuantizedPq4LookupTables& tables,
                                                    std::span<std::size_t> labels, std::span<float> distances,
                                                    const Pq4Kernels& kernels, LutCalibration calibration);

/// The chunk scans the assignment runs on the pool, for the rows [begin, end)
/// (begin a multiple of 32); `labels` and `distances` hold exactly those rows.
/// `tables` must come from a successful update for this `table`, packed.m and
/// tables.k. Each row gets the center with the smallest estimate, ties to the
/// lower index, and the exact float distance to it (pq4_exact_distance).
///
/// The float estimate out[r]*scale + M*bias, from +inf, with the per-center
/// (scale, bias) when `tables.per_cluster` is set and the global pair otherwise.
void assign_pq4_lookup_quantized_with_scan(const PackedPq4Codes& packed, std::span<const float> table,
                                           const QuantizedPq4LookupTables& tables, const Pq4Kernels& kernels,
                                           std::size_t begin, std::size_t end, std::span<std::size_t> labels,
                                           std::span<float> distances);
/// The raw 16-bit sums, from 65535: every center's estimate is the same
/// increasing function of its sum under one global (scale, bias). Uses the
/// fused block selector when `kernels` has one and k is below 2^32.
void assign_pq4_lookup_quantized_global_with_scan(const PackedPq4Codes& packed, std::span<const float> table,
                                                  const QuantizedPq4LookupTables& tables, const Pq4Kernels& kernels,
                                                  std::size_t begin, std::size_t end, std::span<std::size_t> labels,
                                                  std::span<float> distances);

}  // namespace tarvinex::pq4
