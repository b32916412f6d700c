#include "pqkmeans/lookup_table.hpp"

#include <span>
#include <vector>

#include "array/size_product.hpp"
#include "parallel/pool.hpp"
#include "pqkmeans/model.hpp"
#include "simd/distance.hpp"

namespace tarvinex::pqkmeans {
namespace {

constexpr std::size_t kMaxLookupEntries = std::size_t{1} << 62;

}  // namespace

std::optional<std::size_t> lookup_table_entries(std::size_t m_count, std::size_t ks, std::size_t k,
                                                std::size_t budget_bytes) {
    const std::optional<std::size_t> entries = array::checked_product(m_count, ks, k);
    if (!entries || *entries >= kMaxLookupEntries) {
        return std::nullopt;
    }
    // Below 2^62 entries the byte count cannot overflow.
    if (*entries * sizeof(float) > budget_bytes) {
        return std::nullopt;
    }
    return entries;
}

void fill_symmetric_lookup_table(std::span<const float> codeword_distances, std::size_t ks,
                                 array::MatrixView<const std::uint8_t> centers, std::span<float> lookup) {
    const std::size_t k = centers.extent(0);
    const std::size_t m_count = centers.extent(1);
    TARVINEX_ASSERT(array::checked_product(m_count, ks, ks) == codeword_distances.size(),
                    "codeword distance table does not match the centers");
    TARVINEX_ASSERT(array::checked_product(m_count, ks, k) == lookup.size(), "lookup table does not match the centers");
    parallel::for_chunks(m_count * ks, kLookupBlockRows, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t r = begin; r < end; ++r) {
            const std::size_t s = r / ks;
            // Row r = s*Ks + c is also row r of the codeword-distance table.
            const float* from_codeword = codeword_distances.data() + r * ks;
            float* out = lookup.data() + r * k;
            for (std::size_t j = 0; j < k; ++j) {
                out[j] = from_codeword[centers(j, s)];
            }
        }
    });
}

bool PqKMeans::build_lookup_tables_into(array::MatrixView<const std::uint8_t> centers,
                                        std::vector<float>& lookup) const {
    TARVINEX_ASSERT(centers.extent(0) == k_ && centers.extent(1) == num_subquantizers_,
                    "center codes do not match the model");
    const std::optional<std::size_t> entries =
        lookup_table_entries(num_subquantizers_, codebook_size_, k_, lookup_table_bytes_);
    if (!entries) {
        return false;
    }
    lookup.resize(*entries);
    fill_symmetric_lookup_table(*codeword_distances_, codebook_size_, centers, lookup);
    return true;
}

bool PqKMeans::build_dense_lookup_tables_into(array::MatrixView<const float> centers,
                                              std::vector<float>& lookup) const {
    TARVINEX_ASSERT(centers.extent(0) == k_ && centers.extent(1) == dim_, "dense centers do not match the model");
    const std::optional<std::size_t> entries =
        lookup_table_entries(num_subquantizers_, codebook_size_, k_, lookup_table_bytes_);
    if (!entries || !centers.is_c_contiguous() || !codewords_.is_c_contiguous()) {
        return false;
    }
    lookup.resize(*entries);

    const std::size_t ks = codebook_size_;
    const std::size_t ds = subdim_;
    const std::size_t k = k_;
    const simd::DistanceKernel kernel = simd::for_subdim(ds);
    const float* codewords = codewords_.view().data;
    float* table = lookup.data();
    parallel::for_chunks(num_subquantizers_ * ks, kLookupBlockRows,
                         [&](std::size_t, std::size_t begin, std::size_t end) {
                             for (std::size_t r = begin; r < end; ++r) {
                                 // Row r = s*Ks + c is codeword (s, c) of the C-ordered codebook.
                                 const std::span<const float> codeword(codewords + r * ds, ds);
                                 const array::MatrixView<const float> parts = centers.columns((r / ks) * ds, ds);
                                 float* out = table + r * k;
                                 for (std::size_t j = 0; j < k; ++j) {
                                     out[j] = simd::distance(kernel, codeword, parts.row(j));
                                 }
                             }
                         });
    return true;
}

}  // namespace tarvinex::pqkmeans
