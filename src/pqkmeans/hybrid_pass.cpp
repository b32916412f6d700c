/// The hybrid assignment pass: the checks, the choice between the exact and
/// the shortlist engines, and what the shortlist needs first (the centers
/// rotated into the PQ space and their lookup table).

#include <algorithm>
#include <optional>

#include "flash/flash.hpp"
#include "math/math.hpp"
#include "pqkmeans/checks.hpp"
#include "pqkmeans/hybrid_shortlist.hpp"
#include "pqkmeans/model.hpp"

namespace tarvinex::pqkmeans {

error::Result<void> PqKMeans::assign_hybrid_into(array::MatrixView<const std::uint8_t> codes,
                                                 array::MatrixView<const float> vectors,
                                                 array::MatrixView<const float> centers, std::size_t refine_exact_top_l,
                                                 const pq4::PackedPq4Codes* packed, const pdx::PdxMatrix* pdx,
                                                 const pq4::FastScanSettings& fastscan,
                                                 AssignmentBuffers& buffers) const {
    TARVINEX_TRY(require_c_contiguous(codes, texts::kCodesNotContiguous));
    TARVINEX_TRY(require_c_contiguous(vectors, texts::kVectorsNotContiguous));
    TARVINEX_TRY(require_c_contiguous(centers, texts::kDenseCentersNotContiguous));
    const std::size_t n = codes.extent(0);
    buffers.labels.resize(n);
    buffers.distances.resize(n);
    const HybridRefineInput refine{vectors.contiguous_span(), centers.contiguous_span(), dim_, k_, buffers.labels,
                                   buffers.distances};
    const HybridAssignmentPath path = choose_hybrid_path({
        .exact = refine_exact_top_l >= k_,
        .pdx_copy = pdx != nullptr,
        .pdx_pruning = pdx::pdx_pruning_enabled(),
        .flash = flash::flash_exact_enabled(),
        .table_fits = dense_lookup_table_fits(),
        .packed = packed != nullptr,
        .fastscan = fastscan.enabled,
    });

    switch (path) {
        case HybridAssignmentPath::ExactPdx:
        case HybridAssignmentPath::ExactPdxPruned:
            if (pdx->rows() != vectors.extent(0) || pdx->dim() != dim_) {
                return error::fail("PDX exact assignment matrix does not match input vectors");
            }
            return path == HybridAssignmentPath::ExactPdxPruned
                       ? pdx->assign_l2_pruned_into(refine.centers, k_, buffers.labels, buffers.distances)
                       : pdx->assign_l2_into(refine.centers, k_, buffers.labels, buffers.distances);
        case HybridAssignmentPath::ExactFlash:
            return flash::assign_l2_flash_into(refine.vectors, refine.centers, vectors.extent(0), dim_, k_,
                                               buffers.labels, buffers.distances);
        case HybridAssignmentPath::ExactPlain:
            assign_exact_dense_into(refine.vectors, refine.centers, dim_, k_, buffers.labels, buffers.distances);
            return {};
        case HybridAssignmentPath::ShortlistDirectAdc:
        case HybridAssignmentPath::ShortlistLookup:
        case HybridAssignmentPath::ShortlistPq4Lookup:
        case HybridAssignmentPath::ShortlistPq4Quantized:
            break;
    }

    if (buffers.workspace.extent(0) != k_ || buffers.workspace.extent(1) != dim_) {
        buffers.workspace = array::Matrix<float>(array::Shape<2>{k_, dim_});
    }
    if (centers.extent(0) != k_ || centers.extent(1) != dim_) {
        return error::fail(texts::kDenseCenterShape);
    }
    // The estimates compare codes with the centers in the codebooks' space;
    // the refine measures the raw vectors against the centers as they are.
    if (rotation_) {
        TARVINEX_TRY(math::apply_rotation_into(centers, rotation_->view(), buffers.workspace.view()));
    } else {
        std::copy(refine.centers.begin(), refine.centers.end(), buffers.workspace.storage().begin());
    }
    const std::size_t shortlist = refine_exact_top_l;
    if (path == HybridAssignmentPath::ShortlistDirectAdc) {
        TARVINEX_TRY(require_c_contiguous(codewords_, texts::kCodewordsNotContiguous));
        assign_hybrid_direct_adc_into(codes.contiguous_span(), buffers.workspace.view().contiguous_span(),
                                      codewords_.view().contiguous_span(), num_subquantizers_, codebook_size_, subdim_,
                                      shortlist, refine);
        return {};
    }
    // The shortlist engines read the plain table: one block.
    const bool built = build_dense_lookup_tables_into(buffers.workspace.view(), k_, buffers.lookup);
    TARVINEX_ASSERT(built, "a center table that fits the budget is built");
    if (path == HybridAssignmentPath::ShortlistLookup) {
        assign_hybrid_with_lookup_into(codes.contiguous_span(), buffers.lookup, num_subquantizers_, codebook_size_,
                                       shortlist, refine);
    } else if (path == HybridAssignmentPath::ShortlistPq4Quantized &&
               buffers.pq4_tables.update_from_f32(buffers.lookup, num_subquantizers_, k_, fastscan.calibration)) {
        assign_hybrid_pq4_quantized_with_lookup_into(*packed, buffers.pq4_tables, pq4::selected_pq4_kernels(),
                                                     shortlist, refine);
    } else {
        assign_hybrid_pq4_with_lookup_into(*packed, buffers.lookup, shortlist, refine);
    }
    return {};
}

HybridAssignmentPath choose_hybrid_path(const HybridPathInputs& in) noexcept {
    if (in.exact) {
        if (in.pdx_copy) {
            return in.pdx_pruning ? HybridAssignmentPath::ExactPdxPruned : HybridAssignmentPath::ExactPdx;
        }
        return in.flash ? HybridAssignmentPath::ExactFlash : HybridAssignmentPath::ExactPlain;
    }
    if (!in.table_fits) {
        return HybridAssignmentPath::ShortlistDirectAdc;
    }
    if (!in.packed) {
        return HybridAssignmentPath::ShortlistLookup;
    }
    return in.fastscan ? HybridAssignmentPath::ShortlistPq4Quantized : HybridAssignmentPath::ShortlistPq4Lookup;
}

}  // namespace tarvinex::pqkmeans
