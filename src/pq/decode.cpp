/// Decoding: codes back to concatenated codewords, rotated back by Rᵀ when
/// the model holds a rotation.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "array/size_product.hpp"
#include "math/math.hpp"
#include "parallel/pool.hpp"
#include "pq/pq.hpp"

namespace tarvinex::pq {

namespace {

[[nodiscard]] error::Result<void> check_decode_layout(array::MatrixView<const std::uint8_t> codes,
                                                      array::CodebookView<const float> codewords) {
    if (!codes.is_c_contiguous()) {
        return error::fail("code matrix must be C-contiguous");
    }
    if (!codewords.is_c_contiguous()) {
        return error::fail("codewords are not contiguous");
    }
    return {};
}

}  // namespace

error::Result<array::Matrix<float>> ProductQuantizer::decode(array::MatrixView<const std::uint8_t> codes) const {
    if (!codewords_) {
        return error::fail("product quantizer has not been fitted");
    }
    if (codes.extent(1) != num_subquantizers_) {
        return error::fail("code dimensionality does not match trained codewords");
    }
    TARVINEX_TRY(check_decode_layout(codes, codewords_->view()));
    // A code of Ks or more would read the next subspace's codewords, or past the last.
    if (codebook_size_ < kMaxCodebookSize) {
        const std::span<const std::uint8_t> values = codes.contiguous_span();
        if (std::ranges::any_of(values, [&](std::uint8_t code) { return code >= codebook_size_; })) {
            return error::fail("code values must be below codebook_size");
        }
    }
    TARVINEX_TRY_ASSIGN(array::Matrix<float> decoded, decode_matrix(codes, codewords_->view()));
    if (!rotation_ || decoded.size() == 0) {
        return decoded;
    }
    return math::apply_rotation(decoded.view(), rotation_->view().transposed());
}

error::Result<array::Matrix<float>> ProductQuantizer::decode_matrix(array::MatrixView<const std::uint8_t> codes,
                                                                    array::CodebookView<const float> codewords) const {
    TARVINEX_TRY(check_decode_layout(codes, codewords));
    const std::size_t n = codes.extent(0);
    const std::size_t m_count = num_subquantizers_;
    const std::size_t ks = codewords.extent(1);
    const std::size_t ds = codewords.extent(2);
    const std::optional<std::size_t> count = array::checked_product(n, m_count, ds, sizeof(float));
    if (!count) {
        return error::fail(error::TarvinexError(error::ShapeError{error::ShapeErrorKind::Overflow}));
    }
    const std::size_t dim = m_count * ds;
    array::Matrix<float> decoded(array::Shape<2>{n, dim});
    if (dim == 0) {
        return decoded;
    }
    float* out = decoded.storage().data();
    parallel::for_chunks(n, kRowsPerChunk, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            for (std::size_t m = 0; m < m_count; ++m) {
                const float* codeword = codewords.data + (m * ks + codes.data[r * m_count + m]) * ds;
                std::copy_n(codeword, ds, out + r * dim + m * ds);
            }
        }
    });
    return decoded;
}

}  // namespace tarvinex::pq
