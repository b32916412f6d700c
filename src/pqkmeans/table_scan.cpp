#include "pqkmeans/table_scan.hpp"

#include "error/error.hpp"
#include "pq4/quantized_tables.hpp"
#include "pqkmeans/model.hpp"
#include "pqkmeans/row_scans.hpp"

namespace tarvinex::pqkmeans {

void scan_lookup_table_into(array::MatrixView<const std::uint8_t> codes, const pq4::PackedPq4Codes* packed,
                            const pq4::FastScanSettings& fastscan, std::size_t ks, std::size_t k,
                            std::size_t block_centers, AssignmentBuffers& buffers) {
    const std::span<const float> table(buffers.lookup);
    const std::span<std::size_t> labels(buffers.labels);
    const std::span<float> distances(buffers.distances);
    if (packed == nullptr) {
        assign_with_lookup_into(codes, table, ks, k, block_centers, labels, distances, simd::selected_slice_kernel());
        return;
    }
    TARVINEX_ASSERT(ks == kPq4CodebookSize && packed->rows == codes.extent(0) && packed->m == codes.extent(1),
                    "packed codes do not match the code matrix");
    // The quantized scan reads the table whole, so the pass built it as one block.
    TARVINEX_ASSERT(!fastscan.enabled || block_centers >= k, "the quantized scan reads a table of one block");
    if (fastscan.enabled &&
        pq4::assign_pq4_lookup_quantized_into(*packed, table, k, buffers.pq4_tables, labels, distances,
                                              pq4::selected_pq4_kernels(), fastscan.calibration)) {
        return;
    }
    // A table the quantizer refuses (a non-finite entry, say) is no error:
    // the float scan gives the exact answer.
    pq4::assign_pq4_lookup_into(*packed, table, k, block_centers, labels, distances);
}

}  // namespace tarvinex::pqkmeans
