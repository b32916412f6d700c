#pragma once
/// The per-object borrow flag: fit and set methods take the object
/// exclusively, predict methods and getters share it. Calls hold the
/// interpreter lock and the engines never call back into Python, so a conflict
/// cannot arise from one interpreter; the flag guards the engine all the same.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <utility>

namespace tarvinex::python_bindings {

/// 0 free, n > 0 shared borrows, -1 one exclusive borrow.
using BorrowFlag = std::atomic<std::intptr_t>;

class Borrow {
public:
    /// Nothing, with RuntimeError "Already mutably borrowed", while an
    /// exclusive borrow is active.
    static std::optional<Borrow> shared(BorrowFlag& flag) {
        std::intptr_t current = flag.load();
        do {
            if (current == kExclusive) {
                PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
                return std::nullopt;
            }
        } while (!flag.compare_exchange_weak(current, current + 1));
        return Borrow(&flag, false);
    }

    /// Nothing, with RuntimeError "Already borrowed", unless the flag is free.
    static std::optional<Borrow> exclusive(BorrowFlag& flag) {
        std::intptr_t expected = 0;
        if (!flag.compare_exchange_strong(expected, kExclusive)) {
            PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
            return std::nullopt;
        }
        return Borrow(&flag, true);
    }

    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    Borrow(Borrow&& other) noexcept : flag_(std::exchange(other.flag_, nullptr)), exclusive_(other.exclusive_) {}
    Borrow& operator=(Borrow&&) = delete;
    ~Borrow() {
        if (flag_ == nullptr) {
            return;
        }
        if (exclusive_) {
            flag_->store(0);
        } else {
            flag_->fetch_sub(1);
        }
    }

private:
    static constexpr std::intptr_t kExclusive = -1;
    Borrow(BorrowFlag* flag, bool exclusive) : flag_(flag), exclusive_(exclusive) {}

    BorrowFlag* flag_;
    bool exclusive_;
};

}  // namespace tarvinex::python_bindings
