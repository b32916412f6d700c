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
#include <new>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "array/array.hpp"
#include "array/size_product.hpp"
#include "error/error.hpp"
#include "error/settings.hpp"
#include "kmeans/kmeans.hpp"
#include "simd/cache_sizes.hpp"
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
/// l2_distance from `kernels` when both views are contiguous, otherwise the
/// sequential sum.
[[nodiscard]] float l2_distance(VectorView a, VectorView b, const simd::SliceKernelTable& kernels) noexcept;
/// The same with this process's family.
[[nodiscard]] float l2_distance(VectorView a, VectorView b);

/// The dot product of the strided path: four-lane when both views are
/// contiguous, otherwise sequential.
[[nodiscard]] float dot_product(VectorView a, VectorView b) noexcept;

/// What one assignment call reads from the environment, read once on the
/// calling thread and passed down; `family` is this process's kernel family.
/// Where a machine's caches are unknown: a core's 2 MiB.
inline constexpr std::size_t kDefaultBlasTileScoreBytes = std::size_t{2} << 20;
/// The fewest rows a BLAS tile holds, so each product stays worth its call.
inline constexpr std::size_t kBlasMinRows = 1024;

struct DenseAssignSettings {
    bool blas_enabled = true;  ///< TARVINEX_DENSE_ASSIGN is not a BLAS-off word
    bool blas_forced = false;  ///< TARVINEX_DENSE_ASSIGN asks for BLAS
    std::optional<std::uint64_t> blas_min_k;
    std::optional<std::uint64_t> blas_min_k_l2;
    std::optional<std::uint64_t> blas_min_k_cosine;
    std::optional<std::uint64_t> blas_min_ops;
    bool transposed = true;  ///< TARVINEX_DENSE_TRANSPOSED leaves the transposed path on
    simd::SliceKernel family = simd::SliceKernel::Scalar;
    /// The score bytes one BLAS tile may hold: the L2 of the core whose
    /// worker multiplies it, so its scores are still there when they are
    /// selected.
    std::size_t blas_tile_score_bytes = kDefaultBlasTileScoreBytes;
};

/// The tile score bytes for a worker whose core has `cache`.
[[nodiscard]] std::size_t blas_tile_score_bytes(const simd::CacheSizes& cache) noexcept;

/// False when TARVINEX_DENSE_ASSIGN is "row", "rows", "scalar" or "manual"
/// after ASCII lower-casing alone ("-" and "_" are kept); unset, not text and
/// every other value, the empty one included, leave BLAS on.
[[nodiscard]] bool dense_blas_enabled(const settings::EnvLookup& lookup = settings::process_lookup());

[[nodiscard]] DenseAssignSettings read_dense_assign_settings(
    const settings::EnvLookup& lookup = settings::process_lookup());

/// The BLAS size rule: off when BLAS is disabled or an extent is 0; on when
/// forced ("blas", "gemm", "sgemm"); otherwise k must reach the least k
/// (TARVINEX_DENSE_BLAS_MIN_K for both modes, else the mode's own setting,
/// else 256) and n*k*dim, saturating, the least work (else 10^9).
[[nodiscard]] bool dense_blas_may_run(std::size_t n, std::size_t k, std::size_t dim, bool spherical,
                                      const DenseAssignSettings& settings);

enum class DensePath : std::uint8_t { Blas, Transposed, Slice, Strided };

/// What the path choice looks at besides the settings.
struct AssignShape {
    std::size_t n = 0;
    std::size_t k = 0;
    std::size_t dim = 0;
    bool c_contiguous = false;  ///< data and centers both C-contiguous, with the same width
    bool row_norms = false;     ///< the caller gave the rows' squared norms
    bool spherical = false;
};

/// The path `assign_dense_into` takes. BLAS needs the size rule, C order, the
/// row norms in plain mode and k and dim within BLAS's 32-bit integers;
/// transposed needs the avx512 family on a processor with AVX-512F, dim >= 64,
/// 16 <= k <= 64 and the setting; C order otherwise means the slice path.
[[nodiscard]] DensePath choose_dense_path(const AssignShape& shape, const DenseAssignSettings& settings,
                                          const simd::CpuFeatures& features = simd::detected_cpu_features());

