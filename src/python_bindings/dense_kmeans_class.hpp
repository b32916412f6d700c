#pragma once
/// `_NativeDenseKMeans`: the Python class over one `dense::DenseKMeans`.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace tarvinex::python_bindings {

/// The class object, created on first use and kept for the process. Borrowed
/// reference, or null with an exception set.
PyObject* dense_kmeans_class();

}  // namespace tarvinex::python_bindings
