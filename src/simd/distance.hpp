#pragma once
/// The squared Euclidean distance of two sub-vectors, by a routine picked for
/// the vector width.
///
/// Resolve the kernel once per operation with `for_subdim`, and the routine
/// once before a row loop with `distance_function`, which the loop then calls;
/// `distance` is for single calls. Each routine keeps its own summation order, and the last
/// bits of its results (so the winner of a near-tie) depend on it:
/// - Scalar: sequential sum over the shorter length, from zero.
/// - Slice: the process family's l2_distance (lane order, then the tail).
/// - Simd4 (SSE): with d_i = (a[i] - b[i])^2, (d0 + d2) + (d1 + d3).
/// - Simd8..Simd64 (AVX2, width N): lane j starts with d_j and adds d_{8b+j}
///   for the blocks b = 1 .. N/8 - 1 in order; then h_i = s_i + s_{i+4} and
///   (h0 + h1) + (h2 + h3).
/// - Simd16Avx512..Simd64Avx512 (width N): sixteen lanes the same way, then
///   ((s0 + s1) + s2) + ... + s15.
/// The fixed-width routines read exactly N floats from each pointer and check
/// nothing: the caller guarantees the width.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "simd/cpu_features.hpp"
#include "simd/preference.hpp"
#include "simd/slice_kernels.hpp"

namespace tarvinex::simd {

enum class DistanceKernel : std::uint8_t {
    Scalar,
    Slice,
    Simd4,
    Simd8,
    Simd16,
    Simd32,
    Simd64,
    Simd16Avx512,
    Simd32Avx512,
    Simd64Avx512,
};

/// The routine for width d under the given preference, processor and
/// normalised TARVINEX_AVX512_AUTO word.
[[nodiscard]] DistanceKernel choose_distance_kernel(std::size_t d, SimdPreference preference,
                                                    const CpuFeatures& features,
                                                    const std::optional<std::string>& avx512_auto_word) noexcept;

/// The routine for width d in this process, evaluated afresh on every call
/// (TARVINEX_AVX512_AUTO is read again).
[[nodiscard]] DistanceKernel for_subdim(std::size_t d);

[[nodiscard]] float simd4_distance_impl(const float* a, const float* b) noexcept;
[[nodiscard]] float simd8_distance_impl(const float* a, const float* b) noexcept;
[[nodiscard]] float simd16_distance_impl(const float* a, const float* b) noexcept;
[[nodiscard]] float simd32_distance_impl(const float* a, const float* b) noexcept;
[[nodiscard]] float simd64_distance_impl(const float* a, const float* b) noexcept;
[[nodiscard]] float simd16_distance_avx512_impl(const float* a, const float* b) noexcept;
[[nodiscard]] float simd32_distance_avx512_impl(const float* a, const float* b) noexcept;
[[nodiscard]] float simd64_distance_avx512_impl(const float* a, const float* b) noexcept;

/// A routine as a plain function of two pointers and the width d (which the
/// fixed-width routines do not read).
using DistanceFunction = float (*)(const float* a, const float* b, std::size_t d) noexcept;

/// The routine of `kernel`, resolved once; Slice takes this process's family.
[[nodiscard]] DistanceFunction distance_function(DistanceKernel kernel);

/// The squared distance of a and b by `kernel`. Pass equal lengths; the
/// fixed-width kernels need at least their width in both.
[[nodiscard]] inline float distance(DistanceKernel kernel, std::span<const float> a, std::span<const float> b) {
    switch (kernel) {
        case DistanceKernel::Scalar:
            return l2_distance_scalar(a, b);
        case DistanceKernel::Slice:
            return slice_kernels().l2_distance(a, b);
        case DistanceKernel::Simd4:
            return simd4_distance_impl(a.data(), b.data());
        case DistanceKernel::Simd8:
            return simd8_distance_impl(a.data(), b.data());
        case DistanceKernel::Simd16:
            return simd16_distance_impl(a.data(), b.data());
        case DistanceKernel::Simd32:
            return simd32_distance_impl(a.data(), b.data());
        case DistanceKernel::Simd64:
            return simd64_distance_impl(a.data(), b.data());
        case DistanceKernel::Simd16Avx512:
            return simd16_distance_avx512_impl(a.data(), b.data());
        case DistanceKernel::Simd32Avx512:
            return simd32_distance_avx512_impl(a.data(), b.data());
        case DistanceKernel::Simd64Avx512:
            return simd64_distance_avx512_impl(a.data(), b.data());
    }
    std::unreachable();
}

}  // namespace tarvinex::simd
