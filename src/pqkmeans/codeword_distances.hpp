#pragma once
/// The codeword-to-codeword distance table, the only place where codebook
/// geometry enters symmetric PQ k-means.
///
/// (M, Ks, Ks), C order: entry (s*Ks + a)*Ks + b is the squared Euclidean
/// distance between codewords a and b of subquantizer s. Symmetric, with an
/// exact zero diagonal.

#include <memory>
#include <vector>

#include "array/array.hpp"

namespace tarvinex::pqkmeans {

/// Immutable once built and atomically reference-counted: the models of one
/// candidate analysis share a table across worker threads.
using CodewordDistances = std::shared_ptr<const std::vector<float>>;

/// The table of `codewords` (M, Ks, Ds), read through its strides so any
/// memory order works. Each entry sums (a_d - b_d)^2 over d = 0 .. Ds-1 in
/// order from +0.0, each square rounded before it is added. One pool task per
/// subquantizer.
[[nodiscard]] std::vector<float> compute_codeword_distances(array::CodebookView<const float> codewords);

}  // namespace tarvinex::pqkmeans
