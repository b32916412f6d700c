/// The learned rotation (OPQ): codebook training alternated with the
/// orthogonal Procrustes rotation that maps the training rows onto their
/// current reconstruction.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "math/math.hpp"
#include "pq/pq.hpp"

namespace tarvinex::pq {

error::Result<ProductQuantizer::RotationFit> ProductQuantizer::fit_rotation(
    array::MatrixView<const float> data, std::optional<std::span<const float>> weights, EncodeMode mode) const {
    const std::size_t dim = data.extent(1);
    array::Matrix<float> rotation(array::Shape<2>{dim, dim});
    for (std::size_t i = 0; i < dim; ++i) {
        rotation.view()(i, i) = 1.0F;
    }
    // Rotated rows; the encoder takes only row-major input.
    array::Matrix<float> rotated = array::c_order_copy(data);
    for (std::size_t iteration = 0; iteration < opq_iterations_; ++iteration) {
        TARVINEX_TRY_ASSIGN(const array::Codebook<float> codewords,
                            fit_codewords_with_weights(rotated.view(), weights));
        TARVINEX_TRY_ASSIGN(const array::Matrix<std::uint8_t> codes,
                            encode_matrix(rotated.view(), codewords.view(), mode));
        TARVINEX_TRY_ASSIGN(const array::Matrix<float> reconstruction, decode_matrix(codes.view(), codewords.view()));
        // The weights shape the codebooks only: every row counts alike here.
        TARVINEX_TRY_ASSIGN(rotation, math::orthogonal_procrustes(data, reconstruction.view()));
        TARVINEX_TRY_ASSIGN(rotated, math::apply_rotation(data, rotation.view()));
    }
    TARVINEX_TRY_ASSIGN(array::Codebook<float> codewords, fit_codewords_with_weights(rotated.view(), weights));
    return RotationFit{std::move(codewords), std::move(rotation)};
}

}  // namespace tarvinex::pq
