#include <optional>
#include <span>
#include <utility>

#include "pqkmeans/model.hpp"

namespace tarvinex::pqkmeans {

error::Result<std::optional<pq4::PackedPq4Codes>> PqKMeans::pack_pq4_codes(
    array::MatrixView<const std::uint8_t> codes) const {
    if (codebook_size_ != kPq4CodebookSize) {
        return std::optional<pq4::PackedPq4Codes>{};
    }
    TARVINEX_ASSERT(codes.is_c_contiguous(), "codes to pack must be C-contiguous");
    // The view's elements exist, so its size cannot have wrapped; the packer
    // checks the shape against it.
    TARVINEX_TRY_ASSIGN(pq4::PackedPq4Codes packed,
                        pq4::PackedPq4Codes::pack(codes.contiguous_span(), codes.extent(0), codes.extent(1)));
    return std::optional<pq4::PackedPq4Codes>(std::move(packed));
}

}  // namespace tarvinex::pqkmeans
