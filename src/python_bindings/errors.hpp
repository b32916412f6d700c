#pragma once
/// How failures cross into Python: an engine error becomes ValueError with its
/// text; an internal failure (a broken invariant, also from a pool worker)
/// becomes PanicException, a direct BaseException subclass so that
/// `except Exception` does not swallow it; an allocation failure, or a size
/// no container can hold, becomes MemoryError. A call that ended because a
/// signal handler raised (Ctrl-C: KeyboardInterrupt) leaves that exception
/// pending.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <new>
#include <optional>
#include <type_traits>
#include <utility>

#include "error/error.hpp"
#include "error/interrupt.hpp"

namespace tarvinex::python_bindings {

/// Sets a pending ValueError whose single argument is the error's text; an
/// interrupted call keeps the exception its signal handler raised instead.
void to_py_err(error::TarvinexError error);

/// The interrupt check of every call: runs the pending signal handlers
/// (PyErr_CheckSignals) on the calling thread, which holds the interpreter
/// lock; true when one of them raised, its exception left pending.
bool python_signal_raised();

/// The value of a successful engine result, or nothing with the engine's
/// ValueError pending; for steps that need the value before they go on.
template <typename T>
std::optional<T> take_or_raise(error::Result<T>&& result) {
    if (!result) {
        to_py_err(std::move(result).error());
        return std::nullopt;
    }
    return std::optional<T>(std::move(*result));
}

/// `convert` applied to the value of a successful engine result (called with
/// no argument for `Result<void>`), or null with the engine's ValueError
/// pending.
template <typename T, typename Convert>
PyObject* value_or_raise(error::Result<T>&& result, Convert&& convert) {
    if (!result) {
        to_py_err(std::move(result).error());
        return nullptr;
    }
    if constexpr (std::is_void_v<T>) {
        return std::forward<Convert>(convert)();
    } else {
        return std::forward<Convert>(convert)(std::move(*result));
    }
}

/// `None`, or null with the engine's ValueError pending.
inline PyObject* none_or_raise(error::Result<void>&& result) {
    return value_or_raise(std::move(result), [] { Py_RETURN_NONE; });
}

/// The panic exception type, created on first use; not an attribute of the
/// module. Borrowed reference, or null with an exception set.
PyObject* panic_exception_type();

/// Sets the pending exception for the exception being handled right now.
/// Call only from inside a catch block.
void set_error_from_current_exception() noexcept;

/// Runs one call into the module: every C++ exception that escapes `body`
/// becomes a Python exception, and the result is null then. Its passes heed
/// Ctrl-C: they ask `python_signal_raised` between passes.
template <typename Body>
PyObject* guarded_call(Body&& body) noexcept {
    try {
        const interrupt::ScopedCheck signals(python_signal_raised);
        return std::forward<Body>(body)();
    } catch (...) {
        set_error_from_current_exception();
        return nullptr;
    }
}

}  // namespace tarvinex::python_bindings
