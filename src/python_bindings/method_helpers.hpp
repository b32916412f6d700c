#pragma once
/// The pieces every class method is made of, so that a method body reads as
/// bind, borrow, convert, call, convert back.
///
/// A class's payload (the `Payload` of `Instance<Payload>`) has an `engine`
/// and a `borrow` member. Fit and set methods take the borrow exclusively and
/// get the engine to change; predict methods and getters share the borrow and
/// get the engine read-only. Static methods have neither.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <optional>
#include <tuple>
#include <utility>

#include "array/array.hpp"
#include "error/error.hpp"
#include "python_bindings/arguments.hpp"
#include "python_bindings/array_arguments.hpp"
#include "python_bindings/borrow.hpp"
#include "python_bindings/class_object.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/parameters.hpp"

namespace tarvinex::python_bindings {

/// The payload of every class: its engine and the borrow flag of the object.
template <typename Model>
struct EnginePayload {
    Model engine;
    BorrowFlag borrow{0};

    explicit EnginePayload(Model model) : engine(std::move(model)) {}
};

/// A new instance of `type` over a successfully built model, or null with the
/// engine's error raised.
template <typename Model>
PyObject* instance_or_raise(PyTypeObject* type, error::Result<Model> model) {
    return value_or_raise(std::move(model), [&](Model built) {
        return reinterpret_cast<PyObject*>(allocate_instance<Instance<EnginePayload<Model>>>(type, std::move(built)));
    });
}

template <typename Payload>
auto& engine_of(PyObject* self) {
    return payload_of<Payload>(self).engine;
}

template <typename Payload>
BorrowFlag& borrow_of(PyObject* self) {
    return payload_of<Payload>(self).borrow;
}

/// The borrow a method holds for its call, or nothing with RuntimeError set.
template <typename Payload, bool Exclusive>
std::optional<Borrow> borrow_for_call(PyObject* self) {
    return Exclusive ? Borrow::exclusive(borrow_of<Payload>(self)) : Borrow::shared(borrow_of<Payload>(self));
}

namespace detail {

/// Binds a fast call to a signature of exactly one parameter: `Bound<1>` has
/// room for no more.
inline bool bind_single(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        Bound<1>& bound) {
    TARVINEX_ASSERT(signature.size() == 1, signature.display_name() + " is bound as a one-array method");
    return bind_fast(signature, args, nargs, kwnames, bound);
}

/// Accepts `object` as an array of T with N dimensions, builds its view and
/// runs `call(view)`.
template <typename T, std::size_t N, typename Call>
PyObject* call_with_view(PyObject* object, const char* parameter, Call&& call) {
    const std::optional<ArrayArgument<T, N>> argument = ArrayArgument<T, N>::accept(object, parameter);
    if (!argument) return nullptr;
    const std::optional<array::ArrayView<const T, N>> view = argument->view();
    if (!view) return nullptr;
    return std::forward<Call>(call)(*view);
}

}  // namespace detail

/// A method whose one parameter is an array of T with N dimensions: binds it,
/// takes the borrow, accepts the array, then returns `call(engine, view)`,
/// the engine const unless the borrow is exclusive. The parameter's name is
/// the signature's.
template <typename Payload, bool Exclusive, typename T, std::size_t N, typename Call>
PyObject* with_array(const Signature& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Call&& call) {
    Bound<1> bound;
    if (!detail::bind_single(signature, args, nargs, kwnames, bound)) return nullptr;
    const std::optional<Borrow> borrow = borrow_for_call<Payload, Exclusive>(self);
    if (!borrow) return nullptr;
    auto& engine = engine_of<Payload>(self);
    return detail::call_with_view<T, N>(bound[0], signature.parameter(0), [&](const auto& view) {
        if constexpr (Exclusive) {
            return call(engine, view);
        } else {
            return call(std::as_const(engine), view);
        }
    });
}

/// A setter whose one parameter is an array of T with N dimensions: binds it,
/// takes the exclusive borrow, copies the array by the copy layout rule and
/// returns `call(engine, copy)`, the engine taking the copy over.
template <typename Payload, typename T, std::size_t N, typename Call>
PyObject* with_array_copy(const Signature& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames, Call&& call) {
    Bound<1> bound;
    if (!detail::bind_single(signature, args, nargs, kwnames, bound)) return nullptr;
    const std::optional<Borrow> borrow = borrow_for_call<Payload, true>(self);
    if (!borrow) return nullptr;
    const std::optional<ArrayArgument<T, N>> argument = ArrayArgument<T, N>::accept(bound[0], signature.parameter(0));
    if (!argument) return nullptr;
    std::optional<array::OwnedArray<T, N>> copy = argument->copy();
    if (!copy) return nullptr;
    return std::forward<Call>(call)(engine_of<Payload>(self), std::move(*copy));
}

/// A method of several parameters: binds them by `signature`, takes the
/// borrow, converts every argument by `table` in parameter order, views the
/// arrays, then returns `call(engine, values...)`, the engine const unless
/// the borrow is exclusive.
template <typename Payload, bool Exclusive, typename Table, typename Call>
PyObject* with_arguments(const Table& table, const Signature& signature, PyObject* self, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames, Call&& call) {
    Bound<Table::kSize> bound;
    if (!bind_fast(signature, args, nargs, kwnames, bound)) return nullptr;
    const std::optional<Borrow> borrow = borrow_for_call<Payload, Exclusive>(self);
    if (!borrow) return nullptr;
    const auto converted = table.convert(bound);
    if (!converted) return nullptr;
    const auto viewed = views_of(*converted);
    if (!viewed) return nullptr;
    auto& engine = engine_of<Payload>(self);
    return std::apply(
        [&](const auto&... values) {
            if constexpr (Exclusive) {
                return call(engine, values...);
            } else {
                return call(std::as_const(engine), values...);
            }
        },
        *viewed);
}

/// The converted arguments of a constructor (bound from its tuple and dict)
/// or of a static method; nothing with the first error set.
template <typename Table>
auto convert_arguments(const Table& table, const Signature& signature, PyObject* args, PyObject* kwargs)
    -> decltype(table.convert(std::declval<const Bound<Table::kSize>&>())) {
    Bound<Table::kSize> bound;
    if (!signature.bind(args, kwargs, bound.slots.data())) return std::nullopt;
    return table.convert(bound);
}
template <typename Table>
auto convert_arguments(const Table& table, const Signature& signature, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) -> decltype(table.convert(std::declval<const Bound<Table::kSize>&>())) {
    Bound<Table::kSize> bound;
    if (!bind_fast(signature, args, nargs, kwnames, bound)) return std::nullopt;
    return table.convert(bound);
}

/// The same for a static method: no instance and no borrow; returns `call(view)`.
template <typename T, std::size_t N, typename Call>
PyObject* with_static_array(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                            Call&& call) {
    Bound<1> bound;
    if (!detail::bind_single(signature, args, nargs, kwnames, bound)) return nullptr;
    return detail::call_with_view<T, N>(bound[0], signature.parameter(0), std::forward<Call>(call));
}

/// Returns `read(engine)` for a getter body, with the engine const under a
/// shared borrow.
template <typename Payload, typename Read>
PyObject* read_shared(PyObject* self, Read&& read) {
    const std::optional<Borrow> borrow = borrow_for_call<Payload, false>(self);
    if (!borrow) return nullptr;
    return std::forward<Read>(read)(std::as_const(engine_of<Payload>(self)));
}

/// A fresh copy of an array the engine stores once it has one, or null with a
/// ValueError carrying `missing`.
template <typename T, std::size_t N>
PyObject* stored_or_raise(const std::optional<array::OwnedArray<T, N>>& stored, const char* missing) {
    if (!stored) {
        to_py_err(error::TarvinexError(missing));
        return nullptr;
    }
    return to_numpy_copy(*stored);
}

/// A fast-call method with keywords whose body may throw: a C++ failure
/// becomes the matching Python exception.
template <PyObject* (*Body)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* fast_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_call([&] { return Body(self, args, nargs, kwnames); });
}

