#pragma once
/// What the module's class objects have in common: heap types from a spec,
/// final (not acceptable base types), no instance __dict__ or weak references,
/// not tracked by the cyclic collector, a docstring that is only the
/// constructor's text signature, and the constructor as their one slot beyond
/// methods and read-only properties.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>

namespace tarvinex::python_bindings {

struct FinalClassSpec {
    /// "tarvinex._tarvinex.Name": the part before the last dot becomes __module__.
    const char* qualified_name;
    /// "Name(arg, ...)\n--\n\n", so __text_signature__ is the parameter list.
    const char* signature_doc;
    int basic_size;
    newfunc constructor;
    destructor dealloc;
    PyMethodDef* methods;  ///< may be null
    PyGetSetDef* getset;   ///< may be null
};

/// A new reference to the class object, or null with an exception set.
PyObject* create_final_class(const FinalClassSpec& spec);

/// Appends `name` to the module's __all__ (creating the list first when the
/// module has none) and sets the attribute. Steals nothing. 0 or -1.
int add_public_name(PyObject* module, const char* name, PyObject* value);

/// An instance of one of the module's classes: the object header, then the
/// C++ payload (for the real classes, the engine and the borrow flag).
template <typename Payload>
struct Instance {
    PyObject_HEAD
    Payload payload;
};

template <typename Payload>
Payload& payload_of(PyObject* self) {
    return reinterpret_cast<Instance<Payload>*>(self)->payload;
}

/// Allocates an instance of `type` and constructs its C++ payload in place.
/// `Instance` starts with PyObject_HEAD (standard layout).
template <typename Instance, typename... Args>
Instance* allocate_instance(PyTypeObject* type, Args&&... args) {
    PyObject* raw = type->tp_alloc(type, 0);
    if (raw == nullptr) {
        return nullptr;
    }
    auto* instance = reinterpret_cast<Instance*>(raw);
    try {
        new (&instance->payload) decltype(instance->payload)(static_cast<Args&&>(args)...);
    } catch (...) {
        type->tp_free(raw);
        Py_DECREF(type);  // tp_alloc took a reference to the heap type
        throw;
    }
    return instance;
}

/// Destroys the payload, frees the object, then drops the type reference that
/// every heap-type instance holds.
template <typename Instance>
void dealloc_instance(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    using Payload = decltype(reinterpret_cast<Instance*>(self)->payload);
    reinterpret_cast<Instance*>(self)->payload.~Payload();
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace tarvinex::python_bindings