/// Rows per BLAS tile: max(kBlasMinRows, min(n, floor(score_bytes / (4k)))),
/// so a tile's scores stay within `score_bytes` unless the least rows that
/// keep the product worth its call need more. Each tile's product is
/// followed at once by its selection, while its scores are in cache; every
/// score is the same dot product whatever the tile, so the rows per tile
/// change no result.
[[nodiscard]] std::size_t blas_block_rows(std::size_t n, std::size_t k, std::size_t score_bytes) noexcept;

/// A zeroed score buffer of rows*k floats; a size beyond what a vector can
/// hold is std::bad_alloc, like any other failed allocation.
[[nodiscard]] std::vector<float> allocate_scores(std::size_t rows, std::size_t k);

/// Transposed centers: dim rows of `stride` floats, stride = ceil(k/16)*16;
/// element j*stride + c is coordinate j of center c, padding columns are 0.
[[nodiscard]] std::size_t transposed_stride(std::size_t k) noexcept;
[[nodiscard]] std::vector<float> transpose_centers(array::MatrixView<const float> centers);

// (index, squared distance) and (index, dot product) of the best of the first
// k centers of a transposed copy. Each center's value is the sequential sum
// over the dimensions, so it equals the portable slice kernel's value.
// k <= stride <= 64; the row holds dim floats, the copy dim*stride.
[[nodiscard]] simd::IndexedValue nearest_l2_center_transposed_scalar(std::span<const float> row,
                                                                     std::span<const float> transposed, std::size_t k,
                                                                     std::size_t stride, std::size_t dim) noexcept;
[[nodiscard]] simd::IndexedValue nearest_dot_center_transposed_scalar(std::span<const float> row,
                                                                      std::span<const float> transposed, std::size_t k,
                                                                      std::size_t stride, std::size_t dim) noexcept;
/// Need AVX-512F.
[[nodiscard]] simd::IndexedValue nearest_l2_center_transposed_avx512(std::span<const float> row,
                                                                     std::span<const float> transposed, std::size_t k,
                                                                     std::size_t stride, std::size_t dim) noexcept;
[[nodiscard]] simd::IndexedValue nearest_dot_center_transposed_avx512(std::span<const float> row,
                                                                      std::span<const float> transposed, std::size_t k,
                                                                      std::size_t stride, std::size_t dim) noexcept;

using TransposedKernel = simd::IndexedValue (*)(std::span<const float> row, std::span<const float> transposed,
                                                std::size_t k, std::size_t stride, std::size_t dim) noexcept;

/// One family's transposed kernels; `family` is the family they belong to.
struct TransposedKernels {
    simd::SliceKernel family;
    TransposedKernel nearest_l2_center;
    TransposedKernel nearest_dot_center;
};

/// The AVX-512 forms for the avx512 family on a processor with AVX-512F,
/// the portable forms otherwise.
[[nodiscard]] TransposedKernels transposed_kernels_for(simd::SliceKernel family, const simd::CpuFeatures& features);

/// The kernels of this process's family and processor, chosen on the first call.
[[nodiscard]] const TransposedKernels& selected_transposed_kernels();

/// Labels and distances of rows [begin, end) by the transposed kernels.
void assign_dense_transposed_into(array::MatrixView<const float> data, std::span<const float> transposed, std::size_t k,
                                  bool spherical, const TransposedKernels& kernels, std::size_t begin, std::size_t end,
                                  std::span<std::size_t> labels, std::span<float> distances);

/// Labels and distances of rows [begin, end) by the family's slice kernels;
/// data and centers C-contiguous.
void assign_dense_slices_into(array::MatrixView<const float> data, array::MatrixView<const float> centers,
                              bool spherical, const simd::SliceKernelTable& kernels, std::size_t begin, std::size_t end,
                              std::span<std::size_t> labels, std::span<float> distances);

/// Gives each of the n rows of `data` its nearest of the k rows of `centers`.
/// labels and distances hold n entries, row_norms (the rows' squared norms,
/// plain mode only) n when given; centers has data's width, k >= 1, dim >= 1.
void assign_dense_into(array::MatrixView<const float> data, array::MatrixView<const float> centers,
                       std::optional<std::span<const float>> row_norms, bool spherical, std::span<std::size_t> labels,
                       std::span<float> distances, const DenseAssignSettings& settings);

