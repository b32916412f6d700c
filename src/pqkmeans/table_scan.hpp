#pragma once
/// The scan that follows a built center lookup table, shared by the symmetric
/// and ADC passes: packed 4-bit codes are scanned by the quantized fast-scan
/// when `fastscan` turns it on and the table can be quantized, otherwise by
/// the float 4-bit scan; unpacked codes by `assign_with_lookup_into`.

#include <cstddef>
#include <cstdint>
#include <span>

#include "array/array.hpp"
#include "pq4/packed_codes.hpp"
#include "pq4/quantized_tables.hpp"
#include "pqkmeans/assignment_buffers.hpp"

namespace tarvinex::pqkmeans {

/// `buffers.lookup` holds the (M, Ks, k) table of this pass in blocks of
/// `block_centers` (one block when `packed` is given and `fastscan` is on) and `labels` and
/// `distances` hold one entry per row of `codes`. `packed`, when given, is the
/// 4-bit copy of `codes` (Ks = 16).
void scan_lookup_table_into(array::MatrixView<const std::uint8_t> codes, const pq4::PackedPq4Codes* packed,
                            const pq4::FastScanSettings& fastscan, std::size_t ks, std::size_t k,
                            std::size_t block_centers, AssignmentBuffers& buffers);

}  // namespace tarvinex::pqkmeans
