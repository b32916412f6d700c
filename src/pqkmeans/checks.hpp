#pragma once
/// The refusals PQ k-means shares between its drivers, passes and center
/// storage, each text written once, and the one way a layout is required.

#include "error/error.hpp"

namespace tarvinex::pqkmeans {

namespace texts {
inline constexpr const char* kCodeColumns = "code dimensionality does not match codewords";
inline constexpr const char* kTooFewRows = "number of rows must be at least k";
inline constexpr const char* kCodesNotContiguous = "code matrix must be C-contiguous";
inline constexpr const char* kCentersNotContiguous = "cluster centers must be C-contiguous";
inline constexpr const char* kDenseCentersNotContiguous = "dense centers must be C-contiguous";
inline constexpr const char* kVectorsNotContiguous = "input vectors must be C-contiguous";
inline constexpr const char* kCodewordsNotContiguous = "codewords are not contiguous";
inline constexpr const char* kCentersNotInitialized = "cluster centers are not initialized";
inline constexpr const char* kDenseCentersNotInitialized = "dense cluster centers are not initialized";
inline constexpr const char* kDenseCenterShape = "dense cluster center shape does not match the model";
}  // namespace texts

/// Nothing when `array` (a view or an owned array) is C-contiguous,
/// otherwise the error `text`.
template <typename Array>
[[nodiscard]] error::Result<void> require_c_contiguous(const Array& array, const char* text) {
    if (!array.is_c_contiguous()) {
        return error::fail(text);
    }
    return {};
}

}  // namespace tarvinex::pqkmeans
