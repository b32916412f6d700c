#pragma once
/// A move-only owner of one strong reference, so every early return releases
/// what it took.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace tarvinex::python_bindings {

class PyRef {
public:
    PyRef() = default;
    /// Takes over a new reference (may be null, as after a failed call).
    static PyRef steal(PyObject* object) { return PyRef(object); }
    /// Adds a reference to a borrowed one.
    static PyRef borrow(PyObject* object) {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(object_);
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    ~PyRef() { Py_XDECREF(object_); }

    [[nodiscard]] PyObject* get() const noexcept { return object_; }
    [[nodiscard]] explicit operator bool() const noexcept { return object_ != nullptr; }
    /// Hands the reference to the caller.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace tarvinex::python_bindings
