/// The one file that includes the NumPy headers and imports the C API.

#include "python_bindings/numpy_bridge.hpp"

#define NPY_NO_DEPRECATED_API NPY_2_0_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL tarvinex_numpy_array_api
#include <numpy/arrayobject.h>

namespace tarvinex::python_bindings::numpy {
namespace {

int type_number(ElementType type) {
    switch (type) {
        case ElementType::UInt8:
            return NPY_UINT8;
        case ElementType::UInt32:
            return NPY_UINT32;
        case ElementType::UInt64:
            return NPY_UINT64;
        case ElementType::Float32:
            return NPY_FLOAT32;
        case ElementType::Float64:
            return NPY_FLOAT64;
    }
    return NPY_FLOAT32;
}

constexpr const char* kOwnerCapsuleName = "tarvinex.buffer_owner";

void destroy_owner(PyObject* capsule) {
    delete static_cast<BufferOwner*>(PyCapsule_GetPointer(capsule, kOwnerCapsuleName));
}

}  // namespace

int import_api() {
    static bool imported = false;
    if (imported) {
        return 0;
    }
    if (PyArray_ImportNumPyAPI() < 0) {
        return -1;
    }
    imported = true;
    return 0;
}

bool is_array(PyObject* object) { return PyArray_Check(object); }

bool is_bool_scalar(PyObject* object) { return Py_IS_TYPE(object, &PyBoolArrType_Type); }

ArrayLayout layout_of(PyObject* array) {
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    return ArrayLayout{PyArray_NDIM(a), PyArray_DIMS(a), PyArray_STRIDES(a), PyArray_BYTES(a),
                       static_cast<Py_ssize_t>(PyArray_ITEMSIZE(a))};
}

bool has_element_type(PyObject* array, ElementType type) {
    PyArray_Descr* expected = PyArray_DescrFromType(type_number(type));
    const bool equivalent = PyArray_EquivTypes(PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array)), expected);
    Py_DECREF(expected);
    return equivalent;
}

PyObject* new_array_over(std::unique_ptr<BufferOwner> owner, void* data, ElementType type,
                         std::span<const Py_ssize_t> shape, const Py_ssize_t* byte_strides) {
    PyObject* capsule = PyCapsule_New(owner.get(), kOwnerCapsuleName, destroy_owner);
    if (capsule == nullptr) {
        return nullptr;
    }
    owner.release();                                                  // the capsule frees it from now on
    PyArray_Descr* descr = PyArray_DescrFromType(type_number(type));  // stolen below
    PyObject* array =
        PyArray_NewFromDescr(&PyArray_Type, descr, static_cast<int>(shape.size()), const_cast<npy_intp*>(shape.data()),
                             const_cast<npy_intp*>(byte_strides), data, NPY_ARRAY_WRITEABLE, nullptr);
    if (array == nullptr) {
        Py_DECREF(capsule);
        return nullptr;
    }
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array), capsule) < 0) {  // steals capsule
        Py_DECREF(array);
        return nullptr;
    }
    return array;
}

}  // namespace tarvinex::python_bindings::numpy
