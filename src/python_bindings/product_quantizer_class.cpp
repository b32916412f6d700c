/// `_NativeProductQuantizer(num_subquantizers, codebook_size=256,
/// iterations=20, seed=0, opq_iterations=0)`, and its static constructor from
/// given codebooks.

#include "python_bindings/product_quantizer_class.hpp"

#include <cstdint>
#include <optional>
#include <utility>

#include "pq/pq.hpp"
#include "python_bindings/arguments.hpp"
#include "python_bindings/array_arguments.hpp"
#include "python_bindings/borrow.hpp"
#include "python_bindings/class_object.hpp"
#include "python_bindings/errors.hpp"
#include "python_bindings/method_helpers.hpp"

namespace tarvinex::python_bindings {
namespace {

constexpr const char* kClassName = "_NativeProductQuantizer";
constexpr std::uint64_t kDefaultCodebookSize = 256;
constexpr const char* kNotFitted = "product quantizer has not been fitted";

using Model = pq::ProductQuantizer;

using ProductQuantizerPayload = EnginePayload<Model>;

/// The training options, the last three parameters of both the constructor
/// and `from_codewords`, in this order.
constexpr auto kIterations = defaulted("iterations", to_unsigned, std::uint64_t{20});
constexpr auto kSeed = defaulted("seed", to_unsigned, std::uint64_t{0});
constexpr auto kOpqIterations = defaulted("opq_iterations", to_unsigned, std::uint64_t{0});

constexpr ParameterTable kConstructorParameters{
    required("num_subquantizers", to_unsigned),
    defaulted("codebook_size", to_unsigned, kDefaultCodebookSize),
    kIterations,
    kSeed,
    kOpqIterations,
};

constexpr ParameterTable kFromCodewordsParameters{
    required("codewords", to_array<float, 3>), optional_array<float, 2>("rotation"), kIterations, kSeed, kOpqIterations,
};

constexpr ParameterTable kFitWeightedParameters{
    required("data", to_array<float, 2>),
    required("sample_weight", to_array<float, 1>),
};

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature signature = kConstructorParameters.signature(kClassName, "__new__");
    const auto converted = convert_arguments(kConstructorParameters, signature, args, kwargs);
    if (!converted) return nullptr;
    const auto& [num_subquantizers, codebook_size, iterations, seed, opq_iterations] = *converted;
    return instance_or_raise(type, Model::create(num_subquantizers, codebook_size, iterations, seed, opq_iterations));
}

PyObject* construct_guarded(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded_call([&] { return construct(type, args, kwargs); });
}

PyObject* from_codewords(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature = kFromCodewordsParameters.signature(kClassName, "from_codewords");
    auto converted = convert_arguments(kFromCodewordsParameters, signature, args, nargs, kwnames);
    if (!converted) return nullptr;
    auto& [codewords, rotation, iterations, seed, opq_iterations] = *converted;
    std::optional<array::Codebook<float>> codewords_copy = codewords.copy();
    if (!codewords_copy) return nullptr;
    std::optional<std::optional<array::Matrix<float>>> rotation_copy = copy_optional(std::move(rotation));
    if (!rotation_copy) return nullptr;
    // Whichever way it was called, the result is of exactly this class.
    auto* type = reinterpret_cast<PyTypeObject*>(product_quantizer_class());
    if (type == nullptr) return nullptr;
    return instance_or_raise(type, Model::from_codewords(std::move(*codewords_copy), std::move(*rotation_copy),
                                                         iterations, seed, opq_iterations));
}

PyObject* fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "fit", {"data"}, 1);
    return with_array<ProductQuantizerPayload, true, float, 2>(
        signature, self, args, nargs, kwnames,
        [](Model& model, auto data) { return none_or_raise(model.fit_impl(data, std::nullopt)); });
}

PyObject* fit_weighted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature = kFitWeightedParameters.signature(kClassName, "fit_weighted");
    return with_arguments<ProductQuantizerPayload, true>(
        kFitWeightedParameters, signature, self, args, nargs, kwnames, [](Model& model, auto data, auto sample_weight) {
            return none_or_raise(model.fit_weighted(data, sample_weight));
        });
}

