#include <optional>
#include <span>
#include <utility>

#include "pqkmeans/checked_size.hpp"
#include "pqkmeans/model.hpp"

namespace tarvinex::pqkmeans {

error::Result<std::optional<pq4::PackedPq4Codes>> PqKMeans::pack_pq4_codes(
    array::MatrixView<const std::uint8_t> codes) const {
    if (codebook_size_ != kPq4CodebookSize) {
        return std::optional<pq4::PackedPq4Codes>{};
    }
    TARVINEX_ASSERT(codes.is_c_contiguous(), "codes to pack must be C-contiguous");
    const std::size_t rows = codes.extent(0);
    const std::size_t cols = codes.extent(1);
    const std::optional<std::size_t> length = checked_product(rows, cols);
    if (!length) {
        return error::fail("PQ4 code shape overflows usize");
    }
    auto packed = pq4::PackedPq4Codes::pack(std::span<const std::uint8_t>(codes.data, *length), rows, cols);
    if (!packed) {
        return std::unexpected(std::move(packed.error()));
    }
    return std::optional<pq4::PackedPq4Codes>(std::move(*packed));
}

}  // namespace tarvinex::pqkmeans
