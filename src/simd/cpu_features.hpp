#pragma once
/// The instruction sets the kernels may use on this processor.
///
/// A set counts as present only when the processor reports it (CPUID) and the
/// operating system saves its register state across context switches (XGETBV):
/// a processor with AVX-512 under a kernel that leaves the ZMM state off would
/// fault on the first AVX-512 instruction.

#include <cstdint>

namespace tarvinex::simd {

struct CpuFeatures {
    bool avx2 = false;
    bool avx512f = false;
    bool avx512bw = false;

    friend bool operator==(const CpuFeatures&, const CpuFeatures&) = default;
};

/// The processor words the detection looks at.
struct CpuidWords {
    std::uint32_t max_leaf = 0;   ///< CPUID leaf 0, EAX: the highest standard leaf
    std::uint32_t leaf1_ecx = 0;  ///< CPUID leaf 1, ECX: bit 27 OSXSAVE, bit 28 AVX
    std::uint32_t leaf7_ebx = 0;  ///< CPUID leaf 7 subleaf 0, EBX: bit 5 AVX2, 16 AVX-512F, 30 AVX-512BW
    std::uint64_t xcr0 = 0;       ///< XGETBV(0); bits 1,2 SSE/AVX state, bits 5,6,7 opmask/ZMM state
};

/// The features those words grant.
[[nodiscard]] CpuFeatures cpu_features_from(const CpuidWords& words) noexcept;

/// This processor's features, detected on first use and cached for the process.
[[nodiscard]] const CpuFeatures& detected_cpu_features() noexcept;

}  // namespace tarvinex::simd
