// The constructor's scope dictionary, turned into the session's AgentScope.
#pragma once

#include <Python.h>

#include <optional>
#include <string>
#include <vector>

#include "zantu/core/scope.hpp"

namespace zantu::ffi::scope {

// Reads "operations" (required), "projects" and "environments" from `dict` in
// that order; other keys are ignored. Fills `out` and returns true, or returns
// false with the first failure's exception set: a host TypeError for a value
// of the wrong shape, ZantuError for a missing "operations" key or an unknown
// operation word.
[[nodiscard]] bool scope_from_dict(PyObject* dict, core::AgentScope& out);

// Reads the filter under `key`: missing or None gives none (any); a single str
// gives a list of that one name ("*" alone gives none); otherwise a sequence
// of str. Returns false with a TypeError set for anything else.
[[nodiscard]] bool extract_filter(PyObject* dict, const char* key, std::optional<std::vector<std::string>>& out);

// None, or a list holding "*" anywhere, gives none (any); otherwise the set of
// the names.
[[nodiscard]] std::optional<core::NameSet> to_filter(std::optional<std::vector<std::string>> names);

}  // namespace zantu::ffi::scope
