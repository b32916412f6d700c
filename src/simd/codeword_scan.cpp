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

namespace {

/// Simd8 .. Simd64, sixteen codewords a register on an AVX-512 family, eight otherwise.
NearestCodewordScan wide_scan(DistanceKernel kernel, bool avx512) noexcept {
    switch (kernel) {
        case DistanceKernel::Simd8:
            return avx512 ? nearest_codeword_simd8_avx512 : nearest_codeword_simd8_avx2;
        case DistanceKernel::Simd16:
            return avx512 ? nearest_codeword_simd16_avx512 : nearest_codeword_simd16_avx2;
        case DistanceKernel::Simd32:
            return avx512 ? nearest_codeword_simd32_avx512 : nearest_codeword_simd32_avx2;
        default:
            return avx512 ? nearest_codeword_simd64_avx512 : nearest_codeword_simd64_avx2;
    }
}

}  // namespace

NearestCodewordScan nearest_codeword_scan(DistanceKernel kernel, SliceKernel family,
                                          const CpuFeatures& features) noexcept {
    switch (kernel) {
        case DistanceKernel::Scalar:
            return nearest_codeword_sequential_scalar;
        case DistanceKernel::Slice:
            return by_family(family, nearest_codeword_sequential_scalar, nearest_codeword_slice_avx2,
                             nearest_codeword_slice_avx512);
        case DistanceKernel::Simd4:
            // The per-pair routine is SSE under every preference; its vector
            // scans run only where the family already runs that set.
            if (family == SliceKernel::Scalar || !features.avx2) {
                return nearest_codeword_simd4_scalar;
            }
            return runnable_family(family, features) == SliceKernel::Avx512 ? nearest_codeword_simd4_avx512
                                                                            : nearest_codeword_simd4_avx2;
        case DistanceKernel::Simd8:
        case DistanceKernel::Simd16:
        case DistanceKernel::Simd32:
        case DistanceKernel::Simd64:
            return wide_scan(kernel, runnable_family(family, features) == SliceKernel::Avx512);
        case DistanceKernel::Simd16Avx512:
        case DistanceKernel::Simd32Avx512:
        case DistanceKernel::Simd64Avx512:
            return nearest_codeword_slice_avx512;
    }
    return nearest_codeword_sequential_scalar;
}

NearestCenterScan nearest_center_scan(SliceKernel family, const CpuFeatures& features, std::size_t k,
                                      std::size_t dim) noexcept {
    if (family == SliceKernel::Avx512) {
        return {nearest_codeword_slice_avx512, k};
    }
    if (family == SliceKernel::Avx2 && dim % 8 == 0 && k >= 4) {
        return {features.avx512f ? nearest_codeword_pairwise_avx512 : nearest_codeword_pairwise_avx2, k - k % 4};
    }
    return {};
}

NearestCodewordScan nearest_codeword_scan(DistanceKernel kernel) {
    return nearest_codeword_scan(kernel, selected_slice_kernel(), detected_cpu_features());
}

TransposedScores transposed_scores_kernel(SliceKernel family) noexcept {
    return by_family(family, transposed_scores_scalar, transposed_scores_avx2, transposed_scores_avx512);
}

IndexedValue transposed_nearest_scalar(const float* row, const float* transposed, const float* norms, std::size_t ks,
                                       std::size_t ds, float* scores) noexcept {
    transposed_scores_scalar(row, transposed, norms, ks, ds, scores);
    return argmin_scalar({scores, ks});
}

IndexedValue transposed_nearest_avx2(const float* row, const float* transposed, const float* norms, std::size_t ks,
                                     std::size_t ds, float* scores) noexcept {
    transposed_scores_avx2(row, transposed, norms, ks, ds, scores);
    return argmin_avx2({scores, ks});
}

TransposedNearest transposed_nearest_kernel(SliceKernel family) noexcept {
    return by_family(family, transposed_nearest_scalar, transposed_nearest_avx2, transposed_nearest_avx512);
}

}  // namespace tarvinex::simd
