#pragma once
/// The binding layer's window on NumPy. Only numpy_bridge.cpp includes the
/// NumPy headers and imports its C API; everything else goes through the few
/// operations declared here.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

namespace tarvinex::python_bindings::numpy {

enum class ElementType : std::uint8_t { UInt8, UInt32, UInt64, Float32, Float64 };

template <typename T>
constexpr ElementType element_type_of();
template <>
constexpr ElementType element_type_of<std::uint8_t>() {
    return ElementType::UInt8;
}
template <>
constexpr ElementType element_type_of<std::uint32_t>() {
    return ElementType::UInt32;
}
template <>
constexpr ElementType element_type_of<std::uint64_t>() {
    return ElementType::UInt64;
}
template <>
constexpr ElementType element_type_of<float>() {
    return ElementType::Float32;
}
template <>
constexpr ElementType element_type_of<double>() {
    return ElementType::Float64;
}

/// Imports the NumPy C API once per process. 0, or -1 with an exception set.
int import_api();

/// numpy.ndarray or a subclass.
[[nodiscard]] bool is_array(PyObject* object);

/// Exactly a NumPy boolean scalar (numpy.bool_), not an instance of a subclass.
[[nodiscard]] bool is_bool_scalar(PyObject* object);

/// Shape, byte strides and data pointer of an ndarray, as NumPy reports them.
struct ArrayLayout {
    int ndim = 0;
    const Py_ssize_t* shape = nullptr;
    const Py_ssize_t* byte_strides = nullptr;
    char* data = nullptr;
    Py_ssize_t item_size = 0;
};
[[nodiscard]] ArrayLayout layout_of(PyObject* array);

/// Whether the array's dtype is equivalent to `type` by NumPy's own test (so
/// float32 must be in native byte order).
[[nodiscard]] bool has_element_type(PyObject* array, ElementType type);

/// Something that keeps a result buffer alive; the array's base object owns it.
class BufferOwner {
public:
    virtual ~BufferOwner() = default;
};

/// A new writeable ndarray over `data`, owned by `owner` through its base
/// object: no copy is made. `byte_strides` may be null for C order. Null with
/// an exception set on failure (the owner is freed then).
PyObject* new_array_over(std::unique_ptr<BufferOwner> owner, void* data, ElementType type,
                         std::span<const Py_ssize_t> shape, const Py_ssize_t* byte_strides);

}  // namespace tarvinex::python_bindings::numpy
