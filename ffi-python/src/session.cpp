#include "session.hpp"

#include <sodium.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "zantu/core/confirm.hpp"
#include "zantu/core/crypto.hpp"
#include "zantu/core/file_read.hpp"
#include "zantu/core/fingerprint.hpp"
#include "zantu/core/keypair.hpp"
#include "zantu/core/policy.hpp"
#include "zantu/core/store.hpp"
#include "zantu/core/totp.hpp"
#include "zantu/core/utf8.hpp"

namespace zantu::ffi {
namespace {

using core::CoreError;

constexpr const char* kSaltFile = "kdf.salt";
// Far above any real salt (`zantu init` writes a few dozen bytes), so a file
// past it is no salt, and is refused before it is read.
constexpr std::size_t kMaxSaltLen = 4096;

static_assert(session::kAlphabet.size() == 62);
static_assert(session::alphabet_index(0x00000000u) == 0);
static_assert(session::alphabet_index(0x03FFFFFFu) == 0);
static_assert(session::alphabet_index(0x04000000u) == 1);
static_assert(session::alphabet_index(0xF7FFFFFFu) == 61);
static_assert(session::alphabet_index(0xF8000000u) == -1);
static_assert(session::alphabet_index(0xFFFFFFFFu) == -1);

std::string lower_ascii(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = core::utf8::ascii_lower(c);
  return out;
}

core::VaultOrigin vault_origin(std::optional<std::string> project) {
  if (!project) return core::VaultOrigin::Global{};
  return core::VaultOrigin::Project{std::move(*project)};
}

bool is_prod(std::string_view environment) noexcept { return environment == "prod"; }

// The metadata row of the policy table: visible exactly when the scope
// addresses the coordinate under the project and permits metadata.
bool metadata_visible(const core::AgentScope& scope, const core::Coordinate& c,
                      std::optional<std::string_view> project) noexcept {
  const core::PolicyRequest request{project, c, core::Sensitivity::Low, core::Operation::Metadata,
                                    core::Surface::Mcp, false, false};
  return core::policy::decide(request, scope) == core::Decision::allow();
}

bool write_permitted(const core::AgentScope& scope, const core::Coordinate& c,
                     std::optional<std::string_view> project) noexcept {
  return scope.permits(core::Operation::Write) && scope.addresses(c, project);
}

// `length` characters drawn uniformly from the alphabet, four random bytes
// (little-endian) per draw.
core::SecretBuffer random_text(std::uint64_t length) {
  core::SecretBuffer text;
  text.reserve(static_cast<std::size_t>(length));
  for (std::uint64_t i = 0; i < length;) {
    std::uint8_t b[4];
    randombytes_buf(b, sizeof b);
    const std::uint32_t draw = static_cast<std::uint32_t>(b[0]) | (static_cast<std::uint32_t>(b[1]) << 8) |
                               (static_cast<std::uint32_t>(b[2]) << 16) | (static_cast<std::uint32_t>(b[3]) << 24);
    sodium_memzero(b, sizeof b);
    const int index = session::alphabet_index(draw);
    if (index < 0) continue;
    text.push_back(static_cast<std::uint8_t>(session::kAlphabet[static_cast<std::size_t>(index)]));
    ++i;
  }
  return text;
}

}  // namespace

// ---------------------------------------------------------------------------
// Shared steps

namespace session {

FfiResult<core::Coordinate> parse_concrete(std::string_view text) {
  auto parsed = core::Coordinate::from_str(text);
  if (!parsed) return std::unexpected(FfiError::other(parsed.error().to_string()));
  if (auto path = parsed->canonical_path(); !path) {
    return std::unexpected(
        FfiError::other(path.error().to_string() + " (a coordinate must be concrete, not ${ENV})"));
  }
  return std::move(*parsed);
}

FfiResult<core::Sensitivity> parse_sensitivity(std::string_view text) {
  std::string word = lower_ascii(text);
  for (char& c : word) {
    if (c == '_') c = '-';
  }
  if (word == "low") return core::Sensitivity::Low;
  if (word == "medium") return core::Sensitivity::Medium;
  if (word == "high") return core::Sensitivity::High;
  if (word == "inject-only" || word == "injectonly") return core::Sensitivity::InjectOnly;
  return std::unexpected(
      FfiError::other("unknown sensitivity `" + word + "` (expected low|medium|high|inject-only)"));
}

std::string env_of(const core::Coordinate& coordinate) {
  if (coordinate.env.is_placeholder()) {
    throw Panic("internal error: entered unreachable code: parse_concrete rejects placeholders");
  }
  return std::string(coordinate.env.name());
}

std::optional<std::string> origin_for(std::optional<std::string_view> project) {
  if (!project) return std::nullopt;
  return std::string(*project);
}

FfiResult<void> check_project_name(std::optional<std::string_view> project) {
  if (!project) return {};
  const std::string_view name = *project;
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
      name.find('\0') != std::string_view::npos) {
    return std::unexpected(FfiError::other("invalid project name `" + std::string(name) + "`"));
  }
  return {};
}

RecordView view_of(const core::SecretRecord& record, core::VaultOrigin origin) {
  static constexpr std::string_view kTotpNames[] = {"SHA1", "SHA256", "SHA512"};
  RecordView v;
  v.origin = origin.is_global() ? std::string("global") : "project:" + std::string(origin.project());

  struct Visitor {
    RecordView& v;
    void operator()(const core::SecretRecord::Literal& r) const {
      v.mode = "literal";
      v.fingerprint = core::fingerprint::fingerprint(r.value.as_bytes());
    }
    void operator()(const core::SecretRecord::Reference& r) const {
      v.mode = "reference";
      v.fingerprint = "\xe2\x86\x92 " + r.ref;
      v.reference = r.ref;
    }
    void operator()(const core::SecretRecord::Keypair& r) const {
      v.mode = r.private_key ? "keypair:" : "pubkey:";
      v.mode += core::keypair::wire_name(r.algorithm);
      v.fingerprint = core::fingerprint::fingerprint(std::span(
          reinterpret_cast<const std::uint8_t*>(r.public_key.data()), r.public_key.size()));
    }
    void operator()(const core::SecretRecord::Totp& r) const {
      const std::string_view name = kTotpNames[static_cast<std::size_t>(r.algorithm)];
      v.mode = "totp:" + lower_ascii(name);
      const std::string text = "totp:" + std::string(name) + ":" + std::to_string(r.digits) + ":" +
                               std::to_string(r.period);
      v.fingerprint = core::fingerprint::fingerprint(
          std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()));
    }
  };
  std::visit(Visitor{v}, record.mode);

