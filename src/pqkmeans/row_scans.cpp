#include "pqkmeans/row_scans.hpp"

#include <algorithm>
#include <cstring>
#include <limits>
#include <utility>
#include <vector>

#include "error/error.hpp"
#include "parallel/pool.hpp"
#include "simd/cpu_features.hpp"
#include "simd/direct_sums.hpp"
#include "simd/slice_kernels.hpp"

namespace tarvinex::pqkmeans {
namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

void check_scan_shapes(array::MatrixView<const std::uint8_t> codes, std::span<std::size_t> labels,
                       std::span<float> distances) {
    TARVINEX_ASSERT(codes.is_c_contiguous(), "scanned codes must be C-contiguous");
    TARVINEX_ASSERT(labels.size() == codes.extent(0) && distances.size() == codes.extent(0),
                    "scan outputs must hold one entry per row");
}

/// Each row's pointers into the per-codeword data of its M codes, kept per task.
using RowPointers = std::vector<const float*>;

/// Row r's slice of the codeword-distance table: entry s*Ks + c is
/// D_cw[(s*Ks + a_r(s))*Ks + c]. With two rows' slices side by side, a
/// center's M lookups for both come from two base pointers and the center's
/// own codes, which both rows share.
void copy_row_table(std::span<const std::uint8_t> row, std::span<const float> codeword_distances, std::size_t ks,
                    float* out) {
    for (std::size_t s = 0; s < row.size(); ++s) {
        std::copy_n(codeword_distances.data() + (s * ks + row[s]) * ks, ks, out + s * ks);
    }
}

/// The nearest of the k centers (codes at `centers`, M bytes each) for rows
/// a and b by the direct symmetric sums, each total from +0.0 in ascending
/// subquantizer order. With M = 8 a center's codes arrive in one 8-byte load.
template <std::size_t FixedM>
std::pair<simd::IndexedValue, simd::IndexedValue> nearest_pair_by_direct_sums(const std::uint8_t* centers,
                                                                              std::size_t m_count, std::size_t ks,
                                                                              std::size_t k, const float* table_a,
                                                                              const float* table_b) {
    simd::IndexedValue best_a{0, kInfinity};
    simd::IndexedValue best_b{0, kInfinity};
    for (std::size_t j = 0; j < k; ++j) {
        float total_a = 0.0F;
        float total_b = 0.0F;
        if constexpr (FixedM == 8) {
            std::uint64_t c = 0;
            std::memcpy(&c, centers + j * 8, 8);
#pragma GCC unroll 8
            for (std::size_t s = 0; s < 8; ++s) {
                const std::size_t at = s * ks + ((c >> (8 * s)) & 0xFF);
                total_a = total_a + table_a[at];
                total_b = total_b + table_b[at];
            }
        } else {
            const std::uint8_t* center = centers + j * m_count;
            for (std::size_t s = 0; s < m_count; ++s) {
                const std::size_t at = s * ks + center[s];
                total_a = total_a + table_a[at];
                total_b = total_b + table_b[at];
            }
        }
        if (total_a < best_a.value) {
            best_a = {j, total_a};
        }
        if (total_b < best_b.value) {
            best_b = {j, total_b};
        }
    }
    return {best_a, best_b};
}

/// Center indices ride in 32-bit lanes.
constexpr std::size_t kMaxLaneCenters = std::size_t{1} << 31;

/// The direct sums with eight rows in the lanes of one vector; a chunk's last
/// rows are padded with copies of its last row, whose results are dropped.
void assign_direct_in_lanes(const simd::DirectRowKernels& lanes, array::MatrixView<const std::uint8_t> codes,
                            const std::uint8_t* centers, std::size_t k, std::span<const float> codeword_distances,
                            std::size_t ks, std::span<std::size_t> labels, std::span<float> distances) {
    constexpr std::size_t kRows = simd::kDirectRows;
    const std::size_t m_count = codes.extent(1);
    struct Scratch {
        std::vector<float> interleaved;
        std::vector<std::uint8_t> padded_rows;
    };
    parallel::for_chunks(
        codes.extent(0), kScanChunkRows,
        [&] {
            return Scratch{std::vector<float>(m_count * ks * kRows), std::vector<std::uint8_t>(m_count * kRows)};
        },
        [&](std::size_t, std::size_t begin, std::size_t end, Scratch& scratch) {
            std::size_t group_labels[kRows];
            float group_distances[kRows];
            for (std::size_t i = begin; i < end; i += kRows) {
                const std::size_t count = std::min(kRows, end - i);
                const std::uint8_t* rows = codes.data + i * m_count;
                if (count < kRows) {
                    std::copy_n(rows, count * m_count, scratch.padded_rows.begin());
                    for (std::size_t r = count; r < kRows; ++r) {
                        std::copy_n(rows + (count - 1) * m_count, m_count,
                                    scratch.padded_rows.begin() + static_cast<std::ptrdiff_t>(r * m_count));
                    }
                    rows = scratch.padded_rows.data();
                }
                lanes.interleave(rows, m_count, codeword_distances.data(), ks, scratch.interleaved.data());
                lanes.nearest(scratch.interleaved.data(), centers, m_count, ks, k, group_labels, group_distances);
                std::copy_n(group_labels, count, labels.begin() + static_cast<std::ptrdiff_t>(i));
                std::copy_n(group_distances, count, distances.begin() + static_cast<std::ptrdiff_t>(i));
            }
        });
}

}  // namespace

