#include "pqkmeans/model.hpp"

#include <memory>
#include <span>
#include <utility>

#include "array/size_product.hpp"
#include "math/math.hpp"
#include "parallel/pool.hpp"
#include "pqkmeans/checks.hpp"

namespace tarvinex::pqkmeans {
namespace {

/// The two codebook checks both constructors make before anything else.
error::Result<void> check_codebook_shape(const array::Codebook<float>& codewords) {
    if (codewords.extent(0) == 0 || codewords.extent(1) == 0 || codewords.extent(2) == 0) {
        return error::fail("codewords must have shape (M, Ks, Ds)");
    }
    if (codewords.extent(1) > kMaxCodebookSize) {
        return error::fail("codebook_size above 256 is not supported");
    }
    return {};
}

bool table_matches(const CodewordDistances& table, std::size_t m_count, std::size_t ks) {
    const std::optional<std::size_t> entries = array::checked_product(m_count, ks, ks);
    return table != nullptr && entries.has_value() && table->size() == *entries;
}

}  // namespace

error::Result<void> PqKMeans::check_code_columns(array::MatrixView<const std::uint8_t> codes) const {
    if (codes.extent(1) != num_subquantizers_) {
        return error::fail(texts::kCodeColumns);
    }
    return {};
}

error::Result<void> PqKMeans::check_rows_for_k(std::size_t n) const {
    if (n < k_) {
        return error::fail(texts::kTooFewRows);
    }
    return {};
}

error::Result<void> PqKMeans::check_training_codes(array::MatrixView<const std::uint8_t> codes) const {
    TARVINEX_TRY(check_code_columns(codes));
    TARVINEX_TRY(check_rows_for_k(codes.extent(0)));
    TARVINEX_TRY(require_c_contiguous(codes, texts::kCodesNotContiguous));
    return check_code_values(codes);
}

error::Result<void> check_codewords(const array::Codebook<float>& codewords) {
    TARVINEX_TRY(check_codebook_shape(codewords));
    // The storage of an owned codebook holds exactly its elements, in any order.
    if (!math::all_finite(std::span<const float>(codewords.storage()))) {
        return error::fail("codewords must be finite");
    }
    return {};
}

error::Result<PqKMeans> PqKMeans::new_with_options_and_spherical(array::Codebook<float> codewords,
                                                                 std::optional<array::Matrix<float>> rotation,
                                                                 std::size_t k, std::size_t iterations,
                                                                 std::uint64_t seed, bool verbose,
                                                                 std::size_t lookup_table_bytes, InitMethod init,
                                                                 bool early_stopping, bool spherical) {
    TARVINEX_TRY(check_codewords(codewords));
    CodewordDistances table = std::make_shared<const std::vector<float>>(compute_codeword_distances(codewords.view()));
    return with_codeword_distances_and_options(std::move(codewords), std::move(table), std::move(rotation), k,
                                               iterations, seed, verbose, lookup_table_bytes, init, early_stopping,
                                               spherical);
}

error::Result<PqKMeans> PqKMeans::with_codeword_distances_and_options(
    array::Codebook<float> codewords, CodewordDistances codeword_distances,
    std::optional<array::Matrix<float>> rotation, std::size_t k, std::size_t iterations, std::uint64_t seed,
    bool verbose, std::size_t lookup_table_bytes, InitMethod init, bool early_stopping, bool spherical) {
    TARVINEX_TRY(check_codebook_shape(codewords));
    const std::size_t m_count = codewords.extent(0);
    const std::size_t ks = codewords.extent(1);
    const std::size_t ds = codewords.extent(2);
    // Every table read is indexed by these extents; a table of another size
    // would be read past its end.
    if (!table_matches(codeword_distances, m_count, ks)) {
        return error::fail("codeword distance table does not match codewords");
    }
    const std::optional<std::size_t> dim = array::checked_product(m_count, ds);
    TARVINEX_ASSERT(dim.has_value(), "codebook shape overflows");
    if (rotation && (rotation->extent(0) != *dim || rotation->extent(1) != *dim)) {
        return error::fail("rotation must be square and match the codeword dimensionality");
    }
    // Every way back to the unrotated space multiplies by Rᵀ.
    if (rotation) {
        TARVINEX_TRY(math::check_orthogonal(rotation->view()));
    }
    if (k == 0) {
        return error::fail("k must be greater than zero");
    }
    if (iterations == 0) {
        return error::fail("iterations must be greater than zero");
    }

    PqKMeans model;
    model.codewords_ = std::move(codewords);
    model.codeword_distances_ = std::move(codeword_distances);
    model.rotation_ = std::move(rotation);
    model.num_subquantizers_ = m_count;
    model.codebook_size_ = ks;
    model.dim_ = *dim;
    model.subdim_ = ds;
    model.k_ = k;
    model.iterations_ = iterations;
    model.seed_ = seed;
    model.lookup_table_bytes_ = lookup_table_bytes;
    model.verbose_ = verbose;
    model.early_stopping_ = early_stopping;
    model.spherical_ = spherical;
    model.init_ = init;
    return model;
}

RunSettings RunSettings::read(const settings::EnvLookup& lookup) {
    return {settings::env_present(settings::names::kProfileCluster, lookup), pq4::read_fastscan_settings(lookup)};
}

bool PqKMeans::has_code_of_codebook_size_or_more(array::MatrixView<const std::uint8_t> codes) const {
    if (codebook_size_ >= kMaxCodebookSize) {
        return false;
    }
    const std::size_t cols = codes.extent(1);
    return parallel::reduce(
        0, codes.extent(0), false,
        [&](std::size_t begin, std::size_t end, bool found) {
            for (std::size_t i = begin; i < end && !found; ++i) {
                for (std::size_t s = 0; s < cols && !found; ++s) {
                    found = codes(i, s) >= codebook_size_;
                }
            }
            return found;
        },
        [](bool a, bool b) { return a || b; });
}

error::Result<void> PqKMeans::check_code_values(array::MatrixView<const std::uint8_t> codes) const {
    if (codebook_size_ != kPq4CodebookSize && has_code_of_codebook_size_or_more(codes)) {
        return error::fail("code values must be below codebook_size");
    }
    return {};
}

}  // namespace tarvinex::pqkmeans
