/// The batched codeword scans against the per-pair routines they stand for,
/// and the transposed scores against the slice kernels' scaled additions: the
/// same index and the same distance bits, on values spread over many binades
/// (so a changed summation order shows), with exact ties, NaN and infinite
/// rows and codewords, and codebook sizes that leave partial blocks.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "simd/codeword_scan.hpp"
#include "simd/distance.hpp"
#include "simd/slice_kernels.hpp"
#include "testing.hpp"

namespace tarvinex {
namespace {

using simd::DistanceKernel;
using simd::SliceKernel;

/// The per-pair loop the scans replace: every codeword by `kernel` (Slice by
/// `family`'s l2_distance), strict less from +inf.
simd::IndexedValue per_pair_nearest(DistanceKernel kernel, SliceKernel family, std::span<const float> row,
                                    const std::vector<float>& codewords, std::size_t ks) {
    const std::size_t ds = row.size();
    simd::IndexedValue best{0, std::numeric_limits<float>::infinity()};
    for (std::size_t c = 0; c < ks; ++c) {
        const std::span<const float> codeword(codewords.data() + c * ds, ds);
        const float d = kernel == DistanceKernel::Slice ? simd::slice_kernels(family).l2_distance(row, codeword)
                                                        : simd::distance(kernel, row, codeword);
        if (d < best.value) {
            best = {c, d};
        }
    }
    return best;
}

struct Routine {
    const char* name;
    DistanceKernel kernel;
    SliceKernel family;
    simd::CpuFeatures features;
    std::vector<std::size_t> widths;
};

/// Every routine this processor runs, with the widths it serves; Simd4 both
/// in its AVX2 form and in the portable form of processors without AVX2.
std::vector<Routine> runnable_routines() {
    const simd::CpuFeatures& cpu = simd::detected_cpu_features();
    const std::vector<std::size_t> any_width{1, 3, 5, 7, 8, 9, 12, 15, 16, 17, 24, 31, 33, 64};
    std::vector<Routine> out{
        {"scalar", DistanceKernel::Scalar, SliceKernel::Scalar, cpu, any_width},
        {"slice, portable family", DistanceKernel::Slice, SliceKernel::Scalar, cpu, any_width},
        {"simd4 without avx2", DistanceKernel::Simd4, SliceKernel::Scalar, simd::CpuFeatures{}, {4}},
        {"simd4 under the portable family", DistanceKernel::Simd4, SliceKernel::Scalar, cpu, {4}},
    };
    if (cpu.avx2) {
        out.push_back({"simd4", DistanceKernel::Simd4, SliceKernel::Avx2, cpu, {4}});
        out.push_back({"simd8", DistanceKernel::Simd8, SliceKernel::Avx2, cpu, {8}});
        out.push_back({"simd16", DistanceKernel::Simd16, SliceKernel::Avx2, cpu, {16}});
        out.push_back({"simd32", DistanceKernel::Simd32, SliceKernel::Avx2, cpu, {32}});
        out.push_back({"simd64", DistanceKernel::Simd64, SliceKernel::Avx2, cpu, {64}});
        out.push_back({"slice, avx2 family", DistanceKernel::Slice, SliceKernel::Avx2, cpu, any_width});
    }
    if (cpu.avx512f) {
        out.push_back({"simd16 avx512", DistanceKernel::Simd16Avx512, SliceKernel::Avx512, cpu, {16}});
        out.push_back({"simd32 avx512", DistanceKernel::Simd32Avx512, SliceKernel::Avx512, cpu, {32}});
        out.push_back({"simd64 avx512", DistanceKernel::Simd64Avx512, SliceKernel::Avx512, cpu, {64}});
        out.push_back({"slice, avx512 family", DistanceKernel::Slice, SliceKernel::Avx512, cpu, any_width});
        // The AVX2 routines scanned sixteen codewords a register under the AVX-512 family.
        out.push_back({"simd4 under avx512", DistanceKernel::Simd4, SliceKernel::Avx512, cpu, {4}});
        out.push_back({"simd8 under avx512", DistanceKernel::Simd8, SliceKernel::Avx512, cpu, {8}});
        out.push_back({"simd16 under avx512", DistanceKernel::Simd16, SliceKernel::Avx512, cpu, {16}});
        out.push_back({"simd32 under avx512", DistanceKernel::Simd32, SliceKernel::Avx512, cpu, {32}});
        out.push_back({"simd64 under avx512", DistanceKernel::Simd64, SliceKernel::Avx512, cpu, {64}});
    }
    return out;
}

/// ks codewords of ds floats spread over twelve binades, with exact ties: the
/// last third repeats codewords of the first, so the earlier copy must win.
std::vector<float> tied_codewords(test::SplitMix& generator, std::size_t ks, std::size_t ds) {
    std::vector<float> codewords = generator.spread(ks * ds, -6, 12, true);
    for (std::size_t c = ks - ks / 3; c < ks; ++c) {
        const std::size_t original = (c * 7) % (ks - ks / 3);
        for (std::size_t d = 0; d < ds; ++d) {
            codewords[c * ds + d] = codewords[original * ds + d];
        }
    }
    return codewords;
}

TEST(CodewordScan, EveryScanMatchesItsPerPairRoutineBitForBit) {
    constexpr float kNaN = test::kNaN;
    constexpr float kInf = test::kInf;
    test::SplitMix generator(11);
    for (const Routine& routine : runnable_routines()) {
        const simd::NearestCodewordScan scan =
            simd::nearest_codeword_scan(routine.kernel, routine.family, routine.features);
        for (const std::size_t ds : routine.widths) {
            for (const std::size_t ks : {1, 2, 5, 8, 13, 16, 17, 31, 33, 100, 256}) {
                SCOPED_TRACE(std::string(routine.name) + ", ds " + std::to_string(ds) + ", ks " + std::to_string(ks));
                std::vector<float> codewords = tied_codewords(generator, ks, ds);
                if (ks > 4) {
                    codewords[3 * ds + ds / 2] = kNaN;  // a codeword that never wins
                    codewords[4 * ds] = kInf;
                }
                std::vector<float> blocks(simd::codeword_blocks_size(ks, ds));
                simd::block_codewords_into(codewords.data(), ks, ds, blocks.data());

                std::vector<std::vector<float>> rows;
                for (std::size_t r = 0; r < 12; ++r) {
                    rows.push_back(generator.spread(ds, -6, 12, true));
                }
                // Rows on codewords, so the least distance is an exact tie or zero.
                for (const std::size_t c : {std::size_t{0}, ks / 2, ks - 1}) {
                    rows.emplace_back(codewords.begin() + static_cast<std::ptrdiff_t>(c * ds),
                                      codewords.begin() + static_cast<std::ptrdiff_t>((c + 1) * ds));
                }
                std::vector<float> nan_row = generator.spread(ds, -6, 12, true);
                nan_row[ds - 1] = kNaN;
                rows.push_back(nan_row);
                std::vector<float> inf_row = generator.spread(ds, -6, 12, true);
                inf_row[0] = -kInf;
                rows.push_back(inf_row);
                // Squares that overflow to +inf in every codeword.
                rows.push_back(std::vector<float>(ds, 3.0e38F));

                for (const std::vector<float>& row : rows) {
                    const simd::IndexedValue want =
                        per_pair_nearest(routine.kernel, routine.family, row, codewords, ks);
                    const simd::IndexedValue got = scan(row.data(), blocks.data(), ks, ds);
                    EXPECT_EQ(got.index, want.index);
                    EXPECT_EQ(test::bits(got.value), test::bits(want.value));
                }
            }
        }
    }
}

TEST(CodewordScan, PairwiseScansMatchTheAvx2NearestCenterKernelAtMultiplesOfEight) {
    // The AVX2 nearest-center kernel's groups of four centers, at widths with
    // no tail, on rows that tie with a center and rows far from all.
    const simd::CpuFeatures& cpu = simd::detected_cpu_features();
    if (!cpu.avx2) {
        GTEST_SKIP() << "this processor lacks avx2";
    }
    std::vector<std::pair<const char*, simd::NearestCodewordScan>> scans{
        {"avx2", simd::nearest_codeword_pairwise_avx2}};
    if (cpu.avx512f) {
        scans.emplace_back("avx512", simd::nearest_codeword_pairwise_avx512);
    }
    test::SplitMix generator(5);
    for (const std::size_t ds : {8, 24, 40, 64}) {
        for (const std::size_t k : {4, 16, 20, 100}) {
            const std::vector<float> centers = tied_codewords(generator, k, ds);
            std::vector<float> blocks(simd::codeword_blocks_size(k, ds));
            simd::block_codewords_into(centers.data(), k, ds, blocks.data());
            std::vector<std::vector<float>> rows{
                generator.spread(ds, -6, 12, true), generator.spread(ds, -6, 12, true),
                std::vector<float>(centers.begin() + static_cast<std::ptrdiff_t>(ds),
                                   centers.begin() + static_cast<std::ptrdiff_t>(2 * ds))};
            for (const std::vector<float>& row : rows) {
                const simd::IndexedValue want = simd::nearest_l2_center_avx2(row, centers, k, ds);
                for (const auto& [name, scan] : scans) {
                    SCOPED_TRACE(std::string(name) + ", ds " + std::to_string(ds) + ", k " + std::to_string(k));
                    const simd::IndexedValue got = scan(row.data(), blocks.data(), k, ds);
                    EXPECT_EQ(got.index, want.index);
                    EXPECT_EQ(test::bits(got.value), test::bits(want.value));
                }
            }
        }
    }
}

TEST(CodewordScan, BlocksPadWithNaNAndTiesGoToTheFirstCodeword) {
    // Five equal codewords: the blocked copy pads the partial block with NaN,
    // and every scan picks codeword 0 at distance 0.
    const std::vector<float> codewords(5 * 3, 2.0F);
    std::vector<float> blocks(simd::codeword_blocks_size(5, 3));
    ASSERT_EQ(blocks.size(), 16U * 3U);
    simd::block_codewords_into(codewords.data(), 5, 3, blocks.data());
    EXPECT_EQ(blocks[2 * 16 + 4], 2.0F);
    EXPECT_TRUE(std::isnan(blocks[2 * 16 + 5]));
    const std::vector<float> row(3, 2.0F);
    for (const SliceKernel family : test::runnable_families()) {
        const simd::NearestCodewordScan scan =
            simd::nearest_codeword_scan(DistanceKernel::Slice, family, simd::detected_cpu_features());
        const simd::IndexedValue best = scan(row.data(), blocks.data(), 5, 3);
        EXPECT_EQ(best.index, 0U);
        EXPECT_EQ(test::bits(best.value), test::bits(0.0F));
    }
}

TEST(TransposedScores, EachFamilyMatchesItsScaledAdditions) {
    test::SplitMix generator(12);
    for (const SliceKernel family : test::runnable_families()) {
        const simd::SliceKernelTable& kernels = simd::slice_kernels(family);
        const simd::TransposedScores scores_of = simd::transposed_scores_kernel(family);
        for (const std::size_t ds : {1, 3, 8, 16}) {
            for (const std::size_t ks : {1, 7, 8, 17, 33, 64, 100, 256}) {
                SCOPED_TRACE(std::string(simd::slice_kernel_label(family)) + ", ds " + std::to_string(ds) + ", ks " +
                             std::to_string(ks));
                const std::vector<float> transposed = generator.spread(ds * ks, -6, 12, true);
                std::vector<float> norms = generator.spread(ks, -4, 8, false);
                std::vector<float> row = generator.spread(ds, -6, 12, true);
                if (ks > 2) {
                    norms[1] = test::kNaN;
                    norms[2] = test::kInf;
                }
                std::vector<float> want(norms);
                for (std::size_t d = 0; d < ds; ++d) {
                    kernels.scaled_add_assign(want, {transposed.data() + d * ks, ks}, row[d] * -2.0F);
                }
                std::vector<float> got(ks);
                scores_of(row.data(), transposed.data(), norms.data(), ks, ds, got.data());
                EXPECT_EQ(test::bit_patterns(got), test::bit_patterns(want));
            }
        }
    }
}

TEST(TransposedNearest, EachFamilyChoosesAsItsArgminOfItsScores) {
    // Codebook sizes the AVX-512 form keeps in registers and sizes it does
    // not, with an exact tie, a NaN score, and all-NaN scores.
    test::SplitMix generator(19);
    for (const SliceKernel family : test::runnable_families()) {
        const simd::TransposedNearest nearest = simd::transposed_nearest_kernel(family);
        const simd::TransposedScores scores_of = simd::transposed_scores_kernel(family);
        const simd::SliceKernelTable& kernels = simd::slice_kernels(family);
        for (const std::size_t ks : {16, 64, 100, 128, 192, 256}) {
            for (const int variant : {0, 1, 2}) {
                SCOPED_TRACE(std::string(simd::slice_kernel_label(family)) + ", ks " + std::to_string(ks) +
                             ", variant " + std::to_string(variant));
                const std::size_t ds = 8;
                std::vector<float> transposed = generator.spread(ds * ks, -6, 12, true);
                std::vector<float> norms = generator.spread(ks, -4, 8, false);
                const std::vector<float> row = generator.spread(ds, -6, 12, true);
                if (variant == 1) {
                    // Codeword ks - 1 repeats codeword 3 and the first score is NaN.
                    for (std::size_t d = 0; d < ds; ++d) {
                        transposed[d * ks + ks - 1] = transposed[d * ks + 3];
                    }
                    norms[ks - 1] = norms[3];
                    norms[0] = test::kNaN;
                } else if (variant == 2) {
                    std::fill(norms.begin(), norms.end(), test::kNaN);
                }
                std::vector<float> scores(ks);
                scores_of(row.data(), transposed.data(), norms.data(), ks, ds, scores.data());
                const simd::IndexedValue want = kernels.argmin(scores);
                std::vector<float> scratch(ks);
                const simd::IndexedValue got =
                    nearest(row.data(), transposed.data(), norms.data(), ks, ds, scratch.data());
                EXPECT_EQ(got.index, want.index);
                EXPECT_EQ(test::bits(got.value), test::bits(want.value));
            }
        }
    }
}

}  // namespace
}  // namespace tarvinex
