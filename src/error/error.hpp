#pragma once
/// The one error type of the engines and the assertion that guards their
/// invariants. Engines report bad input as a `Result<T>`, never by throwing;
/// a broken invariant throws `InternalFailure`, which the Python boundary turns
/// into its panic exception.

#include <cstdint>
#include <expected>
#include <stdexcept>
#include <string>
#include <utility>
#include <variant>

namespace tarvinex::error {

/// Why an array could not take the requested shape.
enum class ShapeErrorKind : std::uint8_t {
    IncompatibleShape,
    IncompatibleLayout,
    RangeLimited,
    OutOfBounds,
    Unsupported,
    Overflow,
};

struct ShapeError {
    ShapeErrorKind kind;
    /// "ShapeError/<Kind>: <description>"
    [[nodiscard]] std::string to_string() const;
};

/// A failed singular value decomposition, with the LAPACK return code `info`:
/// positive when the routine did not converge, minus the argument position
/// when an argument was invalid.
struct LinalgError {
    int return_code;
    [[nodiscard]] std::string to_string() const;
};

class TarvinexError {
public:
    struct Message {
        std::string text;
    };
    struct Shape {
        ShapeError failure;
    };
    struct Linalg {
        LinalgError failure;
    };
    /// The caller asked the call to end (see error/interrupt.hpp); the caller
    /// already holds the reason, so the text only names the event.
    struct Interrupted {};
    using Variant = std::variant<Message, Shape, Linalg, Interrupted>;

    explicit TarvinexError(std::string message) : value_(Message{std::move(message)}) {}
    explicit TarvinexError(const char* message) : value_(Message{message}) {}
    explicit TarvinexError(ShapeError failure) : value_(Shape{failure}) {}
    explicit TarvinexError(LinalgError failure) : value_(Linalg{failure}) {}
    explicit TarvinexError(Interrupted interrupted) : value_(interrupted) {}

    [[nodiscard]] const Variant& variant() const noexcept { return value_; }
    [[nodiscard]] bool is_interrupted() const noexcept { return std::holds_alternative<Interrupted>(value_); }
    /// The text a user sees: a message as stored, or the failure with its prefix.
    [[nodiscard]] std::string to_string() const;

private:
    Variant value_;
};

template <typename T>
using Result = std::expected<T, TarvinexError>;

/// The error side of a `Result`, for `return fail("...")`.
[[nodiscard]] inline std::unexpected<TarvinexError> fail(std::string message) {
    return std::unexpected<TarvinexError>(std::in_place, std::move(message));
}
[[nodiscard]] inline std::unexpected<TarvinexError> fail(TarvinexError error) {
    return std::unexpected<TarvinexError>(std::move(error));
}

/// A broken internal invariant. Never caught inside the engines.
class InternalFailure : public std::logic_error {
public:
    using std::logic_error::logic_error;
};

[[noreturn]] void raise_internal_failure(const std::string& message);

}  // namespace tarvinex::error

/// Checks an invariant in every build type; a failure throws InternalFailure
/// carrying `message`.
#define TARVINEX_ASSERT(condition, message)                     \
    do {                                                        \
        if (!(condition)) [[unlikely]] {                        \
            ::tarvinex::error::raise_internal_failure(message); \
        }                                                       \
    } while (false)

/// Passes an engine error on: evaluates `expression`, a `Result<T>` of any T,
/// and returns its error from the enclosing function when it holds one. The
/// one way the engines propagate a failure.
#define TARVINEX_TRY(expression)                                                    \
    do {                                                                            \
        if (auto&& tarvinex_try_result = (expression); !tarvinex_try_result) {      \
            return ::tarvinex::error::fail(std::move(tarvinex_try_result).error()); \
        }                                                                           \
    } while (false)

#define TARVINEX_TRY_CONCAT_INNER(a, b) a##b
#define TARVINEX_TRY_CONCAT(a, b) TARVINEX_TRY_CONCAT_INNER(a, b)

/// `TARVINEX_TRY_ASSIGN(auto packed, pack(codes));`: declares or assigns the
/// value of a `Result<T>`, or returns its error from the enclosing function.
#define TARVINEX_TRY_ASSIGN(target, expression) \
    TARVINEX_TRY_ASSIGN_IMPL(target, expression, TARVINEX_TRY_CONCAT(tarvinex_try_result_, __LINE__))
#define TARVINEX_TRY_ASSIGN_IMPL(target, expression, result)       \
    auto result = (expression);                                    \
    if (!result) {                                                 \
        return ::tarvinex::error::fail(std::move(result).error()); \
    }                                                              \
    target = std::move(*result)
