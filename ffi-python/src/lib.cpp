// Module entry: multi-phase initialisation with one execution step that adds
// `version`, `ZantuSession` and the three exception types, in that order.
#include <Python.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "args.hpp"
#include "errors.hpp"
#include "pyref.hpp"
#include "scope.hpp"
#include "session.hpp"

namespace zantu::ffi {
namespace {

constexpr const char* kVersion = "0.9.1";

// The Python object: the owned Session.
struct SessionObject {
  PyObject_HEAD
  std::unique_ptr<Session> session;
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

PyObject* session_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
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
    std::optional<core::SecretBuffer> passphrase;
    if (!args::to_opt_secret_str(bound[2], "passphrase", passphrase)) return nullptr;
    core::AgentScope scope;
    if (!scope::scope_from_dict(bound[0], scope)) return nullptr;
    auto session = Session::open(std::move(vault_dir), std::move(scope), std::move(passphrase));
    if (!session) return errors::raise(session.error());

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) return nullptr;  // the session is dropped, wiping its key
    auto* obj = reinterpret_cast<SessionObject*>(self);
    std::construct_at(&obj->session, std::move(*session));
    return self;
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

// The session behind `self`, read-only. The interpreter holds a reference to
// `self` for the whole of a method call, so the session outlives every call
// made on it; no call changes it.
const Session& session_of(PyObject* self) noexcept { return *reinterpret_cast<SessionObject*>(self)->session; }

// One method call: binds the arguments to `params` and runs `body` (session,
// bound arguments) at the panic boundary.
template <std::size_t N, class Body>
PyObject* call_method(PyObject* self, const char* name, const std::array<args::Param, N>& params,
                      PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames, Body&& body) {
  return panic_boundary([&]() -> PyObject* {
    std::array<PyObject*, N> bound{};
    if (!args::bind_fastcall(name, params, argv, nargs, kwnames, bound)) return nullptr;
    return body(session_of(self), bound);
  });
}

std::optional<std::string_view> opt_view(const std::optional<std::string>& s) {
  if (!s) return std::nullopt;
  return std::string_view(*s);
}

PyObject* str_of(std::string_view s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

// The view dict's keys in their order, made once and kept for the process:
// a listing builds thousands of dicts.
enum ViewKey { kCoordinate, kEnvironment, kComponent, kKey, kSensitivity, kMode, kFingerprint, kRevealable,
               kOrigin, kReference, kNumViewKeys };
constexpr const char* kViewKeyNames[kNumViewKeys] = {"coordinate", "environment", "component", "key",
                                                     "sensitivity", "mode", "fingerprint", "revealable",
                                                     "origin", "reference"};
PyObject* g_view_keys[kNumViewKeys] = {};

bool view_keys_ready() {
  for (int i = 0; i < kNumViewKeys; ++i) {
    if (g_view_keys[i] == nullptr) {
      g_view_keys[i] = PyUnicode_InternFromString(kViewKeyNames[i]);
      if (g_view_keys[i] == nullptr) return false;
    }
  }
  return true;
}

// The few texts that repeat across the views of one listing (environment,
// sensitivity, mode, origin), each made into a str once per call.
class RepeatedStrs {
 public:
  // A new reference, or null with the host's exception set.
  PyObject* get(std::string_view text) {
    for (const auto& [known, str] : entries_) {
      if (known == text) return Py_NewRef(str.get());
    }
    PyObject* str = str_of(text);
    if (str != nullptr && entries_.size() < kMaxEntries) entries_.emplace_back(std::string(text), PyRef::borrow(str));
    return str;
  }

 private:
  static constexpr std::size_t kMaxEntries = 16;
  std::vector<std::pair<std::string, PyRef>> entries_;
};

// The view as a new dict with its ten keys in order; null with the host's
// exception set when an insertion fails.
PyObject* view_to_dict(const RecordView& view, RepeatedStrs* repeated = nullptr) {
  if (!view_keys_ready()) return nullptr;
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  auto put = [&](ViewKey key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItem(dict.get(), g_view_keys[key], owned.get()) == 0;
  };
  auto repeating = [&](std::string_view text) { return repeated ? repeated->get(text) : str_of(text); };
  const bool ok = put(kCoordinate, str_of(view.coordinate)) && put(kEnvironment, repeating(view.environment)) &&
                  put(kComponent, str_of(view.component)) && put(kKey, str_of(view.key)) &&
                  put(kSensitivity, repeating(view.sensitivity)) && put(kMode, repeating(view.mode)) &&
                  put(kFingerprint, str_of(view.fingerprint)) && put(kRevealable, PyBool_FromLong(view.revealable)) &&
                  put(kOrigin, repeating(view.origin)) &&
                  put(kReference, view.reference ? str_of(*view.reference) : Py_NewRef(Py_None));
  if (!ok) return nullptr;
  return dict.release();
}

PyObject* view_result(const FfiResult<RecordView>& view) {
  if (!view) return errors::raise(view.error());
  return view_to_dict(*view);
}

// list($self)
PyObject* session_list(PyObject* self, PyObject*) {
  return panic_boundary([&]() -> PyObject* {
    auto views = session_of(self).list_visible();
    if (!views) return errors::raise(views.error());
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(views->size())));
    if (!list) return nullptr;
    RepeatedStrs repeated;
    for (std::size_t i = 0; i < views->size(); ++i) {
      PyObject* dict = view_to_dict((*views)[i], &repeated);
      if (dict == nullptr) return nullptr;
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), dict);  // steals
    }
    return list.release();
  });
}

