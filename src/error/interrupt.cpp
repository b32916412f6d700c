#include "error/interrupt.hpp"

namespace tarvinex::interrupt {
namespace {

/// Each thread's own stack of checks, so that guards and relays nest and end
/// in order on the thread that made them, whatever other threads do.
thread_local ScopedCheck* t_current = nullptr;

}  // namespace

ScopedCheck::ScopedCheck(CallerCheck check) : check_(check), owner_(std::this_thread::get_id()), previous_(t_current) {
    t_current = this;
}

ScopedCheck::~ScopedCheck() { t_current = previous_; }

bool ScopedCheck::requested() {
    if (requested_.load(std::memory_order_relaxed)) {
        return true;
    }
    if (std::this_thread::get_id() == owner_ && check_()) {
        requested_.store(true, std::memory_order_relaxed);
        return true;
    }
    return false;
}

ScopedCheck* current_check() noexcept { return t_current; }

Relay::Relay(ScopedCheck* check) noexcept : previous_(t_current) { t_current = check; }

Relay::~Relay() { t_current = previous_; }

error::TarvinexError interrupted_error() { return error::TarvinexError(error::TarvinexError::Interrupted{}); }

error::Result<void> check_pass_boundary() {
    ScopedCheck* const active = t_current;
    if (active != nullptr && active->requested()) {
        return error::fail(interrupted_error());
    }
    return {};
}

}  // namespace tarvinex::interrupt
