#pragma once
/// A callable's parameters written once, as a table: each entry names the
/// parameter, says how its argument is converted and, unless it is required,
/// what it is when left out. The table gives the callable its `Signature`
/// (names and the count of required ones) and converts the bound arguments in
/// parameter order, stopping at the first error, so every callable raises its
/// conversion errors in one way and one order.
///
/// Array parameters convert to an accepted `ArrayArgument`; `views_of` then
/// turns the accepted arrays into views, in parameter order, only after every
/// argument has been converted (see array_arguments.hpp for why).

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <optional>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

#include "python_bindings/arguments.hpp"
#include "python_bindings/array_arguments.hpp"

namespace tarvinex::python_bindings {

template <typename Convert>
using ConvertedValue = typename std::invoke_result_t<Convert, PyObject*, const char*>::value_type;

/// The fallback of a parameter the caller must give.
struct NoFallback {};

/// The fallback `value`, the same for every call.
template <typename Value>
struct Constant {
    Value value;
    [[nodiscard]] constexpr Value operator()() const { return value; }
};

/// A fallback that is the empty value (an optional array left out).
template <typename Value>
struct Empty {
    [[nodiscard]] Value operator()() const { return Value{}; }
};

/// One parameter: `convert(object, name)` gives an optional value, nothing
/// with the exception set; `fallback()` is the value of a left-out argument,
/// and a parameter with `NoFallback` is required.
template <typename Convert, typename Fallback>
struct Parameter {
    using Value = ConvertedValue<Convert>;
    static constexpr bool kRequired = std::is_same_v<Fallback, NoFallback>;

    const char* name;
    Convert convert;
    Fallback fallback;
};

/// A parameter without a default.
template <typename Convert>
constexpr auto required(const char* name, Convert convert) {
    return Parameter<Convert, NoFallback>{name, convert, {}};
}

/// A parameter that is `fallback` when left out.
template <typename Convert, typename Fallback>
constexpr auto defaulted(const char* name, Convert convert, Fallback fallback) {
    using Value = ConvertedValue<Convert>;
    return Parameter<Convert, Constant<Value>>{name, convert, {Value(fallback)}};
}

/// An array argument of T with N dimensions, accepted (not yet viewed).
template <typename T, std::size_t N>
std::optional<ArrayArgument<T, N>> to_array(PyObject* object, const char* parameter) {
    return ArrayArgument<T, N>::accept(object, parameter);
}

/// An array argument that may also be None: empty then.
template <typename T, std::size_t N>
std::optional<std::optional<ArrayArgument<T, N>>> to_optional_array(PyObject* object, const char* parameter) {
    std::optional<ArrayArgument<T, N>> argument;
    if (!accept_optional(object, parameter, argument)) {
        return std::nullopt;
    }
    return argument;
}

/// An array parameter that may be None or left out.
template <typename T, std::size_t N>
constexpr auto optional_array(const char* name) {
    using Convert = decltype(&to_optional_array<T, N>);
    return Parameter<Convert, Empty<std::optional<ArrayArgument<T, N>>>>{name, &to_optional_array<T, N>, {}};
}

template <typename... Parameters>
class ParameterTable {
public:
    constexpr explicit ParameterTable(Parameters... parameters) : parameters_(parameters...) {}

    static constexpr std::size_t kSize = sizeof...(Parameters);
    using Values = std::tuple<typename Parameters::Value...>;

    /// The callable's signature: the parameters in order, the required ones
    /// first.
    [[nodiscard]] Signature signature(const char* class_name, const char* function_name) const {
        std::vector<const char*> names;
        std::size_t required_count = 0;
        std::apply(
            [&](const auto&... parameter) {
                ((names.push_back(parameter.name), required_count += parameter.kRequired ? 1 : 0), ...);
            },
            parameters_);
        return Signature(class_name, function_name, std::move(names), required_count);
    }

    /// Every bound argument converted, in parameter order; nothing with the
    /// first conversion error set.
    [[nodiscard]] std::optional<Values> convert(const Bound<kSize>& bound) const {
        return convert_from<0>(bound, std::tuple<>{});
    }

private:
    template <std::size_t I, typename... Done>
    std::optional<Values> convert_from(const Bound<kSize>& bound, std::tuple<Done...>&& done) const {
        if constexpr (I == kSize) {
            return Values(std::move(done));
        } else {
            const auto& parameter = std::get<I>(parameters_);
            using Parameter = std::remove_cvref_t<decltype(parameter)>;
            PyObject* object = bound[I];
            std::optional<typename Parameter::Value> value;
            if (object != nullptr) {
                value = parameter.convert(object, parameter.name);
            } else if constexpr (Parameter::kRequired) {
                TARVINEX_ASSERT(false, "binding leaves no required parameter out");
            } else {
                value.emplace(parameter.fallback());
            }
            if (!value) {
                return std::nullopt;
            }
            return convert_from<I + 1>(bound, std::tuple_cat(std::move(done), std::make_tuple(std::move(*value))));
        }
    }

    std::tuple<Parameters...> parameters_;
};

namespace detail {

template <typename T>
struct IsArrayArgument : std::false_type {};
template <typename T, std::size_t N>
struct IsArrayArgument<ArrayArgument<T, N>> : std::true_type {};

/// An accepted array as its view; any other value as it is.
template <typename Value>
auto viewed(const Value& value) {
    if constexpr (IsArrayArgument<Value>::value) {
        return value.view();
    } else {
        return std::optional<Value>(value);
    }
}

}  // namespace detail

/// The converted values with each accepted array replaced by its view, built
/// in parameter order; nothing with the first view's error set.
template <typename... Values>
auto views_of(const std::tuple<Values...>& values) {
    using Viewed = std::tuple<typename decltype(detail::viewed(std::declval<const Values&>()))::value_type...>;
    return [&]<std::size_t... I>(std::index_sequence<I...>)->std::optional<Viewed> {
        std::tuple<decltype(detail::viewed(std::get<I>(values)))...> parts;
        // && stops at the first view that fails, its error set.
        const bool viewed_all = ((std::get<I>(parts) = detail::viewed(std::get<I>(values))).has_value() && ...);
        if (!viewed_all) {
            return std::nullopt;
        }
        return Viewed(std::move(*std::get<I>(parts))...);
    }
    (std::index_sequence_for<Values...>{});
}

}  // namespace tarvinex::python_bindings
