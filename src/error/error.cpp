#include "error/error.hpp"

#include <string_view>

namespace tarvinex::error {
namespace {

struct ShapeKindText {
    std::string_view name;
    std::string_view description;
};

ShapeKindText shape_kind_text(ShapeErrorKind kind) {
    switch (kind) {
        case ShapeErrorKind::IncompatibleShape:
            return {"IncompatibleShape", "incompatible shapes"};
        case ShapeErrorKind::IncompatibleLayout:
            return {"IncompatibleLayout", "incompatible memory layout"};
        case ShapeErrorKind::RangeLimited:
            return {"RangeLimited", "the shape does not fit in type limits"};
        case ShapeErrorKind::OutOfBounds:
            return {"OutOfBounds", "out of bounds indexing"};
        case ShapeErrorKind::Unsupported:
            return {"Unsupported", "unsupported operation"};
        case ShapeErrorKind::Overflow:
            return {"Overflow", "arithmetic overflow"};
    }
    return {"Unsupported", "unsupported operation"};
}

}  // namespace

std::string ShapeError::to_string() const {
    const ShapeKindText text = shape_kind_text(kind);
    std::string out = "ShapeError/";
    out.append(text.name).append(": ").append(text.description);
    return out;
}

std::string LinalgError::to_string() const {
    if (return_code < 0) {
        return "Invalid value for LAPACK subroutine " + std::to_string(-static_cast<long long>(return_code)) +
               "-th argument";
    }
    return "Computational failure in LAPACK subroutine: return_code = " + std::to_string(return_code);
}

std::string TarvinexError::to_string() const {
    struct Visitor {
        std::string operator()(const Message& m) const { return m.text; }
        std::string operator()(const Shape& s) const { return "shape error: " + s.failure.to_string(); }
        std::string operator()(const Linalg& l) const { return "linear algebra error: " + l.failure.to_string(); }
        std::string operator()(const Interrupted&) const { return "call interrupted"; }
    };
    return std::visit(Visitor{}, value_);
}

void raise_internal_failure(const std::string& message) { throw InternalFailure(message); }

}  // namespace tarvinex::error
