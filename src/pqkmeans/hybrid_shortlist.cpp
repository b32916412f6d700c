/// The hybrid assignment engines: the exact scan over every center and the
/// four shortlist-and-refine scans, which differ only in their estimates.

#include "pqkmeans/hybrid_shortlist.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "parallel/pool.hpp"
#include "pqkmeans/row_scans.hpp"
#include "simd/distance.hpp"

namespace tarvinex::pqkmeans {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr std::size_t kBlocksPerChunk = kScanChunkRows / pq4::kBlockRows;

struct Entry {
    float estimate;
    std::size_t index;
};

/// (estimate, index) order with a NaN estimate above every number, so a NaN
/// center cannot hold a shortlist place that a real estimate wants.
bool ranks_below(const Entry& a, const Entry& b) {
    const bool a_nan = std::isnan(a.estimate);
    const bool b_nan = std::isnan(b.estimate);
    if (a_nan != b_nan) {
        return b_nan;
    }
    if (!a_nan && a.estimate != b.estimate) {
        return a.estimate < b.estimate;
    }
    return a.index < b.index;
}

/// The L best (estimate, index) offers of one row. No allocation after the
/// first row a task handles.
class Shortlist {
public:
    explicit Shortlist(std::size_t capacity) : capacity_(capacity) { entries_.reserve(capacity); }

    void clear() { entries_.clear(); }

    void offer(std::size_t index, float estimate) {
        const Entry offered{estimate, index};
        if (entries_.size() < capacity_) {
            entries_.push_back(offered);
            if (entries_.size() == capacity_) {
                find_worst();
            }
            return;
        }
        if (ranks_below(offered, entries_[worst_])) {
            entries_[worst_] = offered;
            find_worst();
        }
    }

    /// The least (exact distance, index) over the entries, from (+inf, 0).
    /// The order of the entries does not matter to it.
    template <typename ExactDistance>
    [[nodiscard]] simd::IndexedValue refine(ExactDistance&& exact) const {
        simd::IndexedValue best{0, kInf};
        for (const Entry& entry : entries_) {
            const float d = exact(entry.index);
            if (d < best.value || (d == best.value && entry.index < best.index)) {
                best = {entry.index, d};
            }
        }
        return best;
    }

private:
    void find_worst() {
        worst_ = 0;
        for (std::size_t e = 1; e < entries_.size(); ++e) {
            if (ranks_below(entries_[worst_], entries_[e])) {
                worst_ = e;
            }
        }
    }

    std::size_t capacity_;
    std::size_t worst_ = 0;
    std::vector<Entry> entries_;
};

/// Refines every row's shortlist against the unrotated centers with the
/// width-D routine chosen once for the call.
class Refiner {
public:
    explicit Refiner(const HybridRefineInput& input)
        : input_(input), distance_(simd::distance_function(simd::for_subdim(input.dim))) {}

    void write(std::size_t row, const Shortlist& shortlist) const {
        const std::span<const float> vector = input_.vectors.subspan(row * input_.dim, input_.dim);
        const simd::IndexedValue best = shortlist.refine([&](std::size_t c) {
            return distance_(vector.data(), input_.centers.data() + c * input_.dim, input_.dim);
        });
        input_.labels[row] = static_cast<std::size_t>(best.index);
        input_.distances[row] = best.value;
    }

    [[nodiscard]] std::size_t rows() const { return input_.labels.size(); }
    [[nodiscard]] std::size_t k() const { return input_.k; }

private:
    const HybridRefineInput& input_;
    simd::DistanceFunction distance_;
};

/// The row-at-a-time engines: the row's M codes are read once, by
/// load_codes(row, codes), then estimate(codes, j) is offered for every center
/// in order, then the refine.
template <typename LoadCodes, typename Estimate>
void shortlist_rows(std::size_t m, std::size_t shortlist, const HybridRefineInput& input, LoadCodes&& load_codes,
                    Estimate&& estimate) {
    const Refiner refiner(input);
    struct RowScratch {
        Shortlist list;
        std::vector<std::uint8_t> codes;
    };
    parallel::for_chunks(
        refiner.rows(), kScanChunkRows,
        [&] {
            return RowScratch{Shortlist(shortlist), std::vector<std::uint8_t>(m)};
        },
        [&](std::size_t, std::size_t begin, std::size_t end, RowScratch& scratch) {
            const std::span<std::uint8_t> codes(scratch.codes);
            for (std::size_t i = begin; i < end; ++i) {
                load_codes(i, codes);
                scratch.list.clear();
                for (std::size_t j = 0; j < refiner.k(); ++j) {
                    scratch.list.offer(j, estimate(std::span<const std::uint8_t>(codes), j));
                }
                refiner.write(i, scratch.list);
            }
        });
}

/// The codes of row i of a C-ordered (n, m) code matrix.
auto row_of(std::span<const std::uint8_t> codes, std::size_t m) {
    return [codes, m](std::size_t i, std::span<std::uint8_t> out) {
        const std::span<const std::uint8_t> row = codes.subspan(i * m, m);
        std::copy(row.begin(), row.end(), out.begin());
    };
}

}  // namespace

