// Session::edit_metadata: metadata edits, with a human's approval before a
// high or inject-only level is lowered.
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "session.hpp"
#include "zantu/core/confirm.hpp"
#include "zantu/core/crypto.hpp"
#include "zantu/core/file_confirm.hpp"
#include "zantu/core/store.hpp"

namespace zantu::ffi {
namespace {

std::string lower_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

// What the human is shown: the edit and the level it lowers from, the new
// level in lower case and the current one as the enumeration spells it.
std::string downgrade_summary(std::string_view path, core::Sensitivity to, core::Sensitivity from) {
  return "edit " + std::string(path) + " --sensitivity " + lower_ascii(core::sensitivity::debug_name(to)) +
         " (downgrade from " + std::string(core::sensitivity::debug_name(from)) + ")";
}

}  // namespace

namespace session {

FfiResult<core::SecretRecord> apply_edits(core::SecretRecord stored, std::optional<core::Sensitivity> sensitivity,
                                          std::optional<std::string> description,
                                          std::optional<std::string> reference, std::optional<bool> revealable,
                                          std::string_view environment, std::string now) {
  if (reference) {
    auto* ref = std::get_if<core::SecretRecord::Reference>(&stored.mode);
    if (ref == nullptr) {
      std::string_view what = "a TOTP enrollment";
      if (std::holds_alternative<core::SecretRecord::Literal>(stored.mode)) what = "a literal";
      if (std::holds_alternative<core::SecretRecord::Keypair>(stored.mode)) what = "a keypair";
      return std::unexpected(
          FfiError::other("`reference` edits a reference secret; this is " + std::string(what)));
    }
    ref->ref = std::move(*reference);
  }
  // The record is edited where it lies: its secret bytes never move or copy.
  core::RecordMeta& meta = stored.meta();
  if (sensitivity) meta.sensitivity = *sensitivity;
  if (revealable) meta.revealable = *revealable;
  if (description) meta.description = std::move(*description);
  meta.environment = std::string(environment);
  meta.updated = std::move(now);
  return stored;
}

}  // namespace session

FfiResult<RecordView> Session::edit_metadata(std::string_view coordinate, std::optional<std::string_view> sensitivity,
                                             std::optional<std::string> description, std::optional<bool> revealable,
                                             std::optional<std::string> reference,
                                             std::optional<std::string_view> project) const {
  const core::FileConfirmer confirmer = core::FileConfirmer::under_root(root_);
  auto c = session::parse_concrete(coordinate);
  if (!c) return std::unexpected(c.error());
  if (!scope_.permits(core::Operation::Write) || !scope_.addresses(*c, project)) {
    return std::unexpected(FfiError::not_addressable());
  }
  if (auto s = session::check_project_name(project); !s) return std::unexpected(s.error());

  const std::filesystem::path dir = vault_of(project);
  auto stored = core::store::read_record(dir, *c, master_key_);
  if (!stored) return std::unexpected(FfiError::core(stored.error()));
  if (!*stored) return std::unexpected(FfiError::not_addressable());

  const std::string environment = session::env_of(*c);
  const core::Sensitivity current = (*stored)->meta().sensitivity;
  std::optional<core::Sensitivity> level;
  if (sensitivity) {
    auto parsed = session::parse_sensitivity(*sensitivity);
    if (!parsed) return std::unexpected(parsed.error());
    level = *parsed;
  }
  auto path = c->canonical_path();
  if (!path) return std::unexpected(FfiError::core(path.error()));

  if (level && *level < current && current >= core::Sensitivity::High) {
    core::ConfirmRequest request(*path, current, environment, core::Origin::Agent);
    request.resolved_command = downgrade_summary(*path, *level, current);
    request.allow_password = true;
    switch (confirmer.confirm(request, session::confirm_timeout())) {
      case core::ConfirmOutcome::Approved:
        audit(core::AuditAction::Approve, "approved-downgrade", *path, environment);
        break;
      case core::ConfirmOutcome::Denied:
        audit(core::AuditAction::Deny, "denied-downgrade", *path, environment);
        return std::unexpected(FfiError::policy_denied("denied \xe2\x80\x94 sensitivity not lowered"));
      case core::ConfirmOutcome::TimedOut:
        audit(core::AuditAction::Timeout, "timeout-downgrade", *path, environment);
        return std::unexpected(FfiError::policy_denied("timed out \xe2\x80\x94 sensitivity not lowered"));
    }
    // The wait can be long: what a human changed meanwhile (a rotated value,
    // a removal) must not be overwritten with the copy read before it.
    stored = core::store::read_record(dir, *c, master_key_);
    if (!stored) return std::unexpected(FfiError::core(stored.error()));
    if (!*stored) return std::unexpected(FfiError::not_addressable());
  }
  // Against the record that is replaced, which is the one read last.
  const bool lowered = level && *level < (*stored)->meta().sensitivity;

  std::string now = core::clock::format_rfc3339_utc(clock_.unix_secs());
  auto edited = session::apply_edits(std::move(**stored), level, std::move(description), std::move(reference),
                                     revealable, environment, std::move(now));
  if (!edited) return std::unexpected(edited.error());

  auto sealed = core::crypto::seal(*edited, master_key_);
  if (!sealed) return std::unexpected(FfiError::core(sealed.error()));
  if (auto s = core::store::write_record(dir, *c, *sealed); !s) return std::unexpected(FfiError::core(s.error()));

  if (lowered) audit(core::AuditAction::SensitivityDowngrade, "downgraded", *path, environment);
  audit(core::AuditAction::Edit, "metadata-updated", *path, environment);
  std::optional<std::string> origin = session::origin_for(project);
  if (!origin) return session::view_of(*edited, core::VaultOrigin::Global{});
  return session::view_of(*edited, core::VaultOrigin::Project{std::move(*origin)});
}

}  // namespace zantu::ffi
