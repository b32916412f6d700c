/// The model's constructors and its training entry points: the checks, the
/// weights and the installation of a finished training.

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "array/size_product.hpp"
#include "math/math.hpp"
#include "pq/pq.hpp"

namespace tarvinex::pq {

namespace {

/// Rescaling starts where n · (largest weight) · max(1, largest |x|), a bound
/// on every float sum of a codebook pass (weights and weighted rows), could
/// come near the float range (about 2^128).
constexpr int kLargestSafeSumExponent = 120;

/// The weights the codebook passes should add in place of `weights` (each
/// row weighing 1 when there are none), or nothing while no sum of a pass can
/// overflow. Otherwise they are scaled by the largest power of two that
/// brings the bound down to 2^120. A power of two leaves every product and
/// sum scaled exactly, so the means are those of the unscaled weights; a
/// positive weight that would underflow to 0 keeps the least positive float
/// instead, so no row loses its place in its cluster.
std::optional<std::vector<float>> weights_safe_for_float_sums(std::optional<std::span<const float>> weights,
                                                              std::size_t n, float largest_abs) {
    const float largest_weight = weights ? *std::max_element(weights->begin(), weights->end()) : 1.0F;
    const double bound =
        static_cast<double>(n) * static_cast<double>(largest_weight) * std::max(1.0, static_cast<double>(largest_abs));
    if (n == 0 || bound <= std::ldexp(1.0, kLargestSafeSumExponent)) {
        return std::nullopt;
    }
    const int exponent = kLargestSafeSumExponent - (std::ilogb(bound) + 1);
    std::vector<float> scaled =
        weights ? std::vector<float>(weights->begin(), weights->end()) : std::vector<float>(n, 1.0F);
    for (float& w : scaled) {
        const float original = w;
        w = std::ldexp(original, exponent);
        if (w == 0.0F && original > 0.0F) {
            w = std::numeric_limits<float>::denorm_min();
        }
    }
    return scaled;
}

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
    // The storage of an owned codebook holds exactly its elements, in any order.
    if (!math::all_finite(std::span<const float>(codewords.storage()))) {
        return error::fail("codewords must be finite");
    }
    if (rotation) {
        const std::optional<std::size_t> dim = array::checked_product(m, ds);
        if (!dim || rotation->extent(0) != *dim || rotation->extent(1) != *dim) {
            return error::fail("rotation must be square and match the original dimensionality");
        }
        // Decoding rotates back by Rᵀ.
        TARVINEX_TRY(math::check_orthogonal(rotation->view()));
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
    const std::optional<float> largest_abs = math::finite_max_abs(data);
    if (!largest_abs) {
        return error::fail("training data must be finite");
    }
    const std::optional<std::vector<float>> scaled_weights = weights_safe_for_float_sums(weights, n, *largest_abs);
    if (scaled_weights) {
        weights = std::span<const float>(*scaled_weights);
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
