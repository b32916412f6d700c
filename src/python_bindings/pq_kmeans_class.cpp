/// `_NativePQKMeans(codewords, k, iterations=20, seed=0, verbose=False,
/// lookup_table_bytes=1073741824, rotation=None, init="farthest_first",
/// early_stopping=False, spherical=False)`.

#include "python_bindings/pq_kmeans_class.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "pqkmeans/pqkmeans.hpp"
#include "python_bindings/arguments.hpp"
#include "python_bindings/array_arguments.hpp"
#include "python_bindings/borrow.hpp"
#include "python_bindings/class_object.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/method_helpers.hpp"

namespace tarvinex::python_bindings {
namespace {

constexpr const char* kClassName = "_NativePQKMeans";
constexpr std::uint64_t kDefaultIterations = 20;
constexpr std::uint64_t kDefaultLookupTableBytes = std::uint64_t{1} << 30;

using Model = pqkmeans::PqKMeans;

struct PqKMeansPayload {
    Model engine;
    BorrowFlag borrow{0};

    explicit PqKMeansPayload(Model model) : engine(std::move(model)) {}
};

using PyPqKMeans = Instance<PqKMeansPayload>;

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature signature(kClassName, "__new__",
                                     {"codewords", "k", "iterations", "seed", "verbose", "lookup_table_bytes",
                                      "rotation", "init", "early_stopping", "spherical"},
                                     2);
    Bound<10> bound;
    if (!signature.bind(args, kwargs, bound.slots.data())) {
        return nullptr;
    }
    auto codewords = ArrayArgument<float, 3>::accept(bound[0], "codewords");
    if (!codewords) return nullptr;
    const auto k = to_unsigned(bound[1], "k");
    if (!k) return nullptr;
    const auto iterations = convert_or(bound[2], "iterations", kDefaultIterations, to_unsigned);
    if (!iterations) return nullptr;
    const auto seed = convert_or(bound[3], "seed", std::uint64_t{0}, to_unsigned);
    if (!seed) return nullptr;
    const auto verbose = convert_or(bound[4], "verbose", false, to_flag);
    if (!verbose) return nullptr;
    const auto lookup_table_bytes = convert_or(bound[5], "lookup_table_bytes", kDefaultLookupTableBytes, to_unsigned);
    if (!lookup_table_bytes) return nullptr;
    std::optional<ArrayArgument<float, 2>> rotation;
    if (bound.given(6) && bound[6] != Py_None) {
        rotation = ArrayArgument<float, 2>::accept(bound[6], "rotation");
        if (!rotation) return nullptr;
    }
    const auto init = convert_or(bound[7], "init", std::string_view("farthest_first"), to_text);
    if (!init) return nullptr;
    const auto early_stopping = convert_or(bound[8], "early_stopping", false, to_flag);
    if (!early_stopping) return nullptr;
    const auto spherical = convert_or(bound[9], "spherical", false, to_flag);
    if (!spherical) return nullptr;

    std::optional<array::Codebook<float>> codewords_copy = codewords->copy();
    if (!codewords_copy) return nullptr;
    std::optional<array::Matrix<float>> rotation_copy;
    if (rotation) {
        rotation_copy = rotation->copy();
        if (!rotation_copy) return nullptr;
        rotation.reset();
    }
    const std::optional<pqkmeans::InitMethod> init_method = take_or_raise(pqkmeans::parse_init_method(*init));
    if (!init_method) return nullptr;
    error::Result<Model> model = Model::new_with_options_and_spherical(
        std::move(*codewords_copy), std::move(rotation_copy), *k, *iterations, *seed, *verbose, *lookup_table_bytes,
        *init_method, *early_stopping, *spherical);
    return value_or_raise(std::move(model), [&](Model built) {
        return reinterpret_cast<PyObject*>(allocate_instance<PyPqKMeans>(type, std::move(built)));
    });
}

PyObject* construct_guarded(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded_call([&] { return construct(type, args, kwargs); });
}

PyObject* fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "fit", {"codes"}, 1);
    return with_array<PqKMeansPayload, true, std::uint8_t, 2>(
        signature, self, args, nargs, kwnames,
        [](Model& model, auto codes) { return none_or_raise(model.fit(codes)); });
}

