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

struct DenseKMeansPayload {
    Model engine;
    BorrowFlag borrow{0};

    explicit DenseKMeansPayload(Model model) : engine(std::move(model)) {}
};

using PyDenseKMeans = Instance<DenseKMeansPayload>;

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature signature(kClassName, "__new__",
                                     {"k", "iterations", "seed", "verbose", "init", "early_stopping", "spherical"}, 1);
    Bound<7> bound;
    if (!signature.bind(args, kwargs, bound.slots.data())) return nullptr;
    const auto k = to_unsigned(bound[0], "k");
    if (!k) return nullptr;
    const auto iterations = convert_or(bound[1], "iterations", kDefaultIterations, to_unsigned);
    if (!iterations) return nullptr;
    const auto seed = convert_or(bound[2], "seed", std::uint64_t{0}, to_unsigned);
    if (!seed) return nullptr;
    const auto verbose = convert_or(bound[3], "verbose", false, to_flag);
    if (!verbose) return nullptr;
    const auto init = convert_or(bound[4], "init", std::string_view("kmeans++"), to_text);
    if (!init) return nullptr;
    const auto early_stopping = convert_or(bound[5], "early_stopping", false, to_flag);
    if (!early_stopping) return nullptr;
    const auto spherical = convert_or(bound[6], "spherical", false, to_flag);
    if (!spherical) return nullptr;
    return value_or_raise(
        Model::create(*k, *iterations, *seed, *verbose, *init, *early_stopping, *spherical), [&](Model built) {
            return reinterpret_cast<PyObject*>(allocate_instance<PyDenseKMeans>(type, std::move(built)));
        });
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
            static_cast<int>(sizeof(PyDenseKMeans)),
            construct_guarded,
            dealloc_instance<PyDenseKMeans>,
            g_methods,
            g_getset,
        };
        type = create_final_class(spec);
    }
    return type;
}

}  // namespace tarvinex::python_bindings
