// The kernel-family and distance-routine choice, by table over processors and
// settings this machine need not have, and the process-wide wrappers.
#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "error/settings.hpp"
#include "simd/simd.hpp"

namespace {

namespace settings = tarvinex::settings;
using tarvinex::simd::CpuFeatures;
using tarvinex::simd::CpuidWords;
using tarvinex::simd::DistanceKernel;
using tarvinex::simd::SimdPreference;
using tarvinex::simd::SliceKernel;

/// A raw setting value as the readers hand it over; nullptr means unset.
std::optional<std::string> word(const char* raw) {
    if (raw == nullptr) {
        return std::nullopt;
    }
    return settings::normalize_word(raw);
}

TEST(SimdPreference, MapsSettingWords) {
    struct Case {
        const char* raw;
        SimdPreference want;
    };
    const Case cases[] = {
        {nullptr, SimdPreference::Auto},    {"auto", SimdPreference::Auto},      {"", SimdPreference::Auto},
        {"scalar", SimdPreference::Scalar}, {"none", SimdPreference::Scalar},    {"off", SimdPreference::Scalar},
        {"OFF", SimdPreference::Scalar},    {"avx2", SimdPreference::Avx2},      {"AVX_2", SimdPreference::Avx2},
        {"avx512", SimdPreference::Avx512}, {"AVX-512", SimdPreference::Avx512}, {"Avx_512", SimdPreference::Avx512},
        {"neon", SimdPreference::Neon},     {"sse4", SimdPreference::Auto},      {" scalar", SimdPreference::Auto},
        {"avx 512", SimdPreference::Auto},  {"avx512f", SimdPreference::Auto},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.raw == nullptr ? "(unset)" : c.raw);
        EXPECT_EQ(tarvinex::simd::preference_from_word(word(c.raw)), c.want);
    }
}

constexpr CpuFeatures kNoVector{};
constexpr CpuFeatures kAvx2Only{.avx2 = true};
constexpr CpuFeatures kAvx512{.avx2 = true, .avx512f = true, .avx512bw = true};
constexpr CpuFeatures kAvx512WithoutAvx2{.avx2 = false, .avx512f = true};

constexpr std::array<std::size_t, 11> kWidths{0, 1, 2, 4, 8, 12, 16, 24, 32, 64, 128};
using Widths = std::array<DistanceKernel, kWidths.size()>;

constexpr DistanceKernel S = DistanceKernel::Scalar;
constexpr DistanceKernel L = DistanceKernel::Slice;
constexpr DistanceKernel W4 = DistanceKernel::Simd4;
constexpr DistanceKernel W8 = DistanceKernel::Simd8;
constexpr Widths kAllScalar{S, S, S, S, S, S, S, S, S, S, S};
constexpr Widths kPortable{L, L, L, W4, L, L, L, L, L, L, L};
constexpr Widths kAvx2Widths{
    L, L, L, W4, W8, L, DistanceKernel::Simd16, L, DistanceKernel::Simd32, DistanceKernel::Simd64, L};
constexpr Widths kAvx512Widths{
    L, L, L, W4, W8, L, DistanceKernel::Simd16Avx512, L, DistanceKernel::Simd32Avx512, DistanceKernel::Simd64Avx512, L};
constexpr Widths kAvx512WithoutAvx2Widths{
    L, L, L, W4, L, L, DistanceKernel::Simd16Avx512, L, DistanceKernel::Simd32Avx512, DistanceKernel::Simd64Avx512, L};

