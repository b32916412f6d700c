#pragma once
/// Candidate-k analysis: which number of clusters suits a code matrix. One
/// symmetric PQ k-means model per candidate k is fitted on a seeded row
/// sample, all candidates at once on the pool and sharing one codeword-distance
/// table, and each is scored by inertia, BIC, Davies-Bouldin, a centroid
/// silhouette, its cluster sizes and an elbow score across the candidates.
/// A rule then picks one candidate.
///
/// Distances are squared Euclidean code-space distances from the shared
/// table; every measure is computed in double from those floats.

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "array/array.hpp"
#include "error/error.hpp"
#include "error/settings.hpp"

namespace tarvinex::autok {

/// The rules that pick a candidate.
enum class AutoKMethod : std::uint8_t {
    Bic,                 ///< "bic": the largest finite BIC
    DaviesBouldin,       ///< "davies_bouldin": the smallest finite Davies-Bouldin index
    CentroidSilhouette,  ///< "centroid_silhouette": the largest finite centroid silhouette
    Elbow,               ///< "elbow": the largest finite elbow score
};

inline constexpr AutoKMethod kAllMethods[] = {AutoKMethod::Bic, AutoKMethod::DaviesBouldin,
                                              AutoKMethod::CentroidSilhouette, AutoKMethod::Elbow};

/// The exact spelling, byte for byte (no case folding, no trimming), or
/// "unsupported auto_k_method '{text}'; expected one of bic, davies_bouldin,
/// centroid_silhouette, elbow".
[[nodiscard]] error::Result<AutoKMethod> parse_method(std::string_view text);
/// "bic", "davies_bouldin", "centroid_silhouette" or "elbow".
[[nodiscard]] std::string_view method_name(AutoKMethod method);

struct AutoKSelection {
    std::size_t selected_index = 0;  ///< a position in `candidate_ks`
    std::size_t selected_k = 0;      ///< candidate_ks[selected_index]
    AutoKMethod selected_method = AutoKMethod::Bic;
};

/// The result of an analysis; every list has one entry per kept candidate.
struct AutoKAnalysis {
    /// The kept candidates: 1 <= k <= sample_size, ascending, without repeats.
    std::vector<std::size_t> candidate_ks;
    /// Mean distance of a sample row to its nearest center.
    std::vector<double> inertia;
    /// Bayesian information criterion; higher is better.
    std::vector<double> bic;
    /// Davies-Bouldin index; lower is better; NaN for k = 1.
    std::vector<double> davies_bouldin;
    std::vector<double> centroid_silhouette;
    /// Knee score over the candidate sequence; 0 at both ends.
    std::vector<double> elbow;
    /// Sample rows in the smallest and the largest cluster (0 for an empty one).
    std::vector<std::size_t> min_cluster_size;
    std::vector<std::size_t> max_cluster_size;
    /// Code rows analysed.
    std::size_t sample_size = 0;

    /// The candidate `method` picks: among finite entries of its list, the
    /// largest in IEEE total order (later positions win ties), or for
    /// Davies-Bouldin the smallest (earlier positions win ties). Without a
    /// finite entry, the smallest finite inertia (earlier wins); without that
    /// either, position 0. Fails with "candidate_ks must not be empty".
    [[nodiscard]] error::Result<AutoKSelection> select(AutoKMethod method) const;
};

/// Analyses `candidate_ks` on `codes` (n, M; any strides) with the codebooks
/// `codewords` (M, Ks, Ds). `sample_rows` of 0 or at least n analyses every
/// row; otherwise a sample drawn from `seed`. Candidate i (in the kept order)
/// fits with seed + i, farthest-first, no early stopping, `iterations` passes
/// and the `lookup_table_bytes` budget, which also bounds each candidate's
/// summary table. The first candidate error fails the analysis; the other
/// candidates stop at their next pass boundary. The settings the fits run
/// with are read once from `lookup`, before any candidate starts.
[[nodiscard]] error::Result<AutoKAnalysis> analyze_k_candidates(
    array::Codebook<float> codewords, array::MatrixView<const std::uint8_t> codes,
    std::span<const std::size_t> candidate_ks, std::size_t iterations, std::uint64_t seed, bool verbose,
    std::size_t lookup_table_bytes, std::size_t sample_rows,
    const settings::EnvLookup& lookup = settings::process_lookup());

}  // namespace tarvinex::autok