PyObject* encode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "encode", {"data"}, 1);
    return with_array<ProductQuantizerPayload, false, float, 2>(
        signature, self, args, nargs, kwnames, [](const Model& model, auto data) {
            return value_or_raise(model.encode(data),
                                  [](array::Matrix<std::uint8_t> codes) { return to_numpy(std::move(codes)); });
        });
}

PyObject* decode(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "decode", {"codes"}, 1);
    return with_array<ProductQuantizerPayload, false, std::uint8_t, 2>(
        signature, self, args, nargs, kwnames, [](const Model& model, auto codes) {
            return value_or_raise(model.decode(codes),
                                  [](array::Matrix<float> rows) { return to_numpy(std::move(rows)); });
        });
}

PyObject* get_codewords(PyObject* self) {
    return read_shared<ProductQuantizerPayload>(
        self, [](const Model& model) { return stored_or_raise(model.codewords(), kNotFitted); });
}
PyObject* get_num_subquantizers(PyObject* self) {
    return read_shared<ProductQuantizerPayload>(
        self, [](const Model& model) { return PyLong_FromSize_t(model.num_subquantizers()); });
}
PyObject* get_codebook_size(PyObject* self) {
    return read_shared<ProductQuantizerPayload>(
        self, [](const Model& model) { return PyLong_FromSize_t(model.codebook_size()); });
}
PyObject* get_iterations(PyObject* self) {
    return read_shared<ProductQuantizerPayload>(
        self, [](const Model& model) { return PyLong_FromSize_t(model.iterations()); });
}
PyObject* get_seed(PyObject* self) {
    return read_shared<ProductQuantizerPayload>(
        self, [](const Model& model) { return PyLong_FromUnsignedLongLong(model.seed()); });
}
PyObject* get_opq_iterations(PyObject* self) {
    return read_shared<ProductQuantizerPayload>(
        self, [](const Model& model) { return PyLong_FromSize_t(model.opq_iterations()); });
}
PyObject* get_subdim(PyObject* self) {
    return read_shared<ProductQuantizerPayload>(self, [](const Model& model) -> PyObject* {
        if (!model.subdim()) {
            to_py_err(error::TarvinexError(kNotFitted));
            return nullptr;
        }
        return PyLong_FromSize_t(*model.subdim());
    });
}
PyObject* get_rotation(PyObject* self) {
    return read_shared<ProductQuantizerPayload>(self, [](const Model& model) -> PyObject* {
        if (!model.rotation()) Py_RETURN_NONE;
        return to_numpy_copy(*model.rotation());
    });
}

PyMethodDef g_methods[] = {
    TARVINEX_STATIC_METHOD(from_codewords,
                           "from_codewords(codewords, rotation=None, iterations=20, seed=0, opq_iterations=0)\n--\n\n"),
    TARVINEX_METHOD(fit, "fit($self, data)\n--\n\n"),
    TARVINEX_METHOD(fit_weighted, "fit_weighted($self, data, sample_weight)\n--\n\n"),
    TARVINEX_METHOD(encode, "encode($self, data)\n--\n\n"),
    TARVINEX_METHOD(decode, "decode($self, codes)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_getset[] = {
    TARVINEX_GETTER(codewords),
    TARVINEX_GETTER(num_subquantizers),
    TARVINEX_GETTER(codebook_size),
    TARVINEX_GETTER(iterations),
    TARVINEX_GETTER(seed),
    TARVINEX_GETTER(opq_iterations),
    TARVINEX_GETTER(subdim),
    TARVINEX_GETTER(rotation),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyObject* product_quantizer_class() {
    static PyObject* type = nullptr;
    if (type == nullptr) {
        static const FinalClassSpec spec{
            "tarvinex._tarvinex._NativeProductQuantizer",
            "_NativeProductQuantizer(num_subquantizers, codebook_size=256, iterations=20, seed=0, "
            "opq_iterations=0)\n--\n\n",
            static_cast<int>(sizeof(Instance<ProductQuantizerPayload>)),
            construct_guarded,
            dealloc_instance<Instance<ProductQuantizerPayload>>,
            g_methods,
            g_getset,
        };
        type = create_final_class(spec);
    }
    return type;
}

}  // namespace tarvinex::python_bindings
