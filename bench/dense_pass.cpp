/// One dense k-means assignment pass against the matrix product inside it.
///
/// For each shape (rows, dim, k) it times `dense::assign_dense_into` with the
/// default settings (which picks the BLAS blocks for the large k and the
/// transposed or slice kernels for k = 32) and, at the same shape and in the
/// same row blocks, `cblas_sgemm` of the rows against the centers alone. The
/// ratio pass / product says what the norms, the argmin and the block
/// handling cost on top of the product. The last column is what the
/// finiteness check a fit makes once adds, as a share of one pass.
///
/// Usage: bench_dense_pass [scale]   (default 1.0: the rows below; 0.2 for a quick look)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "array/array.hpp"
#include "dense/dense.hpp"
#include "math/blas.hpp"
#include "math/math.hpp"
#include "parallel/pool.hpp"
#include "rng/seeded_rng.hpp"
#include "simd/preference.hpp"

extern "C" char* openblas_get_corename(void);
extern "C" int openblas_get_num_threads(void);

namespace {

using namespace tarvinex;
using Clock = std::chrono::steady_clock;

struct Shape {
    const char* name;
    std::size_t rows, dim, k;
};

template <typename Body>
double best_seconds(int repeats, Body&& body) {
    double best = 1e300;
    for (int r = 0; r < repeats; ++r) {
        const auto start = Clock::now();
        body();
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv) {
    const double scale = argc > 1 ? std::atof(argv[1]) : 1.0;
    const Shape shapes[] = {
        {"a 200k x 128, k=1024", 200000, 128, 1024},
        {"b 1M x 128, k=1024", 1000000, 128, 1024},
        {"c 100k x 960, k=256", 100000, 960, 256},
        {"d 1M x 128, k=32", 1000000, 128, 32},
    };
    const char* coretype = std::getenv("OPENBLAS_CORETYPE");
    std::printf("kernels=%s workers=%zu openblas core=%s threads=%d OPENBLAS_CORETYPE=%s\n", simd::simd_runtime_label(),
                parallel::worker_count(), openblas_get_corename(), openblas_get_num_threads(),
                coretype != nullptr ? coretype : "(unset)");
    std::printf("%-24s %-10s %12s %12s %10s %12s %10s\n", "shape", "path", "pass s", "sgemm s", "pass/gemm",
                "gemm GFLOP/s", "finite %");

    rng::SeededRng rng = rng::SeededRng::seed_from_u64(1);
    for (const Shape& shape : shapes) {
        const std::size_t n = std::max<std::size_t>(shape.k, static_cast<std::size_t>(shape.rows * scale));
        std::vector<float> rows(n * shape.dim);
        for (float& x : rows) {
            x = static_cast<float>(rng.next_u32() >> 8) / 8388608.0F - 1.0F;
        }
        const auto data = array::MatrixView<const float>::c_order(rows.data(), {n, shape.dim});
        const auto centers = array::MatrixView<const float>::c_order(rows.data(), {shape.k, shape.dim});
        const dense::DenseAssignSettings settings = dense::read_dense_assign_settings();
        const bool blas = dense::dense_blas_may_run(n, shape.k, shape.dim, false, settings);
        std::optional<std::vector<float>> norms;
        if (blas) {
            norms = dense::squared_row_norms(data);
        }
        std::vector<std::size_t> labels(n);
        std::vector<float> distances(n);
        const dense::AssignShape assign_shape{n, shape.k, shape.dim, true, norms.has_value(), false};
        const char* path_names[] = {"blas", "transposed", "slice", "strided"};
        const char* path = path_names[static_cast<int>(dense::choose_dense_path(assign_shape, settings))];
        const double pass = best_seconds(3, [&] {
            dense::assign_dense_into(data, centers,
                                     norms ? std::optional<std::span<const float>>(*norms) : std::nullopt, false,
                                     labels, distances, settings);
        });

        // The same product in the engine's row blocks: rows x centers^T.
        const std::size_t block = dense::blas_block_rows(n, shape.k, settings.blas_tile_score_bytes);
        std::vector<float> scores = dense::allocate_scores(std::min(block, n), shape.k);
        const array::MatrixView<const float> centers_t{
            rows.data(), {shape.dim, shape.k}, {1, static_cast<std::ptrdiff_t>(shape.dim)}};
        const double gemm = best_seconds(3, [&] {
            for (std::size_t first = 0; first < n; first += block) {
                const std::size_t count = std::min(block, n - first);
                const auto part =
                    array::MatrixView<const float>::c_order(rows.data() + first * shape.dim, {count, shape.dim});
                math::multiply_into(part, centers_t,
                                    array::MatrixView<float>::c_order(scores.data(), {count, shape.k}));
            }
        });
        // What the fit's finiteness check reads: the row norms where the BLAS
        // path has them (every value of the rows only when one is not finite),
        // the values otherwise.
        bool finite = false;
        const double check = best_seconds(
            3, [&] { finite = norms ? math::all_finite(std::span<const float>(*norms)) : math::all_finite(data); });
        const double flops =
            2.0 * static_cast<double>(n) * static_cast<double>(shape.k) * static_cast<double>(shape.dim);
        std::printf("%-24s %-10s %12.4f %12.4f %10.2f %12.1f %10.2f%s\n", shape.name, path, pass, gemm, pass / gemm,
                    flops / gemm / 1e9, 100.0 * check / pass, finite ? "" : " (not finite)");
    }
    return 0;
}
