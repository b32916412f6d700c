/// Means of float centers: a center becomes the average of its members'
/// decoded codes (ADC) or raw vectors (hybrid).
///
/// Up to 1023 members are summed in ascending row order inside the center's
/// task. Larger clusters are cut into 256-member chunks, each summed in order
/// into a fresh vector on the pool, and the chunk sums are added in chunk
/// order, so every mean is reproducible whatever the worker count. Fresh
/// vectors per chunk keep the nested loop free of shared scratch, so it needs
/// no isolation from the enclosing per-center loop.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>
#include <vector>

#include "parallel/pool.hpp"
#include "pqkmeans/center_update.hpp"

namespace tarvinex::pqkmeans {

namespace {

/// accumulate(rows, sum) adds the contributions of `rows` onto `sum`.
template <typename Accumulate>
void mean_of_members_into(std::span<const std::size_t> members, std::span<float> center,
                          const simd::SliceKernelTable& kernels, Accumulate&& accumulate) {
    const std::size_t member_count = members.size();
    if (member_count == 0) {
        return;
    }
    if (member_count <= kSequentialMeanMaxMembers) {
        std::fill(center.begin(), center.end(), 0.0F);
        accumulate(members, center);
    } else {
        // Fixed 256-member chunks, each summed in member order, then added in
        // chunk order: the mean does not depend on the workers or the run.
        using Sum = std::vector<float>;
        const Sum total = parallel::chunk_ordered_sum(
            member_count, kMeanChunkMembers, Sum{},
            [&](std::size_t, std::size_t begin, std::size_t end) {
                Sum part(center.size(), 0.0F);
                accumulate(members.subspan(begin, end - begin), std::span<float>(part));
                return part;
            },
            [&](Sum before, Sum after) {
                // An empty vector stands for "no chunk added yet"; D is never 0.
                if (before.empty()) {
                    return after;
                }
                kernels.add_assign(before, after);
                return before;
            });
        std::copy(total.begin(), total.end(), center.begin());
    }
    const float scale = 1.0F / static_cast<float>(member_count);
    for (float& value : center) {
        value = value * scale;
    }
}

}  // namespace

void accumulate_code_rows_into_center(array::MatrixView<const std::uint8_t> codes, std::span<const std::size_t> rows,
                                      std::span<const float> codebooks, std::size_t m_count, std::size_t ks,
                                      std::size_t ds, std::span<float> accumulator,
                                      const simd::SliceKernelTable& kernels) {
    for (const std::size_t row : rows) {
        for (std::size_t s = 0; s < m_count; ++s) {
            kernels.add_assign(accumulator.subspan(s * ds, ds), codebooks.subspan((s * ks + codes(row, s)) * ds, ds));
        }
    }
}

void mean_dense_center_from_codes_into(array::MatrixView<const std::uint8_t> codes,
                                       std::span<const std::size_t> members, std::span<const float> codebooks,
                                       std::size_t m_count, std::size_t ks, std::size_t ds, std::span<float> center,
                                       const simd::SliceKernelTable& kernels) {
    mean_of_members_into(members, center, kernels, [&](std::span<const std::size_t> rows, std::span<float> sum) {
        accumulate_code_rows_into_center(codes, rows, codebooks, m_count, ks, ds, sum, kernels);
    });
}

void mean_dense_center_from_vectors_into(array::MatrixView<const float> vectors, std::span<const std::size_t> members,
                                         std::span<float> center, const simd::SliceKernelTable& kernels) {
    mean_of_members_into(members, center, kernels, [&](std::span<const std::size_t> rows, std::span<float> sum) {
        for (const std::size_t row : rows) {
            kernels.add_assign(sum, vectors.row(row));
        }
    });
}

void decode_code_row_into(array::MatrixView<const std::uint8_t> codes, std::size_t row,
                          std::span<const float> codebooks, std::size_t m_count, std::size_t ks, std::size_t ds,
                          std::span<float> out) {
    for (std::size_t s = 0; s < m_count; ++s) {
        const std::span<const float> codeword = codebooks.subspan((s * ks + codes(row, s)) * ds, ds);
        std::copy(codeword.begin(), codeword.end(), out.begin() + static_cast<std::ptrdiff_t>(s * ds));
    }
}

}  // namespace tarvinex::pqkmeans
