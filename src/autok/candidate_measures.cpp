/// The summary pass and the measures of one candidate. The pass runs on the
/// pool in 256-row chunks; the measures are sums in row or index order in
/// double, so a record depends only on the centers and the sample.

#include "autok/candidate_measures.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "error/error.hpp"
#include "parallel/pool.hpp"
#include "pqkmeans/lookup_table.hpp"

namespace tarvinex::autok {
namespace {

constexpr std::size_t kSummaryChunkRows = 256;
constexpr double kFloor = 1e-12;
constexpr double kTwoPi = 6.283185307179586;
constexpr float kInfinity = std::numeric_limits<float>::infinity();

/// Best and second-best of one row's k totals, scanned in index order.
void write_best_two(std::span<const float> totals, std::size_t row, AssignmentSummary& out) {
    std::size_t label = 0;
    float best = kInfinity;
    float second = kInfinity;
    for (std::size_t j = 0; j < totals.size(); ++j) {
        const float v = totals[j];
        if (v < best) {
            second = best;
            best = v;
            label = j;
        } else if (v < second) {
            second = v;
        }
    }
    out.labels[row] = label;
    out.nearest[row] = best;
    out.second[row] = second;
}

double floored_root(double value) {
    const double root = std::sqrt(value);
    return std::isnan(root) ? kFloor : std::max(root, kFloor);
}

double davies_bouldin_index(const AssignmentSummary& summary, std::span<const std::size_t> counts,
                            array::MatrixView<const std::uint8_t> center_codes,
                            std::span<const float> codeword_distances, std::size_t ks) {
    const std::size_t k = counts.size();
    if (k < 2) {
        return std::numeric_limits<double>::quiet_NaN();
    }
    std::vector<double> spread_sums(k, 0.0);
    for (std::size_t i = 0; i < summary.labels.size(); ++i) {
        spread_sums[summary.labels[i]] += static_cast<double>(summary.nearest[i]);
    }
    std::vector<double> spread(k, 0.0);
    for (std::size_t c = 0; c < k; ++c) {
        if (counts[c] > 0) {
            spread[c] = std::sqrt(spread_sums[c] / static_cast<double>(counts[c]));
        }
    }
    const std::size_t m_count = center_codes.extent(1);
    double total = 0.0;
    std::size_t non_empty = 0;
    for (std::size_t i = 0; i < k; ++i) {
        if (counts[i] == 0) {
            continue;
        }
        ++non_empty;
        double worst = 0.0;
        for (std::size_t j = 0; j < k; ++j) {
            if (j == i || counts[j] == 0) {
                continue;
            }
            double separation = 0.0;
            for (std::size_t s = 0; s < m_count; ++s) {
                separation +=
                    static_cast<double>(codeword_distances[(s * ks + center_codes(i, s)) * ks + center_codes(j, s)]);
            }
            const double ratio = (spread[i] + spread[j]) / floored_root(separation);
            // A NaN ratio compares false and leaves the worst as it is.
            if (ratio > worst) {
                worst = ratio;
            }
        }
        total += worst;
    }
    return non_empty == 0 ? std::numeric_limits<double>::quiet_NaN() : total / static_cast<double>(non_empty);
}

double centroid_silhouette(const AssignmentSummary& summary) {
    double sum = 0.0;
    for (std::size_t i = 0; i < summary.nearest.size(); ++i) {
        const double a = std::sqrt(static_cast<double>(summary.nearest[i]));
        const double b = std::sqrt(static_cast<double>(summary.second[i]));
        if (std::isfinite(a) && std::isfinite(b)) {
            sum += (b - a) / std::max(std::max(a, b), kFloor);
        }
    }
    return sum / static_cast<double>(summary.nearest.size());
}

}  // namespace

AssignmentSummary summarize_assignments(array::MatrixView<const std::uint8_t> sample,
                                        array::MatrixView<const std::uint8_t> center_codes,
                                        std::span<const float> codeword_distances, std::size_t ks,
                                        std::size_t table_budget_bytes) {
    TARVINEX_ASSERT(sample.is_c_contiguous() && center_codes.is_c_contiguous(), "summary inputs must be C-contiguous");
    const std::size_t n = sample.extent(0);
    const std::size_t m_count = sample.extent(1);
    const std::size_t k = center_codes.extent(0);
    TARVINEX_ASSERT(center_codes.extent(1) == m_count && m_count > 0 && k > 0, "center codes do not match the sample");

    AssignmentSummary out{std::vector<std::size_t>(n), std::vector<float>(n), std::vector<float>(n)};
    std::vector<float> table;
    if (const auto entries = pqkmeans::lookup_table_entries(m_count, ks, k, table_budget_bytes)) {
        table.resize(*entries);
        pqkmeans::fill_symmetric_lookup_table(codeword_distances, ks, center_codes, table);
    }
    parallel::for_chunks(
        n, kSummaryChunkRows, [&] { return std::vector<float>(k); },
        [&](std::size_t, std::size_t begin, std::size_t end, std::vector<float>& totals) {
            for (std::size_t i = begin; i < end; ++i) {
                const std::span<const std::uint8_t> row = sample.row(i);
                if (!table.empty()) {
                    const float* first = table.data() + static_cast<std::size_t>(row[0]) * k;
                    std::copy(first, first + k, totals.begin());
                    for (std::size_t s = 1; s < m_count; ++s) {
                        const float* entries = table.data() + (s * ks + row[s]) * k;
                        for (std::size_t j = 0; j < k; ++j) {
                            totals[j] = totals[j] + entries[j];
                        }
                    }
                } else {
                    for (std::size_t j = 0; j < k; ++j) {
                        const std::span<const std::uint8_t> center = center_codes.row(j);
                        float total = codeword_distances[static_cast<std::size_t>(row[0]) * ks + center[0]];
                        for (std::size_t s = 1; s < m_count; ++s) {
                            total = total + codeword_distances[(s * ks + row[s]) * ks + center[s]];
                        }
                        totals[j] = total;
                    }
                }
                write_best_two(totals, i, out);
            }
        });
    return out;
}

CandidateMetrics measure_candidate(std::size_t index, const AssignmentSummary& summary,
                                   array::MatrixView<const std::uint8_t> center_codes,
                                   std::span<const float> codeword_distances, std::size_t ks, std::size_t dim) {
    const std::size_t n = summary.labels.size();
    const std::size_t k = center_codes.extent(0);
    std::vector<std::size_t> counts(k, 0);
    double within = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        ++counts[summary.labels[i]];
        within += static_cast<double>(summary.nearest[i]);
    }
    const auto rows = static_cast<double>(n);
    const auto dims = static_cast<double>(dim);

