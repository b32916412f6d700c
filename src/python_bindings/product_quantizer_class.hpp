#pragma once
/// `_NativeProductQuantizer`: the Python class over one `pq::ProductQuantizer`.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarvinex::python_bindings {

/// The class object, created on first use and kept for the process. Borrowed
/// reference, or null with an exception set.
PyObject* product_quantizer_class();

}  // namespace tarvinex::python_bindings
