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

struct PqKMeansPayload {
    Model engine;
    BorrowFlag borrow{0};

    explicit PqKMeansPayload(Model model) : engine(std::move(model)) {}
};

using PyPqKMeans = Instance<PqKMeansPayload>;

/// The options a fit runs with, shared by the constructor and the analysis,
/// where they are consecutive parameters in this order.
struct RunOptions {
    std::uint64_t iterations = kDefaultIterations;
    std::uint64_t seed = 0;
    bool verbose = false;
    std::uint64_t lookup_table_bytes = kDefaultLookupTableBytes;
};

/// The run options from the four bound slots starting at `slots`, or nothing
/// with the first conversion error set.
std::optional<RunOptions> convert_run_options(PyObject* const* slots) {
    const RunOptions defaults;
    const auto iterations = convert_or(slots[0], "iterations", defaults.iterations, to_unsigned);
    if (!iterations) return std::nullopt;
    const auto seed = convert_or(slots[1], "seed", defaults.seed, to_unsigned);
    if (!seed) return std::nullopt;
    const auto verbose = convert_or(slots[2], "verbose", defaults.verbose, to_flag);
    if (!verbose) return std::nullopt;
    const auto lookup_table_bytes =
        convert_or(slots[3], "lookup_table_bytes", defaults.lookup_table_bytes, to_unsigned);
    if (!lookup_table_bytes) return std::nullopt;
    return RunOptions{*iterations, *seed, *verbose, *lookup_table_bytes};
}

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
    const std::optional<RunOptions> run = convert_run_options(bound.slots.data() + 2);
    if (!run) return nullptr;
    std::optional<ArrayArgument<float, 2>> rotation;
    if (!accept_optional(bound[6], "rotation", rotation)) return nullptr;
    const auto init = convert_or(bound[7], "init", std::string_view("farthest_first"), to_text);
    if (!init) return nullptr;
    const auto early_stopping = convert_or(bound[8], "early_stopping", false, to_flag);
    if (!early_stopping) return nullptr;
    const auto spherical = convert_or(bound[9], "spherical", false, to_flag);
    if (!spherical) return nullptr;

    std::optional<array::Codebook<float>> codewords_copy = codewords->copy();
    if (!codewords_copy) return nullptr;
    std::optional<std::optional<array::Matrix<float>>> rotation_copy = copy_optional(std::move(rotation));
    if (!rotation_copy) return nullptr;
    const std::optional<pqkmeans::InitMethod> init_method = take_or_raise(pqkmeans::parse_init_method(*init));
    if (!init_method) return nullptr;
    error::Result<Model> model = Model::new_with_options_and_spherical(
        std::move(*codewords_copy), std::move(*rotation_copy), *k, run->iterations, run->seed, run->verbose,
        run->lookup_table_bytes, *init_method, *early_stopping, *spherical);
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

/// The hybrid methods' road: bind (codes, vectors, refine_exact_top_l), take
/// the borrow, view both arrays and convert the count in signature order,
/// then call(model, codes, vectors, refine_exact_top_l).
template <bool Exclusive, typename Call>
PyObject* with_hybrid_arguments(const Signature& signature, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames, Call&& call) {
    Bound<3> bound;
    if (!bind_fast(signature, args, nargs, kwnames, bound)) return nullptr;
    const std::optional<Borrow> borrow = borrow_for_call<PqKMeansPayload, Exclusive>(self);
    if (!borrow) return nullptr;
    const auto codes = ArrayArgument<std::uint8_t, 2>::accept(bound[0], "codes");
    if (!codes) return nullptr;
    const auto vectors = ArrayArgument<float, 2>::accept(bound[1], "vectors");
    if (!vectors) return nullptr;
    const auto refine_exact_top_l = to_unsigned(bound[2], "refine_exact_top_l");
    if (!refine_exact_top_l) return nullptr;
    const auto codes_view = codes->view();
    if (!codes_view) return nullptr;
    const auto vectors_view = vectors->view();
    if (!vectors_view) return nullptr;
    return call(engine_of<PqKMeansPayload>(self), *codes_view, *vectors_view,
                static_cast<std::size_t>(*refine_exact_top_l));
}

PyObject* fit_hybrid(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "fit_hybrid", {"codes", "vectors", "refine_exact_top_l"}, 3);
    return with_hybrid_arguments<true>(signature, self, args, nargs, kwnames,
                                       [](Model& model, auto codes, auto vectors, std::size_t top_l) {
                                           return none_or_raise(model.fit_hybrid(codes, vectors, top_l));
                                       });
}

PyObject* predict_hybrid(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "predict_hybrid", {"codes", "vectors", "refine_exact_top_l"}, 3);
    return with_hybrid_arguments<false>(
        signature, self, args, nargs, kwnames, [](const Model& model, auto codes, auto vectors, std::size_t top_l) {
            return value_or_raise(model.predict_hybrid(codes, vectors, top_l),
                                  [](std::vector<std::size_t> labels) { return labels_to_numpy(labels); });
        });
}

