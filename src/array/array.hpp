#pragma once
/// Strided views and owned arrays of the engines: the form in which the Python
/// boundary hands matrices (two axes) and codebooks (three axes) over.
///
/// Shapes and strides are counted in elements. "C-contiguous" means the
/// elements lie row after row without gaps: the last stride is 1 and each
/// stride is the product of the later extents. A stride along an axis of length
/// 1 is not looked at, and an array with no elements counts as contiguous.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

namespace tarvinex::array {

template <std::size_t N>
using Shape = std::array<std::size_t, N>;
template <std::size_t N>
using Strides = std::array<std::ptrdiff_t, N>;

template <std::size_t N>
[[nodiscard]] constexpr std::size_t element_count(const Shape<N>& shape) {
    std::size_t count = 1;
    for (const std::size_t extent : shape) {
        count *= extent;
    }
    return count;
}

template <std::size_t N>
[[nodiscard]] constexpr Strides<N> c_order_strides(const Shape<N>& shape) {
    Strides<N> strides{};
    std::ptrdiff_t step = 1;
    for (std::size_t axis = N; axis-- > 0;) {
        strides[axis] = step;
        step *= static_cast<std::ptrdiff_t>(shape[axis]);
    }
    return strides;
}

template <std::size_t N>
[[nodiscard]] constexpr bool is_c_contiguous(const Shape<N>& shape, const Strides<N>& strides) {
    if (element_count(shape) == 0) {
        return true;
    }
    std::ptrdiff_t expected = 1;
    for (std::size_t axis = N; axis-- > 0;) {
        if (shape[axis] != 1 && strides[axis] != expected) {
            return false;
        }
        expected *= static_cast<std::ptrdiff_t>(shape[axis]);
    }
    return true;
}

/// A borrowed N-axis array. `data` points at element (0, ..., 0).
template <typename T, std::size_t N>
struct ArrayView {
    T* data = nullptr;
    Shape<N> shape{};
    Strides<N> strides{};

    /// A C-ordered view over `data`.
    [[nodiscard]] static ArrayView c_order(T* data, const Shape<N>& shape) {
        return ArrayView{data, shape, c_order_strides(shape)};
    }

    [[nodiscard]] std::size_t extent(std::size_t axis) const { return shape[axis]; }
    [[nodiscard]] std::size_t size() const { return element_count(shape); }
    [[nodiscard]] bool is_c_contiguous() const { return array::is_c_contiguous(shape, strides); }

    template <typename... Index>
    [[nodiscard]] T& operator()(Index... index) const {
        static_assert(sizeof...(Index) == N);
        const std::size_t indices[] = {static_cast<std::size_t>(index)...};
        std::ptrdiff_t offset = 0;
        for (std::size_t axis = 0; axis < N; ++axis) {
            offset += static_cast<std::ptrdiff_t>(indices[axis]) * strides[axis];
        }
        return data[offset];
    }

    /// Row i of a matrix whose rows are contiguous (last stride 1), such as a
    /// C-contiguous one.
    [[nodiscard]] std::span<T> row(std::size_t i) const requires(N == 2) {
        return {data + static_cast<std::ptrdiff_t>(i) * strides[0], shape[1]};
    }

    /// Columns first .. first + count - 1 of every row, with the same strides.
    [[nodiscard]] ArrayView columns(std::size_t first, std::size_t count) const requires(N == 2) {
        return {data + static_cast<std::ptrdiff_t>(first) * strides[1], {shape[0], count}, strides};
    }

    /// The same elements with the two axes and their strides swapped; nothing
    /// is copied.
    [[nodiscard]] ArrayView transposed() const requires(N == 2) {
        return {data, {shape[1], shape[0]}, {strides[1], strides[0]}};
    }

    /// The elements in C order; only for a C-contiguous view.
    [[nodiscard]] std::span<T> contiguous_span() const { return {data, size()}; }

    [[nodiscard]] operator ArrayView<const T, N>() const  // NOLINT: views convert to read-only views
        requires(!std::is_const_v<T>) {
        return {data, shape, strides};
    }
};

template <typename T>
using MatrixView = ArrayView<T, 2>;
template <typename T>
using CodebookView = ArrayView<T, 3>;

/// An owned N-axis array. It keeps the memory order it was built with (a
/// column-major copy stays column-major, reversed axes stay reversed), so
/// `strides` need not be C order. The storage is one block: element
/// (0, ..., 0) sits at `origin_offset()` in it, past the elements that
/// negative strides reach.
template <typename T, std::size_t N>
class OwnedArray {
public:
    OwnedArray() = default;
    /// `storage` holds the block that `strides` walk; every stride may be negative.
    OwnedArray(std::vector<T> storage, const Shape<N>& shape, const Strides<N>& strides)
        : storage_(std::move(storage)), shape_(shape), strides_(strides), origin_(origin_of(shape, strides)) {}
    /// A C-ordered array over `storage`, which holds element_count(shape) values.
    OwnedArray(std::vector<T> storage, const Shape<N>& shape)
        : storage_(std::move(storage)), shape_(shape), strides_(c_order_strides(shape)) {}
    /// A C-ordered array of zeros.
    explicit OwnedArray(const Shape<N>& shape)
        : storage_(element_count(shape)), shape_(shape), strides_(c_order_strides(shape)) {}