TEST(KernelChoice, FamilyAndWidthRoutinesByProcessorPreferenceAndVeto) {
    // TARVINEX_AVX512_AUTO values that leave AVX-512 allowed, and that veto it.
    const char* const on_words[] = {nullptr, "", "yes"};
    const char* const off_words[] = {"0", "Dis_abled"};
    struct Case {
        const char* name;
        CpuFeatures features;
        SimdPreference preference;
        SliceKernel family_on;
        SliceKernel family_off;
        Widths widths_on;
        Widths widths_off;
    };
    const Case cases[] = {
        {"no vector, auto", kNoVector, SimdPreference::Auto, SliceKernel::Scalar, SliceKernel::Scalar, kPortable,
         kPortable},
        {"no vector, scalar", kNoVector, SimdPreference::Scalar, SliceKernel::Scalar, SliceKernel::Scalar, kAllScalar,
         kAllScalar},
        {"no vector, avx2", kNoVector, SimdPreference::Avx2, SliceKernel::Scalar, SliceKernel::Scalar, kPortable,
         kPortable},
        {"no vector, avx512", kNoVector, SimdPreference::Avx512, SliceKernel::Scalar, SliceKernel::Scalar, kPortable,
         kPortable},
        {"no vector, neon", kNoVector, SimdPreference::Neon, SliceKernel::Scalar, SliceKernel::Scalar, kPortable,
         kPortable},
        {"avx2, auto", kAvx2Only, SimdPreference::Auto, SliceKernel::Avx2, SliceKernel::Avx2, kAvx2Widths, kAvx2Widths},
        {"avx2, scalar", kAvx2Only, SimdPreference::Scalar, SliceKernel::Scalar, SliceKernel::Scalar, kAllScalar,
         kAllScalar},
        {"avx2, avx2", kAvx2Only, SimdPreference::Avx2, SliceKernel::Avx2, SliceKernel::Avx2, kAvx2Widths, kAvx2Widths},
        {"avx2, avx512", kAvx2Only, SimdPreference::Avx512, SliceKernel::Avx2, SliceKernel::Avx2, kAvx2Widths,
         kAvx2Widths},
        {"avx2, neon", kAvx2Only, SimdPreference::Neon, SliceKernel::Scalar, SliceKernel::Scalar, kPortable, kPortable},
        {"avx512, auto", kAvx512, SimdPreference::Auto, SliceKernel::Avx512, SliceKernel::Avx2, kAvx512Widths,
         kAvx2Widths},
        {"avx512, scalar", kAvx512, SimdPreference::Scalar, SliceKernel::Scalar, SliceKernel::Scalar, kAllScalar,
         kAllScalar},
        {"avx512, avx2", kAvx512, SimdPreference::Avx2, SliceKernel::Avx2, SliceKernel::Avx2, kAvx2Widths, kAvx2Widths},
        {"avx512, avx512 ignores the veto", kAvx512, SimdPreference::Avx512, SliceKernel::Avx512, SliceKernel::Avx512,
         kAvx512Widths, kAvx512Widths},
        {"avx512, neon", kAvx512, SimdPreference::Neon, SliceKernel::Scalar, SliceKernel::Scalar, kPortable, kPortable},
        {"avx512 without avx2, auto", kAvx512WithoutAvx2, SimdPreference::Auto, SliceKernel::Avx512,
         SliceKernel::Scalar, kAvx512WithoutAvx2Widths, kPortable},
        {"avx512 without avx2, avx512", kAvx512WithoutAvx2, SimdPreference::Avx512, SliceKernel::Avx512,
         SliceKernel::Avx512, kAvx512WithoutAvx2Widths, kAvx512WithoutAvx2Widths},
        {"avx512 without avx2, avx2", kAvx512WithoutAvx2, SimdPreference::Avx2, SliceKernel::Scalar,
         SliceKernel::Scalar, kPortable, kPortable},
    };
    auto check = [](const Case& c, const char* raw, SliceKernel family, const Widths& widths) {
        SCOPED_TRACE(std::string(c.name) + ", TARVINEX_AVX512_AUTO=" + (raw == nullptr ? "(unset)" : raw));
        const std::optional<std::string> veto = word(raw);
        const SliceKernel chosen = tarvinex::simd::choose_slice_kernel(c.preference, c.features, veto);
        EXPECT_EQ(chosen, family);
        // AVX-512 code is allowed exactly where the family becomes AVX-512.
        EXPECT_EQ(tarvinex::simd::avx512_allowed(c.preference, c.features, veto), family == SliceKernel::Avx512);
        for (std::size_t i = 0; i < kWidths.size(); ++i) {
            EXPECT_EQ(tarvinex::simd::choose_distance_kernel(kWidths[i], c.preference, c.features, veto), widths[i])
                << "d = " << kWidths[i];
        }
    };
    for (const Case& c : cases) {
        for (const char* raw : on_words) {
            check(c, raw, c.family_on, c.widths_on);
        }
        for (const char* raw : off_words) {
            check(c, raw, c.family_off, c.widths_off);
        }
    }
}

