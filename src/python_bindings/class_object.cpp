#include "python_bindings/class_object.hpp"

#include <vector>

#include "python_bindings/py_ref.hpp"

namespace tarvinex::python_bindings {

PyObject* create_final_class(const FinalClassSpec& spec) {
    std::vector<PyType_Slot> slots{
        {Py_tp_doc, const_cast<char*>(spec.signature_doc)},
        {Py_tp_new, reinterpret_cast<void*>(spec.constructor)},
        {Py_tp_dealloc, reinterpret_cast<void*>(spec.dealloc)},
    };
    if (spec.methods != nullptr) {
        slots.push_back({Py_tp_methods, spec.methods});
    }
    if (spec.getset != nullptr) {
        slots.push_back({Py_tp_getset, spec.getset});
    }
    slots.push_back({0, nullptr});
    PyType_Spec type_spec{
        spec.qualified_name,
        spec.basic_size,
        0,
        // No Py_TPFLAGS_BASETYPE (final), no HAVE_GC (instances hold no
        // Python references), no managed dict or weak-reference slot.
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
        slots.data(),
    };
    return PyType_FromSpec(&type_spec);
}

int add_public_name(PyObject* module, const char* name, PyObject* value) {
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return -1;
        }
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return -1;
        }
    }
    PyRef name_object = PyRef::steal(PyUnicode_FromString(name));
    if (!name_object || PyList_Append(all.get(), name_object.get()) < 0) {
        return -1;
    }
    return PyObject_SetAttrString(module, name, value);
}

}  // namespace tarvinex::python_bindings
