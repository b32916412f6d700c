#include "python_bindings/array_arguments.hpp"

#include "python_bindings/arguments.hpp"

namespace tarvinex::python_bindings {
namespace detail {

namespace {

/// Whether every byte stride is a whole number of elements, so the array can
/// be walked in elements at all.
bool strides_in_elements(const numpy::ArrayLayout& layout) {
    for (int axis = 0; axis < layout.ndim; ++axis) {
        if (layout.byte_strides[axis] % layout.item_size != 0) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool check_array(PyObject* object, const char* parameter, int ndim, numpy::ElementType type) {
    if (!numpy::is_array(object) || numpy::layout_of(object).ndim != ndim || !numpy::has_element_type(object, type) ||
        !strides_in_elements(numpy::layout_of(object))) {
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
