#include "args.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "pyref.hpp"

namespace zantu::ffi::args {
namespace {

// Room made ahead for the items of a sequence; more is made as they are read.
constexpr std::size_t kMaxReserve = 64;

std::string plural(std::size_t n, const char* word) {
  std::string s = std::to_string(n);
  s += ' ';
  s += word;
  if (n != 1) s += 's';
  return s;
}

void signature_error(std::string_view func, const std::string& what) {
  std::string msg(func);
  msg += "() ";
  msg += what;
  PyErr_SetString(PyExc_TypeError, msg.c_str());
}

void too_many_positional(std::string_view func, std::span<const Param> params, std::size_t given) {
  std::size_t required = 0;
  for (const auto& p : params) required += p.required ? 1 : 0;
  std::string what = "takes ";
  if (required == params.size()) {
    what += std::to_string(params.size());
  } else {
    what += "from " + std::to_string(required) + " to " + std::to_string(params.size());
  }
  what += params.size() == 1 && required == 1 ? " positional argument" : " positional arguments";
  what += " but " + std::to_string(given) + (given == 1 ? " was given" : " were given");
  signature_error(func, what);
}

void missing_required(std::string_view func, std::span<const Param> params, std::span<PyObject*> out) {
  std::vector<std::string> names;
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (params[i].required && out[i] == nullptr) names.push_back(std::string("'") + params[i].name + "'");
  }
  std::string list;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) list += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    list += names[i];
  }
  signature_error(func, "missing " + plural(names.size(), "required positional argument").substr(0) + ": " + list);
}

// Binds one keyword; false with TypeError set on an unknown or repeated name.
bool bind_keyword(std::string_view func, std::span<const Param> params, PyObject* key, PyObject* value,
                  std::span<PyObject*> out) {
  if (!PyUnicode_Check(key)) {
    signature_error(func, "keywords must be strings");
    return false;
  }
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0) {
      if (out[i] != nullptr) {
        signature_error(func, std::string("got multiple values for argument '") + params[i].name + "'");
        return false;
      }
      out[i] = value;
      return true;
    }
  }
  PyRef repr = PyRef::steal(PyObject_Repr(key));
  std::string shown = "?";
  if (repr) {
    if (auto u = utf8_of(repr.get())) shown = std::string(*u);
    PyErr_Clear();
  }
  signature_error(func, "got an unexpected keyword argument " + shown);
  return false;
}

bool finish(std::string_view func, std::span<const Param> params, std::span<PyObject*> out) {
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (params[i].required && out[i] == nullptr) {
      missing_required(func, params, out);
      return false;
    }
  }
  return true;
}

}  // namespace

bool bind_fastcall(std::string_view func, std::span<const Param> params, PyObject* const* args, Py_ssize_t nargsf,
                   PyObject* kwnames, std::span<PyObject*> out) {
  for (auto& o : out) o = nullptr;
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  if (nargs > params.size()) {
    too_many_positional(func, params, nargs);
    return false;
  }
  for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (!bind_keyword(func, params, PyTuple_GetItem(kwnames, k), args[nargs + static_cast<std::size_t>(k)], out)) {
        return false;
      }
    }
  }
  return finish(func, params, out);
}

bool bind_tuple(std::string_view func, std::span<const Param> params, PyObject* args, PyObject* kwargs,
                std::span<PyObject*> out) {
  for (auto& o : out) o = nullptr;
  const Py_ssize_t n = args ? PyTuple_Size(args) : 0;
  if (n < 0) return false;
  const auto nargs = static_cast<std::size_t>(n);
  if (nargs > params.size()) {
    too_many_positional(func, params, nargs);
    return false;
  }
  for (std::size_t i = 0; i < nargs; ++i) out[i] = PyTuple_GetItem(args, static_cast<Py_ssize_t>(i));
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(func, params, key, value, out)) return false;
    }
  }
  return finish(func, params, out);
}

void note_while_processing(const char* name) {
  PyRef exc = PyRef::steal(PyErr_GetRaisedException());
  if (!exc) return;
  std::string note = std::string("while processing '") + name + "'";
  PyRef res = PyRef::steal(PyObject_CallMethod(exc.get(), "add_note", "s", note.c_str()));
  if (!res) PyErr_Clear();  // keep the original exception, without the note
  PyErr_SetRaisedException(exc.release());
}

void type_error(PyObject* o, const char* expected) {
  PyRef tname = PyRef::steal(PyType_GetName(Py_TYPE(o)));
  std::string shown = "?";
  if (tname) {
    if (auto u = utf8_of(tname.get())) shown = std::string(*u);
  }
  PyErr_Clear();
  std::string msg = "'" + shown + "' object cannot be converted to '" + expected + "'";
  PyErr_SetString(PyExc_TypeError, msg.c_str());
}

