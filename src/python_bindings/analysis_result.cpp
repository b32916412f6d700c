/// The dictionary `analyze_k_candidates` returns.

#include "python_bindings/analysis_result.hpp"

#include <optional>
#include <string_view>
#include <utility>

#include "python_bindings/array_arguments.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/py_ref.hpp"

namespace tarvinex::python_bindings {
namespace {

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

}  // namespace

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

}  // namespace tarvinex::python_bindings
