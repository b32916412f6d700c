/// The blocked codeword copy and the choice of the codeword scans.

#include <cstddef>
#include <limits>

#include "simd/codeword_scan.hpp"

namespace tarvinex::simd {

void block_codewords_into(const float* codewords, std::size_t ks, std::size_t ds, float* out) noexcept {
    const std::size_t blocks = (ks + kCodewordBlockLanes - 1) / kCodewordBlockLanes;
    for (std::size_t b = 0; b < blocks; ++b) {
        for (std::size_t lane = 0; lane < kCodewordBlockLanes; ++lane) {
            const std::size_t c = b * kCodewordBlockLanes + lane;
            for (std::size_t d = 0; d < ds; ++d) {
                out[(b * ds + d) * kCodewordBlockLanes + lane] =
                    c < ks ? codewords[c * ds + d] : std::numeric_limits<float>::quiet_NaN();
            }
        }
    }
}

NearestCodewordScan nearest_codeword_scan(DistanceKernel kernel, SliceKernel family,
                                          const CpuFeatures& features) noexcept {
    switch (kernel) {
        case DistanceKernel::Scalar:
            return nearest_codeword_sequential_scalar;
        case DistanceKernel::Slice:
            return by_family(family, nearest_codeword_sequential_scalar, nearest_codeword_slice_avx2,
                             nearest_codeword_slice_avx512);
        case DistanceKernel::Simd4:
            // The per-pair routine is SSE under every preference; its AVX2 scan
            // runs only where the family already runs AVX2.
            return features.avx2 && family != SliceKernel::Scalar ? nearest_codeword_simd4_avx2
                                                                  : nearest_codeword_simd4_scalar;
        case DistanceKernel::Simd8:
            return nearest_codeword_simd8_avx2;
        case DistanceKernel::Simd16:
            return nearest_codeword_simd16_avx2;
        case DistanceKernel::Simd32:
            return nearest_codeword_simd32_avx2;
        case DistanceKernel::Simd64:
            return nearest_codeword_simd64_avx2;
        case DistanceKernel::Simd16Avx512:
        case DistanceKernel::Simd32Avx512:
        case DistanceKernel::Simd64Avx512:
            return nearest_codeword_slice_avx512;
    }
    return nearest_codeword_sequential_scalar;
}

NearestCodewordScan nearest_codeword_scan(DistanceKernel kernel) {
    return nearest_codeword_scan(kernel, selected_slice_kernel(), detected_cpu_features());
}

TransposedScores transposed_scores_kernel(SliceKernel family) noexcept {
    return by_family(family, transposed_scores_scalar, transposed_scores_avx2, transposed_scores_avx512);
}

}  // namespace tarvinex::simd
