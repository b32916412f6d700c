#pragma once
/// `PqKMeans`: k-means over product-quantization code matrices. The model owns
/// its codebooks, an optional rotation, the configuration of a run and the
/// results of the last run; its codeword-distance table is shared.
///
/// Symbols: M subquantizers, Ks codewords per subquantizer, Ds dimensions per
/// codeword, D = M*Ds, n rows, k clusters. A code matrix is (n, M) of codeword
/// indices, one column per subquantizer.
///
/// The assignment passes trust their callers for shapes and code values:
/// codes have M columns, centers k rows of M codes or D floats, and every code
/// is below Ks (`check_code_values`). A broken shape is an internal failure;
/// a code of Ks or more would index the next subquantizer's table rows.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "array/array.hpp"
#include "error/error.hpp"
#include "error/settings.hpp"
#include "kmeans/kmeans.hpp"
#include "pdx/pdx.hpp"
#include "pq4/packed_codes.hpp"
#include "pq4/quantized_tables.hpp"
#include "pqkmeans/assignment_buffers.hpp"
#include "pqkmeans/codeword_distances.hpp"
#include "pqkmeans/profile.hpp"
#include "ranking/farthest_rows.hpp"

namespace tarvinex::pqkmeans {

// The shared k-means vocabulary under the names PQ k-means has always used.
using kmeans::empty_cluster_indices;
using kmeans::InitMethod;
using kmeans::parse_init_method;
using ranking::select_farthest_rows;

/// Codes are bytes, so a codebook holds at most 256 codewords.
inline constexpr std::size_t kMaxCodebookSize = 256;
/// The codebook size whose codes are scanned in the 4-bit packed layout.
inline constexpr std::size_t kPq4CodebookSize = 16;

/// What one training or prediction call reads from the environment, once, at
/// its start; the passes get plain values.
struct RunSettings {
    /// TARVINEX_PROFILE_CLUSTER is present: the fit sums its phase times and
    /// writes the profiling line. Predictions never profile.
    bool profile = false;
    /// TARVINEX_PQ4_FASTSCAN and TARVINEX_PQ4_LUT_CALIBRATION, for packed passes.
    pq4::FastScanSettings fastscan{};

    [[nodiscard]] static RunSettings read(const settings::EnvLookup& lookup);
};

/// The codebook checks made before a codeword-distance table is computed:
/// "codewords must have shape (M, Ks, Ds)", "codebook_size above 256 is not
/// supported", then "codewords must be finite" (a NaN codeword would make
/// every distance NaN and no fit could settle).
[[nodiscard]] error::Result<void> check_codewords(const array::Codebook<float>& codewords);

class PqKMeans {
public:
    /// `check_codewords`, then the codeword-distance table, then hands over
    /// to `with_codeword_distances_and_options`.
    [[nodiscard]] static error::Result<PqKMeans> new_with_options_and_spherical(
        array::Codebook<float> codewords, std::optional<array::Matrix<float>> rotation, std::size_t k,
        std::size_t iterations, std::uint64_t seed, bool verbose, std::size_t lookup_table_bytes, InitMethod init,
        bool early_stopping, bool spherical);

    /// A model over an existing table, which must be the one computed from
    /// these codewords. Checks, in order: no empty axis, Ks <= 256, a table of
    /// M*Ks*Ks entries, a (D, D) rotation that is orthogonal (finite, |RᵀR −
    /// I| within 1e-3: "rotation must be orthogonal"), k >= 1, iterations >= 1.
    [[nodiscard]] static error::Result<PqKMeans> with_codeword_distances_and_options(
        array::Codebook<float> codewords, CodewordDistances codeword_distances,
        std::optional<array::Matrix<float>> rotation, std::size_t k, std::size_t iterations, std::uint64_t seed,
        bool verbose, std::size_t lookup_table_bytes, InitMethod init, bool early_stopping, bool spherical);

