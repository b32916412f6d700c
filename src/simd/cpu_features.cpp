#include "simd/cpu_features.hpp"

#include <cpuid.h>

namespace tarvinex::simd {
namespace {

constexpr std::uint32_t kOsxsaveBit = 1U << 27;
constexpr std::uint32_t kAvxBit = 1U << 28;
constexpr std::uint32_t kAvx2Bit = 1U << 5;
constexpr std::uint32_t kAvx512fBit = 1U << 16;
constexpr std::uint32_t kAvx512bwBit = 1U << 30;
constexpr std::uint64_t kXmmYmmState = (1U << 1) | (1U << 2);
constexpr std::uint64_t kOpmaskZmmState = (1U << 5) | (1U << 6) | (1U << 7);

std::uint64_t read_xcr0() noexcept {
    std::uint32_t low = 0;
    std::uint32_t high = 0;
    // Spelled as the instruction so this file needs no XSAVE target.
    __asm__ volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<std::uint64_t>(high) << 32) | low;
}

CpuidWords read_cpuid_words() noexcept {
    CpuidWords words;
    std::uint32_t eax = 0;
    std::uint32_t ebx = 0;
    std::uint32_t ecx = 0;
    std::uint32_t edx = 0;
    words.max_leaf = __get_cpuid_max(0, nullptr);
    if (words.max_leaf >= 1 && __get_cpuid(1, &eax, &ebx, &ecx, &edx) != 0) {
        words.leaf1_ecx = ecx;
    }
    if (words.max_leaf >= 7 && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0) {
        words.leaf7_ebx = ebx;
    }
    // XGETBV faults unless the OS has set CR4.OSXSAVE.
    if ((words.leaf1_ecx & kOsxsaveBit) != 0) {
        words.xcr0 = read_xcr0();
    }
    return words;
}

}  // namespace

CpuFeatures cpu_features_from(const CpuidWords& words) noexcept {
    CpuFeatures features;
    if (words.max_leaf < 7) {
        return features;
    }
    const bool os_saves_ymm = (words.leaf1_ecx & kOsxsaveBit) != 0 && (words.leaf1_ecx & kAvxBit) != 0 &&
                              (words.xcr0 & kXmmYmmState) == kXmmYmmState;
    const bool os_saves_zmm = os_saves_ymm && (words.xcr0 & kOpmaskZmmState) == kOpmaskZmmState;
    features.avx2 = os_saves_ymm && (words.leaf7_ebx & kAvx2Bit) != 0;
    features.avx512f = os_saves_zmm && (words.leaf7_ebx & kAvx512fBit) != 0;
    features.avx512bw = features.avx512f && (words.leaf7_ebx & kAvx512bwBit) != 0;
    return features;
}

const CpuFeatures& detected_cpu_features() noexcept {
    static const CpuFeatures features = cpu_features_from(read_cpuid_words());
    return features;
}

}  // namespace tarvinex::simd