    CandidateMetrics metrics;
    metrics.index = index;
    metrics.inertia = within / rows;
    const double variance_quotient = within / static_cast<double>(dim * std::max<std::size_t>(n - std::min(n, k), 1));
    const double variance = std::isnan(variance_quotient) ? kFloor : std::max(variance_quotient, kFloor);
    const auto parameters = static_cast<double>(k * (dim + 1));
    metrics.bic = ((within * -0.5) / variance + ((rows * -0.5) * dims) * std::log(kTwoPi * variance)) +
                  std::log(std::max(rows, 2.0)) * (parameters * -0.5);
    metrics.davies_bouldin = davies_bouldin_index(summary, counts, center_codes, codeword_distances, ks);
    metrics.centroid_silhouette = centroid_silhouette(summary);
    const auto [smallest, largest] = std::minmax_element(counts.begin(), counts.end());
    metrics.min_cluster_size = *smallest;
    metrics.max_cluster_size = *largest;
    return metrics;
}

std::vector<double> elbow_scores(std::span<const std::size_t> ks, std::span<const double> inertia) {
    const std::size_t c = ks.size();
    std::vector<double> elbow(c, 0.0);
    if (c < 3) {
        return elbow;
    }
    std::vector<double> x(c);
    std::vector<double> y(c);
    double y_min = std::numeric_limits<double>::quiet_NaN();
    double y_max = std::numeric_limits<double>::quiet_NaN();
    for (std::size_t i = 0; i < c; ++i) {
        x[i] = std::log(static_cast<double>(ks[i]));
        y[i] = std::isnan(inertia[i]) ? std::log(kFloor) : std::log(std::max(inertia[i], kFloor));
        // fmin and fmax skip NaN.
        y_min = std::fmin(y_min, y[i]);
        y_max = std::fmax(y_max, y[i]);
    }
    const double range_x = std::max(x[c - 1] - x[0], kFloor);
    const double range_y = std::max(y_max - y_min, kFloor);
    for (std::size_t i = 1; i + 1 < c; ++i) {
        const double score = 1.0 - (x[i] - x[0]) / range_x - (y[i] - y_min) / range_y;
        elbow[i] = std::isnan(score) ? 0.0 : std::max(score, 0.0);
    }
    return elbow;
}

}  // namespace tarvinex::autok