constexpr std::array<args::Param, 2> kCoordinateProject{{{"coordinate", true}, {"project", false}}};

PyObject* session_status(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method(self, "ZantuSession.status", kCoordinateProject, argv, nargs, kwnames,
                     [](const Session& s, std::span<PyObject*> a) -> PyObject* {
                       std::string coordinate;
                       std::optional<std::string> project;
                       if (!args::to_str(a[0], "coordinate", coordinate)) return nullptr;
                       if (!args::to_opt_str(a[1], "project", project)) return nullptr;
                       return view_result(s.status_of(coordinate, opt_view(project)));
                     });
}

PyObject* session_fingerprint(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method(self, "ZantuSession.fingerprint", kCoordinateProject, argv, nargs, kwnames,
                     [](const Session& s, std::span<PyObject*> a) -> PyObject* {
                       std::string coordinate;
                       std::optional<std::string> project;
                       if (!args::to_str(a[0], "coordinate", coordinate)) return nullptr;
                       if (!args::to_opt_str(a[1], "project", project)) return nullptr;
                       auto fp = s.fingerprint_of(coordinate, opt_view(project));
                       if (!fp) return errors::raise(fp.error());
                       return str_of(*fp);
                     });
}

PyObject* session_reveal(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method(self, "ZantuSession.reveal", kCoordinateProject, argv, nargs, kwnames,
                     [](const Session& s, std::span<PyObject*> a) -> PyObject* {
                       std::string coordinate;
                       std::optional<std::string> project;
                       if (!args::to_str(a[0], "coordinate", coordinate)) return nullptr;
                       if (!args::to_opt_str(a[1], "project", project)) return nullptr;
                       auto value = s.reveal(coordinate, opt_view(project));
                       if (!value) return errors::raise(value.error());
                       return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(value->data()),
                                                        static_cast<Py_ssize_t>(value->size()));
                     });
}

constexpr std::array<args::Param, 3> kSetParams{{{"coordinate", true}, {"value", true}, {"project", false}}};

PyObject* session_set(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method(self, "ZantuSession.set", kSetParams, argv, nargs, kwnames,
                     [](const Session& s, std::span<PyObject*> a) -> PyObject* {
                       std::string coordinate;
                       core::SecretBuffer value;
                       std::optional<std::string> project;
                       if (!args::to_str(a[0], "coordinate", coordinate)) return nullptr;
                       if (!args::to_secret_str(a[1], "value", value)) return nullptr;
                       if (!args::to_opt_str(a[2], "project", project)) return nullptr;
                       return view_result(s.set(coordinate, std::move(value), opt_view(project)));
                     });
}

