#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "array/size_product.hpp"
#include "math/math.hpp"

namespace tarvinex::math {

static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "batch budgets are counted in 64-bit sizes");

std::uint64_t read_rotation_batch_mib(const settings::EnvLookup& lookup) {
    const std::optional<std::uint64_t> mib = settings::env_usize(settings::names::kRotationBatchMib, lookup);
    return mib.value_or(0) == 0 ? kDefaultRotationBatchMib : *mib;
}

std::uint64_t rotation_batch_mib() {
    // Once per process: the encoder sizes its scratch from it on every call.
    static const std::uint64_t mib = read_rotation_batch_mib(settings::process_lookup());
    return mib;
}

std::size_t rotation_batch_rows(std::size_t dim, std::uint64_t batch_mib) {
    if (dim == 0) {
        return kMinRotationBatchRows;
    }
    constexpr std::size_t kBytesPerMib = std::size_t{1} << 20;
    const std::size_t bytes_per_row = array::saturating_product(dim, sizeof(float));
    const std::size_t budget = array::saturating_product(static_cast<std::size_t>(batch_mib), kBytesPerMib);
    return std::clamp(budget / bytes_per_row, kMinRotationBatchRows, kMaxRotationBatchRows);
}

std::size_t rotation_batch_rows(std::size_t dim) { return rotation_batch_rows(dim, rotation_batch_mib()); }

}  // namespace tarvinex::math
