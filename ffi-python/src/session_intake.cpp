// Session::request_intake: asks a human to supply a value out of band.
#include <optional>
#include <string>
#include <utility>

#include "session.hpp"
#include "zantu/core/intake.hpp"

namespace zantu::ffi {

FfiResult<std::string> Session::request_intake(std::string_view coordinate,
                                               std::optional<std::string_view> sensitivity,
                                               std::optional<std::string_view> description,
                                               std::optional<std::string_view> project,
                                               std::optional<std::string_view> client_identity) const {
  auto c = session::parse_concrete(coordinate);
  if (!c) return std::unexpected(c.error());
  if (!scope_.permits(core::Operation::Write) || !scope_.addresses(*c, project)) {
    return std::unexpected(FfiError::not_addressable());
  }
  // The project is only data here, but the companion tool makes a vault path
  // of it: an empty one is none, anything that is not one directory is refused.
  if (project && !project->empty()) {
    if (auto s = session::check_project_name(project); !s) return std::unexpected(s.error());
  }

  core::PendingIntake intake;
  intake.coordinate = std::string(coordinate);
  intake.environment = session::env_of(*c);
  intake.sensitivity = core::Sensitivity::Medium;
  if (sensitivity) {
    auto parsed = session::parse_sensitivity(*sensitivity);
    if (!parsed) return std::unexpected(parsed.error());
    intake.sensitivity = *parsed;
  }
  intake.origin = core::Origin::Agent;
  intake.with_project(project ? std::optional<std::string>(std::string(*project)) : std::nullopt);
  if (description) intake.with_description(*description);
  if (client_identity) intake.with_requesting_process(*client_identity);

  const core::IntakeBroker broker = core::IntakeBroker::under_root(root_);
  auto filed = broker.create(std::move(intake));
  if (!filed) return std::unexpected(FfiError::core(filed.error()));
  return std::move(filed->id);
}

}  // namespace zantu::ffi
