/// The deterministic initial codewords of a subspace: the rows are sorted
/// along one direction of the data (the column of greatest variance, or the
/// first principal direction) and k of them are taken at evenly spaced
/// quantiles, so the codewords start spread over the data's widest extent.

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <numeric>
#include <span>
#include <utility>
#include <vector>

#include "math/blas.hpp"
#include "math/math.hpp"
#include "ranking/float_order.hpp"

namespace tarvinex::math {
namespace {

[[nodiscard]] error::Result<void> check_seeding_input(array::MatrixView<const float> x, std::size_t k) {
    if (x.shape[0] < k) {
        return error::fail("cannot initialize more centers than samples");
    }
    if (x.shape[1] == 0) {
        return error::fail("data must have at least one column");
    }
    return {};
}

/// A non-negative double as an index, saturating: negative and NaN give 0.
[[nodiscard]] std::size_t saturating_index(double value) {
    constexpr double kBeyondIndices = 18446744073709551616.0;  // 2^64
    if (!(value > 0.0)) {
        return 0;
    }
    if (value >= kBeyondIndices) {
        return std::numeric_limits<std::size_t>::max();
    }
    return static_cast<std::size_t>(value);
}

/// Pick j targets position floor((j + 0.5)·n / k) of `sorted`; a target that
/// rounding made coincide with an earlier pick moves to the next free position,
/// or, with none left above it, to the nearest free one below.
[[nodiscard]] std::vector<std::size_t> evenly_spaced_picks(std::span<const std::size_t> sorted, std::size_t k) {
    const std::size_t n = sorted.size();
    TARVINEX_ASSERT(k <= n, "even spacing needs at least k rows");
    std::vector<bool> picked(n, false);
    std::vector<std::size_t> picks;
    picks.reserve(k);
    const auto rows = static_cast<double>(n);
    const auto count = static_cast<double>(k);
    for (std::size_t j = 0; j < k; ++j) {
        const double scaled = (static_cast<double>(j) + 0.5) * rows;
        const std::size_t target = std::min(saturating_index(std::floor(scaled / count)), n - 1);
        std::size_t position = target;
        while (position < n && picked[sorted[position]]) {
            ++position;
        }
        if (position == n) {
            position = target;
            while (picked[sorted[position]] && position > 0) {
                --position;
            }
        }
        picked[sorted[position]] = true;
        picks.push_back(sorted[position]);
    }
    return picks;
}

/// The column of greatest population variance, s2/n − (s1/n)² from sums in
/// doubles over the rows in order; ties and the total order as documented.
[[nodiscard]] std::size_t widest_column(array::MatrixView<const float> x) {
    const std::size_t n = x.shape[0];
    const std::size_t d = x.shape[1];
    std::vector<double> sums(d, 0.0);
    std::vector<double> square_sums(d, 0.0);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            const auto value = static_cast<double>(x(i, j));
            const double square = value * value;
            sums[j] = sums[j] + value;
            square_sums[j] = square_sums[j] + square;
        }
    }
    const double inverse = 1.0 / static_cast<double>(n);
    std::size_t widest = 0;
    std::uint64_t widest_key = 0;
    for (std::size_t j = 0; j < d; ++j) {
        const double mean = sums[j] * inverse;
        const double variance = square_sums[j] * inverse - mean * mean;
        const std::uint64_t key = ranking::total_order_key(variance);
        if (key >= widest_key) {
            widest = j;
            widest_key = key;
        }
    }
    return widest;
}

/// The mean row in floats (rows added in order from +0, then one true
/// division by n), subtracted from every row, in LAPACK's column-major layout.
[[nodiscard]] ColumnMajorMatrix centered_rows(array::MatrixView<const float> x) {
    const std::size_t n = x.shape[0];
    const std::size_t d = x.shape[1];
    std::vector<float> mean(d, 0.0F);
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            mean[j] = mean[j] + x(i, j);
        }
    }
    const auto rows = static_cast<float>(n);
    for (float& m : mean) {
        m = m / rows;
    }
    ColumnMajorMatrix centered{std::vector<float>(n * d), n, d};
    const array::MatrixView<float> out = centered.view();
    for (std::size_t i = 0; i < n; ++i) {
        for (std::size_t j = 0; j < d; ++j) {
            out(i, j) = x(i, j) - mean[j];
        }
    }
    return centered;
}

}  // namespace

error::Result<std::vector<std::size_t>> variance_quantile_indices(array::MatrixView<const float> x, std::size_t k) {
    TARVINEX_TRY(check_seeding_input(x, k));
    const std::size_t n = x.shape[0];
    const std::size_t column = widest_column(x);
    // (key, row) pairs: the total order of the values, equal values by row.
    std::vector<std::pair<std::uint32_t, std::size_t>> keyed(n);
    for (std::size_t i = 0; i < n; ++i) {
        keyed[i] = {ranking::total_order_key(x(i, column)), i};
    }
    std::sort(keyed.begin(), keyed.end());
    std::vector<std::size_t> sorted(n);
    std::ranges::transform(keyed, sorted.begin(), [](const auto& entry) { return entry.second; });
    return evenly_spaced_picks(sorted, k);
}

error::Result<std::vector<std::size_t>> pca_quantile_indices(array::MatrixView<const float> x, std::size_t k) {
    TARVINEX_TRY(check_seeding_input(x, k));
    const std::size_t n = x.shape[0];
    const std::size_t d = x.shape[1];
    if (n == 0) {
        return std::vector<std::size_t>{};  // k = 0, and there is nothing to decompose
    }
    TARVINEX_TRY(check_lapack_shape(n, d));
    const ColumnMajorMatrix centered = centered_rows(x);
    TARVINEX_TRY_ASSIGN(const SvdVectors svd,
                        singular_value_decomposition(centered, SingularVectors::None, SingularVectors::All));
    if (!svd.vt) {
        return error::fail(kNoRightSingularVectors);
    }
    std::vector<float> direction(d);
    for (std::size_t j = 0; j < d; ++j) {
        direction[j] = svd.vt->view()(0, j);
    }
    std::vector<float> projection(n);
    multiply_vector_into(centered.view(), direction, projection);

    // Ascending on the key (isnan(p), p): equal projections, −0 and +0 among
    // them, keep row order, and NaN projections close the order as ties.
    std::vector<std::size_t> sorted(n);
    std::iota(sorted.begin(), sorted.end(), std::size_t{0});
    std::ranges::stable_sort(sorted, [&](std::size_t a, std::size_t b) {
        const float pa = projection[a];
        const float pb = projection[b];
        if (std::isnan(pa) || std::isnan(pb)) {
            return !std::isnan(pa);
        }
        return pa < pb;
    });
    return evenly_spaced_picks(sorted, k);
}

}  // namespace tarvinex::math