constexpr std::uint64_t kDefaultGenerateLen = 32;
constexpr std::array<args::Param, 5> kGenerateParams{{
    {"coordinate", true},
    {"length", false},
    {"sensitivity", false},
    {"description", false},
    {"project", false},
}};

PyObject* session_generate(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method(self, "ZantuSession.generate", kGenerateParams, argv, nargs, kwnames,
                     [](const Session& s, std::span<PyObject*> a) -> PyObject* {
                       std::string coordinate;
                       std::uint64_t length = kDefaultGenerateLen;
                       std::optional<std::string> sensitivity, description, project;
                       if (!args::to_str(a[0], "coordinate", coordinate)) return nullptr;
                       // Only an omitted length is the default; a given None is refused.
                       if (a[1] != nullptr && !args::to_u64(a[1], "length", length)) return nullptr;
                       if (!args::to_opt_str(a[2], "sensitivity", sensitivity)) return nullptr;
                       if (!args::to_opt_str(a[3], "description", description)) return nullptr;
                       if (!args::to_opt_str(a[4], "project", project)) return nullptr;
                       return view_result(s.generate(coordinate, length, opt_view(sensitivity),
                                                     std::move(description), opt_view(project)));
                     });
}

PyObject* session_delete(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method(self, "ZantuSession.delete", kCoordinateProject, argv, nargs, kwnames,
                     [](const Session& s, std::span<PyObject*> a) -> PyObject* {
                       std::string coordinate;
                       std::optional<std::string> project;
                       if (!args::to_str(a[0], "coordinate", coordinate)) return nullptr;
                       if (!args::to_opt_str(a[1], "project", project)) return nullptr;
                       auto done = s.delete_secret(coordinate, opt_view(project));
                       if (!done) return errors::raise(done.error());
                       Py_RETURN_NONE;
                     });
}

constexpr std::array<args::Param, 5> kRequestSecretParams{{
    {"coordinate", true},
    {"sensitivity", false},
    {"description", false},
    {"project", false},
    {"client_identity", false},
}};

PyObject* session_request_secret(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method(self, "ZantuSession.request_secret", kRequestSecretParams, argv, nargs, kwnames,
                     [](const Session& s, std::span<PyObject*> a) -> PyObject* {
                       std::string coordinate;
                       std::optional<std::string> sensitivity, description, project, client_identity;
                       if (!args::to_str(a[0], "coordinate", coordinate)) return nullptr;
                       if (!args::to_opt_str(a[1], "sensitivity", sensitivity)) return nullptr;
                       if (!args::to_opt_str(a[2], "description", description)) return nullptr;
                       if (!args::to_opt_str(a[3], "project", project)) return nullptr;
                       if (!args::to_opt_str(a[4], "client_identity", client_identity)) return nullptr;
                       auto id = s.request_intake(coordinate, opt_view(sensitivity), opt_view(description),
                                                  opt_view(project), opt_view(client_identity));
                       if (!id) return errors::raise(id.error());
                       return str_of(*id);
                     });
}

constexpr std::array<args::Param, 6> kEditMetadataParams{{
    {"coordinate", true},
    {"sensitivity", false},
    {"description", false},
    {"revealable", false},
    {"reference", false},
    {"project", false},
}};