/// rows*cols elements, or std::bad_alloc when that many cannot be held: a
/// size product that wraps would otherwise allocate too little.
template <typename T>
[[nodiscard]] std::size_t checked_element_count(std::size_t rows, std::size_t cols) {
    const std::optional<std::size_t> count = array::checked_product(rows, cols);
    if (!count || *count > std::vector<T>().max_size()) {
        throw std::bad_alloc();
    }
    return *count;
}

// ------------------------------------------------------------ initial centers
//
// k-means++ and farthest-first pick every center from a seeded sample of m
// candidate rows, so the initialisation costs about m*k*dim instead of n*k*dim.
// The per-candidate minimum distance is the squared distance to the nearest
// chosen center, +inf before the first one and -1 once the candidate is chosen.

/// The TARVINEX_DENSE_INIT_* numbers, read once per initialisation; a 0 counts
/// as unset. Random initialisation does not look at them.
struct DenseInitSettings {
    std::optional<std::uint64_t> sample_rows;
    std::optional<std::uint64_t> min_sample_rows;  ///< default 16384
    std::optional<std::uint64_t> max_sample_rows;  ///< default 65536
    std::optional<std::uint64_t> rows_per_center;  ///< default 256
};

[[nodiscard]] DenseInitSettings read_dense_init_settings(
    const settings::EnvLookup& lookup = settings::process_lookup());

/// m: 0 for n = 0; min(max(sample_rows, k), n) when sample_rows is set;
/// otherwise min(n, max(k, min(hi, max(lo, k*per)))) with hi raised to lo when
/// below it and k*per saturating.
[[nodiscard]] std::size_t initialization_candidate_count(std::size_t n, std::size_t k,
                                                         const DenseInitSettings& settings);

/// The m candidate rows: an index sample of m distinct rows of n from a
/// generator seeded with `seed`, in sample order (drawn even when m = n).
[[nodiscard]] std::vector<std::size_t> initialization_candidate_rows(std::size_t n, std::size_t k, std::uint64_t seed,
                                                                     const DenseInitSettings& settings);

/// Lowers min_distances[i] to the squared distance between data row
/// candidates[i] and `newest` where that is strictly smaller, so a NaN distance
/// never replaces a value and a -1 (chosen) marker is never replaced.
void update_min_l2_distances(array::MatrixView<const float> data, std::span<const std::size_t> candidates,
                             std::span<float> min_distances, VectorView newest,
                             const simd::SliceKernelTable& kernels = simd::slice_kernels());

/// The fallback of both methods: the position of the greatest finite,
/// non-negative entry in the total order (-0 below +0), the last on ties;
/// nothing when every entry is a marker, NaN or infinite.
[[nodiscard]] std::optional<std::size_t> farthest_candidate(std::span<const float> min_distances);

/// The k x dim row-major initial centers, unit-normalised in spherical mode.
/// Needs 1 <= k <= n and dim >= 1. Fails with "failed to choose an initial
/// cluster center" when no candidate with a finite distance is left. An
/// oversized center matrix is std::bad_alloc.
[[nodiscard]] error::Result<array::Matrix<float>> initial_centers(array::MatrixView<const float> data, std::size_t k,
                                                                  std::uint64_t seed, kmeans::InitMethod init,
                                                                  bool spherical, const DenseInitSettings& settings);

/// Each row divided by its norm sqrt(s), s the sequential sum of the rounded
/// squares from -0; rows of norm <= FLT_EPSILON are left as they are. A finite
/// row whose s overflows is scaled by a power of two first, so it still comes
/// out as a unit vector. Rows must be contiguous (last stride 1).
void normalize_center_rows(array::MatrixView<float> centers);

// ------------------------------------------------------------- center update
//
// Every center moves to the mean of its members: per-center sums and counts,
// then sums * (1 / count). Sharded: each task owns a range of centers and
// scans all rows, so a sum is its members' row-order sum whatever the worker
// count. Chunked: each task owns a range of rows and private buffers, and the
// chunk sums are added in chunk order ((0 + S_0) + S_1) + ...; the buffers
// are filled in waves of about two per worker, so their memory does not grow
// with n. Empty clusters are then refilled with far rows.

