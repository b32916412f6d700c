#include "pqkmeans/row_scans.hpp"

#include <limits>
#include <vector>

#include "error/error.hpp"
#include "parallel/pool.hpp"
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

}  // namespace

void assign_with_lookup_into(array::MatrixView<const std::uint8_t> codes, std::span<const float> table, std::size_t ks,
                             std::size_t k, std::span<std::size_t> labels, std::span<float> distances,
                             simd::SliceKernel family) {
    check_scan_shapes(codes, labels, distances);
    const auto select_lookup_min = simd::slice_kernels(family).select_lookup_min;
    parallel::for_chunks(codes.extent(0), kScanChunkRows, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const std::span<const std::uint8_t> row = codes.row(i);
            const simd::IndexedValue best = select_lookup_min(row, table, ks, k);
            labels[i] = static_cast<std::size_t>(best.index);
            distances[i] = best.value;
        }
    });
}

void assign_with_lookup_into(array::MatrixView<const std::uint8_t> codes, std::span<const float> table, std::size_t ks,
                             std::size_t k, std::span<std::size_t> labels, std::span<float> distances) {
    assign_with_lookup_into(codes, table, ks, k, labels, distances, simd::selected_slice_kernel());
}

void assign_direct_into(array::MatrixView<const std::uint8_t> codes, array::MatrixView<const std::uint8_t> centers,
                        std::span<const float> codeword_distances, std::size_t ks, std::span<std::size_t> labels,
                        std::span<float> distances) {
    check_scan_shapes(codes, labels, distances);
    TARVINEX_ASSERT(centers.is_c_contiguous(), "center codes must be C-contiguous");
    const std::size_t m_count = codes.extent(1);
    const std::size_t k = centers.extent(0);
    parallel::for_chunks(
        codes.extent(0), kScanChunkRows, [&] { return RowPointers(m_count); },
        [&](std::size_t, std::size_t begin, std::size_t end, RowPointers& from_codeword) {
            for (std::size_t i = begin; i < end; ++i) {
                const std::span<const std::uint8_t> row = codes.row(i);
                for (std::size_t s = 0; s < m_count; ++s) {
                    from_codeword[s] = codeword_distances.data() + (s * ks + row[s]) * ks;
                }
                std::size_t best_label = 0;
                float best_distance = kInfinity;
                for (std::size_t j = 0; j < k; ++j) {
                    const std::span<const std::uint8_t> center = centers.row(j);
                    float total = 0.0F;
                    for (std::size_t s = 0; s < m_count; ++s) {
                        total = total + from_codeword[s][center[s]];
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
                        total = total + simd::distance(kernel, {codeword_of[s], ds}, center.subspan(s * ds, ds));
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
