#include "simd/distance.hpp"

namespace tarvinex::simd {

DistanceKernel choose_distance_kernel(std::size_t d, SimdPreference preference, const CpuFeatures& features,
                                      const std::optional<std::string>& avx512_auto_word) noexcept {
    if (preference == SimdPreference::Scalar) {
        return DistanceKernel::Scalar;
    }
    if (avx512_allowed(preference, features, avx512_auto_word)) {
        switch (d) {
            case 4:
                return DistanceKernel::Simd4;
            case 8:
                return features.avx2 ? DistanceKernel::Simd8 : DistanceKernel::Slice;
            case 16:
                return DistanceKernel::Simd16Avx512;
            case 32:
                return DistanceKernel::Simd32Avx512;
            case 64:
                return DistanceKernel::Simd64Avx512;
            default:
                return DistanceKernel::Slice;
        }
    }
    const bool x86_preference = preference == SimdPreference::Auto || preference == SimdPreference::Avx2 ||
                                preference == SimdPreference::Avx512;
    if (x86_preference && features.avx2) {
        switch (d) {
            case 8:
                return DistanceKernel::Simd8;
            case 16:
                return DistanceKernel::Simd16;
            case 32:
                return DistanceKernel::Simd32;
            case 64:
                return DistanceKernel::Simd64;
            default:
                break;
        }
    }
    // SSE is part of every x86-64 processor, so width 4 has its routine even
    // under Neon or without AVX2.
    return d == 4 ? DistanceKernel::Simd4 : DistanceKernel::Slice;
}

namespace {

template <float (*Routine)(std::span<const float>, std::span<const float>) noexcept>
float over_width(const float* a, const float* b, std::size_t d) noexcept {
    return Routine({a, d}, {b, d});
}

template <float (*Routine)(const float*, const float*) noexcept>
float fixed_width(const float* a, const float* b, std::size_t /*d*/) noexcept {
    return Routine(a, b);
}

}  // namespace

DistanceFunction distance_function(DistanceKernel kernel) {
    switch (kernel) {
        case DistanceKernel::Scalar:
            return over_width<l2_distance_scalar>;
        case DistanceKernel::Slice:
            return by_family<DistanceFunction>(selected_slice_kernel(), over_width<l2_distance_scalar>,
                                               over_width<l2_distance_avx2>, over_width<l2_distance_avx512>);
        case DistanceKernel::Simd4:
            return fixed_width<simd4_distance_impl>;
        case DistanceKernel::Simd8:
            return fixed_width<simd8_distance_impl>;
        case DistanceKernel::Simd16:
            return fixed_width<simd16_distance_impl>;
        case DistanceKernel::Simd32:
            return fixed_width<simd32_distance_impl>;
        case DistanceKernel::Simd64:
            return fixed_width<simd64_distance_impl>;
        case DistanceKernel::Simd16Avx512:
            return fixed_width<simd16_distance_avx512_impl>;
        case DistanceKernel::Simd32Avx512:
            return fixed_width<simd32_distance_avx512_impl>;
        case DistanceKernel::Simd64Avx512:
            return fixed_width<simd64_distance_avx512_impl>;
    }
    std::unreachable();
}

DistanceKernel for_subdim(std::size_t d) {
    const SimdPreference preference = simd_preference();
    const CpuFeatures& features = detected_cpu_features();
    return choose_distance_kernel(d, preference, features, consulted_avx512_auto_word(preference, features));
}

}  // namespace tarvinex::simd
