#pragma once
/// The dense linear algebra of the product quantizer and of PQ k-means: the
/// rotation of row batches, the orthogonal Procrustes rotation of OPQ, the
/// deterministic quantile choice of a subspace's initial codewords, the
/// rotation batch size of the encoder, and the unit scaling of rows whose
/// squares overflow.
///
/// Rotation convention: a row vector x is rotated as x·R, R (D, D) multiplying
/// from the right; the reverse rotation x·Rᵀ passes the transposed view of R
/// (the same elements with the two axes and their strides swapped), which is
/// the inverse only for an orthogonal R: rotations taken from outside are
/// checked by `check_orthogonal`.
///
/// Every view may have any strides, negative ones included. Every check is
/// made before anything is computed, so a failed call leaves its output
/// untouched. All functions are reentrant and run their BLAS and LAPACK calls
/// on the calling thread, which may be a pool worker.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "array/array.hpp"
#include "error/error.hpp"
#include "error/settings.hpp"

namespace tarvinex::math {

/// out = x·R, out overwritten and never read. Fails with "rotation must be
/// square and match the input dimensionality" unless R is (D, D) for D = x's
/// column count, then with "rotation output must match the rotated matrix
/// shape" unless out is (n, D). out must not overlap x or R.
[[nodiscard]] error::Result<void> apply_rotation_into(array::MatrixView<const float> x,
                                                      array::MatrixView<const float> rotation,
                                                      array::MatrixView<float> out);

/// x·R as a new C-ordered (n, D) matrix; the same rotation check as above.
[[nodiscard]] error::Result<array::Matrix<float>> apply_rotation(array::MatrixView<const float> x,
                                                                 array::MatrixView<const float> rotation);

/// Refusal of a rotation that does not invert by its transpose.
inline constexpr const char* kRotationNotOrthogonal = "rotation must be orthogonal";
/// The largest |RᵀR − I| entry an accepted rotation may have.
inline constexpr double kOrthogonalityTolerance = 1e-3;

/// Nothing when R (D, D) is finite and no entry of |RᵀR − I|, computed in
/// float64, exceeds `kOrthogonalityTolerance`; otherwise fails with
/// "rotation must be orthogonal". R must be square; D = 0 passes.
[[nodiscard]] error::Result<void> check_orthogonal(array::MatrixView<const float> rotation);

/// The largest |x| of `values` (any strides; an axis that steps 0 is read
/// once), or nothing when a value is NaN or infinite. One parallel read; an
/// empty matrix gives 0.
[[nodiscard]] std::optional<float> finite_max_abs(array::MatrixView<const float> values);
/// Whether every value is finite, by the same read.
[[nodiscard]] bool all_finite(array::MatrixView<const float> values);
[[nodiscard]] bool all_finite(std::span<const float> values);

/// The orthogonal R (D, D), C-ordered, that minimises |a·R − b| (Frobenius):
/// U·Vᵀ from the full SVD of aᵀ·b. a and b are (n, D); D = 0 gives a (0, 0)
/// matrix. Fails with "orthogonal procrustes inputs must have matching
/// shapes", or with the Linalg variant carrying sgesvd's info.
[[nodiscard]] error::Result<array::Matrix<float>> orthogonal_procrustes(array::MatrixView<const float> a,
                                                                        array::MatrixView<const float> b);

/// k distinct rows of x (n, d), in pick order, spread evenly over the rows
/// sorted by the column of greatest population variance (IEEE total order on
/// the variance, the last column on ties; the rows in IEEE total order of
/// their value, equal values by row index). Fails with "cannot initialize more
/// centers than samples" when n < k, then with "data must have at least one
/// column" when d = 0.
[[nodiscard]] error::Result<std::vector<std::size_t>> variance_quantile_indices(array::MatrixView<const float> x,
                                                                                std::size_t k);

/// As above, over the rows sorted by their projection on the first principal
/// direction (sign as LAPACK returns it) of the centered rows, ascending;
/// equal projections (−0 and +0 included) keep row order, NaN projections come
/// last. The same two refusals, then the Linalg variant when the
/// decomposition fails.
[[nodiscard]] error::Result<std::vector<std::size_t>> pca_quantile_indices(array::MatrixView<const float> x,
                                                                           std::size_t k);

inline constexpr std::uint64_t kDefaultRotationBatchMib = 32;
inline constexpr std::size_t kMinRotationBatchRows = 256;
inline constexpr std::size_t kMaxRotationBatchRows = 32768;

/// TARVINEX_ROTATION_BATCH_MIB from `lookup`: its number, or 32 when it is
/// unset, not a number or 0.
[[nodiscard]] std::uint64_t read_rotation_batch_mib(const settings::EnvLookup& lookup);

/// The batch size in MiB, read from the process environment at the first call
/// and fixed for the life of the process.
[[nodiscard]] std::uint64_t rotation_batch_mib();

/// Rows per rotation batch of vectors of `dim` floats: batch_mib MiB over 4·dim
/// bytes per row (both saturating), within [256, 32768]; dim = 0 gives 256.
[[nodiscard]] std::size_t rotation_batch_rows(std::size_t dim, std::uint64_t batch_mib);

/// The same with the process-wide `rotation_batch_mib()`.
[[nodiscard]] std::size_t rotation_batch_rows(std::size_t dim);

/// When `sum_of_squares`, the float sum of the squares of `row`, is +inf
/// while every element is finite, scales `row` to unit length and returns
/// true: first by the power of two that brings its largest magnitude into
/// [1, 2), then by the norm of the scaled row. Otherwise leaves `row` as it
/// is and returns false.
bool normalize_if_squares_overflow(std::span<float> row, float sum_of_squares);

}  // namespace tarvinex::math
