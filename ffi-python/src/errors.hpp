// The binding's error values and their one conversion into Python exceptions.
#pragma once

#include <Python.h>

#include <exception>
#include <expected>
#include <string>
#include <variant>

#include "zantu/core/error.hpp"

namespace zantu::ffi {

// Every session operation returns its value or one of these.
class FfiError {
 public:
  struct Core {
    core::CoreError error;
  };
  // Out of scope or absent: deliberately never told apart.
  struct NotAddressable {};
  struct PolicyDenied {
    std::string message;
  };
  struct Other {
    std::string message;
  };

  static FfiError core(core::CoreError e) { return FfiError(Core{std::move(e)}); }
  static FfiError not_addressable() { return FfiError(NotAddressable{}); }
  static FfiError policy_denied(std::string m) { return FfiError(PolicyDenied{std::move(m)}); }
  static FfiError other(std::string m) { return FfiError(Other{std::move(m)}); }

  [[nodiscard]] const std::variant<Core, NotAddressable, PolicyDenied, Other>& value() const noexcept { return v_; }
  // The message the raised exception carries.
  [[nodiscard]] std::string message() const;

 private:
  explicit FfiError(std::variant<Core, NotAddressable, PolicyDenied, Other> v) : v_(std::move(v)) {}
  std::variant<Core, NotAddressable, PolicyDenied, Other> v_;
};

template <class T>
using FfiResult = std::expected<T, FfiError>;

namespace errors {

// Creates the three exception types once per process (on first use) and adds
// them to `module` as "ZantuError", "ZantuNotFound", "ZantuDenied".
// Returns -1 with an exception set on failure.
[[nodiscard]] int register_types(PyObject* module);

// The exception types (borrowed; created on first use, null if that failed).
PyObject* zantu_error();
PyObject* zantu_not_found();
PyObject* zantu_denied();

// Sets the exception for `err`: exactly one str argument, no cause, no context.
// Always returns null, for `return raise(err);`.
PyObject* raise(const FfiError& err);

// Raises the process-wide PanicException (a BaseException) with `message`;
// aborts the process if that type cannot be made. Returns null.
PyObject* raise_panic(const char* message);

}  // namespace errors

// Runs `f` and turns any escaping C++ exception into the panic exception.
// `f` returns a PyObject* (null with an exception set on failure).
template <class F>
PyObject* panic_boundary(F&& f) noexcept {
  try {
    return f();
  } catch (const std::exception& e) {
    return errors::raise_panic(e.what());
  } catch (...) {
    return errors::raise_panic("unknown panic");
  }
}

// The same for entry points that return an int status (-1 on failure).
template <class F>
int panic_boundary_status(F&& f) noexcept {
  try {
    return f();
  } catch (const std::exception& e) {
    errors::raise_panic(e.what());
    return -1;
  } catch (...) {
    errors::raise_panic("unknown panic");
    return -1;
  }
}

// Thrown inside the binding for an internal failure that must surface as a panic.
struct Panic : std::exception {
  explicit Panic(std::string m) : msg(std::move(m)) {}
  const char* what() const noexcept override { return msg.c_str(); }
  std::string msg;
};

}  // namespace zantu::ffi
