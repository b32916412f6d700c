#include "python_bindings/array_arguments.hpp"

#include "python_bindings/arguments.hpp"

namespace tarvinex::python_bindings {
namespace detail {

namespace {

/// Whether every element can be read through a pointer of the element type:
/// the data pointer and every byte stride are whole multiples of the element
/// size. Arrays over foreign buffers (an offset into a bytearray, a field of a
/// packed structured array) can break this.
bool elements_aligned(const numpy::ArrayLayout& layout) {
    const auto item = static_cast<std::uintptr_t>(layout.item_size);
    if (reinterpret_cast<std::uintptr_t>(layout.data) % item != 0) {
        return false;
    }
    for (int axis = 0; axis < layout.ndim; ++axis) {
        if (static_cast<std::uintptr_t>(layout.byte_strides[axis]) % item != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool check_array(PyObject* object, const char* parameter, int ndim, numpy::ElementType type) {
    if (!numpy::is_array(object) || numpy::layout_of(object).ndim != ndim || !numpy::has_element_type(object, type) ||
        !elements_aligned(numpy::layout_of(object))) {
        raise_cast_failure(parameter, object, "ndarray");
        return false;
    }
    return true;
}

void element_layout(PyObject* array, std::ptrdiff_t* strides, std::size_t* shape) {
    const numpy::ArrayLayout layout = numpy::layout_of(array);
    for (int axis = 0; axis < layout.ndim; ++axis) {
        strides[axis] = layout.byte_strides[axis] / layout.item_size;
        shape[axis] = static_cast<std::size_t>(layout.shape[axis]);
    }
}

}  // namespace detail

PyObject* labels_to_numpy(std::span<const std::size_t> labels) {
    std::vector<std::uint32_t> narrowed(labels.size());
    for (std::size_t i = 0; i < labels.size(); ++i) {
        narrowed[i] = static_cast<std::uint32_t>(labels[i]);
    }
    return to_numpy(std::move(narrowed));
}

}  // namespace tarvinex::python_bindings