  const core::RecordMeta& meta = record.meta();
  v.environment = meta.environment;
  v.component = meta.component;
  v.key = meta.key;
  v.coordinate.reserve(meta.environment.size() + meta.component.size() + meta.key.size() + 2);
  v.coordinate.append(meta.environment).append("/").append(meta.component).append("/").append(meta.key);
  v.sensitivity = lower_ascii(core::sensitivity::debug_name(meta.sensitivity));
  v.revealable = meta.revealable;
  return v;
}

}  // namespace session

// ---------------------------------------------------------------------------
// Opening

FfiResult<std::unique_ptr<Session>> Session::open(std::optional<std::string> vault_dir, core::AgentScope scope,
                                                  std::optional<core::SecretBuffer> passphrase) {
  std::filesystem::path root;
  if (vault_dir) {
    root = std::move(*vault_dir);
  } else if (const char* env = std::getenv("ZANTU_VAULT_DIR"); env != nullptr) {
    root = env;
  } else {
    auto home = core::Registry::default_root();
    if (!home) return std::unexpected(FfiError::core(home.error()));
    root = std::move(*home);
  }

  if (!passphrase) {
    if (const char* env = std::getenv("ZANTU_PASSPHRASE"); env != nullptr && core::utf8::is_valid(env)) {
      passphrase.emplace(std::string_view(env));
    }
  }

  std::unique_ptr<core::Keyring> keyring;
  if (passphrase) {
    auto salt = core::read_whole_file(root / kSaltFile, kMaxSaltLen, core::FileLinks::Follow);
    if (!salt && salt.error().kind == core::FileReadFailureKind::TooLarge) {
      return std::unexpected(FfiError::other(std::string("reading ") + kSaltFile + " from the vault root: " +
                                             salt.error().to_string() + ", which no salt is"));
    }
    if (!salt) {
      return std::unexpected(FfiError::other(std::string("reading ") + kSaltFile +
                                             " from the vault root (run `zantu init` first)"));
    }
    // Takes the passphrase over, and wipes it also when it refuses the salt.
    auto argon2 = core::Argon2Keyring::create(std::move(*passphrase), std::move(*salt));
    passphrase.reset();
    if (!argon2) return std::unexpected(FfiError::core(argon2.error()));
    keyring = std::make_unique<core::Argon2Keyring>(std::move(*argon2));
  } else {
    keyring = std::make_unique<core::OsKeyring>();
  }

  auto key = keyring->get_master_key();
  if (!key) return std::unexpected(FfiError::other("obtaining the master key (run `zantu init`?)"));

  auto registry = core::Registry::open(root);
  if (!registry) return std::unexpected(FfiError::core(registry.error()));
  keyring.reset();

  // The session holds the one long-lived copy; `key` wipes its own on return.
  return std::make_unique<Session>(OpenToken{}, std::move(scope), std::move(root), std::move(*registry), *key);
}

