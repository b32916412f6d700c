#include <cmath>
#include <cstddef>
#include <optional>
#include <utility>
#include <vector>

#include "array/size_product.hpp"
#include "math/blas.hpp"
#include "math/math.hpp"

namespace tarvinex::math {
namespace {

[[nodiscard]] error::Result<void> check_rotation_shape(array::MatrixView<const float> x,
                                                       array::MatrixView<const float> rotation) {
    const std::size_t dim = x.shape[1];
    if (rotation.shape[0] != dim || rotation.shape[1] != dim) {
        return error::fail("rotation must be square and match the input dimensionality");
    }
    return {};
}

/// A C-ordered (rows, cols) matrix of zeros, refused when its size overflows.
[[nodiscard]] error::Result<array::Matrix<float>> zero_matrix(std::size_t rows, std::size_t cols) {
    if (!array::checked_product(rows, cols)) {
        return error::fail("matrix size overflows usize");
    }
    return array::Matrix<float>(array::Shape<2>{rows, cols});
}

}  // namespace

error::Result<void> apply_rotation_into(array::MatrixView<const float> x, array::MatrixView<const float> rotation,
                                        array::MatrixView<float> out) {
    TARVINEX_TRY(check_rotation_shape(x, rotation));
    if (out.shape != x.shape) {
        return error::fail("rotation output must match the rotated matrix shape");
    }
    multiply_into(x, rotation, out);
    return {};
}

error::Result<array::Matrix<float>> apply_rotation(array::MatrixView<const float> x,
                                                   array::MatrixView<const float> rotation) {
    // The rotation is checked before the output is allocated, so a bad
    // rotation reports its own message whatever the row count.
    TARVINEX_TRY(check_rotation_shape(x, rotation));
    TARVINEX_TRY_ASSIGN(array::Matrix<float> rotated, zero_matrix(x.shape[0], x.shape[1]));
    TARVINEX_TRY(apply_rotation_into(x, rotation, rotated.view()));
    return rotated;
}

error::Result<void> check_orthogonal(array::MatrixView<const float> rotation) {
    const std::size_t dim = rotation.shape[0];
    TARVINEX_ASSERT(rotation.shape[1] == dim, "an orthogonality check needs a square matrix");
    if (!all_finite(rotation)) {
        return error::fail(kRotationNotOrthogonal);
    }
    std::vector<double> wide(dim * dim);
    for (std::size_t i = 0; i < dim; ++i) {
        for (std::size_t j = 0; j < dim; ++j) {
            wide[i * dim + j] = static_cast<double>(rotation(i, j));
        }
    }
    const std::vector<double> gram = upper_gram_f64(wide, dim, dim);
    for (std::size_t i = 0; i < dim; ++i) {
        for (std::size_t j = i; j < dim; ++j) {
            const double identity = i == j ? 1.0 : 0.0;
            if (!(std::abs(gram[i * dim + j] - identity) <= kOrthogonalityTolerance)) {
                return error::fail(kRotationNotOrthogonal);
            }
        }
    }
    return {};
}

error::Result<array::Matrix<float>> orthogonal_procrustes(array::MatrixView<const float> a,
                                                          array::MatrixView<const float> b) {
    if (a.shape != b.shape) {
        return error::fail("orthogonal procrustes inputs must have matching shapes");
    }
    const std::size_t dim = a.shape[1];
    if (dim == 0) {
        return array::Matrix<float>(array::Shape<2>{0, 0});
    }
    TARVINEX_TRY(check_lapack_shape(dim, dim));
    // aᵀ·b is formed straight into LAPACK's column-major layout, reading a
    // through its transposed view: neither a nor the product is copied.
    ColumnMajorMatrix cross{std::vector<float>(dim * dim), dim, dim};
    multiply_into(a.transposed(), b, cross.view());
    if (!all_finite(std::span<const float>(cross.values))) {
        return error::fail("orthogonal procrustes product is not finite (rows too large for float32 or not finite)");
    }

    TARVINEX_TRY_ASSIGN(SvdVectors svd,
                        singular_value_decomposition(std::move(cross), SingularVectors::All, SingularVectors::All));
    if (!svd.u) {
        return error::fail("svd did not return left singular vectors");
    }
    if (!svd.vt) {
        return error::fail(kNoRightSingularVectors);
    }
    TARVINEX_TRY_ASSIGN(array::Matrix<float> rotation, zero_matrix(dim, dim));
    multiply_into(svd.u->view(), svd.vt->view(), rotation.view());
    return rotation;
}

}  // namespace tarvinex::math
