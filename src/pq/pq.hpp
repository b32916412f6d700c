#pragma once
/// The product quantizer: D-dimensional vectors split into M consecutive
/// sub-vectors of Ds = D / M floats, each replaced by the index of its nearest
/// codeword among the Ks of its subspace. Codebooks are learned by weighted
/// Lloyd k-means per subspace, optionally after a learned rotation (OPQ).
///
/// Symbols: M subquantizers, Ks codewords per subquantizer, Ds dimensions per
/// codeword, D = M*Ds, n rows.
/// Codebooks: (M, Ks, Ds), C order: codeword c of subquantizer m starts at
/// (m*Ks + c)*Ds. They live in the rotated space when a rotation is present.
/// Rotation: (D, D); a row x is rotated as x*R and rotated back as x*Rᵀ.
/// Codes: (n, M) bytes, C order, every code below Ks.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "array/array.hpp"
#include "error/error.hpp"
#include "error/settings.hpp"

namespace tarvinex::pq {

/// Codes are bytes.
inline constexpr std::size_t kMaxCodebookSize = 256;
/// Rows per task of the encoders, the decoder and the training passes whose
/// accumulators stay below `kLargeAccumulatorBytes`.
inline constexpr std::size_t kRowsPerChunk = 256;
inline constexpr std::size_t kLargeAccumulatorBytes = std::size_t{1} << 20;

/// Which encoder TARVINEX_PQ_ENCODE (second name TARVINEX_PQ_ENCODE_TRANSPOSED)
/// asks for: the size rule when unset, empty, "auto" or "adaptive"; the
/// transposed encoder for "faiss", "transpose" or "transposed"; the standard
/// encoder for any other word.
enum class EncodeMode : std::uint8_t { SizeRule, Transposed, Standard };

enum class Encoder : std::uint8_t { Standard, Transposed };

/// The mode word of `lookup`, read once by each encoding or fitting driver.
[[nodiscard]] EncodeMode read_encode_mode(const settings::EnvLookup& lookup);

/// The encoder for n rows: the size rule takes the transposed encoder when
/// Ks >= 64 and n*M >= 4096 (saturating). An empty input (n, M, Ks or Ds of 0)
/// always takes the standard one.
[[nodiscard]] Encoder choose_encoder(EncodeMode mode, std::size_t n, std::size_t m, std::size_t ks, std::size_t ds);

/// The standard encoder: for every row and subspace the first codeword of
/// least fixed-width distance (a NaN distance never wins, all-NaN or +inf
/// gives 0). data (n, M*Ds), codewords (M, Ks, Ds) and out (n, M) must be
/// C-contiguous and consistent; callers check.
void encode_matrix_standard_into(array::MatrixView<const float> data, array::CodebookView<const float> codewords,
                                 array::MatrixView<std::uint8_t> out);

/// The transposed encoder: scores |c|² − 2·x·c from codeword norms and a
/// transposed codebook, built once per call, with the slice kernels' scaled
/// additions and first-minimum argmin. Same preconditions as above.
void encode_matrix_transposed_into(array::MatrixView<const float> data, array::CodebookView<const float> codewords,
                                   array::MatrixView<std::uint8_t> out);

class ProductQuantizer {
public:
    /// An unfitted model. Fails with "num_subquantizers must be greater than
    /// zero", then "codebook_size must be in [2, 256]", then "iterations must
    /// be greater than zero". opq_iterations is not checked.
    [[nodiscard]] static error::Result<ProductQuantizer> create(std::size_t num_subquantizers,
                                                                std::size_t codebook_size, std::size_t iterations,
                                                                std::uint64_t seed, std::size_t opq_iterations);

    /// A fitted model over `codewords` (M, Ks, Ds), stored in the memory order
    /// given, and an optional (D, D) rotation. Fails with "codewords must have
    /// shape (M, Ks, Ds)" for an empty axis, "codebook_size above 256 is not
    /// supported", "codewords must be finite", then "rotation must be square
    /// and match the original dimensionality" and "rotation must be
    /// orthogonal" (finite, |RᵀR − I| within 1e-3). iterations and
    /// opq_iterations are not checked.
    [[nodiscard]] static error::Result<ProductQuantizer> from_codewords(array::Codebook<float> codewords,
                                                                        std::optional<array::Matrix<float>> rotation,
                                                                        std::size_t iterations, std::uint64_t seed,
                                                                        std::size_t opq_iterations);

    /// Checks the weights (length n, each finite and non-negative, a sum above
    /// 2^-52), then trains as `fit_impl`.
    [[nodiscard]] error::Result<void> fit_weighted(array::MatrixView<const float> data,
                                                   array::ArrayView<const float, 1> sample_weight,
                                                   const settings::EnvLookup& lookup = settings::process_lookup());

    /// Trains codebooks (and, with opq_iterations > 0, a rotation) on data (n,
    /// D), any strides, with one weight per row or none. Fails with "training
    /// data must contain more rows than the codebook size", then "input
    /// dimensionality must be divisible by num_subquantizers", then "training
    /// data must be finite". Where the float sums of a pass could overflow
    /// (judged from n, the largest weight and the largest |x|), the weights,
    /// or equal weights when none are given, are scaled by a power of two
    /// first, which leaves every mean as it was, and no positive weight
    /// becomes 0. A request to stop (error/interrupt.hpp)
    /// ends the training at its next pass boundary. On success the
    /// new subdim, codewords and rotation are installed together (no rotation
    /// without OPQ); on failure the model is unchanged. The encoder setting of
    /// the rotation training is read once from `lookup`.
    [[nodiscard]] error::Result<void> fit_impl(array::MatrixView<const float> data,
                                               std::optional<std::span<const float>> weights,
                                               const settings::EnvLookup& lookup = settings::process_lookup());