// ---------------------------------------------------------------------------
// Common helpers

std::filesystem::path Session::vault_of(std::optional<std::string_view> project) const {
  return project ? registry_.project_dir(*project) : registry_.global_dir();
}

void Session::audit(core::AuditAction action, std::string_view result, std::string_view coordinate,
                    std::string_view environment) const {
  const core::FileAuditSink sink = core::FileAuditSink::under_root(root_);
  core::AuditEvent event(clock_.now_rfc3339(), action, std::string(result));
  event.at(coordinate, environment).by(core::Origin::Agent);
  // An audit line that cannot be written never fails the operation.
  (void)sink.record(event);
}

// ---------------------------------------------------------------------------
// Reads

FfiResult<std::vector<RecordView>> Session::list_visible() const {
  std::vector<RecordView> views;
  // Records of one vault: the scope decides per record, with the project the
  // vault belongs to (none for the global vault).
  auto add_vault = [&](const std::filesystem::path& dir, std::optional<std::string_view> project) -> FfiResult<void> {
    auto loaded = core::store::load_all(dir, master_key_);
    if (!loaded) return std::unexpected(FfiError::core(loaded.error()));
    std::string text;
    for (const auto& [id, record] : loaded->records) {
      const core::RecordMeta& meta = record.meta();
      text.assign("secret:").append(meta.environment).append("/").append(meta.component).append("/").append(
          meta.key);
      auto c = core::Coordinate::from_str(text);
      if (!c || !metadata_visible(scope_, *c, project)) continue;
      views.push_back(session::view_of(record, vault_origin(session::origin_for(project))));
    }
    return {};
  };

  if (auto s = add_vault(registry_.global_dir(), std::nullopt); !s) return std::unexpected(s.error());
  auto projects = registry_.list_projects();
  if (!projects) return std::unexpected(FfiError::core(projects.error()));
  for (const std::string& name : *projects) {
    if (auto s = add_vault(registry_.project_dir(name), name); !s) return std::unexpected(s.error());
  }
  return views;
}

FfiResult<RecordView> Session::status_of(std::string_view coordinate, std::optional<std::string_view> project) const {
  auto c = session::parse_concrete(coordinate);
  if (!c) return std::unexpected(c.error());
  if (!metadata_visible(scope_, *c, project)) return std::unexpected(FfiError::not_addressable());
  if (auto s = session::check_project_name(project); !s) return std::unexpected(s.error());
  auto found = registry_.resolve_with_key(*c, project, master_key_);
  if (!found) return std::unexpected(FfiError::core(found.error()));
  if (!*found) return std::unexpected(FfiError::not_addressable());
  return session::view_of((*found)->second, std::move((*found)->first));
}

FfiResult<std::string> Session::fingerprint_of(std::string_view coordinate,
                                               std::optional<std::string_view> project) const {
  auto view = status_of(coordinate, project);
  if (!view) return std::unexpected(view.error());
  return std::move(view->fingerprint);
}

