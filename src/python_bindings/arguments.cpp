#include "python_bindings/arguments.hpp"

#include <algorithm>
#include <utility>

#include "python_bindings/numpy_bridge.hpp"
#include "python_bindings/py_ref.hpp"

namespace tarvinex::python_bindings {
namespace {

/// A sequence length taken from an object's own __len__ only reserves room up
/// to this many items; the rest grows as items arrive.
constexpr Py_ssize_t kMaxReservedItems = 1 << 16;

std::string type_qualified_name(PyObject* object) {
    PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(object)));
    const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
    if (text == nullptr) {
        PyErr_Clear();
        return Py_TYPE(object)->tp_name;
    }
    return text;
}

/// 'a', 'a' and 'b', 'a', 'b', and 'c'
std::string join_quoted(const std::vector<const char*>& names) {
    std::string out;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            out += names.size() > 2 ? ", " : " ";
            if (i + 1 == names.size()) {
                out += "and ";
            }
        }
        out.append("'").append(names[i]).append("'");
    }
    return out;
}

}  // namespace

Signature::Signature(const char* class_name, const char* function_name, std::initializer_list<const char*> parameters,
                     std::size_t required)
    : Signature(class_name, function_name, std::vector<const char*>(parameters), required) {}

Signature::Signature(const char* class_name, const char* function_name, std::vector<const char*> parameters,
                     std::size_t required)
    : display_name_(std::string(class_name) + "." + function_name + "()"),
      parameters_(std::move(parameters)),
      required_(required) {}

bool Signature::intern_names() const {
    if (!interned_.empty()) {
        return true;
    }
    std::vector<PyObject*> names;
    for (const char* parameter : parameters_) {
        PyObject* name = PyUnicode_InternFromString(parameter);
        if (name == nullptr) {
            for (PyObject* made : names) {
                Py_DECREF(made);
            }
            return false;
        }
        names.push_back(name);
    }
    interned_ = std::move(names);
    return true;
}

bool Signature::place_keyword(PyObject* name, PyObject* value, PyObject** slots) const {
    std::size_t index = parameters_.size();
    for (std::size_t i = 0; i < interned_.size() && index == parameters_.size(); ++i) {
        if (name == interned_[i]) {
            index = i;
        }
    }
    for (std::size_t i = 0; i < interned_.size() && index == parameters_.size(); ++i) {
        const int equal = PyUnicode_Check(name) ? PyUnicode_Compare(name, interned_[i]) : -1;
        if (equal == -1 && PyErr_Occurred()) {
            return false;
        }
        if (equal == 0) {
            index = i;
        }
    }
    if (index == parameters_.size()) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'", display_name_.c_str(), name);
        return false;
    }
    if (slots[index] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", display_name_.c_str(),
                     parameters_[index]);
        return false;
    }
    slots[index] = value;
    return true;
}

bool Signature::check_required(PyObject* const* slots) const {
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < required_; ++i) {
        if (slots[i] == nullptr) {
            missing.push_back(parameters_[i]);
        }
    }
    if (missing.empty()) {
        return true;
    }
    const std::string message = display_name_ + " missing " + std::to_string(missing.size()) + " required positional " +
                                (missing.size() == 1 ? "argument" : "arguments") + ": " + join_quoted(missing);
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return false;
}

bool Signature::bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** slots) const {
    if (!intern_names()) {
        return false;
    }
    std::fill(slots, slots + parameters_.size(), nullptr);
    const auto given = static_cast<std::size_t>(nargs);
    if (given > parameters_.size()) {
        const char* verb = given == 1 ? "was" : "were";
        if (required_ == parameters_.size()) {
            PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zu %s given", display_name_.c_str(),
                         parameters_.size(), given, verb);
        } else {
            PyErr_Format(PyExc_TypeError, "%s takes from %zu to %zu positional arguments but %zu %s given",
                         display_name_.c_str(), required_, parameters_.size(), given, verb);
        }
        return false;
    }
    std::copy(args, args + nargs, slots);
    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        if (!place_keyword(PyTuple_GET_ITEM(kwnames, i), args[nargs + i], slots)) {
            return false;
        }
    }
    return check_required(slots);
}

