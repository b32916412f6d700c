#include "python_bindings/errors.hpp"

#include <exception>
#include <stdexcept>
#include <string>

namespace tarvinex::python_bindings {
namespace {

constexpr const char* kDefaultPanicMessage = "panic from Native code";

void raise_panic(const char* message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) {
        return;  // creating the type failed and set its own exception
    }
    PyErr_SetString(type, (message == nullptr || *message == '\0') ? kDefaultPanicMessage : message);
}

}  // namespace

void to_py_err(error::TarvinexError error) {
    if (error.is_interrupted() && PyErr_Occurred() != nullptr) {
        return;
    }
    const std::string text = error.to_string();
    PyObject* message = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
    if (message == nullptr) {
        return;
    }
    PyErr_SetObject(PyExc_ValueError, message);
    Py_DECREF(message);
}

bool python_signal_raised() { return PyErr_CheckSignals() != 0; }

PyObject* panic_exception_type() {
    // Kept for the life of the process; the interpreter lock serialises creation.
    static PyObject* type = nullptr;
    if (type == nullptr) {
        type = PyErr_NewExceptionWithDoc("tarvinex_native.PanicException",
                                         "An internal failure of the native core: a broken invariant, not bad input.",
                                         PyExc_BaseException, nullptr);
    }
    return type;
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more than max_size(): a size too large to
        // allocate, the same failure as bad_alloc seen earlier.
        PyErr_NoMemory();
    } catch (const std::exception& failure) {
        raise_panic(failure.what());
    } catch (...) {
        raise_panic(nullptr);
    }
}

}  // namespace tarvinex::python_bindings
