#pragma once
/// The scratch of one PQ k-means training or prediction call over n rows,
/// created once per call and reused by every pass, so passes allocate nothing
/// once the buffers have reached their size. Nothing in them carries meaning
/// from one pass to the next, except that the center update after a pass
/// reads that pass's labels and distances.

#include <cstddef>
#include <span>
#include <utility>
#include <vector>

#include "array/array.hpp"
#include "array/huge_pages.hpp"
#include "error/error.hpp"
#include "pq4/quantized_tables.hpp"

namespace tarvinex::pqkmeans {

/// Rows grouped by label for the center update, refilled by each update.
/// The lists keep their storage from build to build.
struct LabelBucketBuffers {
    /// The result of a build, valid until the next one.
    struct Views {
        /// k entries: rows per label.
        std::span<const std::size_t> counts;
        /// k + 1 entries: prefix sums of `counts` from 0.
        std::span<const std::size_t> offsets;
        /// n entries: the members of label j are rows[offsets[j]] .. rows[offsets[j+1] - 1].
        std::span<const std::size_t> rows;

        /// The rows labelled j, ascending.
        [[nodiscard]] std::span<const std::size_t> members(std::size_t j) const {
            return rows.subspan(offsets[j], offsets[j + 1] - offsets[j]);
        }
    };

    std::vector<std::size_t> counts;
    std::vector<std::size_t> offsets;
    /// Fill positions of the build: the first k offsets, advanced as rows are placed.
    std::vector<std::size_t> cursor;
    std::vector<std::size_t> rows;

    /// Counting sort of the rows 0 .. n-1 by `labels` (n entries, each below
    /// k), so each label's members form one ascending run without a
    /// comparison sort. A label of k or more is an internal failure.
    Views build(std::span<const std::size_t> labels, std::size_t k) {
        counts.assign(k, 0);
        for (const std::size_t label : labels) {
            TARVINEX_ASSERT(label < k, "label out of range in the bucket build");
            ++counts[label];
        }
        offsets.resize(k + 1);
        offsets[0] = 0;
        for (std::size_t j = 1; j <= k; ++j) {
            offsets[j] = offsets[j - 1] + counts[j - 1];
        }
        cursor.assign(offsets.begin(), offsets.end() - 1);
        rows.resize(labels.size());
        for (std::size_t i = 0; i < labels.size(); ++i) {
            rows[cursor[labels[i]]++] = i;
        }
        return Views{counts, offsets, rows};
    }
};

struct AssignmentBuffers {
    /// Row i's center, overwritten by every pass; after the last pass, the result.
    std::vector<std::size_t> labels;
    /// Row i's distance to its center, overwritten by every pass.
    std::vector<float> distances;
    /// The center lookup table, (M, Ks, k) C order; resized and refilled by
    /// each pass that builds one; in huge pages, as the scans jump between
    /// its rows.
    array::HugePageFloats lookup;
    /// Requantized in place by each 4-bit fast-scan pass.
    pq4::QuantizedPq4LookupTables pq4_tables;
    LabelBucketBuffers buckets;
    /// The (k, D) centers rotated into the PQ space for the hybrid shortlist.
    array::Matrix<float> workspace{array::Shape<2>{0, 0}};

    /// n zero labels and n distances of 0.0, everything else empty.
    [[nodiscard]] static AssignmentBuffers create(std::size_t n) {
        AssignmentBuffers buffers;
        buffers.labels.assign(n, 0);
        buffers.distances.assign(n, 0.0F);
        return buffers;
    }

    /// The labels; the rest of the scratch is freed.
    [[nodiscard]] std::vector<std::size_t> into_labels() && {
        std::vector<std::size_t> out = std::move(labels);
        *this = AssignmentBuffers{};
        return out;
    }
};

}  // namespace tarvinex::pqkmeans
