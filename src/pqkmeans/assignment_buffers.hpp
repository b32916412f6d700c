#pragma once
/// The scratch of one PQ k-means training or prediction call over n rows,
/// created once per call and reused by every pass, so passes allocate nothing
/// once the buffers have reached their size. Nothing in them carries meaning
/// from one pass to the next, except that the center update after a pass
/// reads that pass's labels and distances.

#include <cstddef>
#include <utility>
#include <vector>

#include "array/array.hpp"
#include "pq4/quantized_tables.hpp"

namespace tarvinex::pqkmeans {

/// Rows grouped by label for the center update, refilled by each update.
struct LabelBucketBuffers {
    std::vector<std::size_t> counts;
    std::vector<std::size_t> offsets;
    std::vector<std::size_t> cursor;
    std::vector<std::size_t> rows;
};

struct AssignmentBuffers {
    /// Row i's center, overwritten by every pass; after the last pass, the result.
    std::vector<std::size_t> labels;
    /// Row i's distance to its center, overwritten by every pass.
    std::vector<float> distances;
    /// The center lookup table, (M, Ks, k) C order; resized and refilled by
    /// each pass that builds one.
    std::vector<float> lookup;
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
