/// The model's constructors and its training entry points: the checks, the
/// weights and the installation of a finished training.

#include <cmath>
#include <limits>
#include <span>
#include <utility>
#include <vector>

#include "array/size_product.hpp"
#include "pq/pq.hpp"

namespace tarvinex::pq {

namespace {

/// Weight totals at or above this could overflow the float sums of a cluster.
constexpr double kWeightTotalLimit = 0x1p127;
/// A scaled total lands in [2^63, 2^64): far from overflow for every weighted
/// sum of moderate values, and far above the underflow of small weights.
constexpr int kScaledWeightTotalExponent = 63;

}  // namespace

error::Result<ProductQuantizer> ProductQuantizer::create(std::size_t num_subquantizers, std::size_t codebook_size,
                                                         std::size_t iterations, std::uint64_t seed,
                                                         std::size_t opq_iterations) {
    if (num_subquantizers == 0) {
        return error::fail("num_subquantizers must be greater than zero");
    }
    if (codebook_size < 2 || codebook_size > kMaxCodebookSize) {
        return error::fail("codebook_size must be in [2, 256]");
    }
    if (iterations == 0) {
        return error::fail("iterations must be greater than zero");
    }
    return ProductQuantizer(num_subquantizers, codebook_size, iterations, seed, opq_iterations);
}

error::Result<ProductQuantizer> ProductQuantizer::from_codewords(array::Codebook<float> codewords,
                                                                 std::optional<array::Matrix<float>> rotation,
                                                                 std::size_t iterations, std::uint64_t seed,
                                                                 std::size_t opq_iterations) {
    const std::size_t m = codewords.extent(0);
    const std::size_t ks = codewords.extent(1);
    const std::size_t ds = codewords.extent(2);
    if (m == 0 || ks == 0 || ds == 0) {
        return error::fail("codewords must have shape (M, Ks, Ds)");
    }
    if (ks > kMaxCodebookSize) {
        return error::fail("codebook_size above 256 is not supported");
    }
    if (rotation) {
        const std::optional<std::size_t> dim = array::checked_product(m, ds);
        if (!dim || rotation->extent(0) != *dim || rotation->extent(1) != *dim) {
            return error::fail("rotation must be square and match the original dimensionality");
        }
    }
    ProductQuantizer model(m, ks, iterations, seed, opq_iterations);
    model.subdim_ = ds;
    model.codewords_ = std::move(codewords);
    model.rotation_ = std::move(rotation);
    return model;
}

error::Result<void> ProductQuantizer::fit_weighted(array::MatrixView<const float> data,
                                                   array::ArrayView<const float, 1> sample_weight,
                                                   const settings::EnvLookup& lookup) {
    const std::size_t n = data.extent(0);
    if (sample_weight.extent(0) != n) {
        return error::fail("sample_weight length must match the number of training rows");
    }
    std::vector<float> weights(n);
    double total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        const float w = sample_weight(i);
        if (!std::isfinite(w) || w < 0.0F) {
            return error::fail("sample_weight values must be finite and non-negative");
        }
        weights[i] = w;
        total += static_cast<double>(w);
    }
    if (total <= std::numeric_limits<double>::epsilon()) {
        return error::fail("sample_weight must contain at least one positive value");
    }
    if (total >= kWeightTotalLimit) {
        const float scale = std::ldexp(1.0F, kScaledWeightTotalExponent - std::ilogb(total));
        for (float& w : weights) {
            w *= scale;
        }
    }
    return fit_impl(data, std::span<const float>(weights), lookup);
}

error::Result<void> ProductQuantizer::fit_impl(array::MatrixView<const float> data,
                                               std::optional<std::span<const float>> weights,
                                               const settings::EnvLookup& lookup) {
    const std::size_t n = data.extent(0);
    const std::size_t dim = data.extent(1);
    if (n <= codebook_size_) {
        return error::fail("training data must contain more rows than the codebook size");
    }
    if (dim % num_subquantizers_ != 0) {
        return error::fail("input dimensionality must be divisible by num_subquantizers");
    }
    std::optional<array::Matrix<float>> rotation;
    array::Codebook<float> codewords;
    if (opq_iterations_ == 0) {
        TARVINEX_TRY_ASSIGN(codewords, fit_codewords_with_weights(data, weights));
    } else {
        TARVINEX_TRY_ASSIGN(RotationFit trained, fit_rotation(data, weights, read_encode_mode(lookup)));
        codewords = std::move(trained.codewords);
        rotation = std::move(trained.rotation);
    }
    subdim_ = dim / num_subquantizers_;
    codewords_ = std::move(codewords);
    rotation_ = std::move(rotation);
    return {};
}

}  // namespace tarvinex::pq
