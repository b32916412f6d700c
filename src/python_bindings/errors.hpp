#pragma once
/// How failures cross into Python: an engine error becomes ValueError with its
/// text; an internal failure (a broken invariant, also from a pool worker)
/// becomes PanicException, a direct BaseException subclass so that
/// `except Exception` does not swallow it; an allocation failure becomes
/// MemoryError.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <utility>

#include "error/error.hpp"

namespace tarvinex::python_bindings {

/// Sets a pending ValueError whose single argument is the error's text.
void to_py_err(error::TarvinexError error);

/// The panic exception type, created on first use; not an attribute of the
/// module. Borrowed reference, or null with an exception set.
PyObject* panic_exception_type();

/// Sets the pending exception for the exception being handled right now.
/// Call only from inside a catch block.
void set_error_from_current_exception() noexcept;

/// Runs one call into the module: every C++ exception that escapes `body`
/// becomes a Python exception, and the result is null then.
template <typename Body>
PyObject* guarded_call(Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace tarvinex::python_bindings
