/// Portable form of the flash panel kernel.
///
/// Eight running sums, one per center of a group, take the row value of each
/// dimension once: each center's sequential sum over the dimensions. The
/// panel's second group is skipped when it has no real center.

#include <cstddef>
#include <span>

#include "flash/flash.hpp"

namespace tarvinex::flash {
namespace {

constexpr std::size_t kGroupCenters = 8;

}  // namespace

void panel_l2_scalar(std::span<const float> row, std::span<const float> panel, std::size_t dim, std::size_t count,
                     std::span<float> sums) noexcept {
    for (std::size_t first = 0; first < count; first += kGroupCenters) {
        float acc[kGroupCenters] = {};
        for (std::size_t d = 0; d < dim; ++d) {
            const float x = row[d];
            const float* c = panel.data() + d * kPanelCenters + first;
            for (std::size_t j = 0; j < kGroupCenters; ++j) {
                const float difference = x - c[j];
                acc[j] = acc[j] + difference * difference;
            }
        }
        for (std::size_t j = 0; j < kGroupCenters; ++j) {
            sums[first + j] = acc[j];
        }
    }
}

}  // namespace tarvinex::flash