PyObject* session_edit_metadata(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method(self, "ZantuSession.edit_metadata", kEditMetadataParams, argv, nargs, kwnames,
                     [](const Session& s, std::span<PyObject*> a) -> PyObject* {
                       std::string coordinate;
                       std::optional<std::string> sensitivity, description, reference, project;
                       std::optional<bool> revealable;
                       if (!args::to_str(a[0], "coordinate", coordinate)) return nullptr;
                       if (!args::to_opt_str(a[1], "sensitivity", sensitivity)) return nullptr;
                       if (!args::to_opt_str(a[2], "description", description)) return nullptr;
                       if (!args::to_opt_bool(a[3], "revealable", revealable)) return nullptr;
                       if (!args::to_opt_str(a[4], "reference", reference)) return nullptr;
                       if (!args::to_opt_str(a[5], "project", project)) return nullptr;
                       return view_result(s.edit_metadata(coordinate, opt_view(sensitivity), std::move(description),
                                                          revealable, std::move(reference), opt_view(project)));
                     });
}

constexpr std::array<args::Param, 6> kInjectRunParams{{
    {"refs", true},
    {"env", true},
    {"program", true},
    {"args", false},
    {"project", false},
    {"client_identity", false},
}};

// The run's result as a new dict: "status", "stdout", "stderr", in that order.
PyObject* inject_output_to_dict(const InjectOutput& out) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  auto put = [&](const char* key, PyObject* value) {
    PyRef owned = PyRef::steal(value);
    return owned && PyDict_SetItemString(dict.get(), key, owned.get()) == 0;
  };
  auto bytes_of = [](const core::SecretBuffer& b) {
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()), static_cast<Py_ssize_t>(b.size()));
  };
  const bool ok = put("status", out.status ? PyLong_FromLong(*out.status) : Py_NewRef(Py_None)) &&
                  put("stdout", bytes_of(out.stdout_bytes)) && put("stderr", bytes_of(out.stderr_bytes));
  if (!ok) return nullptr;
  return dict.release();
}

PyObject* session_inject_run(PyObject* self, PyObject* const* argv, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method(self, "ZantuSession.inject_run", kInjectRunParams, argv, nargs, kwnames,
                     [](const Session& s, std::span<PyObject*> a) -> PyObject* {
                       std::string refs, env, program;
                       std::vector<std::string> program_args;
                       std::optional<std::string> project, client_identity;
                       if (!args::to_str(a[0], "refs", refs)) return nullptr;
                       if (!args::to_str(a[1], "env", env)) return nullptr;
                       if (!args::to_str(a[2], "program", program)) return nullptr;
                       // Only an omitted list is empty; a given None is refused.
                       if (a[3] != nullptr && !args::to_str_list(a[3], "args", program_args)) return nullptr;
                       if (!args::to_opt_str(a[4], "project", project)) return nullptr;
                       if (!args::to_opt_str(a[5], "client_identity", client_identity)) return nullptr;
                       auto out = s.inject_run(refs, env, program, program_args, opt_view(project),
                                               opt_view(client_identity));
                       if (!out) return errors::raise(out.error());
                       return inject_output_to_dict(*out);
                     });
}

constexpr const char* kListDoc =
    "list($self)\n--\n\n"
    "List metadata for every secret addressable in this session. Out-of-scope\n"
    "coordinates never appear (I13). No values are returned.";
constexpr const char* kStatusDoc =
    "status($self, coordinate, project=None)\n--\n\n"
    "Metadata for one coordinate (diagnose). Raises `ZantuNotFound` for an\n"
    "out-of-scope *or* absent coordinate \xe2\x80\x94 the two are indistinguishable (I13).";
constexpr const char* kFingerprintDoc =
    "fingerprint($self, coordinate, project=None)\n--\n\n"
    "The truncated fingerprint of a coordinate's value. Raises `ZantuNotFound`\n"
    "when not addressable (I13).";
