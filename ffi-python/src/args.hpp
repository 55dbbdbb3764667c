// Argument binding and conversion for the module's entry points, with
// CPython-style signature errors and the "while processing" note.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zantu/core/secret.hpp"

namespace zantu::ffi::args {

struct Param {
  const char* name;
  bool required;
};

// Binds vectorcall arguments (METH_FASTCALL | METH_KEYWORDS) to `params`.
// `out[i]` receives a borrowed reference, or null when the optional parameter
// was not given. `func` names the callable in messages, e.g.
// "ZantuSession.status". Returns false with a TypeError set.
[[nodiscard]] bool bind_fastcall(std::string_view func, std::span<const Param> params, PyObject* const* args,
                                 Py_ssize_t nargs, PyObject* kwnames, std::span<PyObject*> out);

// The same for a tuple and an optional dict (tp_new, tp_call).
[[nodiscard]] bool bind_tuple(std::string_view func, std::span<const Param> params, PyObject* args,
                              PyObject* kwargs, std::span<PyObject*> out);

// Adds the note "while processing '<name>'" to the exception being raised; if
// adding the note fails, the original exception is kept without it.
void note_while_processing(const char* name);

// Conversions. Each fills `out` and returns true, or returns false with an
// exception set and the note for `name` added. "Optional" conversions treat a
// missing argument and None alike (out stays or becomes empty).
[[nodiscard]] bool to_str(PyObject* o, const char* name, std::string& out);
[[nodiscard]] bool to_opt_str(PyObject* o, const char* name, std::optional<std::string>& out);
[[nodiscard]] bool to_opt_bool(PyObject* o, const char* name, std::optional<bool>& out);
// A str whose text is a secret (a passphrase, a value): its UTF-8 form is
// made only inside `out`, never as the str's own cached UTF-8 copy, which
// would outlive the call unwiped. Lone surrogates raise UnicodeEncodeError.
[[nodiscard]] bool to_secret_str(PyObject* o, const char* name, core::SecretBuffer& out);
[[nodiscard]] bool to_opt_secret_str(PyObject* o, const char* name, std::optional<core::SecretBuffer>& out);
// A sequence (not a str) whose every item is a str, into a list of texts.
// A str itself raises TypeError "Can't extract `str` to `Vec`".
[[nodiscard]] bool to_str_list(PyObject* o, const char* name, std::vector<std::string>& out);
// Through the index protocol into an unsigned 64-bit value (OverflowError when
// negative or too large).
[[nodiscard]] bool to_u64(PyObject* o, const char* name, std::uint64_t& out);

// Raises TypeError "'<type>' object cannot be converted to '<expected>'".
void type_error(PyObject* o, const char* expected);

// The UTF-8 text of a str, or nullopt with the host's error set (lone
// surrogates raise UnicodeEncodeError).
[[nodiscard]] std::optional<std::string_view> utf8_of(PyObject* str);

}  // namespace zantu::ffi::args
