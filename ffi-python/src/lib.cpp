// Module entry: multi-phase initialisation with one execution step that adds
// `version`, `ZantuSession` and the three exception types, in that order.
#include <Python.h>

#include <array>
#include <memory>

#include "args.hpp"
#include "errors.hpp"
#include "pyref.hpp"
#include "scope.hpp"
#include "session.hpp"

namespace zantu::ffi {
namespace {

constexpr const char* kVersion = "0.9.1";

// The Python object: the owned Session and the shared-borrow counter that every
// method call holds while it runs.
struct SessionObject {
  PyObject_HEAD
  std::unique_ptr<Session> session;
  Py_ssize_t borrows;
};

PyObject* version(PyObject*, PyObject*) {
  return panic_boundary([] { return PyUnicode_FromString(kVersion); });
}

constexpr const char* kVersionDoc =
    "version()\n--\n\n"
    "Return the version of the native binding. The wrapping Python package\n"
    "asserts it on import, as a smoke test that the compiled extension\n"
    "matches the package.";

PyMethodDef g_module_functions[] = {
    {"version", version, METH_NOARGS, kVersionDoc},
    {nullptr, nullptr, 0, nullptr},
};

constexpr std::array<args::Param, 3> kNewParams{{
    {"scope", true},
    {"vault_dir", false},
    {"passphrase", false},
}};

PyObject* session_new(PyTypeObject* /*type*/, PyObject* args, PyObject* kwargs) {
  return panic_boundary([&]() -> PyObject* {
    std::array<PyObject*, kNewParams.size()> bound{};
    if (!args::bind_tuple("ZantuSession.__new__", kNewParams, args, kwargs, bound)) return nullptr;
    if (!PyDict_Check(bound[0])) {
      args::type_error(bound[0], "PyDict");
      args::note_while_processing("scope");
      return nullptr;
    }
    std::optional<std::string> vault_dir;
    if (!args::to_opt_str(bound[1], "vault_dir", vault_dir)) return nullptr;
    std::optional<std::string> passphrase;
    if (!args::to_opt_str(bound[2], "passphrase", passphrase)) return nullptr;
    core::AgentScope scope;
    if (!scope::scope_from_dict(bound[0], scope)) return nullptr;
    return errors::raise(FfiError::other("opening a session is not available yet"));
  });
}

void session_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Destroying the Session wipes its master key.
  std::destroy_at(&reinterpret_cast<SessionObject*>(self)->session);
  auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_fn(self);
  Py_DECREF(type);
}

constexpr const char* kSessionDoc =
    "ZantuSession(scope, vault_dir=None, passphrase=None)\n--\n\n"
    "An agent session bound to a fixed scope and a vault. Constructed once per MCP session; the scope cannot be "
    "widened afterwards (I13).";

PyMethodDef g_session_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_session_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(session_dealloc)},
    {Py_tp_doc, const_cast<char*>(kSessionDoc)},
    {Py_tp_new, reinterpret_cast<void*>(session_new)},
    {Py_tp_methods, g_session_methods},
    {0, nullptr},
};

PyType_Spec g_session_spec = {
    // The class carries no module of its own; heap types read their module
    // from the name's prefix.
    "builtins.ZantuSession",
    static_cast<int>(sizeof(SessionObject)),
    0,
    // No BASETYPE flag: the class cannot be subclassed from Python.
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    g_session_slots,
};

// Created the first time it is added to a module, then kept for the process.
PyObject* g_session_type = nullptr;

int module_exec(PyObject* module) {
  return panic_boundary_status([&] {
    PyRef fn = PyRef::steal(PyCFunction_NewEx(&g_module_functions[0], nullptr, nullptr));
    if (!fn || PyModule_AddObjectRef(module, "version", fn.get()) < 0) return -1;
    if (g_session_type == nullptr) {
      g_session_type = PyType_FromSpec(&g_session_spec);
      if (g_session_type == nullptr) return -1;
    }
    if (PyModule_AddObjectRef(module, "ZantuSession", g_session_type) < 0) return -1;
    return errors::register_types(module);
  });
}

PyModuleDef_Slot g_module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "zantu_ffi",
    "The `zantu_ffi` extension module.",
    0,
    nullptr,
    g_module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace zantu::ffi

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_zantu_ffi(void) {
  return PyModuleDef_Init(&zantu::ffi::g_module_def);
}
