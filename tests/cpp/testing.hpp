#pragma once
/// The helpers the C++ tests share: non-finite constants, bit patterns of
/// floats, a fake settings lookup, the slice-kernel families this processor
/// runs, and deterministic data that does not depend on the library's own
/// generator (splitmix64).
///
/// The namespace is tarvinex::test, not tarvinex::testing: tests inside
/// namespace tarvinex would otherwise find it before GoogleTest's ::testing.

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "array/array.hpp"
#include "error/settings.hpp"
#include "simd/cpu_features.hpp"
#include "simd/preference.hpp"

namespace tarvinex::test {

inline constexpr float kInf = std::numeric_limits<float>::infinity();
inline constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

/// Results compared as bits: -0.0 differs from +0.0 and a NaN equals itself.
inline std::uint32_t bits(float x) { return std::bit_cast<std::uint32_t>(x); }

inline std::vector<std::uint32_t> bit_patterns(std::span<const float> values) {
    std::vector<std::uint32_t> out;
    out.reserve(values.size());
    for (const float x : values) {
        out.push_back(bits(x));
    }
    return out;
}

/// A settings lookup over `values`: names missing from the map are unset.
inline settings::EnvLookup fake_env(std::map<std::string, std::string> values) {
    return [values = std::move(values)](const char* name) -> std::optional<std::string> {
        const auto found = values.find(name);
        if (found == values.end()) {
            return std::nullopt;
        }
        return found->second;
    };
}

/// The slice-kernel families this processor can run, the portable one first.
inline std::vector<simd::SliceKernel> runnable_families() {
    std::vector<simd::SliceKernel> families{simd::SliceKernel::Scalar};
    if (simd::detected_cpu_features().avx2) {
        families.push_back(simd::SliceKernel::Avx2);
    }
    if (simd::detected_cpu_features().avx512f) {
        families.push_back(simd::SliceKernel::Avx512);
    }
    return families;
}

/// A module's kernel set for each family this processor runs, the portable
/// one first, from its `kernels_for(family, features)`.
template <typename KernelsFor>
auto runnable_kernel_sets(KernelsFor&& kernels_for) {
    std::vector<decltype(kernels_for(simd::SliceKernel::Scalar, simd::detected_cpu_features()))> out;
    for (const simd::SliceKernel family : runnable_families()) {
        out.push_back(kernels_for(family, simd::detected_cpu_features()));
    }
    return out;
}

/// Nearest centers by the plainest rule: for each row and each center in
/// order, the sequential sum of rounded squares over the dimensions from zero,
/// kept only when strictly below the best from (0, +inf).
struct NearestCenters {
    std::vector<std::size_t> labels;
    std::vector<float> distances;
};

inline NearestCenters nearest_by_sequential_sums(std::span<const float> vectors, std::span<const float> centers,
                                                 std::size_t rows, std::size_t dim, std::size_t k) {
    NearestCenters out{std::vector<std::size_t>(rows, 0), std::vector<float>(rows, kInf)};
    for (std::size_t i = 0; i < rows; ++i) {
        for (std::size_t c = 0; c < k; ++c) {
            float sum = 0.0F;
            for (std::size_t d = 0; d < dim; ++d) {
                const float difference = vectors[i * dim + d] - centers[c * dim + d];
                const float square = difference * difference;
                sum = sum + square;
            }
            if (sum < out.distances[i]) {
                out.distances[i] = sum;
                out.labels[i] = c;
            }
        }
    }
    return out;
}

class SplitMix {
public:
    explicit SplitMix(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
        return z ^ (z >> 31);
    }

    /// m * 2^e with m in [1, 2) and e in [min_exponent, min_exponent + binades),
    /// negative half the time when `with_signs`: a changed summation order
    /// shows in the last bits.
    std::vector<float> spread(std::size_t n, int min_exponent, int binades, bool with_signs) {
        std::vector<float> v(n);
        for (float& x : v) {
            const std::uint64_t r = next();
            const float mantissa = 1.0F + static_cast<float>(r & 0xFFFFFF) / 16777216.0F;
            const int exponent = static_cast<int>((r >> 24) % static_cast<std::uint64_t>(binades)) + min_exponent;
            const float magnitude = std::ldexp(mantissa, exponent);
            x = with_signs && ((r >> 40) & 1) != 0 ? -magnitude : magnitude;
        }
        return v;
    }

