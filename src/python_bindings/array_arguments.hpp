#pragma once
/// NumPy arrays as arguments and as results.
///
/// An argument must be an ndarray (or subclass) of the expected number of
/// dimensions and a dtype equivalent to the expected one; nothing is cast.
/// The array stays referenced for the call. Its view is built only after the
/// last argument has been converted, from the array checked again: converting
/// a later argument can run Python code (`__index__`, a sequence's items) that
/// reshapes an accepted array.
///
/// Elements whose address is not a multiple of their size (an offset into a
/// bytes buffer, a field of a packed structured array) are read through an
/// aligned copy of the bytes the array spans, strides kept, so the engines
/// see the same layout and give the same results; strides that are not whole
/// elements cannot be described in elements and are refused.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "array/array.hpp"
#include "error/error.hpp"
#include "python_bindings/numpy_bridge.hpp"
#include "python_bindings/py_ref.hpp"

namespace tarvinex::python_bindings {

namespace detail {

/// Checks kind, dimensions, dtype and that every byte stride is a whole
/// number of elements; TypeError with the argument prefix and the
/// cast-failure text naming ndarray otherwise.
bool check_array(PyObject* object, const char* parameter, int ndim, numpy::ElementType type);

/// Shape and element strides of an array that passed `check_array`.
void element_layout(PyObject* array, std::ptrdiff_t* strides, std::size_t* shape);

/// The elements at `data` (any address) with this shape and these element
/// strides, copied as the block they span into `storage`; returns where
/// element (0, ..., 0) lies in the copy. An empty array gives null.
template <typename T, std::size_t N>
const T* copy_spanned_block(const char* data, const array::Shape<N>& shape, const array::Strides<N>& strides,
                            std::vector<T>& storage) {
    if (array::element_count(shape) == 0) {
        storage.clear();
        return nullptr;
    }
    std::ptrdiff_t lowest = 0;
    std::ptrdiff_t highest = 0;
    for (std::size_t axis = 0; axis < N; ++axis) {
        const std::ptrdiff_t reach = strides[axis] * static_cast<std::ptrdiff_t>(shape[axis] - 1);
        (reach < 0 ? lowest : highest) += reach;
    }
    const auto count = static_cast<std::size_t>(highest - lowest + 1);
    storage.resize(count);
    std::memcpy(storage.data(), data + lowest * static_cast<std::ptrdiff_t>(sizeof(T)), count * sizeof(T));
    return storage.data() - lowest;
}

}  // namespace detail

template <typename T, std::size_t N>
class ArrayArgument {
public:
    /// Nothing, with the exception set, when `object` is not such an array.
    static std::optional<ArrayArgument> accept(PyObject* object, const char* parameter) {
        if (!detail::check_array(object, parameter, static_cast<int>(N), numpy::element_type_of<T>())) {
            return std::nullopt;
        }
        return ArrayArgument(PyRef::borrow(object), parameter);
    }

    /// The engine's view of the caller's memory, valid for the call.
    [[nodiscard]] std::optional<array::ArrayView<const T, N>> view() const {
        if (!detail::check_array(array_.get(), parameter_, static_cast<int>(N), numpy::element_type_of<T>())) {
            return std::nullopt;
        }
        array::ArrayView<const T, N> view;
        detail::element_layout(array_.get(), view.strides.data(), view.shape.data());
        const char* data = numpy::layout_of(array_.get()).data;
        if (reinterpret_cast<std::uintptr_t>(data) % sizeof(T) == 0) {
            view.data = reinterpret_cast<const T*>(data);
        } else {
            view.data = detail::copy_spanned_block(data, view.shape, view.strides, aligned_copy_);
        }
        return view;
    }

    /// An owned copy by the layout rule of `array::copy_keeping_layout`.
    [[nodiscard]] std::optional<array::OwnedArray<T, N>> copy() const {
        std::optional<array::ArrayView<const T, N>> borrowed = view();
        if (!borrowed) {
            return std::nullopt;
        }
        return array::copy_keeping_layout(*borrowed);
    }

private:
    ArrayArgument(PyRef array, const char* parameter) : array_(std::move(array)), parameter_(parameter) {}

