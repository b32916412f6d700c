/// The code vote of one symmetric center. Members are first reduced to a
/// per-subquantizer histogram, so a center costs one pass over its members
/// plus at most M*Ks*Ks multiply-adds over the codewords actually used, never
/// a pass over the members per candidate codeword.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

#include "error/error.hpp"
#include "pqkmeans/center_update.hpp"

namespace tarvinex::pqkmeans {

void vote_center_code_into(array::MatrixView<const std::uint8_t> codes, std::span<const std::size_t> members,
                           std::span<const float> codeword_distances, std::size_t ks, std::span<std::uint8_t> center,
                           CodeVoteScratch& scratch, const simd::SliceKernelTable& kernels) {
    if (members.empty()) {
        return;
    }
    const std::size_t m_count = center.size();
    TARVINEX_ASSERT(scratch.histogram.size() == m_count * ks && scratch.scores.size() == ks,
                    "code vote scratch does not match the model");

    std::fill(scratch.histogram.begin(), scratch.histogram.end(), 0);
    for (const std::size_t row : members) {
        for (std::size_t s = 0; s < m_count; ++s) {
            ++scratch.histogram[s * ks + codes(row, s)];
        }
    }

    const std::span<float> scores(scratch.scores);
    for (std::size_t s = 0; s < m_count; ++s) {
        std::fill(scores.begin(), scores.end(), 0.0F);
        for (std::size_t c = 0; c < ks; ++c) {
            const std::uint64_t members_with_c = scratch.histogram[s * ks + c];
            if (members_with_c == 0) {
                continue;
            }
            // score[c'] += round(h * D_cw[(s*Ks + c)*Ks + c']): one row of the table per used codeword.
            kernels.scaled_add_assign(scores, codeword_distances.subspan((s * ks + c) * ks, ks),
                                      static_cast<float>(members_with_c));
        }
        center[s] = static_cast<std::uint8_t>(kernels.argmin(scores).index);
    }
}

}  // namespace tarvinex::pqkmeans