TEST(KernelChoice, EveryOffWordVetoesAvx512UnderAuto) {
    for (const char* raw : {"0", "no", "off", "false", "disable", "disabled", "FALSE", "Dis-Abled"}) {
        EXPECT_FALSE(tarvinex::simd::avx512_allowed(SimdPreference::Auto, kAvx512, word(raw))) << raw;
    }
    for (const char* raw : {"1", "on", "true", "", " 0", "00", "nope"}) {
        EXPECT_TRUE(tarvinex::simd::avx512_allowed(SimdPreference::Auto, kAvx512, word(raw))) << raw;
    }
}

TEST(KernelChoice, RunnableFamilyStepsDownToWhatTheProcessorRuns) {
    struct Case {
        SliceKernel wanted;
        CpuFeatures features;
        SliceKernel expected;
    };
    const Case cases[] = {
        {SliceKernel::Avx512, kAvx512, SliceKernel::Avx512},
        {SliceKernel::Avx512, kAvx2Only, SliceKernel::Avx2},
        {SliceKernel::Avx512, kNoVector, SliceKernel::Scalar},
        {SliceKernel::Avx512, kAvx512WithoutAvx2, SliceKernel::Avx512},
        {SliceKernel::Avx2, kAvx512WithoutAvx2, SliceKernel::Scalar},
        {SliceKernel::Avx2, kAvx2Only, SliceKernel::Avx2},
        {SliceKernel::Scalar, kAvx512, SliceKernel::Scalar},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(tarvinex::simd::runnable_family(c.wanted, c.features), c.expected)
            << tarvinex::simd::slice_kernel_label(c.wanted);
    }
}

TEST(KernelChoice, LabelsNameEachFamily) {
    EXPECT_STREQ(tarvinex::simd::slice_kernel_label(SliceKernel::Scalar), "scalar");
    EXPECT_STREQ(tarvinex::simd::slice_kernel_label(SliceKernel::Avx2), "avx2");
    EXPECT_STREQ(tarvinex::simd::slice_kernel_label(SliceKernel::Avx512), "avx512");
}

TEST(KernelChoice, ProcessWideChoiceFollowsThisProcessEnvironment) {
    const SimdPreference preference = tarvinex::simd::simd_preference();
    const CpuFeatures& features = tarvinex::simd::detected_cpu_features();
    const std::optional<std::string> veto = settings::normalize_env_word(settings::names::kAvx512Auto);
    EXPECT_EQ(preference, tarvinex::simd::preference_from_word(settings::normalize_env_word(settings::names::kSimd)));
    EXPECT_EQ(tarvinex::simd::avx512_auto_enabled(), tarvinex::simd::avx512_allowed(preference, features, veto));
    EXPECT_EQ(tarvinex::simd::selected_slice_kernel(), tarvinex::simd::choose_slice_kernel(preference, features, veto));
    EXPECT_STREQ(tarvinex::simd::simd_runtime_label(),
                 tarvinex::simd::slice_kernel_label(tarvinex::simd::selected_slice_kernel()));
    for (const std::size_t d : kWidths) {
        EXPECT_EQ(tarvinex::simd::for_subdim(d), tarvinex::simd::choose_distance_kernel(d, preference, features, veto))
            << "d = " << d;
    }
}

TEST(KernelChoice, VetoWordIsConsultedOnlyUnderAutoWithAvx512) {
    EXPECT_EQ(tarvinex::simd::consulted_avx512_auto_word(SimdPreference::Avx512, kAvx512), std::nullopt);
    EXPECT_EQ(tarvinex::simd::consulted_avx512_auto_word(SimdPreference::Avx2, kAvx512), std::nullopt);
    EXPECT_EQ(tarvinex::simd::consulted_avx512_auto_word(SimdPreference::Auto, kAvx2Only), std::nullopt);
    EXPECT_EQ(tarvinex::simd::consulted_avx512_auto_word(SimdPreference::Auto, kAvx512),
              settings::normalize_env_word(settings::names::kAvx512Auto));
}