    PyRef array_;
    const char* parameter_;
    /// The aligned copy a misaligned array is read through, for the call.
    mutable std::vector<T> aligned_copy_;
};

/// An optional array parameter: `None` or a left-out argument leaves `argument`
/// empty; anything else must be accepted. false with the exception set.
template <typename T, std::size_t N>
bool accept_optional(PyObject* object, const char* parameter, std::optional<ArrayArgument<T, N>>& argument) {
    if (object == nullptr || object == Py_None) {
        return true;
    }
    argument = ArrayArgument<T, N>::accept(object, parameter);
    return argument.has_value();
}

/// The owned copy of an optional array parameter (empty when it was not
/// given), releasing the caller's array at once; nothing with the exception
/// set when the copy fails.
template <typename T, std::size_t N>
std::optional<std::optional<array::OwnedArray<T, N>>> copy_optional(std::optional<ArrayArgument<T, N>> argument) {
    if (!argument) {
        return std::optional<array::OwnedArray<T, N>>();
    }
    std::optional<array::OwnedArray<T, N>> copy = argument->copy();
    if (!copy) {
        return std::nullopt;
    }
    return copy;
}

/// Keeps a std::vector alive as the base object of a result array.
template <typename T>
class VectorOwner final : public numpy::BufferOwner {
public:
    explicit VectorOwner(std::vector<T> values) : values(std::move(values)) {}
    std::vector<T> values;
};

/// A new ndarray over `values` (C order, `shape`), without a copy.
template <typename T, std::size_t N>
PyObject* to_numpy(std::vector<T> values, const std::array<std::size_t, N>& shape) {
    auto owner = std::make_unique<VectorOwner<T>>(std::move(values));
    T* data = owner->values.data();
    std::array<Py_ssize_t, N> dims{};
    for (std::size_t axis = 0; axis < N; ++axis) {
        dims[axis] = static_cast<Py_ssize_t>(shape[axis]);
    }
    return numpy::new_array_over(std::move(owner), data, numpy::element_type_of<T>(), dims, nullptr);
}

template <typename T>
PyObject* to_numpy(std::vector<T> values) {
    const std::size_t n = values.size();
    return to_numpy(std::move(values), std::array<std::size_t, 1>{n});
}

/// A new ndarray over an array the engine made for the result, without a copy.
/// Results are made in C order.
template <typename T, std::size_t N>
PyObject* to_numpy(array::OwnedArray<T, N>&& made) {
    TARVINEX_ASSERT(made.is_c_contiguous() && made.origin_offset() == 0, "engine results are made in C order");
    return to_numpy(std::move(made.storage()), made.shape());
}

/// A fresh copy of a stored array, in the stored memory order.
template <typename T, std::size_t N>
PyObject* to_numpy_copy(const array::OwnedArray<T, N>& stored) {
    auto owner = std::make_unique<VectorOwner<T>>(stored.storage());
    T* data = owner->values.data() + stored.origin_offset();
    std::array<Py_ssize_t, N> dims{};
    std::array<Py_ssize_t, N> byte_strides{};
    for (std::size_t axis = 0; axis < N; ++axis) {
        dims[axis] = static_cast<Py_ssize_t>(stored.shape()[axis]);
        byte_strides[axis] = static_cast<Py_ssize_t>(stored.strides()[axis] * static_cast<std::ptrdiff_t>(sizeof(T)));
    }
    return numpy::new_array_over(std::move(owner), data, numpy::element_type_of<T>(), dims, byte_strides.data());
}

/// Labels, or any other indices and counts the engine keeps as size_t,
/// narrowed to their low 32 bits, as a new uint32 array.
PyObject* labels_to_numpy(std::span<const std::size_t> labels);

}  // namespace tarvinex::python_bindings