enum class DenseUpdateMode : std::uint8_t { Auto, Sharded, Chunked };

/// TARVINEX_DENSE_UPDATE, read at every update: unset, empty, "auto" or
/// "adaptive" is Auto; "shard", "sharded" or "centroid" is Sharded; any other
/// word is Chunked.
[[nodiscard]] DenseUpdateMode read_dense_update_mode(const settings::EnvLookup& lookup = settings::process_lookup());

/// Bytes of one chunk's private sums and counts, 4*k*dim + 8*k, saturating.
[[nodiscard]] std::size_t dense_chunk_buffer_bytes(std::size_t k, std::size_t dim) noexcept;

/// False when n, k or dim is 0; otherwise the mode, where Auto means
/// n >= 16384 and one chunk's buffers of at least 1 MiB.
[[nodiscard]] bool dense_center_update_sharded_enabled(std::size_t n, std::size_t k, std::size_t dim,
                                                       DenseUpdateMode mode);

/// Rows per chunk of the chunked form: 1 for n = 0; min(n, max(4096,
/// ceil(n / 2T))) with buffers of at least 1 MiB; min(n, 4096) otherwise.
[[nodiscard]] std::size_t dense_update_chunk_rows(std::size_t n, std::size_t k, std::size_t dim,
                                                  std::size_t workers) noexcept;

/// The buffers of the update, made once per fit and reused by every pass.
/// sums: (k, dim), center j at j*dim; counts: k. The chunk lists grow to the
/// most buffers one wave has needed and never shrink.
struct DenseUpdateScratch {
    std::vector<float> sums;
    std::vector<std::size_t> counts;
    std::vector<std::vector<float>> chunk_sums;
    std::vector<std::vector<std::size_t>> chunk_counts;

    /// Zeroed sums and counts; std::bad_alloc when k*dim floats cannot be held.
    DenseUpdateScratch(std::size_t k, std::size_t dim);

    /// sums and counts sized to (k, dim) and k, old entries kept; at least
    /// `chunks` buffers per list, each of the first `chunks` sized likewise.
    void ensure_chunk_buffers(std::size_t chunks, std::size_t k, std::size_t dim);
    /// Adds chunk buffers 0 .. chunks - 1, in that order, into sums and counts.
    void reduce_chunk_buffers(std::size_t chunks);
};

// The per-task bodies: add data row i into sums of center labels[i] and count
// it, for rows in order. Sharded bodies scan every row and take the centers
// [first_center, end_center), whose sums and counts start the given spans;
// chunked bodies take rows [begin, end) and all k centers. "_from_slices"
// needs C-contiguous data and adds with the family's add_assign; "_from_view"
// adds element by element through the strides. Both give the same bits.
void dense_center_sums_sharded_from_slices(array::MatrixView<const float> data, std::span<const std::size_t> labels,
                                           std::size_t first_center, std::size_t end_center, std::span<float> sums,
                                           std::span<std::size_t> counts, const simd::SliceKernelTable& kernels);
void dense_center_sums_sharded_from_view(array::MatrixView<const float> data, std::span<const std::size_t> labels,
                                         std::size_t first_center, std::size_t end_center, std::span<float> sums,
                                         std::span<std::size_t> counts);
void dense_center_sums_from_slices(array::MatrixView<const float> data, std::span<const std::size_t> labels,
                                   std::size_t begin, std::size_t end, std::span<float> sums,
                                   std::span<std::size_t> counts, const simd::SliceKernelTable& kernels);
void dense_center_sums_from_view(array::MatrixView<const float> data, std::span<const std::size_t> labels,
                                 std::size_t begin, std::size_t end, std::span<float> sums,
                                 std::span<std::size_t> counts);

/// Copies rows far from their centers into the empty clusters (count 0,
/// ascending): among rows with a finite distance whose own cluster has at
/// least two members, a list of at most |E| (distance, row) pairs is kept in
/// row order, a later row replacing the first least pair of the list only
/// when strictly farther (total order); sorted farthest first, equal
/// distances keeping their list order, pair j refills empty cluster j.
/// Surplus empty clusters keep their centers.
void refill_empty_centers(array::MatrixView<const float> data, std::span<const std::size_t> labels,
                          std::span<const float> distances, std::span<const std::size_t> counts,
                          array::MatrixView<float> centers);

