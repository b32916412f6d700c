/// The symmetric assignment pass: center codes against row codes through the
/// codeword-distance table, via a center lookup table when it fits the budget.

#include "pqkmeans/checks.hpp"
#include "pqkmeans/model.hpp"
#include "pqkmeans/row_scans.hpp"
#include "pqkmeans/table_scan.hpp"

namespace tarvinex::pqkmeans {

error::Result<void> PqKMeans::assign_codes_into(array::MatrixView<const std::uint8_t> codes,
                                                array::MatrixView<const std::uint8_t> centers, ClusterProfile& profile,
                                                const pq4::PackedPq4Codes* packed,
                                                const pq4::FastScanSettings& fastscan,
                                                AssignmentBuffers& buffers) const {
    TARVINEX_TRY(require_c_contiguous(codes, texts::kCodesNotContiguous));
    TARVINEX_TRY(require_c_contiguous(centers, texts::kCentersNotContiguous));
    TARVINEX_ASSERT(codes.extent(1) == num_subquantizers_, "code matrix does not match the model");
    const std::size_t n = codes.extent(0);
    buffers.labels.resize(n);
    buffers.distances.resize(n);

    const PhaseTimer pass_timer(profile.enabled);
    PhaseTimer phase_timer(profile.enabled);
    const std::size_t block_centers = scan_block_centers(packed, fastscan);
    const bool table_built = build_lookup_tables_into(centers, block_centers, buffers.lookup);
    phase_timer.lap_into(profile.assign_build_lookup);

    if (table_built) {
        scan_lookup_table_into(codes, packed, fastscan, codebook_size_, k_, block_centers, buffers);
    } else {
        // Packed codes only pay off against a table; the direct sums read the rows as they are.
        assign_direct_into(codes, centers, *codeword_distances_, codebook_size_, buffers.labels, buffers.distances);
    }
    phase_timer.add_to(profile.assign_eval);
    pass_timer.add_to(profile.assign_total);
    return {};
}

}  // namespace tarvinex::pqkmeans