bool Signature::bind(PyObject* args, PyObject* kwargs, PyObject** slots) const {
    // Lay the call out as a fast call: positional values, then keyword values
    // in the caller's order, with their names in a tuple.
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    std::vector<PyObject*> values(static_cast<std::size_t>(nargs));
    for (Py_ssize_t i = 0; i < nargs; ++i) {
        values[static_cast<std::size_t>(i)] = PyTuple_GET_ITEM(args, i);
    }
    PyRef names;
    if (kwargs != nullptr && PyDict_GET_SIZE(kwargs) > 0) {
        names = PyRef::steal(PyTuple_New(PyDict_GET_SIZE(kwargs)));
        if (!names) {
            return false;
        }
        Py_ssize_t position = 0;
        Py_ssize_t index = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &key, &value)) {
            PyTuple_SET_ITEM(names.get(), index++, Py_NewRef(key));
            values.push_back(value);
        }
    }
    return bind(values.data(), nargs, names.get(), slots);
}

void raise_argument_type_error(const char* parameter, const std::string& text) {
    const std::string message = std::string("argument '") + parameter + "': " + text;
    PyErr_SetString(PyExc_TypeError, message.c_str());
}

void prefix_pending_type_error(const char* parameter) {
    PyObject* pending = PyErr_GetRaisedException();
    if (pending == nullptr) {
        return;
    }
    if (Py_TYPE(pending) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(pending);
        return;
    }
    PyRef text = PyRef::steal(PyObject_Str(pending));
    Py_DECREF(pending);
    const char* utf8 = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (utf8 == nullptr) {
        return;  // the failure to format it is the pending error now
    }
    raise_argument_type_error(parameter, utf8);
}

void raise_cast_failure(const char* parameter, PyObject* object, const char* expected) {
    std::string text = "'";
    text.append(type_qualified_name(object)).append("' object cannot be cast as '").append(expected).append("'");
    raise_argument_type_error(parameter, text);
}

std::optional<std::uint64_t> to_unsigned(PyObject* object, const char* parameter) {
    PyRef integer;
    if (PyLong_Check(object)) {
        integer = PyRef::borrow(object);
    } else {
        integer = PyRef::steal(PyNumber_Index(object));
        if (!integer) {
            prefix_pending_type_error(parameter);
            return std::nullopt;
        }
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(integer.get());
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_pending_type_error(parameter);  // OverflowError passes through as it is
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(value);
}

std::optional<bool> to_flag(PyObject* object, const char* parameter) {
    if (object == Py_True || object == Py_False) {
        return object == Py_True;
    }
    if (numpy::is_bool_scalar(object)) {
        const int truth = PyObject_IsTrue(object);
        if (truth < 0) {
            return std::nullopt;
        }
        return truth == 1;
    }
    raise_cast_failure(parameter, object, "bool");
    return std::nullopt;
}

std::optional<std::string_view> to_text(PyObject* object, const char* parameter) {
    if (!PyUnicode_Check(object)) {
        raise_cast_failure(parameter, object, "str");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(object, &size);
    if (utf8 == nullptr) {
        return std::nullopt;  // UnicodeEncodeError, without the prefix
    }
    return std::string_view(utf8, static_cast<std::size_t>(size));
}

std::optional<std::vector<std::uint64_t>> to_unsigned_list(PyObject* object, const char* parameter) {
    if (PyUnicode_Check(object)) {
        raise_argument_type_error(parameter, "Can't extract `str` to `Vec`");
        return std::nullopt;
    }
    if (!PySequence_Check(object)) {
        raise_cast_failure(parameter, object, "Sequence");
        return std::nullopt;
    }
    std::vector<std::uint64_t> values;
    const Py_ssize_t length = PySequence_Size(object);
    if (length < 0) {
        PyErr_Clear();
    } else {
        values.reserve(static_cast<std::size_t>(std::min(length, kMaxReservedItems)));
    }
    PyRef iterator = PyRef::steal(PyObject_GetIter(object));
    if (!iterator) {
        prefix_pending_type_error(parameter);
        return std::nullopt;
    }
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        const std::optional<std::uint64_t> value = to_unsigned(item.get(), parameter);
        if (!value) {
            return std::nullopt;
        }
        values.push_back(*value);
    }
    if (PyErr_Occurred()) {
        prefix_pending_type_error(parameter);
        return std::nullopt;
    }
    return values;
}

}  // namespace tarvinex::python_bindings
