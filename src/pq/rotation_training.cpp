/// The learned rotation (OPQ): codebook training alternated with the
/// orthogonal Procrustes rotation that maps the training rows onto their
/// current reconstruction.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "error/interrupt.hpp"
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
    // Rotated rows; the encoder takes only row-major input. Under the starting
    // identity they are the rows themselves, copied only when not row-major;
    // every later rotation is written over one buffer.
    std::optional<array::Matrix<float>> buffer;
    if (!data.is_c_contiguous()) {
        buffer = array::c_order_copy(data);
    }
    array::MatrixView<const float> rotated = buffer ? array::MatrixView<const float>(buffer->view()) : data;
    for (std::size_t iteration = 0; iteration < opq_iterations_; ++iteration) {
        TARVINEX_TRY(interrupt::check_pass_boundary());
        TARVINEX_TRY_ASSIGN(const array::Codebook<float> codewords, fit_codewords_with_weights(rotated, weights));
        TARVINEX_TRY_ASSIGN(const array::Matrix<std::uint8_t> codes, encode_matrix(rotated, codewords.view(), mode));
        TARVINEX_TRY_ASSIGN(const array::Matrix<float> reconstruction, decode_matrix(codes.view(), codewords.view()));
        // The weights shape the codebooks only: every row counts alike here.
        TARVINEX_TRY_ASSIGN(rotation, math::orthogonal_procrustes(data, reconstruction.view()));
        if (!buffer) {
            buffer.emplace(array::Shape<2>{data.extent(0), dim});
        }
        TARVINEX_TRY(math::apply_rotation_into(data, rotation.view(), buffer->view()));
        rotated = buffer->view();
    }
    TARVINEX_TRY_ASSIGN(array::Codebook<float> codewords, fit_codewords_with_weights(rotated, weights));
    return RotationFit{std::move(codewords), std::move(rotation)};
}

}  // namespace tarvinex::pq