std::optional<std::string_view> utf8_of(PyObject* str) {
  Py_ssize_t len = 0;
  const char* p = PyUnicode_AsUTF8AndSize(str, &len);
  if (p == nullptr) return std::nullopt;
  return std::string_view(p, static_cast<std::size_t>(len));
}

bool to_str(PyObject* o, const char* name, std::string& out) {
  if (o == nullptr || !PyUnicode_Check(o)) {
    if (o != nullptr) type_error(o, "PyString");
    note_while_processing(name);
    return false;
  }
  auto u = utf8_of(o);
  if (!u) {
    note_while_processing(name);
    return false;
  }
  out.assign(*u);
  return true;
}

bool to_opt_str(PyObject* o, const char* name, std::optional<std::string>& out) {
  out.reset();
  if (o == nullptr || o == Py_None) return true;
  std::string s;
  if (!to_str(o, name, s)) return false;
  out = std::move(s);
  return true;
}

bool to_secret_str(PyObject* o, const char* name, core::SecretBuffer& out) {
  out.clear();
  if (o == nullptr || !PyUnicode_Check(o)) {
    if (o != nullptr) type_error(o, "PyString");
    note_while_processing(name);
    return false;
  }
  const Py_ssize_t len = PyUnicode_GetLength(o);
  if (len < 0) {
    note_while_processing(name);
    return false;
  }
  // The code points, in a wiping buffer of their own.
  const auto num_points = static_cast<std::size_t>(len);
  core::SecretBuffer points;
  points.resize((num_points + 1) * sizeof(Py_UCS4));
  auto* ucs4 = reinterpret_cast<Py_UCS4*>(points.data());
  if (PyUnicode_AsUCS4(o, ucs4, len + 1, 1) == nullptr) {
    note_while_processing(name);
    return false;
  }
  std::size_t utf8_len = 0;
  for (std::size_t i = 0; i < num_points; ++i) {
    const Py_UCS4 cp = ucs4[i];
    if (cp >= 0xD800 && cp <= 0xDFFF) {
      // The host's own error for a text without a UTF-8 form; it fails
      // before it caches anything.
      if (PyUnicode_AsUTF8AndSize(o, nullptr) == nullptr) {
        note_while_processing(name);
        return false;
      }
      PyErr_SetString(PyExc_UnicodeError, "surrogates not allowed");
      note_while_processing(name);
      return false;
    }
    utf8_len += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  }
  out.reserve(utf8_len);
  for (std::size_t i = 0; i < num_points; ++i) {
    const Py_UCS4 cp = ucs4[i];
    if (cp < 0x80) {
      out.push_back(static_cast<std::uint8_t>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<std::uint8_t>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<std::uint8_t>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<std::uint8_t>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<std::uint8_t>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<std::uint8_t>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<std::uint8_t>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<std::uint8_t>(0x80 | (cp & 0x3F)));
    }
  }
  return true;
}

bool to_opt_secret_str(PyObject* o, const char* name, std::optional<core::SecretBuffer>& out) {
  out.reset();
  if (o == nullptr || o == Py_None) return true;
  core::SecretBuffer text;
  if (!to_secret_str(o, name, text)) return false;
  out.emplace(std::move(text));
  return true;
}

bool to_opt_bool(PyObject* o, const char* name, std::optional<bool>& out) {
  out.reset();
  if (o == nullptr || o == Py_None) return true;
  if (!PyBool_Check(o)) {
    type_error(o, "PyBool");
    note_while_processing(name);
    return false;
  }
  out = (o == Py_True);
  return true;
}

bool to_u64(PyObject* o, const char* name, std::uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(o));
  if (!index) {
    note_while_processing(name);
    return false;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    note_while_processing(name);
    return false;
  }
  out = static_cast<std::uint64_t>(v);
  return true;
}

bool to_str_list(PyObject* o, const char* name, std::vector<std::string>& out) {
  // A str is a sequence too, but never one of arguments.
  if (PyUnicode_Check(o)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    note_while_processing(name);
    return false;
  }
  if (!PySequence_Check(o)) {
    type_error(o, "Sequence");
    note_while_processing(name);
    return false;
  }
  const Py_ssize_t n = PySequence_Size(o);
  if (n < 0) {
    note_while_processing(name);
    return false;
  }
  std::vector<std::string> items;
  // The length is what the object says of itself; items are taken only as
  // they come.
  items.reserve(std::min(static_cast<std::size_t>(n), kMaxReserve));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef item = PyRef::steal(PySequence_GetItem(o, i));
    std::string text;
    if (!item || !to_str(item.get(), name, text)) {
      if (!item) note_while_processing(name);
      return false;
    }
    items.push_back(std::move(text));
  }
  out = std::move(items);
  return true;
}

}  // namespace zantu::ffi::args
