/// `_NativeDenseKMeans(k, iterations=20, seed=0, verbose=False,
/// init="kmeans++", early_stopping=False, spherical=False)`.

#include "python_bindings/dense_kmeans_class.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "dense/dense.hpp"
#include "python_bindings/arguments.hpp"
#include "python_bindings/array_arguments.hpp"
#include "python_bindings/borrow.hpp"
#include "python_bindings/class_object.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/method_helpers.hpp"

namespace tarvinex::python_bindings {
namespace {

constexpr const char* kClassName = "_NativeDenseKMeans";
constexpr std::uint64_t kDefaultIterations = 20;

using Model = dense::DenseKMeans;

using DenseKMeansPayload = EnginePayload<Model>;

constexpr ParameterTable kConstructorParameters{
    required("k", to_unsigned),
    defaulted("iterations", to_unsigned, kDefaultIterations),
    defaulted("seed", to_unsigned, std::uint64_t{0}),
    defaulted("verbose", to_flag, false),
    defaulted("init", to_text, std::string_view("kmeans++")),
    defaulted("early_stopping", to_flag, false),
    defaulted("spherical", to_flag, false),
};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature signature = kConstructorParameters.signature(kClassName, "__new__");
    const auto converted = convert_arguments(kConstructorParameters, signature, args, kwargs);
    if (!converted) return nullptr;
    const auto& [k, iterations, seed, verbose, init, early_stopping, spherical] = *converted;
    return instance_or_raise(type, Model::create(k, iterations, seed, verbose, init, early_stopping, spherical));
}

PyObject* construct_guarded(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded_call([&] { return construct(type, args, kwargs); });
}

PyObject* fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "fit", {"data"}, 1);
    return with_array<DenseKMeansPayload, true, float, 2>(
        signature, self, args, nargs, kwnames, [](Model& model, auto data) { return none_or_raise(model.fit(data)); });
}

PyObject* fit_predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "fit_predict", {"data"}, 1);
    return with_array<DenseKMeansPayload, true, float, 2>(
        signature, self, args, nargs, kwnames, [](Model& model, auto data) {
            return value_or_raise(model.fit(data), [&] { return labels_to_numpy(model.labels()); });
        });
}

PyObject* predict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "predict", {"data"}, 1);
    return with_array<DenseKMeansPayload, false, float, 2>(
        signature, self, args, nargs, kwnames, [](const Model& model, auto data) {
            return value_or_raise(model.predict(data),
                                  [](std::vector<std::size_t> labels) { return labels_to_numpy(labels); });
        });
}

PyObject* set_cluster_centers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "set_cluster_centers", {"centers"}, 1);
    return with_array_copy<DenseKMeansPayload, float, 2>(
        signature, self, args, nargs, kwnames, [](Model& model, array::Matrix<float> centers) {
            return none_or_raise(model.set_centers(std::move(centers)));
        });
}

PyObject* get_cluster_centers(PyObject* self) {
    return read_shared<DenseKMeansPayload>(self, [](const Model& model) {
        return stored_or_raise(model.centers(), "cluster centers are not initialized");
    });
}
PyObject* get_labels(PyObject* self) {
    return read_shared<DenseKMeansPayload>(self, [](const Model& model) { return labels_to_numpy(model.labels()); });
}
PyObject* get_inertia_history(PyObject* self) {
    return read_shared<DenseKMeansPayload>(self, [](const Model& model) { return to_numpy(model.inertia_history()); });
}
PyObject* get_k(PyObject* self) {
    return read_shared<DenseKMeansPayload>(self, [](const Model& model) { return PyLong_FromSize_t(model.k()); });
}
PyObject* get_iterations(PyObject* self) {
    return read_shared<DenseKMeansPayload>(self,
                                           [](const Model& model) { return PyLong_FromSize_t(model.iterations()); });
}
PyObject* get_seed(PyObject* self) {
    return read_shared<DenseKMeansPayload>(
        self, [](const Model& model) { return PyLong_FromUnsignedLongLong(model.seed()); });
}
PyObject* get_verbose(PyObject* self) {
    return read_shared<DenseKMeansPayload>(self, [](const Model& model) { return PyBool_FromLong(model.verbose()); });
}
PyObject* get_spherical(PyObject* self) {
    return read_shared<DenseKMeansPayload>(self, [](const Model& model) { return PyBool_FromLong(model.spherical()); });
}

PyMethodDef g_methods[] = {
    TARVINEX_METHOD(fit, "fit($self, data)\n--\n\n"),
    TARVINEX_METHOD(fit_predict, "fit_predict($self, data)\n--\n\n"),
    TARVINEX_METHOD(predict, "predict($self, data)\n--\n\n"),
    TARVINEX_METHOD(set_cluster_centers, "set_cluster_centers($self, centers)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    TARVINEX_GETTER(cluster_centers),
    TARVINEX_GETTER(labels),
    TARVINEX_GETTER(inertia_history),
    TARVINEX_GETTER(k),
    TARVINEX_GETTER(iterations),
    TARVINEX_GETTER(seed),
    TARVINEX_GETTER(verbose),
    TARVINEX_GETTER(spherical),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* dense_kmeans_class() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        static const FinalClassSpec spec{
            "tarvinex._tarvinex._NativeDenseKMeans",
            "_NativeDenseKMeans(k, iterations=20, seed=0, verbose=False, init=\"kmeans++\", early_stopping=False, "
            "spherical=False)\n--\n\n",
            static_cast<int>(sizeof(Instance<DenseKMeansPayload>)),
            construct_guarded,
            dealloc_instance<Instance<DenseKMeansPayload>>,
            g_methods,
            g_getset,
        };
        type = create_final_class(spec);
    }
    return type;
}

}  // namespace tarvinex::python_bindings
