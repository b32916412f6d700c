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

struct ProductQuantizerPayload {
    Model engine;
    BorrowFlag borrow{0};

    explicit ProductQuantizerPayload(Model model) : engine(std::move(model)) {}
};

using PyProductQuantizer = Instance<ProductQuantizerPayload>;

/// The training options, the last three parameters of both the constructor
/// and `from_codewords`, in this order.
struct TrainingOptions {
    std::uint64_t iterations = 20;
    std::uint64_t seed = 0;
    std::uint64_t opq_iterations = 0;
};

/// The options from the three bound slots starting at `slots`, or nothing with
/// the first conversion error set.
std::optional<TrainingOptions> convert_training_options(PyObject* const* slots) {
    const TrainingOptions defaults;
    const auto iterations = convert_or(slots[0], "iterations", defaults.iterations, to_unsigned);
    if (!iterations) return std::nullopt;
    const auto seed = convert_or(slots[1], "seed", defaults.seed, to_unsigned);
    if (!seed) return std::nullopt;
    const auto opq_iterations = convert_or(slots[2], "opq_iterations", defaults.opq_iterations, to_unsigned);
    if (!opq_iterations) return std::nullopt;
    return TrainingOptions{*iterations, *seed, *opq_iterations};
}

/// A new instance of `type` over a successfully built model.
PyObject* instance_or_raise(PyTypeObject* type, error::Result<Model> model) {
    return value_or_raise(std::move(model), [&](Model built) {
        return reinterpret_cast<PyObject*>(allocate_instance<PyProductQuantizer>(type, std::move(built)));
    });
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const Signature signature(kClassName, "__new__",
                                     {"num_subquantizers", "codebook_size", "iterations", "seed", "opq_iterations"}, 1);
    Bound<5> bound;
    if (!signature.bind(args, kwargs, bound.slots.data())) return nullptr;
    const auto num_subquantizers = to_unsigned(bound[0], "num_subquantizers");
    if (!num_subquantizers) return nullptr;
    const auto codebook_size = convert_or(bound[1], "codebook_size", kDefaultCodebookSize, to_unsigned);
    if (!codebook_size) return nullptr;
    const std::optional<TrainingOptions> training = convert_training_options(bound.slots.data() + 2);
    if (!training) return nullptr;
    return instance_or_raise(type, Model::create(*num_subquantizers, *codebook_size, training->iterations,
                                                 training->seed, training->opq_iterations));
}

PyObject* construct_guarded(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded_call([&] { return construct(type, args, kwargs); });
}

PyObject* from_codewords(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "from_codewords",
                                     {"codewords", "rotation", "iterations", "seed", "opq_iterations"}, 1);
    Bound<5> bound;
    if (!bind_fast(signature, args, nargs, kwnames, bound)) return nullptr;
    const auto codewords = ArrayArgument<float, 3>::accept(bound[0], "codewords");
    if (!codewords) return nullptr;
    std::optional<ArrayArgument<float, 2>> rotation;
    if (!accept_optional(bound[1], "rotation", rotation)) return nullptr;
    const std::optional<TrainingOptions> training = convert_training_options(bound.slots.data() + 2);
    if (!training) return nullptr;

    std::optional<array::Codebook<float>> codewords_copy = codewords->copy();
    if (!codewords_copy) return nullptr;
    std::optional<std::optional<array::Matrix<float>>> rotation_copy = copy_optional(std::move(rotation));
    if (!rotation_copy) return nullptr;
    // Whichever way it was called, the result is of exactly this class.
    auto* type = reinterpret_cast<PyTypeObject*>(product_quantizer_class());
    if (type == nullptr) return nullptr;
    return instance_or_raise(
        type, Model::from_codewords(std::move(*codewords_copy), std::move(*rotation_copy), training->iterations,
                                    training->seed, training->opq_iterations));
}

PyObject* fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "fit", {"data"}, 1);
    return with_array<ProductQuantizerPayload, true, float, 2>(
        signature, self, args, nargs, kwnames,
        [](Model& model, auto data) { return none_or_raise(model.fit_impl(data, std::nullopt)); });
}

PyObject* fit_weighted(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const Signature signature(kClassName, "fit_weighted", {"data", "sample_weight"}, 2);
    Bound<2> bound;
    if (!bind_fast(signature, args, nargs, kwnames, bound)) return nullptr;
    const std::optional<Borrow> borrow = borrow_for_call<ProductQuantizerPayload, true>(self);
    if (!borrow) return nullptr;
    // Declared in parameter order, so sample_weight is released first.
    const auto data = ArrayArgument<float, 2>::accept(bound[0], "data");
    if (!data) return nullptr;
    const auto sample_weight = ArrayArgument<float, 1>::accept(bound[1], "sample_weight");
    if (!sample_weight) return nullptr;
    const auto data_view = data->view();
    if (!data_view) return nullptr;
    const auto weight_view = sample_weight->view();
    if (!weight_view) return nullptr;
    return none_or_raise(engine_of<ProductQuantizerPayload>(self).fit_weighted(*data_view, *weight_view));
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
            static_cast<int>(sizeof(PyProductQuantizer)),
            construct_guarded,
            dealloc_instance<PyProductQuantizer>,
            g_methods,
            g_getset,
        };
        type = create_final_class(spec);
    }
    return type;
}

}  // namespace tarvinex::python_bindings