void assign_exact_dense_into(std::span<const float> vectors, std::span<const float> centers, std::size_t dim,
                             std::size_t k, std::span<std::size_t> labels, std::span<float> distances,
                             const simd::SliceKernelTable& kernels) {
    parallel::for_chunks(labels.size(), kScanChunkRows, [&](std::size_t, std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const simd::IndexedValue best = kernels.nearest_l2_center(vectors.subspan(i * dim, dim), centers, k, dim);
            labels[i] = static_cast<std::size_t>(best.index);
            distances[i] = best.value;
        }
    });
}

void assign_hybrid_direct_adc_into(std::span<const std::uint8_t> codes, std::span<const float> workspace,
                                   std::span<const float> codewords, std::size_t m, std::size_t ks, std::size_t ds,
                                   std::size_t shortlist, const HybridRefineInput& refine) {
    const simd::DistanceFunction distance = simd::distance_function(simd::for_subdim(ds));
    const std::size_t dim = m * ds;
    shortlist_rows(m, shortlist, refine, row_of(codes, m), [&](std::span<const std::uint8_t> row, std::size_t j) {
        float sum = 0.0F;
        for (std::size_t s = 0; s < m; ++s) {
            sum += distance(codewords.data() + (s * ks + row[s]) * ds, workspace.data() + j * dim + s * ds, ds);
        }
        return sum;
    });
}

void assign_hybrid_with_lookup_into(std::span<const std::uint8_t> codes, std::span<const float> lookup, std::size_t m,
                                    std::size_t ks, std::size_t shortlist, const HybridRefineInput& refine) {
    const std::size_t k = refine.k;
    shortlist_rows(m, shortlist, refine, row_of(codes, m), [&](std::span<const std::uint8_t> row, std::size_t j) {
        float sum = lookup[static_cast<std::size_t>(row[0]) * k + j];
        for (std::size_t s = 1; s < m; ++s) {
            sum += lookup[(s * ks + row[s]) * k + j];
        }
        return sum;
    });
}

void assign_hybrid_pq4_with_lookup_into(const pq4::PackedPq4Codes& packed, std::span<const float> lookup,
                                        std::size_t shortlist, const HybridRefineInput& refine) {
    const std::size_t k = refine.k;
    const auto unpack = [&](std::size_t i, std::span<std::uint8_t> out) {
        for (std::size_t s = 0; s < packed.m; ++s) {
            out[s] = packed.code(i, s);
        }
    };
    shortlist_rows(packed.m, shortlist, refine, unpack, [&](std::span<const std::uint8_t> row, std::size_t j) {
        float sum = 0.0F;
        for (std::size_t s = 0; s < packed.m; ++s) {
            sum += lookup[(s * pq4::kCodebookSize + row[s]) * k + j];
        }
        return sum;
    });
}

void assign_hybrid_pq4_quantized_with_lookup_into(const pq4::PackedPq4Codes& packed,
                                                  const pq4::QuantizedPq4LookupTables& tables,
                                                  const pq4::Pq4Kernels& kernels, std::size_t shortlist,
                                                  const HybridRefineInput& refine) {
    const Refiner refiner(refine);
    const auto subquantizers = static_cast<float>(tables.m);
    struct BlockScratch {
        std::vector<Shortlist> lists;
        std::array<std::uint16_t, pq4::kBlockRows> sums{};
    };
    parallel::for_chunks(
        refiner.rows(), kScanChunkRows,
        [&] {
            return BlockScratch{std::vector<Shortlist>(pq4::kBlockRows, Shortlist(shortlist)), {}};
        },
        [&](std::size_t chunk, std::size_t begin, std::size_t end, BlockScratch& scratch) {
            for (std::size_t first = begin, block = chunk * kBlocksPerChunk; first < end;
                 first += pq4::kBlockRows, ++block) {
                const std::size_t rows = std::min(pq4::kBlockRows, end - first);
                for (std::size_t r = 0; r < rows; ++r) {
                    scratch.lists[r].clear();
                }
                for (std::size_t j = 0; j < refiner.k(); ++j) {
                    kernels.scan_cluster(packed, tables, block, j, scratch.sums.data());
                    const float scale = tables.per_cluster ? tables.scales[j] : tables.global_scale;
                    const float bias = tables.per_cluster ? tables.biases[j] : tables.global_bias;
                    const float base = subquantizers * bias;
                    for (std::size_t r = 0; r < rows; ++r) {
                        const float levels = static_cast<float>(scratch.sums[r]) * scale;
                        scratch.lists[r].offer(j, base + levels);
                    }
                }
                for (std::size_t r = 0; r < rows; ++r) {
                    refiner.write(first + r, scratch.lists[r]);
                }
            }
        });
}

}  // namespace tarvinex::pqkmeans
