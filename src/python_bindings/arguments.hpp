#pragma once
/// Binding Python arguments to parameters and converting scalar arguments,
/// with the texts users see written once.
///
/// Every parameter can be given by position or by keyword; the first
/// `required` have no default. Errors are raised in a fixed order: binding
/// TypeErrors, then (in the method) the borrow, then each argument's
/// conversion in parameter order.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarvinex::python_bindings {

/// The fixed parameter description of one callable. Interned parameter names
/// are made on first use and kept, so keyword matching is mostly a pointer
/// comparison.
class Signature {
public:
    Signature(const char* class_name, const char* function_name, std::initializer_list<const char*> parameters,
              std::size_t required);
    Signature(const char* class_name, const char* function_name, std::vector<const char*> parameters,
              std::size_t required);

    [[nodiscard]] const std::string& display_name() const { return display_name_; }
    [[nodiscard]] std::size_t size() const { return parameters_.size(); }
    [[nodiscard]] const char* parameter(std::size_t i) const { return parameters_[i]; }

    /// Fills `slots` (size() entries, borrowed references, null where the
    /// caller gave nothing) from a fast call. false with TypeError set.
    bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const;
    /// The same from a tuple and an optional dict, for the constructor slot.
    bool bind(PyObject* args, PyObject* kwargs, PyObject** slots) const;

private:
    bool place_keyword(PyObject* name, PyObject* value, PyObject** slots) const;
    bool check_required(PyObject* const* slots) const;
    bool intern_names() const;

    std::string display_name_;
    std::vector<const char*> parameters_;
    std::size_t required_;
    mutable std::vector<PyObject*> interned_;  ///< kept for the life of the process
};

/// The bound arguments of one call, one borrowed reference per parameter.
template <std::size_t N>
struct Bound {
    std::array<PyObject*, N> slots{};
    [[nodiscard]] PyObject* operator[](std::size_t i) const { return slots[i]; }
    [[nodiscard]] bool given(std::size_t i) const { return slots[i] != nullptr; }
};

template <std::size_t N>
bool bind_fast(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
               Bound<N>& bound) {
    return signature.bind(args, nargs, kwnames, bound.slots.data());
}

/// "argument '{name}': {text}" as a TypeError.
void raise_argument_type_error(const char* parameter, const std::string& text);
/// Replaces a pending exception of exactly TypeError with one carrying the
/// argument prefix; any other exception stays as it is.
void prefix_pending_type_error(const char* parameter);
/// "'{type}' object cannot be cast as '{expected}'" under the argument prefix.
void raise_cast_failure(const char* parameter, PyObject* object, const char* expected);

// Scalar conversions. Each returns nothing with the Python exception set.
/// int or __index__, 0 .. 2^64-1 (OverflowError without the prefix otherwise).
std::optional<std::uint64_t> to_unsigned(PyObject* object, const char* parameter);
/// True/False or a NumPy boolean scalar; nothing else, not even 0 or 1.
std::optional<bool> to_flag(PyObject* object, const char* parameter);
/// A str as UTF-8, valid while `object` lives.
std::optional<std::string_view> to_text(PyObject* object, const char* parameter);
/// A sequence (not a str) of unsigned integers.
std::optional<std::vector<std::uint64_t>> to_unsigned_list(PyObject* object, const char* parameter);

/// The argument, or `fallback` when the caller left it out.
template <typename Convert, typename T>
auto convert_or(PyObject* object, const char* parameter, T fallback, Convert convert)
    -> decltype(convert(object, parameter)) {
    if (object == nullptr) {
        return fallback;
    }
    return convert(object, parameter);
}

}  // namespace tarvinex::python_bindings
