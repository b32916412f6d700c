/// `_NativePQKMeans(codewords, k, iterations=20, seed=0, verbose=False,
/// lookup_table_bytes=1073741824, rotation=None, init="farthest_first",
/// early_stopping=False, spherical=False)`, and its static candidate-k
/// analysis.

#include "python_bindings/pq_kmeans_class.hpp"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "autok/autok.hpp"
#include "pqkmeans/pqkmeans.hpp"
#include "python_bindings/analysis_result.hpp"
#include "python_bindings/arguments.hpp"
#include "python_bindings/array_arguments.hpp"
#include "python_bindings/borrow.hpp"
#include "python_bindings/class_object.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/method_helpers.hpp"
#include "python_bindings/py_ref.hpp"

namespace tarvinex::python_bindings {
namespace {

constexpr const char* kClassName = "_NativePQKMeans";
constexpr std::uint64_t kDefaultIterations = 20;
constexpr std::uint64_t kDefaultLookupTableBytes = std::uint64_t{1} << 30;
constexpr std::uint64_t kDefaultSampleRows = 16384;

using Model = pqkmeans::PqKMeans;

using PqKMeansPayload = EnginePayload<Model>;

// The options a fit runs with: consecutive parameters of the constructor and
// of the analysis, in this order.
constexpr auto kIterations = defaulted("iterations", to_unsigned, kDefaultIterations);
constexpr auto kSeed = defaulted("seed", to_unsigned, std::uint64_t{0});
constexpr auto kVerbose = defaulted("verbose", to_flag, false);
constexpr auto kLookupTableBytes = defaulted("lookup_table_bytes", to_unsigned, kDefaultLookupTableBytes);

constexpr ParameterTable kConstructorParameters{
    required("codewords", to_array<float, 3>),
    required("k", to_unsigned),
    kIterations,
    kSeed,
    kVerbose,
    kLookupTableBytes,
    optional_array<float, 2>("rotation"),
    defaulted("init", to_text, std::string_view("farthest_first")),
    defaulted("early_stopping", to_flag, false),
    defaulted("spherical", to_flag, false),
};

constexpr ParameterTable kAnalysisParameters{
    required("codewords", to_array<float, 3>),
    required("codes", to_array<std::uint8_t, 2>),
    required("candidate_ks", to_unsigned_list),
    kIterations,
    kSeed,
    kVerbose,
    kLookupTableBytes,
    defaulted("sample_rows", to_unsigned, kDefaultSampleRows),
    defaulted("method", to_text, std::string_view("bic")),
};

constexpr ParameterTable kHybridParameters{
    required("codes", to_array<std::uint8_t, 2>),
    required("vectors", to_array<float, 2>),
    required("refine_exact_top_l", to_unsigned),
};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature signature = kConstructorParameters.signature(kClassName, "__new__");
    auto converted = convert_arguments(kConstructorParameters, signature, args, kwargs);
    if (!converted) return nullptr;
    auto& [codewords, k, iterations, seed, verbose, lookup_table_bytes, rotation, init, early_stopping, spherical] =
        *converted;
    std::optional<array::Codebook<float>> codewords_copy = codewords.copy();
    if (!codewords_copy) return nullptr;
    std::optional<std::optional<array::Matrix<float>>> rotation_copy = copy_optional(std::move(rotation));
    if (!rotation_copy) return nullptr;
    const std::optional<pqkmeans::InitMethod> init_method = take_or_raise(pqkmeans::parse_init_method(init));
    if (!init_method) return nullptr;
    return instance_or_raise(type, Model::new_with_options_and_spherical(
                                       std::move(*codewords_copy), std::move(*rotation_copy), k, iterations, seed,
                                       verbose, lookup_table_bytes, *init_method, early_stopping, spherical));
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

PyObject* fit_adc(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "fit_adc", {"codes"}, 1);
    return with_array<PqKMeansPayload, true, std::uint8_t, 2>(
        signature, self, args, nargs, kwnames,
        [](Model& model, auto codes) { return none_or_raise(model.fit_adc(codes)); });
}

PyObject* predict_adc(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "predict_adc", {"codes"}, 1);
    return with_array<PqKMeansPayload, false, std::uint8_t, 2>(
        signature, self, args, nargs, kwnames, [](const Model& model, auto codes) {
            return value_or_raise(model.predict_adc(codes),
                                  [](std::vector<std::size_t> labels) { return labels_to_numpy(labels); });
        });
}

PyObject* fit_predict_adc(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "fit_predict_adc", {"codes"}, 1);
    return with_array<PqKMeansPayload, true, std::uint8_t, 2>(
        signature, self, args, nargs, kwnames, [](Model& model, auto codes) {
            return value_or_raise(model.fit_adc(codes), [&] { return labels_to_numpy(model.labels()); });
        });
}

PyObject* fit_hybrid(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature = kHybridParameters.signature(kClassName, "fit_hybrid");
    return with_arguments<PqKMeansPayload, true>(kHybridParameters, signature, self, args, nargs, kwnames,
                                                 [](Model& model, auto codes, auto vectors, std::uint64_t top_l) {
                                                     return none_or_raise(model.fit_hybrid(codes, vectors, top_l));
                                                 });
}