FfiResult<core::SecretBuffer> Session::reveal(std::string_view coordinate,
                                              std::optional<std::string_view> project) const {
  auto c = session::parse_concrete(coordinate);
  if (!c) return std::unexpected(c.error());
  if (!scope_.addresses(*c, project) || !scope_.permits(core::Operation::Reveal)) {
    return std::unexpected(FfiError::not_addressable());
  }
  if (auto s = session::check_project_name(project); !s) return std::unexpected(s.error());
  auto found = registry_.resolve_with_key(*c, project, master_key_);
  if (!found) return std::unexpected(FfiError::core(found.error()));
  if (!*found) return std::unexpected(FfiError::not_addressable());
  const core::SecretRecord& record = (*found)->second;

  const auto* literal = std::get_if<core::SecretRecord::Literal>(&record.mode);
  if (literal == nullptr) {
    if (std::holds_alternative<core::SecretRecord::Reference>(record.mode)) {
      return std::unexpected(
          FfiError::policy_denied("reference value is materialized at run time, not revealable over MCP"));
    }
    if (std::holds_alternative<core::SecretRecord::Keypair>(record.mode)) {
      return std::unexpected(FfiError::policy_denied(
          "a keypair's private key is never revealed (I11/I14); use it through sign/decrypt/ssh-add via the CLI"));
    }
    return std::unexpected(FfiError::policy_denied(
        "a TOTP seed is never revealed (I11/I14); derive a code on demand with `zantu code` via the CLI"));
  }

  core::SecretBuffer value(literal->value.as_bytes());
  const core::PolicyRequest request{project, *c, literal->meta.sensitivity, core::Operation::Reveal,
                                    core::Surface::Mcp, literal->meta.revealable, false};
  const std::string path = *c->canonical_path();
  const std::string environment = session::env_of(*c);
  const core::Decision decision = core::policy::decide(request, scope_);
  switch (decision.kind()) {
    case core::DecisionKind::Allow:
      audit(core::AuditAction::Reveal, "revealed", path, environment);
      return value;
    case core::DecisionKind::RequireConfirmation:
      return std::unexpected(
          FfiError::policy_denied("reveal requires attended confirmation (not available over MCP)"));
    case core::DecisionKind::Deny:
      audit(core::AuditAction::Deny, "denied", path, environment);
      return std::unexpected(
          FfiError::policy_denied(std::string(core::policy::deny_reason_name(*decision.deny_reason()))));
    case core::DecisionKind::OutOfScope:
      break;
  }
  return std::unexpected(FfiError::not_addressable());
}

// ---------------------------------------------------------------------------
// Writes

FfiResult<RecordView> Session::set(std::string_view coordinate, core::SecretBuffer&& value,
                                   std::optional<std::string_view> project) const {
  core::SecretBuffer owned = std::move(value);
  auto c = session::parse_concrete(coordinate);
  if (!c) return std::unexpected(c.error());
  if (!write_permitted(scope_, *c, project)) return std::unexpected(FfiError::not_addressable());
  if (auto s = session::check_project_name(project); !s) return std::unexpected(s.error());
  // Where generate refuses its length, before the vault is read: a longer
  // value would make a record file the store refuses to write.
  if (owned.size() > session::kMaxValueLen) {
    return std::unexpected(
        FfiError::other("value must be at most " + std::to_string(session::kMaxValueLen) + " bytes"));
  }

  std::string environment = session::env_of(*c);
  const std::filesystem::path dir = vault_of(project);
  const std::string now = core::clock::format_rfc3339_utc(clock_.unix_secs());

  auto existing = core::store::read_record(dir, *c, master_key_);
  if (!existing) return std::unexpected(FfiError::core(existing.error()));

  core::RecordMeta meta;
  core::AuditAction action = core::AuditAction::Create;
  std::string_view result = "created";
  if (!*existing) {
    meta.sensitivity = is_prod(environment) ? core::Sensitivity::High : core::Sensitivity::Medium;
    meta.revealable = false;
    meta.created = now;
  } else {
    const core::SecretRecord& old = **existing;
    if (std::holds_alternative<core::SecretRecord::Keypair>(old.mode)) {
      return std::unexpected(
          FfiError::other("`" + std::string(coordinate) + "` is a keypair; it cannot be overwritten with `set`"));
    }
    if (std::holds_alternative<core::SecretRecord::Totp>(old.mode)) {
      return std::unexpected(FfiError::other("`" + std::string(coordinate) +
                                             "` is a TOTP enrollment; it cannot be overwritten with `set`"));
    }
    const core::RecordMeta& m = old.meta();
    meta.sensitivity = m.sensitivity;
    meta.revealable = m.revealable;
    meta.description = m.description;
    meta.created = m.created;
    action = core::AuditAction::Edit;
    result = "value-updated";
  }
  meta.environment = environment;
  meta.component = c->component;
  meta.key = c->key;
  meta.updated = now;
  const core::SecretRecord record(core::SecretRecord::Literal{core::SecretValue(std::move(owned)), std::move(meta)});

  auto sealed = core::crypto::seal(record, master_key_);
  if (!sealed) return std::unexpected(FfiError::core(sealed.error()));
  if (auto s = core::store::write_record(dir, *c, *sealed); !s) return std::unexpected(FfiError::core(s.error()));

  audit(action, result, *c->canonical_path(), environment);
  return session::view_of(record, vault_origin(session::origin_for(project)));
}

