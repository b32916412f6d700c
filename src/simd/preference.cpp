#include "simd/preference.hpp"

#include "error/settings.hpp"

namespace tarvinex::simd {

SimdPreference preference_from_word(const std::optional<std::string>& word) noexcept {
    if (settings::word_is_one_of(word, {"scalar", "none", "off"})) {
        return SimdPreference::Scalar;
    }
    if (settings::word_is_one_of(word, {"avx2"})) {
        return SimdPreference::Avx2;
    }
    if (settings::word_is_one_of(word, {"avx512"})) {
        return SimdPreference::Avx512;
    }
    if (settings::word_is_one_of(word, {"neon"})) {
        return SimdPreference::Neon;
    }
    return SimdPreference::Auto;
}

bool avx512_allowed(SimdPreference preference, const CpuFeatures& features,
                    const std::optional<std::string>& avx512_auto_word) noexcept {
    switch (preference) {
        case SimdPreference::Avx512:
            return features.avx512f;
        case SimdPreference::Auto:
            return features.avx512f &&
                   settings::off_switch_is_on(avx512_auto_word, {"0", "no", "off", "false", "disable", "disabled"});
        case SimdPreference::Scalar:
        case SimdPreference::Avx2:
        case SimdPreference::Neon:
            return false;
    }
    return false;
}

SliceKernel choose_slice_kernel(SimdPreference preference, const CpuFeatures& features,
                                const std::optional<std::string>& avx512_auto_word) noexcept {
    if (preference == SimdPreference::Scalar) {
        return SliceKernel::Scalar;
    }
    if (avx512_allowed(preference, features, avx512_auto_word)) {
        return SliceKernel::Avx512;
    }
    // There are no Neon kernels: Neon falls through to the portable family.
    const bool x86_preference = preference == SimdPreference::Auto || preference == SimdPreference::Avx2 ||
                                preference == SimdPreference::Avx512;
    if (x86_preference && features.avx2) {
        return SliceKernel::Avx2;
    }
    return SliceKernel::Scalar;
}

SliceKernel runnable_family(SliceKernel wanted, const CpuFeatures& features, Avx512Needs needs) noexcept {
    switch (wanted) {
        case SliceKernel::Avx512:
            if (features.avx512f && (needs == Avx512Needs::F || features.avx512bw)) {
                return SliceKernel::Avx512;
            }
            [[fallthrough]];
        case SliceKernel::Avx2:
            if (features.avx2) {
                return SliceKernel::Avx2;
            }
            [[fallthrough]];
        case SliceKernel::Scalar:
            break;
    }
    return SliceKernel::Scalar;
}

const char* slice_kernel_label(SliceKernel kernel) noexcept {
    switch (kernel) {
        case SliceKernel::Scalar:
            return "scalar";
        case SliceKernel::Avx2:
            return "avx2";
        case SliceKernel::Avx512:
            return "avx512";
    }
    return "scalar";
}

SimdPreference simd_preference() {
    static const SimdPreference preference = preference_from_word(settings::normalize_env_word(settings::names::kSimd));
    return preference;
}

std::optional<std::string> consulted_avx512_auto_word(SimdPreference preference, const CpuFeatures& features) {
    if (preference != SimdPreference::Auto || !features.avx512f) {
        return std::nullopt;
    }
    return settings::normalize_env_word(settings::names::kAvx512Auto);
}

bool avx512_auto_enabled() {
    const SimdPreference preference = simd_preference();
    const CpuFeatures& features = detected_cpu_features();
    return avx512_allowed(preference, features, consulted_avx512_auto_word(preference, features));
}

SliceKernel selected_slice_kernel() {
    static const SliceKernel kernel = [] {
        const SimdPreference preference = simd_preference();
        const CpuFeatures& features = detected_cpu_features();
        return choose_slice_kernel(preference, features, consulted_avx512_auto_word(preference, features));
    }();
    return kernel;
}

const char* simd_runtime_label() { return slice_kernel_label(selected_slice_kernel()); }

}  // namespace tarvinex::simd
