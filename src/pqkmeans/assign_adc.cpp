/// The ADC assignment pass: float centers in the rotated space against row
/// codes, distances between codewords and center sub-vectors, via a center
/// lookup table when it fits the budget.

#include "pqkmeans/checks.hpp"
#include "pqkmeans/model.hpp"
#include "pqkmeans/row_scans.hpp"
#include "pqkmeans/table_scan.hpp"
#include "simd/distance.hpp"

namespace tarvinex::pqkmeans {

error::Result<void> PqKMeans::assign_adc_into(array::MatrixView<const std::uint8_t> codes,
                                              array::MatrixView<const float> centers, const pq4::PackedPq4Codes* packed,
                                              const pq4::FastScanSettings& fastscan, AssignmentBuffers& buffers) const {
    TARVINEX_TRY(require_c_contiguous(codes, texts::kCodesNotContiguous));
    TARVINEX_TRY(require_c_contiguous(centers, texts::kDenseCentersNotContiguous));
    TARVINEX_ASSERT(codes.extent(1) == num_subquantizers_, "code matrix does not match the model");
    const std::size_t n = codes.extent(0);
    buffers.labels.resize(n);
    buffers.distances.resize(n);

    const std::size_t block_centers = scan_block_centers(packed, fastscan);
    if (build_dense_lookup_tables_into(centers, block_centers, buffers.lookup)) {
        scan_lookup_table_into(codes, packed, fastscan, codebook_size_, k_, block_centers, buffers);
        return {};
    }
    TARVINEX_TRY(require_c_contiguous(codewords_, texts::kCodewordsNotContiguous));
    const simd::DistanceKernel kernel = simd::for_subdim(subdim_);
    assign_adc_direct_into(codes, centers, codewords_.view(), kernel, buffers.labels, buffers.distances);
    return {};
}

}  // namespace tarvinex::pqkmeans
