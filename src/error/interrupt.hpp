#pragma once
/// How a long call learns, between its passes, that its caller wants it to
/// end.
///
/// The engines never ask the host themselves. A caller that can be
/// interrupted (the Python boundary, where Ctrl-C raises KeyboardInterrupt)
/// installs a check on its thread for the length of its call, and every
/// training driver asks `check_pass_boundary()` at the start of each pass.
/// The check itself runs only on the thread that installed it, because it may
/// call into the host (the Python boundary holds the interpreter lock on that
/// thread alone). Work that a call hands to pool threads and that has pass
/// boundaries of its own (subspaces, candidates) carries the call's check
/// along through a `Relay`; there it only reports a yes the check already
/// gave, so side-by-side work ends within one pass of the caller's.

#include <atomic>
#include <thread>

#include "error/error.hpp"

namespace tarvinex::interrupt {

/// Whether the caller wants the call to end now. It may leave host state
/// behind for the caller (a pending Python exception).
using CallerCheck = bool (*)();

/// Installs `check` for the calls this thread makes while the guard lives; a
/// guard made inside another one (a call made from inside a check) replaces
/// it until it ends.
class ScopedCheck {
public:
    explicit ScopedCheck(CallerCheck check);
    ~ScopedCheck();
    ScopedCheck(const ScopedCheck&) = delete;
    ScopedCheck& operator=(const ScopedCheck&) = delete;

    /// Runs the check on the installing thread, once for each time it is
    /// asked until it says yes; elsewhere only reports whether it has.
    [[nodiscard]] bool requested();

private:
    CallerCheck check_;
    std::thread::id owner_;
    std::atomic<bool> requested_{false};
    ScopedCheck* previous_;
};

/// The check that work on this thread answers to now: the one this thread
/// installed, or the one a `Relay` brought; null for none.
[[nodiscard]] ScopedCheck* current_check() noexcept;

/// Makes `check` (possibly null) the current check of this thread for its
/// lifetime: a pool thread doing work for a call answers to that call's check.
class Relay {
public:
    explicit Relay(ScopedCheck* check) noexcept;
    ~Relay();
    Relay(const Relay&) = delete;
    Relay& operator=(const Relay&) = delete;

private:
    ScopedCheck* previous_;
};

/// The error a call ends with when its caller asked it to: "call interrupted".
[[nodiscard]] error::TarvinexError interrupted_error();

/// Nothing, or the interrupted error when the current check asks the call to
/// end. Cheap without a check; drivers call it at every pass boundary.
[[nodiscard]] error::Result<void> check_pass_boundary();

}  // namespace tarvinex::interrupt
