// An agent session's fixed scope: which projects and environments it may
// address and which kinds of operation it may perform.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "zantu/core/coordinate.hpp"

namespace zantu::core {

// The kinds of operation a scope grants; the scope words are "metadata",
// "inject", "reveal" and "write".
enum class Operation : std::uint8_t { Metadata = 0, Inject = 1, Reveal = 2, Write = 3 };

// Names compare byte for byte (case-sensitive); the transparent comparator lets
// a borrowed name be looked up without a copy.
using NameSet = std::set<std::string, std::less<>>;

struct AgentScope {
  // None means any project.
  std::optional<NameSet> projects;
  // None means any environment.
  std::optional<NameSet> environments;
  std::set<Operation> operations;

  // Whether the scope grants `operation`.
  [[nodiscard]] bool permits(Operation operation) const noexcept;

  // Whether the scope reaches `coordinate` under `project` (none: a request
  // without a project, which only a scope with any project reaches). A
  // coordinate whose environment is still the `${ENV}` placeholder is never
  // addressed. The `//global/` selector, component, key and fragment play no
  // part.
  [[nodiscard]] bool addresses(const Coordinate& coordinate, std::optional<std::string_view> project) const noexcept;
};

}  // namespace zantu::core