    /// Cluster of every row of the last training run; empty before the first.
    [[nodiscard]] const std::vector<std::size_t>& labels() const { return labels_; }
    /// Mean row-to-center distance of each pass of the last training run.
    [[nodiscard]] const std::vector<double>& inertia_history() const { return inertia_history_; }
    /// (M, Ks, Ds) in the rotated space, in the memory order it was handed over.
    [[nodiscard]] const array::Codebook<float>& codewords() const { return codewords_; }
    [[nodiscard]] const CodewordDistances& codeword_distances() const { return codeword_distances_; }
    /// (D, D): a row x of the unrotated space is x*R in the rotated space.
    [[nodiscard]] const std::optional<array::Matrix<float>>& rotation() const { return rotation_; }
    [[nodiscard]] std::size_t num_subquantizers() const { return num_subquantizers_; }
    [[nodiscard]] std::size_t codebook_size() const { return codebook_size_; }
    [[nodiscard]] std::size_t dim() const { return dim_; }
    [[nodiscard]] std::size_t subdim() const { return subdim_; }
    [[nodiscard]] std::size_t k() const { return k_; }
    [[nodiscard]] std::size_t iterations() const { return iterations_; }
    [[nodiscard]] std::uint64_t seed() const { return seed_; }
    [[nodiscard]] std::size_t lookup_table_bytes() const { return lookup_table_bytes_; }
    /// (k, M) center codes, once a run or a setter has stored them.
    [[nodiscard]] const std::optional<array::Matrix<std::uint8_t>>& cluster_centers() const { return cluster_centers_; }
    /// (k, D) float centers in the unrotated space.
    [[nodiscard]] const std::optional<array::Matrix<float>>& dense_cluster_centers() const {
        return dense_cluster_centers_;
    }
    [[nodiscard]] bool verbose() const { return verbose_; }
    [[nodiscard]] bool early_stopping() const { return early_stopping_; }
    [[nodiscard]] bool spherical() const { return spherical_; }
    [[nodiscard]] InitMethod init() const { return init_; }

    /// Fails with "code values must be below codebook_size" when a code is Ks
    /// or more. With Ks = 256 every byte is a valid code, and with Ks = 16 the
    /// 4-bit packing reports such codes itself, so neither looks at the codes.
    [[nodiscard]] error::Result<void> check_code_values(array::MatrixView<const std::uint8_t> codes) const;

    /// Nothing when Ks != 16; otherwise the 4-bit packed copy of the
    /// C-contiguous (n, M) `codes`, or the packer's error.
    [[nodiscard]] error::Result<std::optional<pq4::PackedPq4Codes>> pack_pq4_codes(
        array::MatrixView<const std::uint8_t> codes) const;

    /// One symmetric pass: every row of `codes` (n, M) gets its nearest center
    /// of `centers` (k, M) by the codeword-distance table, through a center
    /// lookup table when one fits `lookup_table_bytes`. `packed` is the 4-bit
    /// copy of `codes`, given exactly when Ks = 16, and `fastscan` says how it
    /// is scanned. Fails only when `codes` or `centers` is not C-contiguous,
    /// before anything is written.
    [[nodiscard]] error::Result<void> assign_codes_into(array::MatrixView<const std::uint8_t> codes,
                                                        array::MatrixView<const std::uint8_t> centers,
                                                        ClusterProfile& profile, const pq4::PackedPq4Codes* packed,
                                                        const pq4::FastScanSettings& fastscan,
                                                        AssignmentBuffers& buffers) const;

    /// One ADC pass: as above with float centers (k, D) in the rotated space
    /// and squared distances between codewords and center sub-vectors. Also
    /// fails with "codewords are not contiguous" when no table was built and
    /// the codebook is not C-contiguous.
    [[nodiscard]] error::Result<void> assign_adc_into(array::MatrixView<const std::uint8_t> codes,
                                                      array::MatrixView<const float> centers,
                                                      const pq4::PackedPq4Codes* packed,
                                                      const pq4::FastScanSettings& fastscan,
                                                      AssignmentBuffers& buffers) const;

    /// One hybrid pass: every row of `codes` (n, M) and its raw vector in
    /// `vectors` (n, D, unrotated) gets the center of `centers` (k, D,
    /// unrotated) of least exact squared distance. With refine_exact_top_l >= k
    /// every center is examined; otherwise only the refine_exact_top_l centers
    /// of least ADC estimate, against the centers rotated into the PQ space in
    /// `buffers.workspace`. `packed` is given exactly when Ks = 16; `pdx`,
    /// the dimension-major copy of `vectors`, serves the exact path when given.
    [[nodiscard]] error::Result<void> assign_hybrid_into(
        array::MatrixView<const std::uint8_t> codes, array::MatrixView<const float> vectors,
        array::MatrixView<const float> centers, std::size_t refine_exact_top_l, const pq4::PackedPq4Codes* packed,
        const pdx::PdxMatrix* pdx, const pq4::FastScanSettings& fastscan, AssignmentBuffers& buffers) const;

