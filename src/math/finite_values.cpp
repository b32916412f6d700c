/// Reads of a float matrix that tell whether every value is finite and, when
/// asked, how large the largest magnitude is. The engines make one before
/// training on data or codebooks, where one NaN or infinity would spread
/// through the centers and keep a fit from ever settling.
///
/// Both work on the bits, so that NaN cannot slip through a float comparison,
/// and both reduce with plain integer operations the compiler vectorises on
/// any x86-64, so a read runs near memory speed:
/// - NaN and the infinities are the values whose exponent bits are all ones:
///   adding one to the exponent field then carries into the sign bit, so the
///   OR of (bits & exponent) + (exponent's lowest bit) over all values has its
///   sign bit set exactly when some value is not finite;
/// - with the sign cleared, the bits of finite floats order like the floats and
///   every NaN or infinity lies at or above those of +inf, so one unsigned
///   maximum answers both questions.

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "math/math.hpp"
#include "parallel/pool.hpp"

namespace tarvinex::math {
namespace {

constexpr std::uint32_t kExponentBits = 0x7f800000U;
constexpr std::uint32_t kExponentStep = 0x00800000U;
constexpr std::uint32_t kSignBit = 0x80000000U;
constexpr std::uint32_t kMagnitudeBits = 0x7fffffffU;
/// Values per pool task; smaller matrices are read on the calling thread.
constexpr std::size_t kValuesPerTask = std::size_t{1} << 15;

/// Sign bit set when some value is NaN or infinite.
struct NonFiniteFold {
    static std::uint32_t fold(std::uint32_t acc, std::uint32_t bits) {
        return acc | ((bits & kExponentBits) + kExponentStep);
    }
    static std::uint32_t combine(std::uint32_t a, std::uint32_t b) { return a | b; }
};

/// The largest magnitude's bits; at least those of +inf when some value is
/// not finite.
struct MagnitudeFold {
    static std::uint32_t fold(std::uint32_t acc, std::uint32_t bits) { return std::max(acc, bits & kMagnitudeBits); }
    static std::uint32_t combine(std::uint32_t a, std::uint32_t b) { return std::max(a, b); }
};

template <typename Fold>
std::uint32_t fold_row(const float* values, std::size_t count, std::ptrdiff_t stride, std::uint32_t acc) {
    if (stride == 1) {
        for (std::size_t j = 0; j < count; ++j) {
            acc = Fold::fold(acc, std::bit_cast<std::uint32_t>(values[j]));
        }
        return acc;
    }
    for (std::size_t j = 0; j < count; ++j) {
        acc = Fold::fold(acc, std::bit_cast<std::uint32_t>(values[static_cast<std::ptrdiff_t>(j) * stride]));
    }
    return acc;
}

/// The fold over every element, rows side by side on the pool.
template <typename Fold>
std::uint32_t fold_matrix(array::MatrixView<const float> values) {
    // An axis that steps 0 repeats one row (or column): reading it once is enough.
    const std::size_t rows = values.strides[0] == 0 ? std::min<std::size_t>(values.shape[0], 1) : values.shape[0];
    const std::size_t cols = values.strides[1] == 0 ? std::min<std::size_t>(values.shape[1], 1) : values.shape[1];
    if (rows == 0 || cols == 0) {
        return 0;
    }
    const auto fold_rows = [&](std::size_t begin, std::size_t end, std::uint32_t acc) {
        for (std::size_t i = begin; i < end; ++i) {
            acc = fold_row<Fold>(values.data + static_cast<std::ptrdiff_t>(i) * values.strides[0], cols,
                                 values.strides[1], acc);
        }
        return acc;
    };
    const std::size_t rows_per_task = std::max<std::size_t>(1, kValuesPerTask / cols);
    if (rows <= rows_per_task) {
        return fold_rows(0, rows, 0);
    }
    return parallel::reduce(
        std::size_t{0}, parallel::chunk_count(rows, rows_per_task), std::uint32_t{0},
        [&](std::size_t first_task, std::size_t end_task, std::uint32_t acc) {
            return fold_rows(first_task * rows_per_task, std::min(rows, end_task * rows_per_task), acc);
        },
        [](std::uint32_t a, std::uint32_t b) { return Fold::combine(a, b); });
}

}  // namespace

std::optional<float> finite_max_abs(array::MatrixView<const float> values) {
    const std::uint32_t largest = fold_matrix<MagnitudeFold>(values);
    if (largest >= kExponentBits) {
        return std::nullopt;
    }
    return std::bit_cast<float>(largest);
}

bool all_finite(array::MatrixView<const float> values) { return (fold_matrix<NonFiniteFold>(values) & kSignBit) == 0; }

bool all_finite(std::span<const float> values) {
    // Read as rows of one task's values, so a long run is read in parallel too.
    const std::size_t whole_rows = values.size() / kValuesPerTask;
    const std::span<const float> tail = values.subspan(whole_rows * kValuesPerTask);
    return all_finite(array::MatrixView<const float>::c_order(values.data(), {whole_rows, kValuesPerTask})) &&
           all_finite(array::MatrixView<const float>::c_order(tail.data(), {1, tail.size()}));
}

}  // namespace tarvinex::math
