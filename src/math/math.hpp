#pragma once
/// The dense linear algebra of the product quantizer and of PQ k-means: the
/// rotation of row batches, the orthogonal Procrustes rotation of OPQ, the
/// deterministic quantile choice of a subspace's initial codewords, and the
/// rotation batch size of the encoder.
///
/// Rotation convention: a row vector x is rotated as x·R, R (D, D) multiplying
/// from the right; the reverse rotation x·Rᵀ passes the transposed view of R
/// (the same elements with the two axes and their strides swapped). Nothing
/// checks that R is orthogonal.
///
/// Every view may have any strides, negative ones included. Every check is
/// made before anything is computed, so a failed call leaves its output
/// untouched. All functions are reentrant and run their BLAS and LAPACK calls
/// on the calling thread, which may be a pool worker.

#include <cstddef>

#include "array/array.hpp"
#include "error/error.hpp"

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

/// The orthogonal R (D, D), C-ordered, that minimises |a·R − b| (Frobenius):
/// U·Vᵀ from the full SVD of aᵀ·b. a and b are (n, D); D = 0 gives a (0, 0)
/// matrix. Fails with "orthogonal procrustes inputs must have matching
/// shapes", or with the Linalg variant carrying sgesvd's info.
[[nodiscard]] error::Result<array::Matrix<float>> orthogonal_procrustes(array::MatrixView<const float> a,
                                                                        array::MatrixView<const float> b);

}  // namespace tarvinex::math
