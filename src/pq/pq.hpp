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
/// Rows per task of the training passes whose accumulators stay below
/// `kLargeAccumulatorBytes`.
inline constexpr std::size_t kRowsPerChunk = 256;
inline constexpr std::size_t kLargeAccumulatorBytes = std::size_t{1} << 20;

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
    /// supported", then "rotation must be square and match the original
    /// dimensionality". iterations and opq_iterations are not checked.
    [[nodiscard]] static error::Result<ProductQuantizer> from_codewords(array::Codebook<float> codewords,
                                                                        std::optional<array::Matrix<float>> rotation,
                                                                        std::size_t iterations, std::uint64_t seed,
                                                                        std::size_t opq_iterations);

    /// Checks the weights (length n, each finite and non-negative, a sum above
    /// 2^-52), then trains as `fit_impl`. Weights whose float sums would
    /// overflow are first scaled by one power of two, which leaves every
    /// weighted mean as it was.
    [[nodiscard]] error::Result<void> fit_weighted(array::MatrixView<const float> data,
                                                   array::ArrayView<const float, 1> sample_weight);

    /// Trains codebooks (and, with opq_iterations > 0, a rotation) on data (n,
    /// D), any strides, with one weight per row or none. Fails with "training
    /// data must contain more rows than the codebook size", then "input
    /// dimensionality must be divisible by num_subquantizers". On success the
    /// new subdim, codewords and rotation are installed together (no rotation
    /// without OPQ); on failure the model is unchanged.
    [[nodiscard]] error::Result<void> fit_impl(array::MatrixView<const float> data,
                                               std::optional<std::span<const float>> weights);

    /// New (M, Ks, Ds) codebooks, subspace m trained on columns m*Ds .. m*Ds +
    /// Ds − 1 of data with seed + m; the subspaces train in parallel and the
    /// first error recorded wins.
    [[nodiscard]] error::Result<array::Codebook<float>> fit_codewords_with_weights(
        array::MatrixView<const float> data, std::optional<std::span<const float>> weights) const;

    /// The (Ks, Ds) codebook of one subspace: `iterations` weighted Lloyd
    /// passes from the variance-quantile rows, else the principal-direction
    /// quantile rows, else the first rows of a seeded shuffle. A cluster left
    /// without weight takes the farthest rows of the pass, the lowest-numbered
    /// cluster the farthest one. Partial sums are added in chunk order, so the
    /// result depends on the worker count only where an accumulator reaches
    /// 1 MiB and the chunks grow with it.
    [[nodiscard]] error::Result<array::Matrix<float>> fit_subspace_kmeans(array::MatrixView<const float> x,
                                                                          std::optional<std::span<const float>> weights,
                                                                          std::uint64_t seed) const;

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