TEST(CpuFeatures, CountOnlyWhatTheOperatingSystemSaves) {
    constexpr std::uint32_t kOsxsaveAndAvx = (1U << 27) | (1U << 28);
    constexpr std::uint32_t kAvx2 = 1U << 5;
    constexpr std::uint32_t kF = 1U << 16;
    constexpr std::uint32_t kBw = 1U << 30;
    constexpr std::uint64_t kYmm = 0x6;
    constexpr std::uint64_t kZmm = 0xE0;
    struct Case {
        const char* name;
        CpuidWords words;
        CpuFeatures want;
    };
    const Case cases[] = {
        {"everything", {7, kOsxsaveAndAvx, kAvx2 | kF | kBw, kYmm | kZmm}, {true, true, true}},
        {"leaf 7 missing", {6, kOsxsaveAndAvx, kAvx2 | kF | kBw, kYmm | kZmm}, {}},
        {"no OSXSAVE", {7, 1U << 28, kAvx2 | kF | kBw, kYmm | kZmm}, {}},
        {"no AVX", {7, 1U << 27, kAvx2 | kF | kBw, kYmm | kZmm}, {}},
        {"YMM state off", {7, kOsxsaveAndAvx, kAvx2 | kF | kBw, 0x2 | kZmm}, {}},
        {"ZMM state off", {7, kOsxsaveAndAvx, kAvx2 | kF | kBw, kYmm}, {true, false, false}},
        {"opmask state off", {7, kOsxsaveAndAvx, kAvx2 | kF | kBw, kYmm | 0x60}, {true, false, false}},
        {"AVX2 only", {7, kOsxsaveAndAvx, kAvx2, kYmm | kZmm}, {true, false, false}},
        {"AVX-512F without BW", {7, kOsxsaveAndAvx, kAvx2 | kF, kYmm | kZmm}, {true, true, false}},
        {"BW without F", {7, kOsxsaveAndAvx, kAvx2 | kBw, kYmm | kZmm}, {true, false, false}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const CpuFeatures got = tarvinex::simd::cpu_features_from(c.words);
        EXPECT_EQ(got.avx2, c.want.avx2);
        EXPECT_EQ(got.avx512f, c.want.avx512f);
        EXPECT_EQ(got.avx512bw, c.want.avx512bw);
    }
}

TEST(CacheSizes, OneCoresL2FromTheCacheDirectory) {
    // A directory laid out as the kernel lays out cpu0's caches, the L2 at
    // index 2 behind two level-1 caches and before a huge shared level 3.
    const std::filesystem::path root = std::filesystem::temp_directory_path() / "tarvinex_cache_sizes_test";
    std::filesystem::remove_all(root);
    const auto write_cache = [&](int index, const char* level, const char* type, const char* size) {
        const std::filesystem::path dir = root / ("index" + std::to_string(index));
        std::filesystem::create_directories(dir);
        std::ofstream(dir / "level") << level << "\n";
        std::ofstream(dir / "type") << type << "\n";
        std::ofstream(dir / "size") << size << "\n";
    };
    write_cache(0, "1", "Data", "48K");
    write_cache(1, "1", "Instruction", "64K");
    write_cache(2, "2", "Unified", "2048K");
    write_cache(3, "3", "Unified", "491520K");
    const tarvinex::simd::CacheSizes found = tarvinex::simd::read_cache_sizes(root.string());
    EXPECT_EQ(found.l2_bytes, std::size_t{2} << 20);
    EXPECT_EQ(found.source, "sysfs index2");

    // An unreadable size is skipped; a directory without an L2 falls back.
    write_cache(2, "2", "Unified", "lots");
    EXPECT_NE(tarvinex::simd::read_cache_sizes(root.string()).source, "sysfs index2");
    std::filesystem::remove_all(root);
    const tarvinex::simd::CacheSizes none = tarvinex::simd::read_cache_sizes(root.string());
    EXPECT_GT(none.l2_bytes, 0U);
    EXPECT_TRUE(none.source == "sysconf" || none.source == "assumed") << none.source;
}

}  // namespace
