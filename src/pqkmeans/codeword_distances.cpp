#include "pqkmeans/codeword_distances.hpp"

#include <cstddef>
#include <optional>

#include "array/size_product.hpp"
#include "error/error.hpp"
#include "parallel/pool.hpp"

namespace tarvinex::pqkmeans {

std::vector<float> compute_codeword_distances(array::CodebookView<const float> codewords) {
    const std::size_t m_count = codewords.extent(0);
    const std::size_t ks = codewords.extent(1);
    const std::size_t ds = codewords.extent(2);
    const std::optional<std::size_t> entries = array::checked_product(m_count, ks, ks);
    TARVINEX_ASSERT(entries.has_value(), "codeword distance table size overflows");
    const std::size_t block = ks * ks;

    std::vector<float> table(*entries, 0.0F);
    parallel::for_range(0, m_count, [&](std::size_t s) {
        float* out = table.data() + s * block;
        for (std::size_t a = 0; a < ks; ++a) {
            for (std::size_t b = 0; b < ks; ++b) {
                float sum = 0.0F;
                for (std::size_t d = 0; d < ds; ++d) {
                    const float diff = codewords(s, a, d) - codewords(s, b, d);
                    const float square = diff * diff;
                    sum = sum + square;
                }
                out[a * ks + b] = sum;
            }
        }
    });
    return table;
}

}  // namespace tarvinex::pqkmeans
