/// Encoding: the encoder choice, the standard and transposed encoders, and
/// the driver that rotates row batches before encoding them.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "array/size_product.hpp"
#include "math/math.hpp"
#include "parallel/pool.hpp"
#include "pq/detail.hpp"
#include "pq/pq.hpp"
#include "simd/codeword_scan.hpp"
#include "simd/distance.hpp"
#include "simd/slice_kernels.hpp"

namespace tarvinex::pq {

namespace {

/// The size rule's thresholds: below them the transposed codebook costs more
/// than it saves.
constexpr std::size_t kTransposedMinCodebookSize = 64;
constexpr std::size_t kTransposedMinCodes = 4096;

/// Rows begin .. end − 1 of a view, with its strides.
template <typename T>
[[nodiscard]] array::MatrixView<T> row_range(array::MatrixView<T> view, std::size_t begin, std::size_t end) {
    return {
        view.data + static_cast<std::ptrdiff_t>(begin) * view.strides[0], {end - begin, view.extent(1)}, view.strides};
}

}  // namespace

EncodeMode read_encode_mode(const settings::EnvLookup& lookup) {
    const std::optional<std::string> word = settings::normalize_env_word_with_second_name(
        settings::names::kPqEncode, settings::names::kPqEncodeTransposed, lookup);
    if (!word || settings::word_is_one_of(word, {"", "auto", "adaptive"})) {
        return EncodeMode::SizeRule;
    }
    if (settings::word_is_one_of(word, {"faiss", "transpose", "transposed"})) {
        return EncodeMode::Transposed;
    }
    return EncodeMode::Standard;
}

Encoder choose_encoder(EncodeMode mode, std::size_t n, std::size_t m, std::size_t ks, std::size_t ds) {
    if (n == 0 || m == 0 || ks == 0 || ds == 0) {
        return Encoder::Standard;
    }
    switch (mode) {
        case EncodeMode::SizeRule:
            return ks >= kTransposedMinCodebookSize && array::saturating_product(n, m) >= kTransposedMinCodes
                       ? Encoder::Transposed
                       : Encoder::Standard;
        case EncodeMode::Transposed:
            return Encoder::Transposed;
        case EncodeMode::Standard:
            break;
    }
    return Encoder::Standard;
}

void encode_matrix_standard_into(array::MatrixView<const float> data, array::CodebookView<const float> codewords,
                                 array::MatrixView<std::uint8_t> out) {
    const std::size_t m_count = codewords.extent(0);
    const std::size_t ks = codewords.extent(1);
    const std::size_t ds = codewords.extent(2);
    const std::size_t dim = m_count * ds;
    const simd::NearestCodewordScan scan = simd::nearest_codeword_scan(simd::for_subdim(ds));
    const std::vector<float> blocks = detail::blocked_codebooks(codewords.data, m_count, ks, ds);
    const std::size_t blocks_size = simd::codeword_blocks_size(ks, ds);
    parallel::for_chunks(data.extent(0), kRowsPerChunk, [&](std::size_t, std::size_t begin, std::size_t end) {
        // Subspace by subspace, so each subspace's codebook stays in L1.
        for (std::size_t m = 0; m < m_count; ++m) {
            for (std::size_t r = begin; r < end; ++r) {
                const detail::Nearest nearest = detail::nearest_codeword(scan, {data.data + r * dim + m * ds, ds},
                                                                         blocks.data() + m * blocks_size, ks);
                out.data[r * m_count + m] = static_cast<std::uint8_t>(nearest.index);
            }
        }
    });
}

void encode_matrix_transposed_into(array::MatrixView<const float> data, array::CodebookView<const float> codewords,
                                   array::MatrixView<std::uint8_t> out) {
    const std::size_t m_count = codewords.extent(0);
    const std::size_t ks = codewords.extent(1);
    const std::size_t ds = codewords.extent(2);
    const std::size_t dim = m_count * ds;
    /// (M, Ds, Ks): element d of codeword (m, c) at (m*Ds + d)*Ks + c.
    std::vector<float> transposed(m_count * ds * ks);
    /// (M, Ks): squared norms, summed in element order from +0.
    std::vector<float> norms(m_count * ks, 0.0F);
    for (std::size_t m = 0; m < m_count; ++m) {
        for (std::size_t c = 0; c < ks; ++c) {
            const float* codeword = codewords.data + (m * ks + c) * ds;
            float norm = 0.0F;
            for (std::size_t d = 0; d < ds; ++d) {
                transposed[(m * ds + d) * ks + c] = codeword[d];
                const float square = codeword[d] * codeword[d];
                norm += square;
            }
            norms[m * ks + c] = norm;
        }
    }
    const simd::TransposedNearest nearest = simd::transposed_nearest_kernel(simd::selected_slice_kernel());
    parallel::for_chunks(
        data.extent(0), kRowsPerChunk, [&] { return std::vector<float>(ks); },
        [&](std::size_t, std::size_t begin, std::size_t end, std::vector<float>& scores) {
            // Subspace by subspace over the chunk's rows, so each subspace's
            // transposed codebook stays in L1 while every row reads it.
            for (std::size_t m = 0; m < m_count; ++m) {
                const float* codebook = transposed.data() + m * ds * ks;
                const float* codebook_norms = norms.data() + m * ks;
                for (std::size_t r = begin; r < end; ++r) {
                    // |c|² − 2·x·c: the squared distance less |x|², which no codeword changes.
                    const simd::IndexedValue best =
                        nearest(data.data + r * dim + m * ds, codebook, codebook_norms, ks, ds, scores.data());
                    out.data[r * m_count + m] = static_cast<std::uint8_t>(best.index);
                }
            }
        });
}

error::Result<array::Matrix<std::uint8_t>> ProductQuantizer::encode(array::MatrixView<const float> data,
                                                                    const settings::EnvLookup& lookup) const {
    if (!codewords_ || !subdim_) {
        return error::fail("product quantizer has not been fitted");
    }
    const std::optional<std::size_t> dim = array::checked_product(*subdim_, num_subquantizers_);
    if (!dim || data.extent(1) != *dim) {
        return error::fail("input dimensionality does not match trained codewords");
    }
    const EncodeMode mode = read_encode_mode(lookup);
    if (!rotation_) {
        return encode_matrix(data, codewords_->view(), mode);
    }
    const std::size_t n = data.extent(0);
    array::Matrix<std::uint8_t> codes(array::Shape<2>{n, num_subquantizers_});
    const std::size_t batch_rows = std::min(n, math::rotation_batch_rows(*dim));
    array::Matrix<float> scratch(array::Shape<2>{batch_rows, *dim});
    for (std::size_t begin = 0; begin < n; begin += batch_rows) {
        const std::size_t end = std::min(n, begin + batch_rows);
        const array::MatrixView<float> rotated = row_range(scratch.view(), 0, end - begin);
        TARVINEX_TRY(math::apply_rotation_into(row_range(data, begin, end), rotation_->view(), rotated));
        TARVINEX_TRY(encode_matrix_into(rotated, codewords_->view(), row_range(codes.view(), begin, end), mode));
    }
    return codes;
}

error::Result<array::Matrix<std::uint8_t>> ProductQuantizer::encode_matrix(array::MatrixView<const float> data,
                                                                           array::CodebookView<const float> codewords,
                                                                           EncodeMode mode) const {
    array::Matrix<std::uint8_t> codes(array::Shape<2>{data.extent(0), num_subquantizers_});
    TARVINEX_TRY(encode_matrix_into(data, codewords, codes.view(), mode));
    return codes;
}

error::Result<void> ProductQuantizer::encode_matrix_into(array::MatrixView<const float> data,
                                                         array::CodebookView<const float> codewords,
                                                         array::MatrixView<std::uint8_t> out, EncodeMode mode) const {
    if (!data.is_c_contiguous()) {
        return error::fail("input matrix must be C-contiguous");
    }
    if (!codewords.is_c_contiguous()) {
        return error::fail("codewords are not contiguous");
    }
    if (!out.is_c_contiguous()) {
        return error::fail("output matrix must be C-contiguous");
    }
    const std::size_t n = data.extent(0);
    const std::size_t ds = codewords.extent(2);
    TARVINEX_ASSERT(codewords.extent(0) == num_subquantizers_ && codewords.extent(1) == codebook_size_ &&
                        data.extent(1) == num_subquantizers_ * ds && out.extent(0) == n &&
                        out.extent(1) == num_subquantizers_,
                    "pq: encoder shapes must match the model");
    if (choose_encoder(mode, n, num_subquantizers_, codebook_size_, ds) == Encoder::Transposed) {
        encode_matrix_transposed_into(data, codewords, out);
    } else {
        encode_matrix_standard_into(data, codewords, out);
    }
    return {};
}

}  // namespace tarvinex::pq