    /// Fills `lookup` with the symmetric center lookup table of `centers`
    /// (k, M), in blocks of `block_centers` (see lookup_table.hpp), when it
    /// fits the budget; false leaves `lookup` untouched.
    bool build_lookup_tables_into(array::MatrixView<const std::uint8_t> centers, std::size_t block_centers,
                                  array::HugePageFloats& lookup) const;

    /// Whether an ADC center lookup table can be built for this model: it fits
    /// the budget and the codebook is C-contiguous.
    [[nodiscard]] bool dense_lookup_table_fits() const;

    /// Fills `lookup` with the ADC center lookup table of `centers` (k, D,
    /// rotated space), in blocks of `block_centers`. False, with `lookup`
    /// untouched, when `dense_lookup_table_fits()` is false or `centers` is
    /// not C-contiguous.
    bool build_dense_lookup_tables_into(array::MatrixView<const float> centers, std::size_t block_centers,
                                        array::HugePageFloats& lookup) const;

    /// The block width of this model's center tables for a pass over
    /// `packed` (or unpacked codes) with `fastscan`: one block when the
    /// quantized fast-scan may read the table, which quantizes it whole.
    [[nodiscard]] std::size_t scan_block_centers(const pq4::PackedPq4Codes* packed,
                                                 const pq4::FastScanSettings& fastscan) const;

    // Initial centers (initial_centers.cpp).

    /// The k rows that start a training run, in the order chosen, by the
    /// model's init method from one generator seeded with `seed`. `codes` is
    /// the C-contiguous (n, M) code matrix; the drivers ensure n >= k >= 1.
    [[nodiscard]] std::vector<std::size_t> initialize_center_indices(std::span<const std::uint8_t> codes,
                                                                     std::size_t n) const;
    /// (M, Ks): entry s*Ks + j is the table distance between codeword j and the
    /// center's codeword of subquantizer s.
    [[nodiscard]] std::vector<float> build_center_lookup(std::span<const std::uint8_t> center_codes) const;
    /// Lowers each unchosen row's entry (chosen rows hold -1) to its distance to
    /// the center of `lookup` when that is strictly smaller; parallel over rows.
    /// Returns the farthest row afterwards: the largest entry, the last of
    /// equal ones (scanning upwards, a row takes over unless the best so far
    /// is strictly greater, also when NaN entries are present).
    std::size_t update_min_distances(std::span<float> min_distances, std::span<const std::uint8_t> codes,
                                     std::span<const float> lookup) const;

    // Center updates (center_update.cpp). Each reads the last pass's labels and
    // distances, groups the rows by label in `buckets`, recomputes the centers
    // that have members and refills the empty ones with the farthest rows.

    /// Symmetric: each center's code per subquantizer becomes the codeword
    /// with the least summed table distance to its members' codewords.
    [[nodiscard]] error::Result<void> update_centers(array::MatrixView<const std::uint8_t> codes,
                                                     std::span<const std::size_t> labels,
                                                     std::span<const float> distances,
                                                     array::MatrixView<std::uint8_t> centers,
                                                     LabelBucketBuffers& buckets, ClusterProfile& profile) const;
    /// ADC: each center (k, D, rotated space) becomes the mean of its members'
    /// decoded codes.
    [[nodiscard]] error::Result<void> update_dense_centers_from_codes(array::MatrixView<const std::uint8_t> codes,
                                                                      std::span<const std::size_t> labels,
                                                                      std::span<const float> distances,
                                                                      array::MatrixView<float> centers,
                                                                      LabelBucketBuffers& buckets) const;
    /// Hybrid: each center (k, D, unrotated space) becomes the mean of its
    /// members' raw vectors (n, D).
    [[nodiscard]] error::Result<void> update_dense_centers_from_vectors(array::MatrixView<const float> vectors,
                                                                        std::span<const std::size_t> labels,
                                                                        std::span<const float> distances,
                                                                        array::MatrixView<float> centers,
                                                                        LabelBucketBuffers& buckets) const;