    /// Whole numbers in [low, high] as floats: small sums of them are exact.
    std::vector<float> integers(std::size_t n, std::int64_t low, std::int64_t high) {
        std::vector<float> v(n);
        const auto span = static_cast<std::uint64_t>(high - low + 1);
        for (float& x : v) {
            x = static_cast<float>(static_cast<std::int64_t>(next() % span) + low);
        }
        return v;
    }

    std::vector<std::uint8_t> codes(std::size_t n, std::size_t ks) {
        std::vector<std::uint8_t> v(n);
        for (std::uint8_t& c : v) {
            c = static_cast<std::uint8_t>(next() % ks);
        }
        return v;
    }

    std::vector<std::size_t> labels(std::size_t n, std::size_t k) {
        std::vector<std::size_t> v(n);
        for (std::size_t& label : v) {
            label = next() % k;
        }
        return v;
    }

private:
    std::uint64_t state_;
};

/// Rows and centers for the exact assignment engines. Values spread over
/// several binades (a changed summation order shows in the last bits), or
/// small whole numbers (every order gives the same sums, and ties abound), with
/// the cases every engine must get right: center k-1 repeats center 0 (equal
/// distances, the lower index wins), center 2 holds a NaN (never chosen), row 1
/// equals center k-1 (distance 0, label 0), row rows/2 holds a NaN and row
/// rows-1 an infinity (every distance NaN or +inf: label 0, +inf).
struct ExactFixture {
    std::vector<float> vectors;
    std::vector<float> centers;
};

inline ExactFixture exact_assignment_fixture(std::size_t rows, std::size_t dim, std::size_t k, std::uint64_t seed,
                                             bool whole_numbers = false) {
    SplitMix rng(seed);
    ExactFixture f;
    f.vectors = whole_numbers ? rng.integers(rows * dim, -8, 8) : rng.spread(rows * dim, -3, 6, true);
    f.centers = whole_numbers ? rng.integers(k * dim, -8, 8) : rng.spread(k * dim, -3, 6, true);
    const auto row = [&](std::size_t i) { return f.vectors.begin() + static_cast<std::ptrdiff_t>(i * dim); };
    const auto center = [&](std::size_t c) { return f.centers.begin() + static_cast<std::ptrdiff_t>(c * dim); };
    if (k >= 3) {
        std::copy(center(0), center(1), center(k - 1));
    }
    if (k >= 4) {
        f.centers[2 * dim + dim / 2] = kNaN;
    }
    if (rows >= 2 && k >= 3) {
        std::copy(center(k - 1), center(k), row(1));
    }
    if (rows >= 3) {
        f.vectors[(rows / 2) * dim + dim - 1] = kNaN;
    }
    if (rows >= 4) {
        f.vectors[(rows - 1) * dim] = kInf;
    }
    return f;
}

/// A codebook (M, Ks, Ds) whose element (m, c, d) differs for every position
/// and spreads over several binades, so a wrong index or summation order shows
/// and codeword distances are uneven.
inline array::Codebook<float> spread_codebook(std::size_t m, std::size_t ks, std::size_t ds) {
    array::Codebook<float> out(array::Shape<3>{m, ks, ds});
    auto view = out.view();
    for (std::size_t s = 0; s < m; ++s) {
        for (std::size_t c = 0; c < ks; ++c) {
            for (std::size_t d = 0; d < ds; ++d) {
                const auto position = static_cast<float>((s * ks + c) * ds + d);
                view(s, c, d) = (position * 0.37F - 3.1F) * static_cast<float>(1U << ((s + c + d) % 5));
            }
        }
    }
    return out;
}

}  // namespace tarvinex::test