PyObject* fit_predict_hybrid(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "fit_predict_hybrid", {"codes", "vectors", "refine_exact_top_l"}, 3);
    return with_hybrid_arguments<true>(signature, self, args, nargs, kwnames,
                                       [](Model& model, auto codes, auto vectors, std::size_t top_l) {
                                           return value_or_raise(model.fit_hybrid(codes, vectors, top_l),
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

PyRef text_object(std::string_view text) {
    return PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

/// Stores `value` (a new reference, null after a failed conversion) under
/// `key`; false with the exception set.
bool set_item(PyObject* dict, std::string_view key, PyRef value) {
    if (!value) return false;
    const PyRef key_object = text_object(key);
    return key_object && PyDict_SetItem(dict, key_object.get(), value.get()) == 0;
}

/// The analysis as `analyze_k_candidates` returns it: its lists as new 1-D
/// arrays (candidates and cluster sizes narrowed to uint32 like labels), the
/// choice of `method`, and the k every rule picks.
PyObject* analysis_to_dict(autok::AutoKAnalysis analysis, autok::AutoKMethod method) {
    const std::optional<autok::AutoKSelection> selection = take_or_raise(analysis.select(method));
    if (!selection) return nullptr;
    const PyRef by_method = PyRef::steal(PyDict_New());
    if (!by_method) return nullptr;
    for (const autok::AutoKMethod rule : autok::kAllMethods) {
        const std::optional<autok::AutoKSelection> picked = take_or_raise(analysis.select(rule));
        if (!picked ||
            !set_item(by_method.get(), autok::method_name(rule), PyRef::steal(PyLong_FromSize_t(picked->selected_k)))) {
            return nullptr;
        }
    }
    PyRef dict = PyRef::steal(PyDict_New());
    PyObject* out = dict.get();
    const bool filled =
        out && set_item(out, "candidate_ks", PyRef::steal(labels_to_numpy(analysis.candidate_ks))) &&
        set_item(out, "inertia", PyRef::steal(to_numpy(std::move(analysis.inertia)))) &&
        set_item(out, "bic", PyRef::steal(to_numpy(std::move(analysis.bic)))) &&
        set_item(out, "davies_bouldin", PyRef::steal(to_numpy(std::move(analysis.davies_bouldin)))) &&
        set_item(out, "centroid_silhouette", PyRef::steal(to_numpy(std::move(analysis.centroid_silhouette)))) &&
        set_item(out, "elbow", PyRef::steal(to_numpy(std::move(analysis.elbow)))) &&
        set_item(out, "min_cluster_size", PyRef::steal(labels_to_numpy(analysis.min_cluster_size))) &&
        set_item(out, "max_cluster_size", PyRef::steal(labels_to_numpy(analysis.max_cluster_size))) &&
        set_item(out, "sample_size", PyRef::steal(PyLong_FromSize_t(analysis.sample_size))) &&
        set_item(out, "selected_method", text_object(autok::method_name(selection->selected_method))) &&
        set_item(out, "selected_index", PyRef::steal(PyLong_FromSize_t(selection->selected_index))) &&
        set_item(out, "selected_k", PyRef::steal(PyLong_FromSize_t(selection->selected_k))) &&
        set_item(out, "selected_by_method", PyRef::borrow(by_method.get()));
    return filled ? dict.release() : nullptr;
}

PyObject* analyze_k_candidates(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "analyze_k_candidates",
                                     {"codewords", "codes", "candidate_ks", "iterations", "seed", "verbose",
                                      "lookup_table_bytes", "sample_rows", "method"},
                                     3);
    Bound<9> bound;
    if (!bind_fast(signature, args, nargs, kwnames, bound)) return nullptr;
    const auto codewords = ArrayArgument<float, 3>::accept(bound[0], "codewords");
    if (!codewords) return nullptr;
    const auto codes = ArrayArgument<std::uint8_t, 2>::accept(bound[1], "codes");
    if (!codes) return nullptr;
    const auto candidate_ks = to_unsigned_list(bound[2], "candidate_ks");
    if (!candidate_ks) return nullptr;
    const std::optional<RunOptions> run = convert_run_options(bound.slots.data() + 3);
    if (!run) return nullptr;
    const auto sample_rows = convert_or(bound[7], "sample_rows", kDefaultSampleRows, to_unsigned);
    if (!sample_rows) return nullptr;
    const auto method_text = convert_or(bound[8], "method", std::string_view("bic"), to_text);
    if (!method_text) return nullptr;

    std::optional<array::Codebook<float>> codewords_copy = codewords->copy();
    if (!codewords_copy) return nullptr;
    const std::optional<array::MatrixView<const std::uint8_t>> codes_view = codes->view();
    if (!codes_view) return nullptr;
    std::optional<autok::AutoKAnalysis> analysis = take_or_raise(
        autok::analyze_k_candidates(std::move(*codewords_copy), *codes_view, *candidate_ks, run->iterations, run->seed,
                                    run->verbose, run->lookup_table_bytes, *sample_rows));
    if (!analysis) return nullptr;
    // Parsed only now: a misspelt method costs the whole analysis, and its
    // verbose lines are already out when the error comes.
    const std::optional<autok::AutoKMethod> method = take_or_raise(autok::parse_method(*method_text));
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
