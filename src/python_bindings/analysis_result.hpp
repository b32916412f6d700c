#pragma once
/// The candidate-k analysis as Python sees it.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "autok/autok.hpp"

namespace tarvinex::python_bindings {

/// The analysis as `analyze_k_candidates` returns it: its lists as new 1-D
/// arrays (candidates and cluster sizes narrowed to uint32 like labels), the
/// choice of `method`, and the k every rule picks. Null with the exception
/// set on failure.
PyObject* analysis_to_dict(autok::AutoKAnalysis analysis, autok::AutoKMethod method);

}  // namespace tarvinex::python_bindings
