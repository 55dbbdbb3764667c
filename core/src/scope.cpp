#include "zantu/core/scope.hpp"

namespace zantu::core {

bool AgentScope::permits(Operation operation) const noexcept { return operations.contains(operation); }

bool AgentScope::addresses(const Coordinate& coordinate, std::optional<std::string_view> project) const noexcept {
  if (coordinate.env.is_placeholder()) return false;
  const bool env_ok = !environments || environments->contains(coordinate.env.name());
  // A scope restricted to some projects never reaches a request made without one.
  const bool project_ok = !projects || (project && projects->contains(*project));
  return env_ok && project_ok;
}

}  // namespace zantu::core