/// Rewrites the C-contiguous (k, dim) centers as their members' means, a
/// center without members keeping its coordinates, then refills the empty
/// clusters. Labels are below k.
void update_centers(array::MatrixView<const float> data, std::span<const std::size_t> labels,
                    std::span<const float> distances, array::MatrixView<float> centers, DenseUpdateScratch& scratch,
                    DenseUpdateMode mode);

// ---------------------------------------------------------- bounded passes
//
// Plain-mode passes that skip distance work. Data and centers are
// C-contiguous; d(x, c) is the family's l2_distance on two rows. The bounds
// are Euclidean (square roots, in float); the distances written are squared.
// Every pass cuts its lists into chunks of 512 rows and handles each row by
// itself, so nothing depends on the worker count.

/// What the Hamerly passes keep per row and per center between passes.
struct HamerlyBounds {
    std::span<float> upper;  ///< per row: at least the distance to its own center
    std::span<float> lower;  ///< per row: at most the distance to any other center
};

/// What the driver computes between Hamerly passes from the new centers.
struct HamerlyCenterState {
    std::span<const float> half_min;  ///< per center: half the distance to its nearest other center
    std::span<const float> shifts;    ///< per center: how far it moved in the latest update
    float largest_shift = 0.0F;
};

/// The full scan, keeping the second-best distance too: a distance equal to
/// the best becomes the second, a NaN changes nothing. Writes the label, the
/// best distance, upper = sqrt(best) and lower = sqrt(second).
void assign_dense_with_second_into(array::MatrixView<const float> data, array::MatrixView<const float> centers,
                                   std::span<std::size_t> labels, std::span<float> distances, HamerlyBounds bounds,
                                   const simd::SliceKernelTable& kernels = simd::slice_kernels());

/// A Hamerly pass: labels hold the previous pass's centers (below k) and the
/// bounds what that pass left. A row whose decayed bounds prove that its
/// center cannot have changed costs one distance; the others are rescanned as
/// above.
void assign_dense_hamerly_into(array::MatrixView<const float> data, array::MatrixView<const float> centers,
                               std::span<std::size_t> labels, std::span<float> distances, HamerlyBounds bounds,
                               const HamerlyCenterState& state,
                               const simd::SliceKernelTable& kernels = simd::slice_kernels());

/// The blocked partial sum of early abandoning: squares rounded to float, four
/// accumulators over blocks of 16 dimensions, ((a0 + a1) + a2) + a3 tested
/// against `bound` after each block, then the remaining dimensions added one
/// at a time, each followed by the test. Nothing when the sum reaches `bound`.
[[nodiscard]] std::optional<float> abandoning_l2_distance(std::span<const float> a, std::span<const float> b,
                                                          float bound) noexcept;

/// An early-abandoning pass: each row's search starts from its label on entry
/// (k - 1 when the label is larger), and a candidate is dropped once its
/// partial sum reaches the best so far. A lower index still wins a tie. A row
/// whose entry distance is NaN is scanned in full as the plain engine would,
/// so it cannot stay on a NaN center.
void assign_dense_early_abandon_into(array::MatrixView<const float> data, array::MatrixView<const float> centers,
                                     std::span<std::size_t> labels, std::span<float> distances,
                                     const simd::SliceKernelTable& kernels = simd::slice_kernels());

/// Per center, 0.5 * sqrt of the least distance to any other center (NaN
/// ignored, +inf when none); [+inf] for k = 1, empty for k = 0.
[[nodiscard]] std::vector<float> center_half_min_distances(
    array::MatrixView<const float> centers, const simd::SliceKernelTable& kernels = simd::slice_kernels());

/// Per center, the Euclidean distance from its old to its new position.
[[nodiscard]] std::vector<float> center_movements_between(
    array::MatrixView<const float> old_centers, array::MatrixView<const float> new_centers,
    const simd::SliceKernelTable& kernels = simd::slice_kernels());

