#pragma once
/// The pieces every class method is made of, so that a method body reads as
/// bind, borrow, convert, call, convert back.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

#include "error/error.hpp"
#include "python_bindings/errors.hpp"

namespace tarvinex::python_bindings {

/// An instance of one of the module's classes: the object header, then the
/// engine and the borrow flag.
template <typename Payload>
struct Instance {
    PyObject_HEAD
    Payload payload;
};

template <typename Payload>
Payload& payload_of(PyObject* self) {
    return reinterpret_cast<Instance<Payload>*>(self)->payload;
}

/// A fast-call method with keywords whose body may throw: a C++ failure
/// becomes the matching Python exception.
template <PyObject* (*Body)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* fast_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_call([&] { return Body(self, args, nargs, kwnames); });
}

/// A getter whose body may throw.
template <PyObject* (*Body)(PyObject*)>
PyObject* guarded_getter(PyObject* self, void* /*closure*/) {
    return guarded_call([&] { return Body(self); });
}

}  // namespace tarvinex::python_bindings