PyObject* predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "predict", {"codes"}, 1);
    return with_array<PqKMeansPayload, false, std::uint8_t, 2>(
        signature, self, args, nargs, kwnames, [](const Model& model, auto codes) {
            return value_or_raise(model.predict(codes),
                                  [](std::vector<std::size_t> labels) { return labels_to_numpy(labels); });
        });
}

PyObject* fit_predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "fit_predict", {"codes"}, 1);
    return with_array<PqKMeansPayload, true, std::uint8_t, 2>(
        signature, self, args, nargs, kwnames, [](Model& model, auto codes) {
            return value_or_raise(model.fit(codes), [&] { return labels_to_numpy(model.labels()); });
        });
}

PyObject* get_cluster_centers(PyObject* self) {
    return read_shared<PqKMeansPayload>(self, [](const Model& model) {
        return stored_or_raise(model.cluster_centers(), "cluster centers are not initialized");
    });
}
PyObject* get_dense_cluster_centers(PyObject* self) {
    return read_shared<PqKMeansPayload>(self, [](const Model& model) {
        return stored_or_raise(model.dense_cluster_centers(), "dense cluster centers are not initialized");
    });
}
PyObject* get_labels(PyObject* self) {
    return read_shared<PqKMeansPayload>(self, [](const Model& model) { return labels_to_numpy(model.labels()); });
}
PyObject* get_inertia_history(PyObject* self) {
    return read_shared<PqKMeansPayload>(self, [](const Model& model) { return to_numpy(model.inertia_history()); });
}
PyObject* get_codewords(PyObject* self) {
    return read_shared<PqKMeansPayload>(self, [](const Model& model) { return to_numpy_copy(model.codewords()); });
}
PyObject* get_k(PyObject* self) {
    return read_shared<PqKMeansPayload>(self, [](const Model& model) { return PyLong_FromSize_t(model.k()); });
}
PyObject* get_iterations(PyObject* self) {
    return read_shared<PqKMeansPayload>(self, [](const Model& model) { return PyLong_FromSize_t(model.iterations()); });
}
PyObject* get_seed(PyObject* self) {
    return read_shared<PqKMeansPayload>(self,
                                        [](const Model& model) { return PyLong_FromUnsignedLongLong(model.seed()); });
}
PyObject* get_verbose(PyObject* self) {
    return read_shared<PqKMeansPayload>(self, [](const Model& model) { return PyBool_FromLong(model.verbose()); });
}
PyObject* get_lookup_table_bytes(PyObject* self) {
    return read_shared<PqKMeansPayload>(
        self, [](const Model& model) { return PyLong_FromSize_t(model.lookup_table_bytes()); });
}

// The ADC and hybrid forms slot in after fit, predict and fit_predict, and
// the two center setters come last; analyze_k_candidates stays second.
PyMethodDef g_methods[] = {
    TARVINEX_METHOD(fit, "fit($self, codes)\n--\n\n"),
    TARVINEX_METHOD(predict, "predict($self, codes)\n--\n\n"),
    TARVINEX_METHOD(fit_predict, "fit_predict($self, codes)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    TARVINEX_GETTER(cluster_centers),
    TARVINEX_GETTER(dense_cluster_centers),
    TARVINEX_GETTER(labels),
    TARVINEX_GETTER(inertia_history),
    TARVINEX_GETTER(codewords),
    TARVINEX_GETTER(k),
    TARVINEX_GETTER(iterations),
    TARVINEX_GETTER(seed),
    TARVINEX_GETTER(verbose),
    TARVINEX_GETTER(lookup_table_bytes),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* pq_kmeans_class() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        static const FinalClassSpec spec{
            "tarvinex._tarvinex._NativePQKMeans",
            "_NativePQKMeans(codewords, k, iterations=20, seed=0, verbose=False, lookup_table_bytes=1073741824, "
            "rotation=None, init=\"farthest_first\", early_stopping=False, spherical=False)\n--\n\n",
            static_cast<int>(sizeof(PyPqKMeans)),
            construct_guarded,
            dealloc_instance<PyPqKMeans>,
            g_methods,
            g_getset,
        };
        type = create_final_class(spec);
    }
    return type;
}

}  // namespace tarvinex::python_bindings