void assign_with_lookup_into(array::MatrixView<const std::uint8_t> codes, std::span<const float> table, std::size_t ks,
                             std::size_t k, std::size_t block_centers, std::span<std::size_t> labels,
                             std::span<float> distances, simd::SliceKernel family) {
    check_scan_shapes(codes, labels, distances);
    TARVINEX_ASSERT(block_centers > 0, "lookup table blocks need at least one center");
    const simd::SliceKernelTable& kernels = simd::slice_kernels(family);
    const std::size_t m_count = codes.extent(1);
    const std::size_t chunk_rows = block_centers >= k ? kScanChunkRows : simd::kBlockScanChunkRows;
    parallel::for_chunks(codes.extent(0), chunk_rows, [&](std::size_t, std::size_t begin, std::size_t end) {
        simd::lookup_min_over_blocks(kernels, codes.contiguous_span().subspan(begin * m_count, (end - begin) * m_count),
                                     m_count, table, ks, k, block_centers, labels.subspan(begin, end - begin),
                                     distances.subspan(begin, end - begin));
    });
}

void assign_with_lookup_into(array::MatrixView<const std::uint8_t> codes, std::span<const float> table, std::size_t ks,
                             std::size_t k, std::span<std::size_t> labels, std::span<float> distances) {
    assign_with_lookup_into(codes, table, ks, k, std::max<std::size_t>(k, 1), labels, distances,
                            simd::selected_slice_kernel());
}

void assign_direct_into(array::MatrixView<const std::uint8_t> codes, array::MatrixView<const std::uint8_t> centers,
                        std::span<const float> codeword_distances, std::size_t ks, std::span<std::size_t> labels,
                        std::span<float> distances, simd::SliceKernel family) {
    check_scan_shapes(codes, labels, distances);
    TARVINEX_ASSERT(centers.is_c_contiguous(), "center codes must be C-contiguous");
    const std::size_t m_count = codes.extent(1);
    const std::size_t k = centers.extent(0);
    const simd::DirectRowKernels lanes = simd::direct_row_kernels(family, simd::detected_cpu_features());
    if (lanes.nearest != nullptr && k < kMaxLaneCenters) {
        assign_direct_in_lanes(lanes, codes, centers.data, k, codeword_distances, ks, labels, distances);
        return;
    }
    const std::size_t table_entries = m_count * ks;
    parallel::for_chunks(
        codes.extent(0), kScanChunkRows, [&] { return std::vector<float>(2 * table_entries); },
        [&](std::size_t, std::size_t begin, std::size_t end, std::vector<float>& row_tables) {
            float* table_a = row_tables.data();
            float* table_b = table_a + table_entries;
            // An odd last row is scanned as its own pair, so every row takes the same path.
            for (std::size_t i = begin; i < end; i += 2) {
                const std::size_t second = std::min(i + 1, end - 1);
                copy_row_table(codes.row(i), codeword_distances, ks, table_a);
                copy_row_table(codes.row(second), codeword_distances, ks, table_b);
                const auto [best_a, best_b] =
                    m_count == 8 ? nearest_pair_by_direct_sums<8>(centers.data, m_count, ks, k, table_a, table_b)
                                 : nearest_pair_by_direct_sums<0>(centers.data, m_count, ks, k, table_a, table_b);
                labels[i] = static_cast<std::size_t>(best_a.index);
                distances[i] = best_a.value;
                labels[second] = static_cast<std::size_t>(best_b.index);
                distances[second] = best_b.value;
            }
        });
}

void assign_direct_into(array::MatrixView<const std::uint8_t> codes, array::MatrixView<const std::uint8_t> centers,
                        std::span<const float> codeword_distances, std::size_t ks, std::span<std::size_t> labels,
                        std::span<float> distances) {
    assign_direct_into(codes, centers, codeword_distances, ks, labels, distances, simd::selected_slice_kernel());
}

void assign_adc_direct_into(array::MatrixView<const std::uint8_t> codes, array::MatrixView<const float> centers,
                            array::CodebookView<const float> codewords, simd::DistanceKernel kernel,
                            std::span<std::size_t> labels, std::span<float> distances) {
    check_scan_shapes(codes, labels, distances);
    TARVINEX_ASSERT(centers.is_c_contiguous() && codewords.is_c_contiguous(),
                    "ADC centers and codewords must be C-contiguous");
    const std::size_t m_count = codes.extent(1);
    const std::size_t ks = codewords.extent(1);
    const std::size_t ds = codewords.extent(2);
    const std::size_t k = centers.extent(0);
    const simd::DistanceFunction distance = simd::distance_function(kernel);
    parallel::for_chunks(
        codes.extent(0), kScanChunkRows, [&] { return RowPointers(m_count); },
        [&](std::size_t, std::size_t begin, std::size_t end, RowPointers& codeword_of) {
            for (std::size_t i = begin; i < end; ++i) {
                const std::span<const std::uint8_t> row = codes.row(i);
                for (std::size_t s = 0; s < m_count; ++s) {
                    codeword_of[s] = codewords.data + (s * ks + row[s]) * ds;
                }
                std::size_t best_label = 0;
                float best_distance = kInfinity;
                for (std::size_t j = 0; j < k; ++j) {
                    const std::span<const float> center = centers.row(j);
                    float total = 0.0F;
                    for (std::size_t s = 0; s < m_count; ++s) {
                        total = total + distance(codeword_of[s], center.data() + s * ds, ds);
                    }
                    if (total < best_distance) {
                        best_label = j;
                        best_distance = total;
                    }
                }
                labels[i] = best_label;
                distances[i] = best_distance;
            }
        });
}

}  // namespace tarvinex::pqkmeans
