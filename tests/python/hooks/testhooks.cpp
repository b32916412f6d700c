/// A test-only extension, never installed: it drives the error mapping, the
/// class and method helpers of the binding layer from Python before the real
/// classes exist to do it, and reports what the library detected about the
/// processor.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <new>
#include <optional>
#include <string>

#include "error/error.hpp"
#include "parallel/pool.hpp"
#include "python_bindings/arguments.hpp"
#include "python_bindings/borrow.hpp"
#include "python_bindings/class_object.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/method_helpers.hpp"
#include "python_bindings/numpy_bridge.hpp"
#include "simd/cpu_features.hpp"

namespace {

namespace pb = tarvinex::python_bindings;
using tarvinex::error::LinalgError;
using tarvinex::error::ShapeError;
using tarvinex::error::ShapeErrorKind;
using tarvinex::error::TarvinexError;

/// raise_engine_error(kind, text): kind is "message", "shape" or "linalg"; text
/// is the message, or the LAPACK return code for "linalg".
PyObject* raise_engine_error(PyObject*, PyObject* args) {
    const char* kind = nullptr;
    const char* text = nullptr;
    if (!PyArg_ParseTuple(args, "ss", &kind, &text)) {
        return nullptr;
    }
    const std::string which = kind;
    if (which == "message") {
        pb::to_py_err(TarvinexError(text));
    } else if (which == "shape") {
        pb::to_py_err(TarvinexError(ShapeError{ShapeErrorKind::OutOfBounds}));
    } else {
        pb::to_py_err(TarvinexError(LinalgError{std::stoi(text)}));
    }
    return nullptr;
}

/// raise_internal_failure(text, in_worker): a broken invariant on the calling
/// thread or inside a pool loop.
PyObject* raise_internal_failure(PyObject*, PyObject* args) {
    const char* text = nullptr;
    int in_worker = 0;
    if (!PyArg_ParseTuple(args, "sp", &text, &in_worker)) {
        return nullptr;
    }
    const std::string message = text;
    return pb::guarded_call([&]() -> PyObject* {
        if (in_worker) {
            tarvinex::parallel::for_range(0, 1000, [&](std::size_t i) { TARVINEX_ASSERT(i != 617, message); });
        } else {
            TARVINEX_ASSERT(false, message);
        }
        Py_RETURN_NONE;
    });
}

PyObject* raise_bad_alloc(PyObject*, PyObject*) {
    return pb::guarded_call([]() -> PyObject* { throw std::bad_alloc(); });
}

/// The sample's engine is a number.
struct SamplePayload {
    long engine;
    pb::BorrowFlag borrow{0};
    explicit SamplePayload(long value) : engine(value) {}
};

using SampleInstance = pb::Instance<SamplePayload>;

PyObject* sample_new(PyTypeObject* type, PyObject*, PyObject*) {
    return pb::guarded_call(
        [&]() -> PyObject* { return reinterpret_cast<PyObject*>(pb::allocate_instance<SampleInstance>(type, 7L)); });
}

PyObject* get_value(PyObject* self) {
    return pb::read_shared<SamplePayload>(self, [](long value) { return PyLong_FromLong(value); });
}

/// hold(value) takes the object exclusively and then converts `value`;
/// peek(value) shares it. A value whose __index__ calls back into the same
/// object meets the borrow that is still held.
template <bool Exclusive>
PyObject* sample_borrowing_call(PyObject* self, PyObject* value) {
    const std::optional<pb::Borrow> borrow = pb::borrow_for_call<SamplePayload, Exclusive>(self);
    if (!borrow) {
        return nullptr;
    }
    const auto converted = pb::to_unsigned(value, "value");
    if (!converted) {
        return nullptr;
    }
    return PyLong_FromUnsignedLongLong(*converted);
}

/// _SampleClass.shape_of(codes): the static-method form, with a uint8 matrix.
PyObject* shape_of(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const pb::Signature signature("_SampleClass", "shape_of", {"codes"}, 1);
    return pb::with_static_array<std::uint8_t, 2>(signature, args, nargs, kwnames, [](const auto& codes) {
        return Py_BuildValue("(nn)", static_cast<Py_ssize_t>(codes.shape[0]), static_cast<Py_ssize_t>(codes.shape[1]));
    });
}

PyMethodDef g_sample_methods[] = {
    {"hold", sample_borrowing_call<true>, METH_O, nullptr},
    {"peek", sample_borrowing_call<false>, METH_O, nullptr},
    TARVINEX_STATIC_METHOD(shape_of, "shape_of(codes)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_sample_getset[] = {
    TARVINEX_GETTER(value),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

/// make_sample_class(): a class built by the same helper as the real ones.
PyObject* make_sample_class(PyObject*, PyObject*) {
    static const pb::FinalClassSpec spec{
        "tarvinex._tarvinex._SampleClass",
        "_SampleClass(value=7)\n--\n\n",
        static_cast<int>(sizeof(SampleInstance)),
        sample_new,
        pb::dealloc_instance<SampleInstance>,
        g_sample_methods,
        g_sample_getset,
    };
    return pb::create_final_class(spec);
}

/// unsigned_list(values): the list-of-unsigned-integers conversion, as the
/// parameter candidate_ks sees it.
PyObject* unsigned_list(PyObject*, PyObject* values) {
    const auto converted = pb::to_unsigned_list(values, "candidate_ks");
    if (!converted) {
        return nullptr;
    }
    PyObject* out = PyList_New(0);
    for (const std::uint64_t value : *converted) {
        PyObject* item = PyLong_FromUnsignedLongLong(value);
        if (item == nullptr || PyList_Append(out, item) < 0) {
            Py_XDECREF(item);
            Py_DECREF(out);
            return nullptr;
        }
        Py_DECREF(item);
    }
    return out;
}

/// detected_cpu_features(): the instruction sets the library found on this
/// processor, so that tests skip what it would not run.
PyObject* detected_cpu_features(PyObject*, PyObject*) {
    const tarvinex::simd::CpuFeatures& features = tarvinex::simd::detected_cpu_features();
    return Py_BuildValue("{sOsOsO}", "avx2", features.avx2 ? Py_True : Py_False, "avx512f",
                         features.avx512f ? Py_True : Py_False, "avx512bw", features.avx512bw ? Py_True : Py_False);
}

PyMethodDef g_methods[] = {
    {"unsigned_list", unsigned_list, METH_O, nullptr},
    {"detected_cpu_features", detected_cpu_features, METH_NOARGS, nullptr},
    {"raise_engine_error", raise_engine_error, METH_VARARGS, nullptr},
    {"raise_internal_failure", raise_internal_failure, METH_VARARGS, nullptr},
    {"raise_bad_alloc", raise_bad_alloc, METH_NOARGS, nullptr},
    {"make_sample_class", make_sample_class, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT, "_tarvinex_testhooks", "", 0, g_methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

// The static library of the binding layer is linked into this module too, with
// its own copy of the NumPy API table to import.
PyMODINIT_FUNC PyInit__tarvinex_testhooks(void) {
    if (pb::numpy::import_api() < 0) {
        return nullptr;
    }
    return PyModule_Create(&g_module_def);
}
