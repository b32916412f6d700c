#include "math/blas.hpp"

#include <cblas.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

#include "array/size_product.hpp"
#include "math/math.hpp"
#include "parallel/cpu_count.hpp"
#include "parallel/pool.hpp"

/// LAPACK's Fortran entry, as OpenBLAS exports it (the Debian package ships no
/// LAPACK header). The two trailing lengths are gfortran's hidden arguments of
/// the character parameters.
extern "C" void sgesvd_(const char* jobu, const char* jobvt, const blasint* m, const blasint* n, float* a,
                        const blasint* lda, float* s, float* u, const blasint* ldu, float* vt, const blasint* ldvt,
                        float* work, const blasint* lwork, blasint* info, std::size_t jobu_length,
                        std::size_t jobvt_length);

namespace tarvinex::math {
namespace {

static_assert(sizeof(blasint) == sizeof(int), "OpenBLAS must be the 32-bit integer build");

/// Products whose extents are all at most this go the portable way: the
/// library's call overhead outweighs the work.
constexpr std::size_t kLargestPortableExtent = 7;
/// Rows per task of the portable product.
constexpr std::size_t kPortableChunkRows = 64;

constexpr std::size_t kBlasIntMax = INT_MAX;

constexpr const char* kTooLargeForLapack = "matrix is too large for LAPACK";

[[nodiscard]] bool fits_blas_int(std::size_t value) { return value <= kBlasIntMax; }

/// sgesvd's least workspace, max(3·min + max, 5·min), or nothing on overflow.
[[nodiscard]] std::optional<std::size_t> minimum_svd_work(std::size_t rows, std::size_t cols) {
    const std::size_t smallest = std::min(rows, cols);
    const std::optional<std::size_t> three = array::checked_product(smallest, 3);
    const std::optional<std::size_t> five = array::checked_product(smallest, 5);
    const std::size_t largest = std::max(rows, cols);
    if (!three || !five || *three > SIZE_MAX - largest) {
        return std::nullopt;
    }
    return std::max(*three + largest, *five);
}

/// How a row-major BLAS call reads a view: as stored rows (NoTrans) or as the
/// transpose of stored rows (Trans), with the distance between stored rows.
struct RowMajorOperand {
    CBLAS_TRANSPOSE trans;
    blasint leading_dimension;
};

/// A leading dimension covering `needed` elements, within 32 bits. A stride
/// along an axis of one element is never stepped, so it is replaced.
[[nodiscard]] std::optional<blasint> leading_dimension(std::size_t stepped_extent, std::ptrdiff_t stride,
                                                       std::size_t needed) {
    const std::size_t least = std::max<std::size_t>(1, needed);
    if (stepped_extent <= 1) {
        return fits_blas_int(least) ? std::optional<blasint>(static_cast<blasint>(least)) : std::nullopt;
    }
    if (stride < 0 || static_cast<std::size_t>(stride) < least || !fits_blas_int(static_cast<std::size_t>(stride))) {
        return std::nullopt;
    }
    return static_cast<blasint>(stride);
}

[[nodiscard]] std::optional<RowMajorOperand> row_major_operand(array::MatrixView<const float> m) {
    const std::size_t rows = m.shape[0];
    const std::size_t cols = m.shape[1];
    if (!fits_blas_int(rows) || !fits_blas_int(cols)) {
        return std::nullopt;
    }
    if (cols <= 1 || m.strides[1] == 1) {
        if (const auto ld = leading_dimension(rows, m.strides[0], cols)) {
            return RowMajorOperand{CblasNoTrans, *ld};
        }
    }
    if (rows <= 1 || m.strides[0] == 1) {
        if (const auto ld = leading_dimension(cols, m.strides[1], rows)) {
            return RowMajorOperand{CblasTrans, *ld};
        }
    }
    return std::nullopt;
}

[[nodiscard]] bool is_small_or_empty(std::initializer_list<std::size_t> extents) {
    const bool empty = std::ranges::any_of(extents, [](std::size_t e) { return e == 0; });
    const bool small = std::ranges::all_of(extents, [](std::size_t e) { return e <= kLargestPortableExtent; });
    return empty || small;
}

/// sgemm with out read as stored rows; false when a layout does not fit.
[[nodiscard]] bool try_blas_multiply(array::MatrixView<const float> a, array::MatrixView<const float> b,
                                     array::MatrixView<float> out) {
    const auto lhs = row_major_operand(a);
    const auto rhs = row_major_operand(b);
    const auto result = row_major_operand(out);
    if (!lhs || !rhs || !result || result->trans != CblasNoTrans) {
        return false;
    }
    cblas_sgemm(CblasRowMajor, lhs->trans, rhs->trans, static_cast<blasint>(out.shape[0]),
                static_cast<blasint>(out.shape[1]), static_cast<blasint>(a.shape[1]), 1.0F, a.data,
                lhs->leading_dimension, b.data, rhs->leading_dimension, 0.0F, out.data, result->leading_dimension);
    return true;
}

/// Row i of out is accumulated in `row` as Σ_p a(i,p)·b(p,·), p ascending
/// from +0, each product rounded before it is added, then stored.
void portable_multiply_rows(array::MatrixView<const float> a, array::MatrixView<const float> b,
                            array::MatrixView<float> out, std::size_t begin, std::size_t end, std::vector<float>& row) {
    const std::size_t inner = a.shape[1];
    const std::size_t cols = out.shape[1];
    for (std::size_t i = begin; i < end; ++i) {
        std::fill(row.begin(), row.end(), 0.0F);
        const float* a_row = a.data + static_cast<std::ptrdiff_t>(i) * a.strides[0];
        for (std::size_t p = 0; p < inner; ++p) {
            const float a_ip = a_row[static_cast<std::ptrdiff_t>(p) * a.strides[1]];
            const float* b_row = b.data + static_cast<std::ptrdiff_t>(p) * b.strides[0];
            for (std::size_t j = 0; j < cols; ++j) {
                const float product = a_ip * b_row[static_cast<std::ptrdiff_t>(j) * b.strides[1]];
                row[j] = row[j] + product;
            }
        }
        float* out_row = out.data + static_cast<std::ptrdiff_t>(i) * out.strides[0];
        for (std::size_t j = 0; j < cols; ++j) {
            out_row[static_cast<std::ptrdiff_t>(j) * out.strides[1]] = row[j];
        }
    }
}

void portable_multiply(array::MatrixView<const float> a, array::MatrixView<const float> b,
                       array::MatrixView<float> out) {
    const std::size_t rows = out.shape[0];
    const std::size_t cols = out.shape[1];
    if (rows == 0 || cols == 0) {
        return;
    }
    if (rows <= kPortableChunkRows) {
        std::vector<float> row(cols);
        portable_multiply_rows(a, b, out, 0, rows, row);
        return;
    }
    parallel::for_chunks(
        rows, kPortableChunkRows, [&] { return std::vector<float>(cols); },
        [&](std::size_t, std::size_t begin, std::size_t end, std::vector<float>& row) {
            portable_multiply_rows(a, b, out, begin, end, row);
        });
}

}  // namespace

void multiply_into(array::MatrixView<const float> a, array::MatrixView<const float> b, array::MatrixView<float> out) {
    TARVINEX_ASSERT(a.shape[0] == out.shape[0] && a.shape[1] == b.shape[0] && b.shape[1] == out.shape[1],
                    "matrix product operands do not match");
    if (is_small_or_empty({a.shape[0], a.shape[1], b.shape[1]})) {
        portable_multiply(a, b, out);
        return;
    }
    // A column-major out is filled as outᵀ = bᵀ·aᵀ, whose out is row-major.
    if (try_blas_multiply(a, b, out) || try_blas_multiply(b.transposed(), a.transposed(), out.transposed())) {
        return;
    }
    portable_multiply(a, b, out);
}

void multiply_vector_into(array::MatrixView<const float> a, std::span<const float> x, std::span<float> y) {
    const std::size_t rows = a.shape[0];
    const std::size_t cols = a.shape[1];
    TARVINEX_ASSERT(x.size() == cols && y.size() == rows, "matrix-vector product operands do not match");
    if (!is_small_or_empty({rows, cols})) {
        if (const auto operand = row_major_operand(a)) {
            // Trans reads the stored (cols, rows) rows transposed.
            const bool stored_rows = operand->trans == CblasNoTrans;
            cblas_sgemv(CblasRowMajor, operand->trans, static_cast<blasint>(stored_rows ? rows : cols),
                        static_cast<blasint>(stored_rows ? cols : rows), 1.0F, a.data, operand->leading_dimension,
                        x.data(), 1, 0.0F, y.data(), 1);
            return;
        }
    }
    for (std::size_t i = 0; i < rows; ++i) {
        float sum = 0.0F;
        for (std::size_t j = 0; j < cols; ++j) {
            const float product = a(i, j) * x[j];
            sum = sum + product;
        }
        y[i] = sum;
    }
}

void limit_blas_threads() {
    [[maybe_unused]] static const bool limited = [] {
        openblas_set_num_threads(static_cast<int>(std::min(kMaxBlasThreads, parallel::available_cpu_count())));
        return true;
    }();
}

std::size_t blas_threads() { return static_cast<std::size_t>(openblas_get_num_threads()); }

namespace {

struct SingleThreadedScopes {
    std::mutex mutex;
    std::size_t open = 0;
    int threads_before = 1;
};

SingleThreadedScopes& single_threaded_scopes() {
    static SingleThreadedScopes scopes;
    return scopes;
}

}  // namespace

SingleThreadedBlas::SingleThreadedBlas() {
    SingleThreadedScopes& scopes = single_threaded_scopes();
    const std::lock_guard lock(scopes.mutex);
    if (scopes.open++ == 0) {
        scopes.threads_before = openblas_get_num_threads();
        openblas_set_num_threads(1);
    }
}

SingleThreadedBlas::~SingleThreadedBlas() {
    SingleThreadedScopes& scopes = single_threaded_scopes();
    const std::lock_guard lock(scopes.mutex);
    if (--scopes.open == 0) {
        openblas_set_num_threads(scopes.threads_before);
    }
}

std::vector<double> upper_gram_f64(std::span<const double> a, std::size_t k, std::size_t n) {
    TARVINEX_ASSERT(array::checked_product(k, n) == a.size(), "gram operand does not match its shape");
    TARVINEX_ASSERT(fits_blas_int(k) && fits_blas_int(n), "gram operand is too large for BLAS");
    std::vector<double> gram(n * n, 0.0);
    if (k == 0 || n == 0) {
        return gram;
    }
    cblas_dsyrk(CblasRowMajor, CblasUpper, CblasTrans, static_cast<blasint>(n), static_cast<blasint>(k), 1.0, a.data(),
                static_cast<blasint>(n), 0.0, gram.data(), static_cast<blasint>(n));
    return gram;
}

error::Result<void> check_lapack_shape(std::size_t rows, std::size_t cols) {
    const std::size_t largest = std::max(rows, cols);
    const bool fits = fits_blas_int(largest) && array::checked_product(largest, largest).has_value() &&
                      fits_blas_int(minimum_svd_work(rows, cols).value_or(SIZE_MAX));
    if (!fits) {
        return error::fail(kTooLargeForLapack);
    }
    return {};
}

error::Result<SvdVectors> singular_value_decomposition(ColumnMajorMatrix a, SingularVectors left,
                                                       SingularVectors right) {
    TARVINEX_ASSERT(a.rows > 0 && a.cols > 0, "LAPACK must not be given an empty matrix");
    TARVINEX_ASSERT(array::checked_product(a.rows, a.cols) == a.values.size(),
                    "matrix storage does not match its shape");
    TARVINEX_TRY(check_lapack_shape(a.rows, a.cols));
    if (!all_finite(std::span<const float>(a.values))) {
        return error::fail("singular value decomposition input must be finite");
    }
    const std::size_t smallest = std::min(a.rows, a.cols);
    const auto m = static_cast<blasint>(a.rows);
    const auto n = static_cast<blasint>(a.cols);
    const char jobu = left == SingularVectors::All ? 'A' : 'N';
    const char jobvt = right == SingularVectors::All ? 'A' : 'N';

    SvdVectors vectors;
    float unused_vector = 0.0F;
    blasint ldu = 1;
    blasint ldvt = 1;
    float* u_data = &unused_vector;
    float* vt_data = &unused_vector;
    if (left == SingularVectors::All) {
        vectors.u = ColumnMajorMatrix{std::vector<float>(a.rows * a.rows), a.rows, a.rows};
        ldu = m;
        u_data = vectors.u->values.data();
    }
    if (right == SingularVectors::All) {
        vectors.vt = ColumnMajorMatrix{std::vector<float>(a.cols * a.cols), a.cols, a.cols};
        ldvt = n;
        vt_data = vectors.vt->values.data();
    }
    std::vector<float> singular_values(smallest);

    float optimal_work = 0.0F;
    blasint lwork = -1;
    blasint info = 0;
    sgesvd_(&jobu, &jobvt, &m, &n, a.values.data(), &m, singular_values.data(), u_data, &ldu, vt_data, &ldvt,
            &optimal_work, &lwork, &info, 1, 1);
    if (info != 0) {
        return error::fail(error::TarvinexError(error::LinalgError{info}));
    }
    const auto minimum_work = static_cast<double>(*minimum_svd_work(a.rows, a.cols));
    const double work = std::max(std::ceil(static_cast<double>(optimal_work)), minimum_work);
    if (work > static_cast<double>(kBlasIntMax)) {
        return error::fail(kTooLargeForLapack);
    }
    lwork = static_cast<blasint>(work);
    std::vector<float> workspace(static_cast<std::size_t>(lwork));
    sgesvd_(&jobu, &jobvt, &m, &n, a.values.data(), &m, singular_values.data(), u_data, &ldu, vt_data, &ldvt,
            workspace.data(), &lwork, &info, 1, 1);
    if (info != 0) {
        return error::fail(error::TarvinexError(error::LinalgError{info}));
    }
    return vectors;
}

}  // namespace tarvinex::math