    /// New (M, Ks, Ds) codebooks, subspace m trained on columns m*Ds .. m*Ds +
    /// Ds − 1 of data with seed + m; the subspaces train in parallel, the
    /// first error recorded wins and stops the others at their next pass.
    [[nodiscard]] error::Result<array::Codebook<float>> fit_codewords_with_weights(
        array::MatrixView<const float> data, std::optional<std::span<const float>> weights) const;

    /// The (Ks, Ds) codebook of one subspace: `iterations` weighted Lloyd
    /// passes from the variance-quantile rows, else the principal-direction
    /// quantile rows, else the first rows of a seeded shuffle. A cluster left
    /// without weight takes the farthest rows of the pass, the lowest-numbered
    /// cluster the farthest one. Partial sums are added in chunk order, so the
    /// result depends on the worker count only where an accumulator reaches
    /// 1 MiB and the chunks grow with it. Each pass begins by asking for a
    /// stop: from the caller (error/interrupt.hpp), or through
    /// `stop_requested` when a sibling subspace has failed.
    [[nodiscard]] error::Result<array::Matrix<float>> fit_subspace_kmeans(
        array::MatrixView<const float> x, std::optional<std::span<const float>> weights, std::uint64_t seed,
        const std::atomic<bool>* stop_requested = nullptr) const;

    /// (n, M) codes of data (n, D): rotated first when the model holds a
    /// rotation (then any strides; otherwise C-contiguous). Fails with
    /// "product quantizer has not been fitted", then "input dimensionality
    /// does not match trained codewords", then the layout errors of
    /// `encode_matrix_into`. The encoder setting is read once from `lookup`.
    [[nodiscard]] error::Result<array::Matrix<std::uint8_t>> encode(
        array::MatrixView<const float> data, const settings::EnvLookup& lookup = settings::process_lookup()) const;

    /// New codes of data with `codewords`, which need not be installed.
    [[nodiscard]] error::Result<array::Matrix<std::uint8_t>> encode_matrix(array::MatrixView<const float> data,
                                                                           array::CodebookView<const float> codewords,
                                                                           EncodeMode mode) const;

    /// Codes into out (n, M). Fails with "input matrix must be C-contiguous",
    /// "codewords are not contiguous", then "output matrix must be
    /// C-contiguous". The caller guarantees data has M*Ds columns, out n rows
    /// and M columns, and codewords M*Ks codewords.
    [[nodiscard]] error::Result<void> encode_matrix_into(array::MatrixView<const float> data,
                                                         array::CodebookView<const float> codewords,
                                                         array::MatrixView<std::uint8_t> out, EncodeMode mode) const;

    /// (n, D) reconstructions of codes (n, M), rotated back when the model
    /// holds a rotation. Fails with "product quantizer has not been fitted",
    /// "code dimensionality does not match trained codewords", the layout
    /// errors of `decode_matrix`, "code values must be below codebook_size",
    /// then the Shape Overflow error.
    [[nodiscard]] error::Result<array::Matrix<float>> decode(array::MatrixView<const std::uint8_t> codes) const;

    /// (n, M*Ds) concatenated codewords, in the rotated space. Fails with
    /// "code matrix must be C-contiguous", "codewords are not contiguous",
    /// then the Shape Overflow error when the bytes of n*M*Ds floats cannot be
    /// counted, before anything is allocated. Codes must be below Ks.
    [[nodiscard]] error::Result<array::Matrix<float>> decode_matrix(array::MatrixView<const std::uint8_t> codes,
                                                                    array::CodebookView<const float> codewords) const;

    [[nodiscard]] std::optional<std::size_t> subdim() const { return subdim_; }
    [[nodiscard]] std::size_t num_subquantizers() const { return num_subquantizers_; }
    [[nodiscard]] std::size_t codebook_size() const { return codebook_size_; }
    [[nodiscard]] std::size_t iterations() const { return iterations_; }
    [[nodiscard]] std::uint64_t seed() const { return seed_; }
    [[nodiscard]] std::size_t opq_iterations() const { return opq_iterations_; }
    [[nodiscard]] const std::optional<array::Codebook<float>>& codewords() const { return codewords_; }
    [[nodiscard]] const std::optional<array::Matrix<float>>& rotation() const { return rotation_; }

private:
    ProductQuantizer(std::size_t num_subquantizers, std::size_t codebook_size, std::size_t iterations,
                     std::uint64_t seed, std::size_t opq_iterations)
        : num_subquantizers_(num_subquantizers),
          codebook_size_(codebook_size),
          iterations_(iterations),
          seed_(seed),
          opq_iterations_(opq_iterations) {}

    struct RotationFit {
        array::Codebook<float> codewords;
        array::Matrix<float> rotation;
    };
    /// The rotation training: from the identity, opq_iterations times
    /// codebooks on the rotated rows, their reconstruction, and the Procrustes
    /// rotation of the unrotated rows onto it; then the final codebooks.
    [[nodiscard]] error::Result<RotationFit> fit_rotation(array::MatrixView<const float> data,
                                                          std::optional<std::span<const float>> weights,
                                                          EncodeMode mode) const;

    std::optional<std::size_t> subdim_;
    std::size_t num_subquantizers_ = 0;
    std::size_t codebook_size_ = 0;
    std::size_t iterations_ = 0;
    std::uint64_t seed_ = 0;
    std::size_t opq_iterations_ = 0;
    std::optional<array::Codebook<float>> codewords_;
    std::optional<array::Matrix<float>> rotation_;
};

}  // namespace tarvinex::pq