// ------------------------------------------------------------------- model

/// The passes' engine besides the plain one, chosen once per fit.
enum class BoundedEngine : std::uint8_t { None, Hamerly, EarlyAbandon };

/// What a fit would run with. Hamerly: plain mode, k >= 8, TARVINEX_DENSE_HAMERLY
/// on ("auto"/"adaptive" only below k = 25), n*k*dim >= 32,000,000 and C-order
/// data. Otherwise early abandoning: plain mode, dim >= 64, k >= 8, C-order
/// data and TARVINEX_DENSE_EARLY_ABANDON (or, when that is unset,
/// TARVINEX_DENSE_ASSIGN_BOUND) on, where "auto"/"adaptive" needs the portable
/// kernel family and n*k*dim >= 64,000,000. Products saturate.
[[nodiscard]] BoundedEngine choose_bounded_engine(std::size_t n, std::size_t k, std::size_t dim, bool spherical,
                                                  bool c_contiguous, std::string_view kernel_family,
                                                  const settings::EnvLookup& lookup = settings::process_lookup());

/// True when the last four or more passes have settled: with a, b, c the
/// second-to-last, last and third-to-last entries, a > machine epsilon and
/// both |a - b| / max(|a|, eps) and |c - a| / max(|c|, eps) at most 1e-4.
[[nodiscard]] bool dense_should_stop_early(std::span<const double> inertia_history);

/// Lloyd's k-means over float rows, plain (squared Euclidean) or spherical
/// (1 - dot with unit-normalised centers; rows are never normalised).
class DenseKMeans {
public:
    /// Parses `init` first, then needs k >= 1 and iterations >= 1.
    [[nodiscard]] static error::Result<DenseKMeans> create(std::size_t k, std::size_t iterations, std::uint64_t seed,
                                                           bool verbose, std::string_view init, bool early_stopping,
                                                           bool spherical);

    /// Clusters the rows of `data` (any strides) from new initial centers,
    /// never from stored ones. Refuses data holding NaN or infinity with
    /// "input data must be finite" after the shape checks; a request to stop
    /// (error/interrupt.hpp) ends it at the next pass boundary. A failure
    /// leaves the model as it was.
    [[nodiscard]] error::Result<void> fit(array::MatrixView<const float> data,
                                          const settings::EnvLookup& lookup = settings::process_lookup());

    /// The nearest stored center of every row; zero rows give an empty list.
    [[nodiscard]] error::Result<std::vector<std::size_t>> predict(
        array::MatrixView<const float> data, const settings::EnvLookup& lookup = settings::process_lookup()) const;

    /// Installs k centers of any width >= 1, unit-normalised in spherical
    /// mode (rows that are not contiguous are made C order first); labels and
    /// history stay as they are.
    [[nodiscard]] error::Result<void> set_centers(array::Matrix<float> centers);

    [[nodiscard]] std::size_t k() const { return k_; }
    [[nodiscard]] std::size_t iterations() const { return iterations_; }
    [[nodiscard]] std::uint64_t seed() const { return seed_; }
    [[nodiscard]] bool verbose() const { return verbose_; }
    [[nodiscard]] bool early_stopping() const { return early_stopping_; }
    [[nodiscard]] bool spherical() const { return spherical_; }
    [[nodiscard]] kmeans::InitMethod init() const { return init_; }
    /// (k, dim), row-major after a fit, in the given layout after set_centers.
    [[nodiscard]] const std::optional<array::Matrix<float>>& centers() const { return centers_; }
    [[nodiscard]] const std::vector<std::size_t>& labels() const { return labels_; }
    [[nodiscard]] const std::vector<double>& inertia_history() const { return inertia_history_; }

private:
    DenseKMeans() = default;

    std::size_t k_ = 1;
    std::size_t iterations_ = 1;
    std::uint64_t seed_ = 0;
    std::optional<array::Matrix<float>> centers_;
    std::vector<std::size_t> labels_;
    std::vector<double> inertia_history_;
    bool verbose_ = false;
    bool early_stopping_ = false;
    bool spherical_ = false;
    kmeans::InitMethod init_ = kmeans::InitMethod::KMeansPlusPlus;
};

}  // namespace tarvinex::dense
