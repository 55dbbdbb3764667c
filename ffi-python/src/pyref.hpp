// An owning reference to a Python object: the one way this module holds a
// strong reference, so every path releases it exactly once.
#pragma once

#include <Python.h>

#include <utility>

namespace zantu::ffi {

class PyRef {
 public:
  PyRef() noexcept = default;
  // Takes over a new (owned) reference; null is allowed and means "failed".
  static PyRef steal(PyObject* o) noexcept { return PyRef(o); }
  // Adds a reference to a borrowed object.
  static PyRef borrow(PyObject* o) noexcept {
    Py_XINCREF(o);
    return PyRef(o);
  }
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  PyRef& operator=(PyRef&& o) noexcept {
    if (this != &o) {
      PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  [[nodiscard]] PyObject* get() const noexcept { return p_; }
  // Hands the reference to the caller (e.g. as a function's return value).
  [[nodiscard]] PyObject* release() noexcept { return std::exchange(p_, nullptr); }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  explicit PyRef(PyObject* o) noexcept : p_(o) {}
  PyObject* p_ = nullptr;
};

}  // namespace zantu::ffi