    // Center storage and conversion (center_storage.cpp). Float centers are
    // (k, D) and codes (k, M). Each operation that stores centers replaces
    // `cluster_centers` and `dense_cluster_centers` together or, on any error,
    // neither; none touches `labels` or `inertia_history`. What it stores is
    // C-ordered, whatever the layout it was given.

    /// The (k, M) codes of `centers` (k, D, rotated space): for each center
    /// and subquantizer the first nearest codeword by the fixed-width distance
    /// of Ds; a NaN distance never wins and a part whose distances are all NaN
    /// gets 0. Fails with "dense centers must be C-contiguous", then
    /// "codewords are not contiguous". Callers pass exactly k rows of D floats.
    [[nodiscard]] error::Result<array::Matrix<std::uint8_t>> encode_centers_from_pq(
        array::MatrixView<const float> centers) const;

    /// `centers` (k, D, unrotated space, any strides) times R as a new
    /// C-ordered matrix, or a C-ordered copy without a rotation. Fails with
    /// "dense cluster center shape does not match the model".
    [[nodiscard]] error::Result<array::Matrix<float>> centers_to_pq_space(array::MatrixView<const float> centers) const;

    /// Scales every row of the C-contiguous (k, dim) `centers` to unit length
    /// by 1 / sqrt(s), s its float sum of squares in element order. Rows with
    /// s <= 2^-23 stay as they are; a NaN in a row makes it all NaN, and an
    /// infinite element makes its row's finite elements 0 and itself NaN. A
    /// finite row whose s overflows is scaled through a power of two first
    /// and still comes out as a unit row. Fails with "dense cluster center
    /// shape does not match the model", then "dense centers must be
    /// C-contiguous".
    [[nodiscard]] static error::Result<void> normalize_dense_centers_in_place(array::MatrixView<float> centers,
                                                                              std::size_t dim, std::size_t k);

    /// Stores unrotated `centers` (k, D, any layout; normalised first when
    /// spherical) as `dense_cluster_centers` and the codes of their rotated
    /// form as `cluster_centers`. Fails with the shape message before anything
    /// else, then with the encoder's errors. The hybrid fit ends with it.
    [[nodiscard]] error::Result<void> store_dense_centers_raw(array::Matrix<float> centers);

    /// Stores the codes of rotated `centers` (k, D, borrowed; a normalised
    /// copy when spherical) as `cluster_centers` and their form rotated back
    /// by Rᵀ (a copy without a rotation) as `dense_cluster_centers`. Fails
    /// with the shape message before it reads `centers`, then "dense centers
    /// must be C-contiguous", then the encoder's errors. The ADC fit ends with
    /// it. The unit length survives the way back only for an orthogonal R.
    [[nodiscard]] error::Result<void> store_dense_centers_from_pq(array::MatrixView<const float> centers);

    /// Stores `codes` (k, M) and drops the dense centers. Fails with "cluster
    /// center shape does not match the model", then "cluster center codes
    /// must be below codebook_size" for any code of Ks or more.
    [[nodiscard]] error::Result<void> set_cluster_centers(array::Matrix<std::uint8_t> codes);

    /// `store_dense_centers_raw` of unrotated float centers from outside.
    [[nodiscard]] error::Result<void> set_dense_cluster_centers(array::Matrix<float> centers);

    // Symmetric training and prediction (fit_symmetric.cpp).

    /// k-means on `codes` (n, M) with code centers. On success `labels`,
    /// `inertia_history` and `cluster_centers` hold the new run and
    /// `dense_cluster_centers` is dropped. The run's settings come from `lookup`.
    /// When `stop_requested` is given and set, the fit ends at its next pass
    /// boundary with "fit stopped before it finished", the model unchanged:
    /// fits running side by side stop when one of them has failed, without
    /// cancelling each other's loops in the middle of a pass.
    [[nodiscard]] error::Result<void> fit(array::MatrixView<const std::uint8_t> codes,
                                          const settings::EnvLookup& lookup = settings::process_lookup(),
                                          const std::atomic<bool>* stop_requested = nullptr);
    /// The same with the run's settings already read, for callers that start
    /// several fits from one reading.
    [[nodiscard]] error::Result<void> fit(array::MatrixView<const std::uint8_t> codes, const RunSettings& run,
                                          const std::atomic<bool>* stop_requested = nullptr);
    /// The nearest stored center code of every row; the model is unchanged.
    [[nodiscard]] error::Result<std::vector<std::size_t>> predict(
        array::MatrixView<const std::uint8_t> codes,
        const settings::EnvLookup& lookup = settings::process_lookup()) const;