    [[nodiscard]] const Shape<N>& shape() const { return shape_; }
    [[nodiscard]] const Strides<N>& strides() const { return strides_; }
    [[nodiscard]] std::size_t extent(std::size_t axis) const { return shape_[axis]; }
    [[nodiscard]] std::size_t size() const { return element_count(shape_); }
    [[nodiscard]] bool is_c_contiguous() const { return array::is_c_contiguous(shape_, strides_); }
    [[nodiscard]] std::size_t origin_offset() const { return origin_; }

    [[nodiscard]] ArrayView<const T, N> view() const { return {storage_.data() + origin_, shape_, strides_}; }
    [[nodiscard]] ArrayView<T, N> view() { return {storage_.data() + origin_, shape_, strides_}; }
    /// The stored block, in memory order.
    [[nodiscard]] const std::vector<T>& storage() const { return storage_; }
    [[nodiscard]] std::vector<T>& storage() { return storage_; }

private:
    static std::size_t origin_of(const Shape<N>& shape, const Strides<N>& strides) {
        if (element_count(shape) == 0) {
            return 0;
        }
        std::ptrdiff_t offset = 0;
        for (std::size_t axis = 0; axis < N; ++axis) {
            if (strides[axis] < 0) {
                offset -= strides[axis] * static_cast<std::ptrdiff_t>(shape[axis] - 1);
            }
        }
        return static_cast<std::size_t>(offset);
    }

    std::vector<T> storage_;
    Shape<N> shape_{};
    Strides<N> strides_{};
    std::size_t origin_ = 0;
};

template <typename T>
using Matrix = OwnedArray<T, 2>;
template <typename T>
using Codebook = OwnedArray<T, 3>;

/// A C-ordered copy of any view, negative strides included.
template <typename T, std::size_t N>
[[nodiscard]] OwnedArray<std::remove_const_t<T>, N> c_order_copy(const ArrayView<T, N>& view) {
    using Value = std::remove_const_t<T>;
    const std::size_t count = view.size();
    if (view.is_c_contiguous()) {
        return OwnedArray<Value, N>(std::vector<Value>(view.data, view.data + count), view.shape);
    }
    std::vector<Value> values;
    values.reserve(count);
    // An odometer over all axes but the last, which the inner loop walks.
    const std::size_t inner = view.shape[N - 1];
    const std::ptrdiff_t inner_stride = view.strides[N - 1];
    std::array<std::size_t, N> index{};
    for (std::size_t produced = 0; produced < count; produced += inner) {
        std::ptrdiff_t offset = 0;
        for (std::size_t axis = 0; axis + 1 < N; ++axis) {
            offset += static_cast<std::ptrdiff_t>(index[axis]) * view.strides[axis];
        }
        for (std::size_t j = 0; j < inner; ++j) {
            values.push_back(view.data[offset + static_cast<std::ptrdiff_t>(j) * inner_stride]);
        }
        for (std::size_t axis = N - 1; axis-- > 0;) {
            if (++index[axis] < view.shape[axis]) {
                break;
            }
            index[axis] = 0;
        }
    }
    return OwnedArray<Value, N>(std::move(values), view.shape);
}

/// A copy that keeps the view's memory order when the view is dense in some
/// order of its axes (C order, column-major, any permutation, reversed axes):
/// then the block is copied as it lies, strides included. Any other view (a
/// slice with a step) becomes a C-ordered copy.
template <typename T, std::size_t N>
[[nodiscard]] OwnedArray<std::remove_const_t<T>, N> copy_keeping_layout(const ArrayView<T, N>& view) {
    using Value = std::remove_const_t<T>;
    const std::size_t count = view.size();
    if (count == 0) {
        return OwnedArray<Value, N>(std::vector<Value>{}, view.shape);
    }
    // Dense in some axis order: sorted by |stride|, the axes longer than 1 must
    // step 1, then the product of the extents before them.
    std::array<std::size_t, N> axes{};
    for (std::size_t axis = 0; axis < N; ++axis) {
        axes[axis] = axis;
    }
    const auto magnitude = [&](std::size_t axis) {
        return view.strides[axis] < 0 ? -view.strides[axis] : view.strides[axis];
    };
    std::sort(axes.begin(), axes.end(), [&](std::size_t a, std::size_t b) { return magnitude(a) < magnitude(b); });
    bool dense = true;
    std::ptrdiff_t step = 1;
    for (const std::size_t axis : axes) {
        if (view.shape[axis] == 1) {
            continue;
        }
        dense = dense && magnitude(axis) == step;
        step *= static_cast<std::ptrdiff_t>(view.shape[axis]);
    }
    if (dense) {
        const T* lowest = view.data;
        for (std::size_t axis = 0; axis < N; ++axis) {
            if (view.strides[axis] < 0 && view.shape[axis] > 1) {
                lowest += view.strides[axis] * static_cast<std::ptrdiff_t>(view.shape[axis] - 1);
            }
        }
        return OwnedArray<Value, N>(std::vector<Value>(lowest, lowest + count), view.shape, view.strides);
    }
    return c_order_copy(view);
}

}  // namespace tarvinex::array
