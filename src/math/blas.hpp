#pragma once
/// The module's only door to BLAS and LAPACK. Products take strided views and
/// go to OpenBLAS when its layout rules allow (one axis of stride 1, a leading
/// dimension that covers the other axis, every size within 32 bits) and at
/// least one extent exceeds 7; anything else, and every product with an empty
/// axis, takes a portable path that adds products in ascending inner index.
/// The libraries never see an empty matrix or a bad leading dimension: OpenBLAS
/// would print and return, a failure that looks like success.

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "array/array.hpp"
#include "error/error.hpp"

namespace tarvinex::math {

/// OpenBLAS runs its own thread pool beside ours. Left alone it starts one
/// thread per CPU it sees (ignoring the cgroup quota), and those threads then
/// compete with the pool's workers; a few threads already saturate the
/// products the engines hand it. This is the most it may use.
inline constexpr std::size_t kMaxBlasThreads = 4;

/// Sets OpenBLAS's pool to min(kMaxBlasThreads, available_cpu_count()).
/// Call it once when the library loads; later calls do nothing.
void limit_blas_threads();

/// The threads OpenBLAS uses now.
[[nodiscard]] std::size_t blas_threads();

/// While one lives, OpenBLAS runs every product on its caller's thread, so
/// the pool's workers can each run their own products side by side. Its
/// helper threads would otherwise spin for a while after every product and
/// take cores from the workers. Nested and concurrent scopes keep it so until
/// the last one ends, which restores the thread count the first one found.
class SingleThreadedBlas {
public:
    SingleThreadedBlas();
    ~SingleThreadedBlas();
    SingleThreadedBlas(const SingleThreadedBlas&) = delete;
    SingleThreadedBlas& operator=(const SingleThreadedBlas&) = delete;
};

/// out = a·b for a (m, k), b (k, n), out (m, n): alpha 1, beta 0, so out is
/// overwritten and never read, and k = 0 gives zeros. out must not overlap a or b.
void multiply_into(array::MatrixView<const float> a, array::MatrixView<const float> b, array::MatrixView<float> out);

/// y = a·x for a (m, n), x of n and y of m values; y is overwritten.
void multiply_vector_into(array::MatrixView<const float> a, std::span<const float> x, std::span<float> y);

/// The upper triangle of aᵀ·a, (n, n) row-major in float64, for a (k, n)
/// row-major float64 matrix; the entries below the diagonal are zeros.
[[nodiscard]] std::vector<double> upper_gram_f64(std::span<const double> a, std::size_t k, std::size_t n);

/// A column-major (rows, cols) matrix in the layout LAPACK factors in place:
/// element (i, j) at values[i + j*rows].
struct ColumnMajorMatrix {
    std::vector<float> values;
    std::size_t rows = 0;
    std::size_t cols = 0;

    [[nodiscard]] array::MatrixView<const float> view() const {
        return {values.data(), {rows, cols}, {1, static_cast<std::ptrdiff_t>(rows)}};
    }
    [[nodiscard]] array::MatrixView<float> view() {
        return {values.data(), {rows, cols}, {1, static_cast<std::ptrdiff_t>(rows)}};
    }
};

/// Shared by every caller that asks sgesvd for Vᵀ.
inline constexpr const char* kNoRightSingularVectors = "svd did not return right singular vectors";

/// Which singular vectors sgesvd is asked for: all of them or none.
enum class SingularVectors : bool { None, All };

/// The singular vectors that came back, each (rows, rows) for U and (cols,
/// cols) for Vᵀ, column-major. The singular values are not kept.
struct SvdVectors {
    std::optional<ColumnMajorMatrix> u;
    std::optional<ColumnMajorMatrix> vt;
};

/// Refuses, with "matrix is too large for LAPACK", a (rows, cols) matrix whose
/// SVD would need an argument beyond LAPACK's 32-bit integers. Callers check
/// before they allocate for the decomposition: once it passes, rows·cols,
/// rows² and cols² fit in size_t.
[[nodiscard]] error::Result<void> check_lapack_shape(std::size_t rows, std::size_t cols);

/// Full SVD a = U·Σ·Vᵀ by sgesvd, destroying `a`, which must have rows and
/// columns and pass `check_lapack_shape`. A matrix holding NaN or infinity
/// fails with "singular value decomposition input must be finite" before
/// LAPACK sees it (sgesvd can iterate forever on one). A nonzero info from
/// the workspace query or the decomposition is the Linalg variant.
[[nodiscard]] error::Result<SvdVectors> singular_value_decomposition(ColumnMajorMatrix a, SingularVectors left,
                                                                     SingularVectors right);

}  // namespace tarvinex::math