PyObject* predict_hybrid(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature = kHybridParameters.signature(kClassName, "predict_hybrid");
    return with_arguments<PqKMeansPayload, false>(
        kHybridParameters, signature, self, args, nargs, kwnames,
        [](const Model& model, auto codes, auto vectors, std::uint64_t top_l) {
            return value_or_raise(model.predict_hybrid(codes, vectors, top_l),
                                  [](std::vector<std::size_t> labels) { return labels_to_numpy(labels); });
        });
}

PyObject* fit_predict_hybrid(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature = kHybridParameters.signature(kClassName, "fit_predict_hybrid");
    return with_arguments<PqKMeansPayload, true>(kHybridParameters, signature, self, args, nargs, kwnames,
                                                 [](Model& model, auto codes, auto vectors, std::uint64_t top_l) {
                                                     return value_or_raise(
                                                         model.fit_hybrid(codes, vectors, top_l),
                                                         [&] { return labels_to_numpy(model.labels()); });
                                                 });
}

PyObject* set_cluster_centers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "set_cluster_centers", {"centers"}, 1);
    return with_array_copy<PqKMeansPayload, std::uint8_t, 2>(
        signature, self, args, nargs, kwnames, [](Model& model, array::Matrix<std::uint8_t> centers) {
            return none_or_raise(model.set_cluster_centers(std::move(centers)));
        });
}

PyObject* set_dense_cluster_centers(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "set_dense_cluster_centers", {"centers"}, 1);
    return with_array_copy<PqKMeansPayload, float, 2>(
        signature, self, args, nargs, kwnames, [](Model& model, array::Matrix<float> centers) {
            return none_or_raise(model.set_dense_cluster_centers(std::move(centers)));
        });
}

PyObject* analyze_k_candidates(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature = kAnalysisParameters.signature(kClassName, "analyze_k_candidates");
    const auto converted = convert_arguments(kAnalysisParameters, signature, args, nargs, kwnames);
    if (!converted) return nullptr;
    const auto& [codewords, codes, candidate_ks, iterations, seed, verbose, lookup_table_bytes, sample_rows,
                 method_text] = *converted;
    std::optional<array::Codebook<float>> codewords_copy = codewords.copy();
    if (!codewords_copy) return nullptr;
    const std::optional<array::MatrixView<const std::uint8_t>> codes_view = codes.view();
    if (!codes_view) return nullptr;
    std::optional<autok::AutoKAnalysis> analysis =
        take_or_raise(autok::analyze_k_candidates(std::move(*codewords_copy), *codes_view, candidate_ks, iterations,
                                                  seed, verbose, lookup_table_bytes, sample_rows));
    if (!analysis) return nullptr;
    // Parsed only now: a misspelt method costs the whole analysis, and its
    // verbose lines are already out when the error comes.
    const std::optional<autok::AutoKMethod> method = take_or_raise(autok::parse_method(method_text));
    if (!method) return nullptr;
    return analysis_to_dict(std::move(*analysis), *method);
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

// The documented method order: each training, prediction and fit-predict
// method is followed by its ADC and hybrid forms, the analysis follows the
// fits, and the two center setters come last.
PyMethodDef g_methods[] = {
    TARVINEX_METHOD(fit, "fit($self, codes)\n--\n\n"),
    TARVINEX_METHOD(fit_adc, "fit_adc($self, codes)\n--\n\n"),
    TARVINEX_METHOD(fit_hybrid, "fit_hybrid($self, codes, vectors, refine_exact_top_l)\n--\n\n"),
    TARVINEX_STATIC_METHOD(analyze_k_candidates,
                           "analyze_k_candidates(codewords, codes, candidate_ks, iterations=20, seed=0, verbose=False, "
                           "lookup_table_bytes=1073741824, sample_rows=16384, method=\"bic\")\n--\n\n"),
    TARVINEX_METHOD(predict, "predict($self, codes)\n--\n\n"),
    TARVINEX_METHOD(predict_adc, "predict_adc($self, codes)\n--\n\n"),
    TARVINEX_METHOD(predict_hybrid, "predict_hybrid($self, codes, vectors, refine_exact_top_l)\n--\n\n"),
    TARVINEX_METHOD(fit_predict, "fit_predict($self, codes)\n--\n\n"),
    TARVINEX_METHOD(fit_predict_adc, "fit_predict_adc($self, codes)\n--\n\n"),
    TARVINEX_METHOD(fit_predict_hybrid, "fit_predict_hybrid($self, codes, vectors, refine_exact_top_l)\n--\n\n"),
    TARVINEX_METHOD(set_cluster_centers, "set_cluster_centers($self, centers)\n--\n\n"),
    TARVINEX_METHOD(set_dense_cluster_centers, "set_dense_cluster_centers($self, centers)\n--\n\n"),
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
            static_cast<int>(sizeof(Instance<PqKMeansPayload>)),
            construct_guarded,
            dealloc_instance<Instance<PqKMeansPayload>>,
            g_methods,
            g_getset,
        };
        type = create_final_class(spec);
    }
    return type;
}

}  // namespace tarvinex::python_bindings
