#pragma once
/// The scores of one candidate, from its final center codes and the sample,
/// and the elbow score across candidates.
///
/// Layouts: the sample is (n, M) C order; center codes are (k, M) C order; the
/// codeword-distance table is (M, Ks, Ks), entry (s*Ks + a)*Ks + b.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "array/array.hpp"

namespace tarvinex::autok {

/// Every sample row assigned to the final centers once more.
struct AssignmentSummary {
    std::vector<std::size_t> labels;  ///< the nearest center, lowest index on ties
    std::vector<float> nearest;       ///< the distance to it
    std::vector<float> second;        ///< the second-smallest distance; +inf when k = 1
};

/// A row's total for center j is the float sum over s = 0 .. M-1, in that
/// order, of D[(s*Ks + row code)*Ks + code_j(s)], the first term taken as it
/// is. Through the center lookup table (M*Ks*k floats) when that fits
/// `table_budget_bytes`, otherwise by direct sums in the same order: the
/// totals are the same floats either way. The scan keeps a strict minimum
/// (NaN never wins); a total equal to the best becomes the second.
[[nodiscard]] AssignmentSummary summarize_assignments(array::MatrixView<const std::uint8_t> sample,
                                                      array::MatrixView<const std::uint8_t> center_codes,
                                                      std::span<const float> codeword_distances, std::size_t ks,
                                                      std::size_t table_budget_bytes);

struct CandidateMetrics {
    std::size_t index = 0;  ///< the candidate's position in the kept list
    double inertia = 0.0;
    double bic = 0.0;
    double davies_bouldin = 0.0;
    double centroid_silhouette = 0.0;
    std::size_t min_cluster_size = 0;
    std::size_t max_cluster_size = 0;
};

/// The measures of a candidate with `center_codes` (k, M) over a summary of
/// n rows; `dim` is M*Ds. Sequential, so they do not depend on the workers.
[[nodiscard]] CandidateMetrics measure_candidate(std::size_t index, const AssignmentSummary& summary,
                                                 array::MatrixView<const std::uint8_t> center_codes,
                                                 std::span<const float> codeword_distances, std::size_t ks,
                                                 std::size_t dim);

/// The knee score of each candidate over ks (ascending) and their inertias:
/// all 0 for fewer than three candidates, and 0 at both ends.
[[nodiscard]] std::vector<double> elbow_scores(std::span<const std::size_t> ks, std::span<const double> inertia);

}  // namespace tarvinex::autok
