/// The 8-bit tables, their two switches, the kernel table and the fast-scan
/// assignment.
///
/// An update checks everything it could refuse for before it writes a field,
/// so a refusal leaves the previous tables intact; the per-cluster ranges are
/// therefore walked twice (once to check, once to write) rather than kept in
/// a buffer the update would have to allocate.

#include "pq4/quantized_tables.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <span>

#include "array/size_product.hpp"
#include "error/error.hpp"
#include "error/settings.hpp"
#include "parallel/pool.hpp"
#include "pq4/packed_codes.hpp"
#include "simd/cpu_features.hpp"
#include "simd/preference.hpp"

namespace tarvinex::pq4 {
namespace {

/// 257 * 255 = 65535: the most subquantizers whose levels still sum within 16 bits.
constexpr std::size_t kMaxSubquantizers = 257;
constexpr float kLevels = 255.0f;
constexpr std::uint16_t kNoSum = std::numeric_limits<std::uint16_t>::max();

/// The smallest and largest of `count` entries `stride` apart, and whether
/// all of them and their difference are finite. No entries count as the range
/// [0, 0], so a table with M = 0 quantizes to nothing and estimates 0.
struct EntryRange {
    float min = 0.0f;
    float max = 0.0f;
    bool usable = true;
    [[nodiscard]] float diff() const { return max - min; }
};

[[nodiscard]] EntryRange entry_range(const float* first, std::size_t count, std::size_t stride) {
    EntryRange range;
    if (count == 0) {
        return range;
    }
    range.min = first[0];
    range.max = first[0];
    for (std::size_t e = 0; e < count; ++e) {
        const float entry = first[e * stride];
        if (!std::isfinite(entry)) {
            range.usable = false;
            return range;
        }
        range.min = entry < range.min ? entry : range.min;
        range.max = entry > range.max ? entry : range.max;
    }
    // Finite ends can still be too far apart for a float difference; and a
    // positive difference whose 255th part underflows cannot be divided by.
    const float diff = range.diff();
    range.usable = std::isfinite(diff) && !(diff > 0.0f && diff / kLevels == 0.0f);
    return range;
}

/// The scale a range quantizes with: diff/255, or 1 for a flat range.
[[nodiscard]] float scale_of(const EntryRange& range) {
    const float diff = range.diff();
    return diff > 0.0f ? diff / kLevels : 1.0f;
}

/// round((entry - min) / scale) halfway away from zero, clamped to [0, 255]
/// before the conversion. The quotient is never NaN: scale > 0 and both
/// operands are finite.
[[nodiscard]] std::uint8_t level_of(float entry, float min, float scale) {
    const float rounded = std::round((entry - min) / scale);
    const float clamped = rounded < 0.0f ? 0.0f : (rounded > kLevels ? kLevels : rounded);
    return static_cast<std::uint8_t>(clamped);
}

/// Writes the M*16 levels of center c, subquantizer by subquantizer, code by
/// code; a flat range gives all zeros.
void write_center_levels(std::span<const float> table, std::size_t m, std::size_t k, std::size_t c,
                         const EntryRange& range, float scale, std::uint8_t* levels) {
    const bool spread = range.diff() > 0.0f;
    for (std::size_t e = 0; e < m * 16; ++e) {
        levels[e] = spread ? level_of(table[e * k + c], range.min, scale) : std::uint8_t{0};
    }
}

void check_chunk_outputs(const PackedPq4Codes& packed, std::size_t begin, std::size_t end,
                         std::span<std::size_t> labels, std::span<float> distances) {
    TARVINEX_ASSERT(begin % kBlockRows == 0, "PQ4 chunk scans start on a block boundary");
    TARVINEX_ASSERT(
        end >= begin && end <= packed.rows && labels.size() == end - begin && distances.size() == end - begin,
        "PQ4 chunk scan outputs must cover the chunk's rows");
}

/// Writes the winners of the block starting at `block_begin` for its real rows,
/// each with the exact float distance to its center. The outputs cover the
/// chunk that starts at row `begin`.
template <typename Index>
void write_block_winners(const PackedPq4Codes& packed, std::span<const float> table, std::size_t k, std::size_t begin,
                         std::size_t block_begin, std::size_t real_rows, const Index* best_center,
                         std::span<std::size_t> labels, std::span<float> distances) {
    for (std::size_t r = 0; r < real_rows; ++r) {
        const std::size_t row = block_begin + r;
        labels[row - begin] = best_center[r];
        distances[row - begin] = pq4_exact_distance(packed, table, k, row, best_center[r]);
    }
}

/// One chunk of the fast-scan: per 32-row block, every center's kernel sums
/// scored by `score(sum, center)`, the first strictly smaller score kept from
/// `start`, then the winners rescored exactly.
template <typename Score, typename ScoreOf>
void scan_chunk(const PackedPq4Codes& packed, std::span<const float> table, const QuantizedPq4LookupTables& tables,
                Pq4ScanKernel scan_cluster, std::size_t begin, std::size_t end, std::span<std::size_t> labels,
                std::span<float> distances, Score start, ScoreOf&& score) {
    check_chunk_outputs(packed, begin, end, labels, distances);
    alignas(64) std::uint16_t sums[kBlockRows];
    Score best[kBlockRows];
    std::size_t best_center[kBlockRows];
    for (std::size_t block_begin = begin; block_begin < end; block_begin += kBlockRows) {
        const std::size_t block = block_begin / kBlockRows;
        const std::size_t real_rows = end - block_begin < kBlockRows ? end - block_begin : kBlockRows;
        for (std::size_t r = 0; r < real_rows; ++r) {
            best[r] = start;
            best_center[r] = 0;
        }
        for (std::size_t c = 0; c < tables.k; ++c) {
            scan_cluster(packed, tables, block, c, sums);
            const auto score_of_sum = score.for_center(c);
            for (std::size_t r = 0; r < real_rows; ++r) {
                const Score candidate = score_of_sum(sums[r]);
                if (candidate < best[r]) {
                    best[r] = candidate;
                    best_center[r] = c;
                }
            }
        }
        write_block_winners(packed, table, tables.k, begin, block_begin, real_rows, best_center, labels, distances);
    }
}

/// The raw sum is its own score.
struct RawSum {
    [[nodiscard]] auto for_center(std::size_t) const {
        return [](std::uint16_t sum) { return sum; };
    }
};

/// sum*scale + M*bias, each product rounded before the sum.
struct FloatEstimate {
    const QuantizedPq4LookupTables& tables;
    [[nodiscard]] auto for_center(std::size_t c) const {
        const float scale = tables.per_cluster ? tables.scales[c] : tables.global_scale;
        const float bias = tables.per_cluster ? tables.biases[c] : tables.global_bias;
        const float offset = static_cast<float>(tables.m) * bias;
        return [scale, offset](std::uint16_t sum) {
            const float scaled = static_cast<float>(sum) * scale;
            const float estimate = scaled + offset;
            return estimate;
        };
    }
};

/// Runs the chunk scans on the pool once the tables hold this table.
void scan_all_chunks(const PackedPq4Codes& packed, std::span<const float> table, const QuantizedPq4LookupTables& tables,
                     std::span<std::size_t> labels, std::span<float> distances, const Pq4Kernels& kernels) {
    parallel::for_chunks(packed.rows, kScanChunkRows, [&](std::size_t, std::size_t begin, std::size_t end) {
        const auto chunk_labels = labels.subspan(begin, end - begin);
        const auto chunk_distances = distances.subspan(begin, end - begin);
        if (tables.per_cluster) {
            assign_pq4_lookup_quantized_with_scan(packed, table, tables, kernels, begin, end, chunk_labels,
                                                  chunk_distances);
        } else {
            assign_pq4_lookup_quantized_global_with_scan(packed, table, tables, kernels, begin, end, chunk_labels,
                                                         chunk_distances);
        }
    });
}

}  // namespace

bool pq4_fastscan_enabled(const settings::EnvLookup& lookup) {
    return settings::on_switch(settings::normalize_env_word(settings::names::kPq4Fastscan, lookup),
                               {"1", "on", "yes", "true", "auto", "fastscan"});
}

LutCalibration lut_calibration(const settings::EnvLookup& lookup) {
    const bool per_cluster =
        settings::word_is_one_of(settings::normalize_env_word(settings::names::kPq4LutCalibration, lookup),
                                 {"cluster", "centroid", "percluster", "percentroid"});
    return per_cluster ? LutCalibration::PerCluster : LutCalibration::Global;
}

FastScanSettings read_fastscan_settings(const settings::EnvLookup& lookup) {
    return {pq4_fastscan_enabled(lookup), lut_calibration(lookup)};
}

bool QuantizedPq4LookupTables::update_from_f32(std::span<const float> table, std::size_t m, std::size_t k,
                                               LutCalibration calibration) {
    const std::optional<std::size_t> checked_total = array::checked_product(m, std::size_t{16}, k);
    if (!checked_total) {
        return false;
    }
    const std::size_t total = *checked_total;
    // m*16 is the first partial product of the checked total, so it cannot wrap.
    const std::size_t entries_per_center = m * 16;
    if (m > kMaxSubquantizers || table.size() != total || k == 0) {
        return false;
    }

    if (calibration == LutCalibration::Global) {
        const EntryRange range = entry_range(table.data(), total, 1);
        if (!range.usable) {
            return false;
        }
        const float scale = scale_of(range);
        quantized.resize(total);
        for (std::size_t c = 0; c < k; ++c) {
            write_center_levels(table, m, k, c, range, scale, quantized.data() + c * entries_per_center);
        }
        scales.clear();
        biases.clear();
        global_scale = scale;
        global_bias = range.min;
    } else {
        for (std::size_t c = 0; c < k; ++c) {
            if (!entry_range(table.data() + c, entries_per_center, k).usable) {
                return false;
            }
        }
        quantized.resize(total);
        scales.resize(k);
        biases.resize(k);
        for (std::size_t c = 0; c < k; ++c) {
            const EntryRange range = entry_range(table.data() + c, entries_per_center, k);
            scales[c] = scale_of(range);
            biases[c] = range.min;
            write_center_levels(table, m, k, c, range, scales[c], quantized.data() + c * entries_per_center);
        }
        global_scale = 1.0f;
        global_bias = 0.0f;
    }
    this->m = m;
    this->k = k;
    per_cluster = calibration == LutCalibration::PerCluster;
    return true;
}

Pq4Kernels pq4_kernels_for(simd::SliceKernel family, const simd::CpuFeatures& features) {
    static constexpr Pq4Kernels kScalar{simd::SliceKernel::Scalar, pq4_scan_cluster_scalar, nullptr};
    static constexpr Pq4Kernels kAvx2{simd::SliceKernel::Avx2, pq4_scan_cluster_avx2, pq4_select_block_global_avx2};
    static constexpr Pq4Kernels kAvx512{simd::SliceKernel::Avx512, pq4_scan_cluster_avx512,
                                        pq4_select_block_global_avx512};
    // The AVX-512 scan shuffles bytes, which takes AVX-512BW.
    static constexpr simd::KernelTable<Pq4Kernels> kTable{kScalar, kAvx2, kAvx512, simd::Avx512Needs::FAndBw};
    return kTable.for_family(family, features);
}

const Pq4Kernels& selected_pq4_kernels() {
    static const Pq4Kernels kernels = pq4_kernels_for(simd::selected_slice_kernel(), simd::detected_cpu_features());
    return kernels;
}

void assign_pq4_lookup_quantized_with_scan(const PackedPq4Codes& packed, std::span<const float> table,
                                           const QuantizedPq4LookupTables& tables, const Pq4Kernels& kernels,
                                           std::size_t begin, std::size_t end, std::span<std::size_t> labels,
                                           std::span<float> distances) {
    scan_chunk(packed, table, tables, kernels.scan_cluster, begin, end, labels, distances,
               std::numeric_limits<float>::infinity(), FloatEstimate{tables});
}

void assign_pq4_lookup_quantized_global_with_scan(const PackedPq4Codes& packed, std::span<const float> table,
                                                  const QuantizedPq4LookupTables& tables, const Pq4Kernels& kernels,
                                                  std::size_t begin, std::size_t end, std::span<std::size_t> labels,
                                                  std::span<float> distances) {
    // The vector families have a fused form that never leaves registers.
    const Pq4GlobalBlockSelector select_block = kernels.select_block_global;
    if (select_block != nullptr && tables.k <= std::numeric_limits<std::uint32_t>::max()) {
        check_chunk_outputs(packed, begin, end, labels, distances);
        alignas(64) std::uint32_t best_center[kBlockRows];
        for (std::size_t block_begin = begin; block_begin < end; block_begin += kBlockRows) {
            select_block(packed, tables, block_begin / kBlockRows, best_center);
            write_block_winners(packed, table, tables.k, begin, block_begin, std::min(kBlockRows, end - block_begin),
                                best_center, labels, distances);
        }
        return;
    }
    scan_chunk(packed, table, tables, kernels.scan_cluster, begin, end, labels, distances, kNoSum, RawSum{});
}

bool assign_pq4_lookup_quantized_into(const PackedPq4Codes& packed, std::span<const float> table, std::size_t k,
                                      QuantizedPq4LookupTables& tables, std::span<std::size_t> labels,
                                      std::span<float> distances, const Pq4Kernels& kernels,
                                      LutCalibration calibration) {
    if (!tables.update_from_f32(table, packed.m, k, calibration)) {
        return false;
    }
    scan_all_chunks(packed, table, tables, labels, distances, kernels);
    return true;
}

}  // namespace tarvinex::pq4