/// The same for a static method; Python passes no instance.
template <PyObject* (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
PyObject* fast_static_method(PyObject* /*no instance*/, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded_call([&] { return Body(args, nargs, kwnames); });
}

/// A getter whose body may throw.
template <PyObject* (*Body)(PyObject*)>
PyObject* guarded_getter(PyObject* self, void* /*closure*/) {
    return guarded_call([&] { return Body(self); });
}

namespace detail {

template <typename Function>
PyCFunction as_cfunction(Function function) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace detail

/// Method table entries. `doc` starts with the text signature:
/// "fit($self, codes)\n--\n\n", or "name(arg)\n--\n\n" for a static method.
template <PyObject* (*Body)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*)>
PyMethodDef method_def(const char* name, const char* doc) {
    return {name, detail::as_cfunction(fast_method<Body>), METH_FASTCALL | METH_KEYWORDS, doc};
}

template <PyObject* (*Body)(PyObject* const*, Py_ssize_t, PyObject*)>
PyMethodDef static_method_def(const char* name, const char* doc) {
    return {name, detail::as_cfunction(fast_static_method<Body>), METH_STATIC | METH_FASTCALL | METH_KEYWORDS, doc};
}

/// A read-only property entry.
template <PyObject* (*Body)(PyObject*)>
PyGetSetDef getter_def(const char* name) {
    return {name, guarded_getter<Body>, nullptr, nullptr, nullptr};
}

}  // namespace tarvinex::python_bindings

/// The entries for a method, a static method or a getter named by its body:
/// `fit`, `analyze_k_candidates`, `get_<name>`.
#define TARVINEX_METHOD(name, doc) ::tarvinex::python_bindings::method_def<name>(#name, doc)
#define TARVINEX_STATIC_METHOD(name, doc) ::tarvinex::python_bindings::static_method_def<name>(#name, doc)
#define TARVINEX_GETTER(name) ::tarvinex::python_bindings::getter_def<get_##name>(#name)
