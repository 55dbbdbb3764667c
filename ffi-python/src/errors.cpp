#include "errors.hpp"

#include <cstdio>
#include <cstdlib>

#include "pyref.hpp"

namespace zantu::ffi {

std::string FfiError::message() const {
  struct Visitor {
    std::string operator()(const Core& c) const { return c.error.to_string(); }
    std::string operator()(const NotAddressable&) const { return "not addressable"; }
    std::string operator()(const PolicyDenied& p) const { return p.message; }
    std::string operator()(const Other& o) const { return o.message; }
  };
  return std::visit(Visitor{}, v_);
}

namespace errors {
namespace {

// Process-wide types; the interpreter lock serialises their creation.
PyObject* g_zantu_error = nullptr;
PyObject* g_not_found = nullptr;
PyObject* g_denied = nullptr;
PyObject* g_panic = nullptr;

constexpr const char* kErrorDoc = "Base class for all zantu binding errors.";
constexpr const char* kNotFoundDoc =
    "The coordinate is not addressable in this session \xe2\x80\x94 either out of scope (I13) or absent. "
    "The two are deliberately indistinguishable.";
constexpr const char* kDeniedDoc =
    "An addressable secret was refused by policy (e.g. an MCP reveal of a high/prod/inject-only value, "
    "I11/I14).";

PyObject* get_or_create(PyObject*& slot, const char* name, const char* doc, PyObject* base) {
  if (slot == nullptr && base != nullptr) {
    slot = PyErr_NewExceptionWithDoc(name, doc, base, nullptr);
    if (slot == nullptr) {
      // The host refused the type: this surfaces as the binding's panic.
      PyErr_Clear();
      raise_panic("Failed to initialize new exception type.");
    }
  }
  return slot;
}

void set_single_arg(PyObject* type, const std::string& message) {
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(message.data(), static_cast<Py_ssize_t>(message.size())));
  if (!text) return;
  PyRef args = PyRef::steal(PyTuple_Pack(1, text.get()));
  if (!args) return;
  PyRef exc = PyRef::steal(PyObject_Call(type, args.get(), nullptr));
  if (!exc) return;
  // Set directly, not raised through PyErr_SetObject, so no context or cause
  // from whatever was being handled is attached.
  PyErr_SetRaisedException(exc.release());
}

}  // namespace

PyObject* zantu_error() { return get_or_create(g_zantu_error, "zantu_ffi.ZantuError", kErrorDoc, PyExc_Exception); }
PyObject* zantu_not_found() {
  return get_or_create(g_not_found, "zantu_ffi.ZantuNotFound", kNotFoundDoc, zantu_error());
}
PyObject* zantu_denied() { return get_or_create(g_denied, "zantu_ffi.ZantuDenied", kDeniedDoc, zantu_error()); }

int register_types(PyObject* module) {
  struct Entry {
    const char* attr;
    PyObject* (*type)();
  };
  for (const Entry& e : {Entry{"ZantuError", zantu_error}, Entry{"ZantuNotFound", zantu_not_found},
                         Entry{"ZantuDenied", zantu_denied}}) {
    PyObject* t = e.type();
    if (t == nullptr) return -1;
    if (PyModule_AddObjectRef(module, e.attr, t) < 0) return -1;
  }
  return 0;
}

PyObject* raise(const FfiError& err) {
  struct Visitor {
    PyObject* operator()(const FfiError::Core&) const { return zantu_error(); }
    PyObject* operator()(const FfiError::NotAddressable&) const { return zantu_not_found(); }
    PyObject* operator()(const FfiError::PolicyDenied&) const { return zantu_denied(); }
    PyObject* operator()(const FfiError::Other&) const { return zantu_error(); }
  };
  PyObject* type = std::visit(Visitor{}, err.value());
  if (type == nullptr) return nullptr;  // the panic is already set
  PyErr_Clear();
  set_single_arg(type, err.message());
  return nullptr;
}

PyObject* raise_panic(const char* message) {
  if (g_panic == nullptr) {
    g_panic = PyErr_NewExceptionWithDoc("zantu_ffi.PanicException",
                                        "An unexpected internal failure inside the native binding.",
                                        PyExc_BaseException, nullptr);
    if (g_panic == nullptr) {
      std::fputs("uncaught panic at ffi boundary\n", stderr);
      std::abort();
    }
  }
  PyErr_Clear();
  set_single_arg(g_panic, message);
  if (!PyErr_Occurred()) {
    std::fputs("uncaught panic at ffi boundary\n", stderr);
    std::abort();
  }
  return nullptr;
}

}  // namespace errors
}  // namespace zantu::ffi
