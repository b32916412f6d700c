/// The analysis driver: the row sample, the candidate list, one shared
/// codeword-distance table, and the candidates evaluated side by side.
///
/// One pool task per candidate, each running its fit's own loops nested
/// inside it. Each candidate runs isolated, so a thread waiting inside one
/// candidate's loops never starts another whole candidate. A failing candidate
/// does not cancel its siblings' loops in the middle of a pass: it raises a
/// shared flag, and every other fit stops at its next pass boundary.

#include <algorithm>
#include <atomic>
#include <optional>
#include <utility>

#include "autok/autok.hpp"
#include "autok/candidate_measures.hpp"
#include "parallel/pool.hpp"
#include "pqkmeans/pqkmeans.hpp"
#include "rng/index_sample.hpp"
#include "rng/seeded_rng.hpp"

namespace tarvinex::autok {
namespace {

/// Keeps the sample's generator apart from the candidates' (seed + i).
constexpr std::uint64_t kSampleSeedMask = 0x5c3e91b07d24f8a6ULL;

/// The sample rows in C order: every row when `sample_rows` is 0 or at least
/// n, whatever the layout of `codes`; otherwise `sample_rows` distinct rows
/// drawn from the seed, in ascending row order.
array::Matrix<std::uint8_t> draw_sample(array::MatrixView<const std::uint8_t> codes, std::uint64_t seed,
                                        std::size_t sample_rows) {
    const std::size_t n = codes.extent(0);
    const std::size_t m_count = codes.extent(1);
    std::vector<std::size_t> rows;
    if (sample_rows == 0 || sample_rows >= n) {
        rows.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            rows[i] = i;
        }
    } else {
        rng::SeededRng rng = rng::SeededRng::seed_from_u64(seed ^ kSampleSeedMask);
        const std::vector<std::uint64_t> drawn = rng::index::sample(rng, n, sample_rows);
        rows.assign(drawn.begin(), drawn.end());
        std::sort(rows.begin(), rows.end());
    }
    array::Matrix<std::uint8_t> sample(array::Shape<2>{rows.size(), m_count});
    const array::MatrixView<std::uint8_t> out = sample.view();
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t s = 0; s < m_count; ++s) {
            out(r, s) = codes(rows[r], s);
        }
    }
    return sample;
}

/// The candidates between 1 and the sample size, ascending, each once.
std::vector<std::size_t> kept_candidates(std::span<const std::size_t> candidate_ks, std::size_t sample_size) {
    std::vector<std::size_t> kept;
    for (const std::size_t k : candidate_ks) {
        if (k >= 1 && k <= sample_size) {
            kept.push_back(k);
        }
    }
    std::sort(kept.begin(), kept.end());
    kept.erase(std::unique(kept.begin(), kept.end()), kept.end());
    return kept;
}

/// The codes a fit would refuse, refused once for the whole sample. With
/// Ks = 256 every byte is a code; with Ks = 16 the 4-bit packer of each fit
/// reports such codes in its own words.
error::Result<void> check_sample_codes(const array::Matrix<std::uint8_t>& sample, std::size_t m_count, std::size_t ks) {
    if (sample.extent(1) != m_count || ks >= pqkmeans::kMaxCodebookSize || ks == pqkmeans::kPq4CodebookSize) {
        return {};
    }
    const std::vector<std::uint8_t>& codes = sample.storage();
    if (std::any_of(codes.begin(), codes.end(), [&](std::uint8_t code) { return code >= ks; })) {
        return error::fail("code values must be below codebook_size");
    }
    return {};
}

struct CandidateInputs {
    const array::Codebook<float>& codewords;
    const pqkmeans::CodewordDistances& table;
    const array::Matrix<std::uint8_t>& sample;
    std::size_t iterations;
    std::uint64_t seed;
    bool verbose;
    std::size_t lookup_table_bytes;
    pqkmeans::RunSettings run;
};

error::Result<CandidateMetrics> evaluate_candidate(const CandidateInputs& in, std::size_t index, std::size_t k,
                                                   const std::atomic<bool>& stop) {
    TARVINEX_TRY_ASSIGN(pqkmeans::PqKMeans model,
                        pqkmeans::PqKMeans::with_codeword_distances_and_options(
                            in.codewords, in.table, std::nullopt, k, in.iterations, in.seed + index, in.verbose,
                            in.lookup_table_bytes, pqkmeans::InitMethod::FarthestFirst, false, false));
    TARVINEX_TRY(model.fit(in.sample.view(), in.run, &stop));
    const array::Matrix<std::uint8_t> centers = *model.cluster_centers();
    const std::span<const float> distances = *in.table;
    const AssignmentSummary summary = summarize_assignments(in.sample.view(), centers.view(), distances,
                                                            model.codebook_size(), in.lookup_table_bytes);
    return measure_candidate(index, summary, centers.view(), distances, model.codebook_size(), model.dim());
}

}  // namespace

error::Result<AutoKAnalysis> analyze_k_candidates(array::Codebook<float> codewords,
                                                  array::MatrixView<const std::uint8_t> codes,
                                                  std::span<const std::size_t> candidate_ks, std::size_t iterations,
                                                  std::uint64_t seed, bool verbose, std::size_t lookup_table_bytes,
                                                  std::size_t sample_rows, const settings::EnvLookup& lookup) {
    if (iterations == 0) {
        return error::fail("iterations must be greater than zero");
    }
    if (codes.extent(0) == 0) {
        return error::fail("codes must contain at least one row");
    }
    const array::Matrix<std::uint8_t> sample = draw_sample(codes, seed, sample_rows);
    AutoKAnalysis analysis;
    analysis.sample_size = sample.extent(0);
    analysis.candidate_ks = kept_candidates(candidate_ks, analysis.sample_size);
    if (analysis.candidate_ks.empty()) {
        return error::fail("candidate_ks must contain at least one value between 1 and the sampled row count");
    }
    TARVINEX_TRY(pqkmeans::check_codewords(codewords));
    TARVINEX_TRY(check_sample_codes(sample, codewords.extent(0), codewords.extent(1)));

    const pqkmeans::CodewordDistances table =
        std::make_shared<const std::vector<float>>(pqkmeans::compute_codeword_distances(codewords.view()));
    const CandidateInputs inputs{
        codewords, table, sample, iterations, seed, verbose, lookup_table_bytes, pqkmeans::RunSettings::read(lookup)};
    const std::size_t count = analysis.candidate_ks.size();
    std::vector<std::optional<CandidateMetrics>> records(count);
    TARVINEX_TRY(
        parallel::try_for_with_stop(0, count, [&](std::size_t i, const std::atomic<bool>& stop) -> error::Result<void> {
            TARVINEX_TRY_ASSIGN(records[i], evaluate_candidate(inputs, i, analysis.candidate_ks[i], stop));
            return {};
        }));

    for (const std::optional<CandidateMetrics>& record : records) {
        TARVINEX_ASSERT(record.has_value(), "a candidate finished without a record");
        analysis.inertia.push_back(record->inertia);
        analysis.bic.push_back(record->bic);
        analysis.davies_bouldin.push_back(record->davies_bouldin);
        analysis.centroid_silhouette.push_back(record->centroid_silhouette);
        analysis.min_cluster_size.push_back(record->min_cluster_size);
        analysis.max_cluster_size.push_back(record->max_cluster_size);
    }
    analysis.elbow = elbow_scores(analysis.candidate_ks, analysis.inertia);
    return analysis;
}

}  // namespace tarvinex::autok