    // ADC and hybrid training and prediction (fit_float_centers.cpp).

    /// k-means on `codes` with float centers in the rotated space, moved to the
    /// means of their members' decoded codes and scored by ADC distances. On
    /// success both center fields, `labels` and `inertia_history` hold the new
    /// run; on failure the model is as it was.
    [[nodiscard]] error::Result<void> fit_adc(array::MatrixView<const std::uint8_t> codes,
                                              const settings::EnvLookup& lookup = settings::process_lookup());
    /// k-means on rows given as `codes` and as their raw `vectors` (n, D,
    /// unrotated), with unrotated float centers moved to the means of their
    /// members' vectors; rows are assigned by the hybrid pass.
    [[nodiscard]] error::Result<void> fit_hybrid(array::MatrixView<const std::uint8_t> codes,
                                                 array::MatrixView<const float> vectors, std::size_t refine_exact_top_l,
                                                 const settings::EnvLookup& lookup = settings::process_lookup());
    /// The nearest stored dense center of every row by ADC distance.
    [[nodiscard]] error::Result<std::vector<std::size_t>> predict_adc(
        array::MatrixView<const std::uint8_t> codes,
        const settings::EnvLookup& lookup = settings::process_lookup()) const;
    /// The nearest stored dense center of every row by the hybrid pass.
    [[nodiscard]] error::Result<std::vector<std::size_t>> predict_hybrid(
        array::MatrixView<const std::uint8_t> codes, array::MatrixView<const float> vectors,
        std::size_t refine_exact_top_l, const settings::EnvLookup& lookup = settings::process_lookup()) const;
    /// The float centers of a training run scaled to unit rows in spherical
    /// mode; nothing otherwise.
    [[nodiscard]] error::Result<void> normalize_if_spherical(array::MatrixView<float> centers) const;
    /// (k, D): row i is the raw vector of row chosen[i].
    [[nodiscard]] array::Matrix<float> take_raw_center_rows(array::MatrixView<const float> vectors,
                                                            std::span<const std::size_t> chosen) const;

private:
    PqKMeans() = default;

    // The checks the drivers share, each a step of their fixed order.

    /// "code dimensionality does not match codewords" unless `codes` has M columns.
    [[nodiscard]] error::Result<void> check_code_columns(array::MatrixView<const std::uint8_t> codes) const;
    /// "number of rows must be at least k" for fewer than k rows.
    [[nodiscard]] error::Result<void> check_rows_for_k(std::size_t n) const;
    /// What every training driver asks of its codes first, in this order:
    /// M columns, at least k rows, C order, every code below Ks.
    [[nodiscard]] error::Result<void> check_training_codes(array::MatrixView<const std::uint8_t> codes) const;

    /// Whether a code of `codes` (any strides) is Ks or more; never with Ks = 256.
    [[nodiscard]] bool has_code_of_codebook_size_or_more(array::MatrixView<const std::uint8_t> codes) const;

    std::vector<std::size_t> labels_;
    std::vector<double> inertia_history_;
    array::Codebook<float> codewords_;
    CodewordDistances codeword_distances_;
    std::optional<array::Matrix<float>> rotation_;
    std::size_t num_subquantizers_ = 0;
    std::size_t codebook_size_ = 0;
    std::size_t dim_ = 0;
    std::size_t subdim_ = 0;
    std::size_t k_ = 0;
    std::size_t iterations_ = 0;
    std::uint64_t seed_ = 0;
    std::size_t lookup_table_bytes_ = 0;
    std::optional<array::Matrix<std::uint8_t>> cluster_centers_;
    std::optional<array::Matrix<float>> dense_cluster_centers_;
    bool verbose_ = false;
    bool early_stopping_ = false;
    bool spherical_ = false;
    InitMethod init_ = InitMethod::FarthestFirst;
};

}  // namespace tarvinex::pqkmeans
