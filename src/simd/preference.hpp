#pragma once
/// Which instruction family the numeric kernels use.
///
/// TARVINEX_SIMD gives a preference, read once per process. The kernel family
/// (`SliceKernel`) follows from the preference and the processor and is chosen
/// once per process too. TARVINEX_AVX512_AUTO can veto AVX-512 under the Auto
/// preference; it is read again at each use, so a change to it after the family
/// was chosen still moves the fixed-width distances (see distance.hpp).
///
/// The choice itself is made by pure functions of (preference, features, the
/// normalised TARVINEX_AVX512_AUTO word), so every processor can be tested on
/// any processor; the process-wide functions feed them this process's values.

#include <cstdint>
#include <optional>
#include <string>

#include "simd/cpu_features.hpp"

namespace tarvinex::simd {

enum class SimdPreference : std::uint8_t { Auto, Scalar, Avx2, Avx512, Neon };

/// The family every slice-kernel call site dispatches on.
enum class SliceKernel : std::uint8_t { Scalar, Avx2, Avx512 };

/// The preference for a normalised TARVINEX_SIMD word; nothing means unset.
/// Every word not listed ("auto", the empty word, typos) is Auto.
[[nodiscard]] SimdPreference preference_from_word(const std::optional<std::string>& word) noexcept;

/// Whether AVX-512 code may run. Only Auto consults `avx512_auto_word` (and only
/// on a processor with AVX-512F): unset counts as on, the off-words are
/// 0/no/off/false/disable/disabled.
[[nodiscard]] bool avx512_allowed(SimdPreference preference, const CpuFeatures& features,
                                  const std::optional<std::string>& avx512_auto_word) noexcept;

[[nodiscard]] SliceKernel choose_slice_kernel(SimdPreference preference, const CpuFeatures& features,
                                              const std::optional<std::string>& avx512_auto_word) noexcept;

/// What a module's AVX-512 kernels need of the processor beyond AVX-512F.
enum class Avx512Needs : std::uint8_t { F, FAndBw };

/// The highest family at or below `wanted` that a processor with `features`
/// can run: avx512 needs AVX-512F (and BW where `needs` says so), avx2 needs
/// AVX2. Kernel tables asked for a family the processor lacks fall back
/// through it.
[[nodiscard]] SliceKernel runnable_family(SliceKernel wanted, const CpuFeatures& features,
                                          Avx512Needs needs = Avx512Needs::F) noexcept;

/// The one switch from a family to what belongs to it (a kernel, or a pointer
/// to a family's table).
template <typename T>
[[nodiscard]] constexpr T by_family(SliceKernel family, T scalar, T avx2, T avx512) noexcept {
    switch (family) {
        case SliceKernel::Avx512:
            return avx512;
        case SliceKernel::Avx2:
            return avx2;
        case SliceKernel::Scalar:
            break;
    }
    return scalar;
}

/// A module's kernels, one set per family it has, and the one fallback rule
/// every such table follows: a family asked for falls to the highest family
/// at or below it that the table has and the processor runs. A table without
/// an AVX2 (or an AVX-512) set leaves it empty.
template <typename Kernels>
struct KernelTable {
    Kernels scalar;
    std::optional<Kernels> avx2;
    std::optional<Kernels> avx512;
    Avx512Needs avx512_needs = Avx512Needs::F;

    [[nodiscard]] constexpr const Kernels& for_family(SliceKernel wanted, const CpuFeatures& features) const noexcept {
        switch (runnable_family(wanted, features, avx512_needs)) {
            case SliceKernel::Avx512:
                if (avx512) {
                    return *avx512;
                }
                [[fallthrough]];
            case SliceKernel::Avx2:
                if (avx2) {
                    return *avx2;
                }
                [[fallthrough]];
            case SliceKernel::Scalar:
                break;
        }
        return scalar;
    }
};

/// "scalar", "avx2" or "avx512".
[[nodiscard]] const char* slice_kernel_label(SliceKernel kernel) noexcept;

/// TARVINEX_SIMD of this process, read on the first call.
[[nodiscard]] SimdPreference simd_preference();

/// The normalised TARVINEX_AVX512_AUTO word, read now, but only when
/// `avx512_allowed` would look at it; otherwise nothing, and the environment is
/// not touched.
[[nodiscard]] std::optional<std::string> consulted_avx512_auto_word(SimdPreference preference,
                                                                    const CpuFeatures& features);

/// `avx512_allowed` for this process, evaluated afresh on every call.
[[nodiscard]] bool avx512_auto_enabled();

/// This process's kernel family, chosen on the first call.
[[nodiscard]] SliceKernel selected_slice_kernel();

/// The label of `selected_slice_kernel()`; what `simd_runtime()` reports.
[[nodiscard]] const char* simd_runtime_label();

}  // namespace tarvinex::simd
