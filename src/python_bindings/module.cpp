/// The init export of `_tarvinex` and the module body.
///
/// Single-phase initialization: the module object is made once per process and
/// cached, and only the first interpreter may load it. The engines keep
/// process-wide state (the pool, the kernel choice) that is not per
/// interpreter.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "math/blas.hpp"
#include "python_bindings/class_object.hpp"
#include "python_bindings/dense_kmeans_class.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/numpy_bridge.hpp"
#include "python_bindings/pq_kmeans_class.hpp"
#include "python_bindings/product_quantizer_class.hpp"
#include "python_bindings/py_ref.hpp"
#include "simd/preference.hpp"

namespace tarvinex::python_bindings {
namespace {

// BLAS sizes its own pool when the library loads; cap it as soon as the module
// is loaded, before any call can reach it.
[[maybe_unused]] const bool kBlasThreadsLimited = (math::limit_blas_threads(), true);

constexpr std::int64_t kNoInterpreter = -1;
std::atomic<std::int64_t> g_first_interpreter{kNoInterpreter};
PyObject* g_module = nullptr;

PyObject* simd_runtime(PyObject* /*module*/, PyObject* /*unused*/) {
    return guarded_call([]() -> PyObject* { return PyUnicode_FromString(simd::simd_runtime_label()); });
}

PyMethodDef g_simd_runtime_def = {"simd_runtime", simd_runtime, METH_NOARGS, "simd_runtime()\n--\n\n"};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_tarvinex",
    "",       // __doc__ is the empty string, not None
    0,        // no per-module state
    nullptr,  // the function is added by the body, not through the definition
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

int add_function(PyObject* module, PyMethodDef* def) {
    PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
    if (!module_name) {
        return -1;
    }
    PyRef function = PyRef::steal(PyCFunction_NewEx(def, module, module_name.get()));
    if (!function) {
        return -1;
    }
    PyRef name = PyRef::steal(PyObject_GetAttrString(function.get(), "__name__"));
    if (!name) {
        return -1;
    }
    const char* name_text = PyUnicode_AsUTF8(name.get());
    if (name_text == nullptr) {
        return -1;
    }
    return add_public_name(module, name_text, function.get());
}

int add_class(PyObject* module, const char* name, PyObject* type) {
    if (type == nullptr) {
        return -1;
    }
    return add_public_name(module, name, type);
}

/// Fills the module, stopping at the first failure: the classes in the order
/// _NativeProductQuantizer, _NativeDenseKMeans, _NativePQKMeans, then the
/// function.
int module_body(PyObject* module) {
    if (add_class(module, "_NativeProductQuantizer", product_quantizer_class()) < 0) {
        return -1;
    }
    if (add_class(module, "_NativeDenseKMeans", dense_kmeans_class()) < 0) {
        return -1;
    }
    if (add_class(module, "_NativePQKMeans", pq_kmeans_class()) < 0) {
        return -1;
    }
    return add_function(module, &g_simd_runtime_def);
}

PyObject* initialize() {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interpreter);
    if (id < 0) {
        return nullptr;
    }
    std::int64_t expected = kNoInterpreter;
    if (!g_first_interpreter.compare_exchange_strong(expected, id) && expected != id) {
        PyErr_SetString(PyExc_ImportError,
                        "_tarvinex does not support sub-interpreters: it can be imported only in the interpreter "
                        "that loaded it first");
        return nullptr;
    }
    if (g_module != nullptr) {
        return Py_NewRef(g_module);
    }
    if (numpy::import_api() < 0) {
        return nullptr;
    }
    PyRef module = PyRef::steal(PyModule_Create2(&g_module_def, PYTHON_API_VERSION));
    if (!module || module_body(module.get()) < 0) {
        return nullptr;
    }
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace tarvinex::python_bindings

PyMODINIT_FUNC PyInit__tarvinex(void) {
    return tarvinex::python_bindings::guarded_call(tarvinex::python_bindings::initialize);
}
