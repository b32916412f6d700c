#pragma once
/// Dense assignment: every row of a float matrix gets its nearest center and
/// the distance to it, by one of four paths chosen per call.
///
/// - Plain mode: least squared Euclidean distance; the distance is that value.
/// - Spherical mode: largest dot product; the distance is 1 - that dot product.
///   Nothing is normalised here.
///
/// Paths: BLAS score blocks (large problems), transposed AVX-512 kernels (16 to
/// 64 centers of width 64 or more), the per-row slice kernels, and a strided
/// per-element loop for views that are not C-contiguous. Every path visits
/// centers in ascending index from (0, +inf) (spherical: (0, -inf)) and takes a
/// center only on a strict improvement: ties go to the lowest index and a NaN is
/// never chosen, so a row whose values are all NaN gets label 0 and distance
/// +inf. On the BLAS path a negative distance, a rounding artefact of
/// (|c|^2 + |x|^2) - 2x.c, is clamped to +0.
///
/// Summation orders (results of near-ties depend on them):
/// - sequential: terms added one at a time in index order from +0;
/// - four-lane of t_0..t_{d-1}: with q = 4*floor(d/4), lane l adds t_l, t_{l+4},
///   ... below q from +0; ((lane0 + lane1) + lane2) + lane3, plus the sequential
///   sum of t_q..t_{d-1}.
/// Products and squares are rounded to float before they are added.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "array/array.hpp"
#include "error/settings.hpp"
#include "simd/cpu_features.hpp"
#include "simd/preference.hpp"
#include "simd/slice_kernels.hpp"

namespace tarvinex::dense {

/// A one-dimensional strided view: a row, a column, a center.
using VectorView = array::ArrayView<const float, 1>;

/// The number rule of the settings reader, under the name dense callers use.
using settings::env_usize;

/// Whether the view's elements are adjacent: stride 1 or fewer than two elements.
[[nodiscard]] bool is_contiguous(VectorView v) noexcept;

/// Row i of a matrix view as a one-dimensional view.
[[nodiscard]] VectorView row_view(array::MatrixView<const float> m, std::size_t i) noexcept;

/// The four-lane sum of the squares of a contiguous row.
[[nodiscard]] float squared_norm_slice(std::span<const float> row) noexcept;

/// The squared norm of a view: four-lane when contiguous, sequential otherwise.
[[nodiscard]] float squared_norm(VectorView v) noexcept;

/// Each row's squared norm, in row order, computed in parallel. Needs at least
/// one column.
[[nodiscard]] std::vector<float> squared_row_norms(array::MatrixView<const float> matrix);

/// Squared Euclidean distance over the shorter length: the family's
/// l2_distance when both views are contiguous, otherwise the sequential sum.
[[nodiscard]] float l2_distance(VectorView a, VectorView b, simd::SliceKernel family) noexcept;
/// The same with this process's family.
[[nodiscard]] float l2_distance(VectorView a, VectorView b);

/// The dot product of the strided path: four-lane when both views are
/// contiguous, otherwise sequential.
[[nodiscard]] float dot_product(VectorView a, VectorView b) noexcept;

}  // namespace tarvinex::dense
