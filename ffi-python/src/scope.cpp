#include "scope.hpp"

#include <algorithm>
#include <string_view>

#include "args.hpp"
#include "errors.hpp"
#include "pyref.hpp"

namespace zantu::ffi::scope {
namespace {

constexpr const char* kStrIsNotAList = "Can't extract `str` to `Vec`";

// Looks `key` up with the dict's own lookup (no __getitem__ override runs).
// Returns false with the lookup's error set; `out` stays empty when missing.
bool lookup(PyObject* dict, const char* key, PyRef& out) {
  PyRef k = PyRef::steal(PyUnicode_FromString(key));
  if (!k) return false;
  PyObject* v = PyDict_GetItemWithError(dict, k.get());
  if (v == nullptr) return !PyErr_Occurred();
  out = PyRef::borrow(v);
  return true;
}

// A sequence of str, through the sequence protocol. A str is refused first, so
// it is never read as a sequence of characters; sets and dicts are not
// sequences.
bool read_str_sequence(PyObject* o, std::vector<std::string>& out) {
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, kStrIsNotAList);
    return false;
  }
  if (!PySequence_Check(o)) {
    args::type_error(o, "Sequence");
    return false;
  }
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) return false;
  std::vector<std::string> names;
  // The length is what the object says of itself; names are taken only as
  // they come.
  names.reserve(std::min<std::size_t>(static_cast<std::size_t>(n), 64));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(o, i));
    if (!item) return false;
    if (!PyUnicode_Check(item.get())) {
      args::type_error(item.get(), "PyString");
      return false;
    }
    auto text = args::utf8_of(item.get());
    if (!text) return false;
    names.emplace_back(*text);
  }
  out = std::move(names);
  return true;
}

std::optional<core::Operation> operation_of(std::string_view word) {
  if (word == "metadata") return core::Operation::Metadata;
  if (word == "inject") return core::Operation::Inject;
  if (word == "reveal") return core::Operation::Reveal;
  if (word == "write") return core::Operation::Write;
  return std::nullopt;
}

}  // namespace

bool extract_filter(PyObject* dict, const char* key, std::optional<std::vector<std::string>>& out) {
  out.reset();
  PyRef value;
  if (!lookup(dict, key, value)) return false;
  if (!value || value.get() == Py_None) return true;
  if (PyUnicode_Check(value.get())) {
    auto text = args::utf8_of(value.get());
    if (!text) {
      // A str that has no UTF-8 form (a lone surrogate) is refused like a str
      // given where a list is expected.
      PyErr_Clear();
      PyErr_SetString(PyExc_TypeError, kStrIsNotAList);
      return false;
    }
    if (*text != "*") out = std::vector<std::string>{std::string(*text)};
    return true;
  }
  std::vector<std::string> names;
  if (!read_str_sequence(value.get(), names)) return false;
  out = std::move(names);
  return true;
}

std::optional<core::NameSet> to_filter(std::optional<std::vector<std::string>> names) {
  if (!names) return std::nullopt;
  core::NameSet set;
  for (auto& name : *names) {
    if (name == "*") return std::nullopt;
    set.insert(std::move(name));
  }
  return set;
}

bool scope_from_dict(PyObject* dict, core::AgentScope& out) {
  PyRef ops_value;
  if (!lookup(dict, "operations", ops_value)) return false;
  if (!ops_value) {
    errors::raise(FfiError::other("scope must include an `operations` list"));
    return false;
  }
  std::vector<std::string> words;
  if (!read_str_sequence(ops_value.get(), words)) return false;

  std::optional<std::vector<std::string>> projects;
  if (!extract_filter(dict, "projects", projects)) return false;
  std::optional<std::vector<std::string>> environments;
  if (!extract_filter(dict, "environments", environments)) return false;

  std::set<core::Operation> operations;
  for (std::string& word : words) {
    // ASCII letters only: other characters, whitespace included, stay as given.
    for (char& ch : word) {
      if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    }
    auto op = operation_of(word);
    if (!op) {
      errors::raise(FfiError::other("unknown scope operation `" + word + "` (expected metadata|inject|reveal|write)"));
      return false;
    }
    operations.insert(*op);
  }

  out = core::AgentScope{to_filter(std::move(projects)), to_filter(std::move(environments)), std::move(operations)};
  return true;
}

}  // namespace zantu::ffi::scope