constexpr const char* kInjectRunDoc =
    "inject_run($self, refs, env, program, args=..., project=None, client_identity=None)\n--\n\n"
    "Resolve an `.env.refs` (provided inline) and run `program args...` with\n"
    "the values injected into the child's environment \xe2\x80\x94 never into the model's\n"
    "context (I7). High/prod injection needs the executor allowlisted (I15) and\n"
    "an attended `zantu approve` (I3/I16). Returns `{status, stdout, stderr}`\n"
    "with vault values masked (\xc2\xa7" "5.1).\n"
    "\n"
    "`client_identity` is the trusted caller identity the MCP server passes for\n"
    "the I16 confirmation prompt (\xc2\xa7" "8.3) \xe2\x80\x94 e.g. the agent/client/session name it\n"
    "authenticated. It is rendered as the *requesting process* on the attended\n"
    "dialog so the human sees who is asking, rather than always \"zantu\". It\n"
    "must be a server-authored fact, never the agent's own free text (which is\n"
    "the separately fenced `requester_description`), and never a secret value.";
constexpr const char* kRevealDoc =
    "reveal($self, coordinate, project=None)\n--\n\n"
    "Reveal a value into the agent's context \xe2\x80\x94 returns raw `bytes`. Only a\n"
    "`revealable`, non-prod, non-high literal is ever returned (I11); `prod`,\n"
    "`high`, and `inject-only` raise `ZantuDenied` (I14), and an out-of-scope\n"
    "coordinate raises `ZantuNotFound` (I13).";
constexpr const char* kSetDoc =
    "set($self, coordinate, value, project=None)\n--\n\n"
    "Create or update a literal value. The value crosses as a tool argument,\n"
    "never argv (I6). Returns the new metadata (no value). `prod` is born\n"
    "`high` (I5).";
constexpr const char* kGenerateDoc =
    "generate($self, coordinate, length=32, sensitivity=None, description=None, project=None)\n--\n\n"
    "Generate a random value server-side and store it. Returns metadata only \xe2\x80\x94\n"
    "the value is never returned to the model (I6, AC3).";
constexpr const char* kDeleteDoc =
    "delete($self, coordinate, project=None)\n--\n\n"
    "Delete a secret. Raises `ZantuNotFound` when out of scope or absent (I13).";

constexpr const char* kRequestSecretDoc =
    "request_secret($self, coordinate, sensitivity=None, description=None, project=None, client_identity=None)\n"
    "--\n\n"
    "Request a human to CREATE a secret at `coordinate` (ZAN-69a). You name ONLY\n"
    "the coordinate (and optionally a sensitivity/description) \xe2\x80\x94 there is **no\n"
    "value parameter**. A human supplies the value out-of-band, so the value\n"
    "never enters your context (I11/I14). Returns the intake id.";
constexpr const char* kEditMetadataDoc =
    "edit_metadata($self, coordinate, sensitivity=None, description=None, revealable=None, reference=None, "
    "project=None)\n--\n\n"
    "Edit metadata (sensitivity / description / revealable / reference). A\n"
    "sensitivity downgrade is separately audited (I5). Returns the new metadata.";

constexpr const char* kSessionDoc =
    "ZantuSession(scope, vault_dir=None, passphrase=None)\n--\n\n"
    "An agent session bound to a fixed scope and a vault. Constructed once per MCP session; the scope cannot be "
    "widened afterwards (I13).";

template <class F>
PyCFunction fastcall(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

constexpr int kFastcall = METH_FASTCALL | METH_KEYWORDS;

// In the order in which the class lists its methods.
PyMethodDef g_session_methods[] = {
    {"list", session_list, METH_NOARGS, kListDoc},
    {"status", fastcall(session_status), kFastcall, kStatusDoc},
    {"fingerprint", fastcall(session_fingerprint), kFastcall, kFingerprintDoc},
    {"inject_run", fastcall(session_inject_run), kFastcall, kInjectRunDoc},
    {"reveal", fastcall(session_reveal), kFastcall, kRevealDoc},
    {"set", fastcall(session_set), kFastcall, kSetDoc},
    {"request_secret", fastcall(session_request_secret), kFastcall, kRequestSecretDoc},
    {"generate", fastcall(session_generate), kFastcall, kGenerateDoc},
    {"delete", fastcall(session_delete), kFastcall, kDeleteDoc},
    {"edit_metadata", fastcall(session_edit_metadata), kFastcall, kEditMetadataDoc},
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
