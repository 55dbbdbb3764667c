// One short-lived worker thread with a chosen stack size, always joined.
// Internal to the core.
#pragma once

#include <cstddef>

namespace zantu::core::detail {

struct WorkerOutcome {
  enum class Kind { Finished, Panicked, NotStarted };
  Kind kind = Kind::Finished;
  // For NotStarted: the error number from the thread library.
  int errnum = 0;
};

// Runs `body(ctx)` on a new thread whose stack is `stack_len` bytes and waits
// for it to end. An exception escaping `body` is caught on the worker and
// reported as Panicked (its payload discarded); the thread is joined on every
// path, so whatever `ctx` points to only needs to outlive this call.
[[nodiscard]] WorkerOutcome run_on_worker(std::size_t stack_len, void (*body)(void*), void* ctx) noexcept;

// The same for any callable, borrowed for the call.
template <class F>
[[nodiscard]] WorkerOutcome run_on_worker(std::size_t stack_len, F& body) noexcept {
  return run_on_worker(stack_len, [](void* p) { (*static_cast<F*>(p))(); }, &body);
}

}  // namespace zantu::core::detail