FfiResult<RecordView> Session::generate(std::string_view coordinate, std::uint64_t length,
                                        std::optional<std::string_view> sensitivity,
                                        std::optional<std::string> description,
                                        std::optional<std::string_view> project) const {
  auto c = session::parse_concrete(coordinate);
  if (!c) return std::unexpected(c.error());
  if (!write_permitted(scope_, *c, project)) return std::unexpected(FfiError::not_addressable());
  if (auto s = session::check_project_name(project); !s) return std::unexpected(s.error());
  if (length == 0) return std::unexpected(FfiError::other("length must be at least 1"));
  // Refused before anything is reserved: the text is allocated whole.
  if (length > session::kMaxValueLen) {
    return std::unexpected(FfiError::other("length must be at most " + std::to_string(session::kMaxValueLen)));
  }

  std::string environment = session::env_of(*c);
  const std::filesystem::path dir = vault_of(project);
  auto existing = core::store::read_record(dir, *c, master_key_);
  if (!existing) return std::unexpected(FfiError::core(existing.error()));
  if (*existing) return std::unexpected(FfiError::other("`" + std::string(coordinate) + "` already exists"));

  core::Sensitivity level = core::Sensitivity::Medium;
  if (sensitivity) {
    auto parsed = session::parse_sensitivity(*sensitivity);
    if (!parsed) return std::unexpected(parsed.error());
    level = *parsed;
  }
  if (is_prod(environment)) level = core::Sensitivity::High;

  core::SecretBuffer text = random_text(length);
  const std::string now = core::clock::format_rfc3339_utc(clock_.unix_secs());

  core::RecordMeta meta;
  meta.sensitivity = level;
  meta.revealable = false;
  meta.environment = environment;
  meta.component = c->component;
  meta.key = c->key;
  meta.description = std::move(description);
  meta.created = now;
  meta.updated = now;
  const core::SecretRecord record(core::SecretRecord::Literal{core::SecretValue(std::move(text)), std::move(meta)});

  auto sealed = core::crypto::seal(record, master_key_);
  if (!sealed) return std::unexpected(FfiError::core(sealed.error()));
  if (auto s = core::store::write_record(dir, *c, *sealed); !s) return std::unexpected(FfiError::core(s.error()));

  audit(core::AuditAction::Create, "generated", *c->canonical_path(), environment);
  return session::view_of(record, vault_origin(session::origin_for(project)));
}

FfiResult<void> Session::delete_secret(std::string_view coordinate, std::optional<std::string_view> project) const {
  auto c = session::parse_concrete(coordinate);
  if (!c) return std::unexpected(c.error());
  if (!write_permitted(scope_, *c, project)) return std::unexpected(FfiError::not_addressable());
  if (auto s = session::check_project_name(project); !s) return std::unexpected(s.error());

  const std::filesystem::path dir = vault_of(project);
  auto existing = core::store::read_record(dir, *c, master_key_);
  if (!existing) return std::unexpected(FfiError::core(existing.error()));
  if (!*existing) return std::unexpected(FfiError::not_addressable());
  if (auto s = core::store::delete_record(dir, *c); !s) return std::unexpected(FfiError::core(s.error()));

  audit(core::AuditAction::Delete, "deleted", *c->canonical_path(), session::env_of(*c));
  return {};
}

}  // namespace zantu::ffi
