/// Portable forms of the codeword scans and of the transposed scores.
///
/// Each codeword's sum runs in its own lane of a block, in the order of the
/// routine it stands for; the lanes never mix, so the compiler may vectorise
/// across them without changing a bit.

#include <cstddef>
#include <limits>

#include "simd/codeword_scan.hpp"

namespace tarvinex::simd {
namespace {

constexpr std::size_t kLanes = kCodewordBlockLanes;

float squared_difference(float a, float b) noexcept {
    const float d = a - b;
    return d * d;
}

/// The first least lane score of every block in codeword order, as the
/// per-pair loop keeps it.
template <typename BlockScores>
IndexedValue scan_blocks(const float* blocks, std::size_t ks, std::size_t ds, BlockScores&& block_scores) noexcept {
    IndexedValue best{0, std::numeric_limits<float>::infinity()};
    float scores[kLanes];
    for (std::size_t first = 0; first < ks; first += kLanes) {
        block_scores(blocks + first * ds, scores);
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            if (scores[lane] < best.value) {
                best = {first + lane, scores[lane]};
            }
        }
    }
    return best;
}

}  // namespace

IndexedValue nearest_codeword_sequential_scalar(const float* row, const float* blocks, std::size_t ks,
                                                std::size_t ds) noexcept {
    return scan_blocks(blocks, ks, ds, [&](const float* block, float* scores) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            scores[lane] = 0.0F;
        }
        for (std::size_t d = 0; d < ds; ++d) {
            for (std::size_t lane = 0; lane < kLanes; ++lane) {
                scores[lane] = scores[lane] + squared_difference(row[d], block[d * kLanes + lane]);
            }
        }
    });
}

IndexedValue nearest_codeword_simd4_scalar(const float* row, const float* blocks, std::size_t ks,
                                           std::size_t) noexcept {
    return scan_blocks(blocks, ks, 4, [&](const float* block, float* scores) {
        for (std::size_t lane = 0; lane < kLanes; ++lane) {
            const float d0 = squared_difference(row[0], block[lane]);
            const float d1 = squared_difference(row[1], block[kLanes + lane]);
            const float d2 = squared_difference(row[2], block[2 * kLanes + lane]);
            const float d3 = squared_difference(row[3], block[3 * kLanes + lane]);
            scores[lane] = (d0 + d2) + (d1 + d3);
        }
    });
}

void transposed_scores_scalar(const float* row, const float* transposed, const float* norms, std::size_t ks,
                              std::size_t ds, float* scores) noexcept {
    for (std::size_t c = 0; c < ks; ++c) {
        scores[c] = norms[c];
    }
    for (std::size_t d = 0; d < ds; ++d) {
        const float scale = row[d] * -2.0F;
        const float* t = transposed + d * ks;
        for (std::size_t c = 0; c < ks; ++c) {
            const float product = scale * t[c];
            scores[c] = scores[c] + product;
        }
    }
}

}  // namespace tarvinex::simd
