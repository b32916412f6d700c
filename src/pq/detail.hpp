#pragma once
/// What the training, the encoders and the rotation training share inside the
/// module: the nearest-codeword scan.

#include <cstddef>
#include <span>
#include <vector>

#include "array/array.hpp"
#include "simd/codeword_scan.hpp"

namespace tarvinex::pq::detail {

struct Nearest {
    std::size_t index;
    float distance;
};

/// The first of `ks` blocked codewords (simd/codeword_scan.hpp) least
/// distant from x by `scan`: a NaN distance never wins, and a row whose
/// distances are all NaN or +inf gets index 0 at distance +inf.
[[nodiscard]] inline Nearest nearest_codeword(simd::NearestCodewordScan scan, std::span<const float> x,
                                              const float* blocks, std::size_t ks) {
    const simd::IndexedValue best = scan(x.data(), blocks, ks, x.size());
    return {static_cast<std::size_t>(best.index), best.value};
}

/// The blocked copies of the M codebooks of codewords (M, Ks, Ds), C order;
/// subspace m's starts at m * codeword_blocks_size(Ks, Ds).
[[nodiscard]] inline std::vector<float> blocked_codebooks(const float* codewords, std::size_t m_count, std::size_t ks,
                                                          std::size_t ds) {
    const std::size_t size = simd::codeword_blocks_size(ks, ds);
    std::vector<float> blocks(m_count * size);
    for (std::size_t m = 0; m < m_count; ++m) {
        simd::block_codewords_into(codewords + m * ks * ds, ks, ds, blocks.data() + m * size);
    }
    return blocks;
}

}  // namespace tarvinex::pq::detail
