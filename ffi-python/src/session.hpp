// The state behind one ZantuSession object and the operations an agent runs
// on it. Nothing here touches Python: every operation returns its value or an
// FfiError, which the module converts once.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "errors.hpp"
#include "zantu/core/audit.hpp"
#include "zantu/core/clock.hpp"
#include "zantu/core/coordinate.hpp"
#include "zantu/core/keyring.hpp"
#include "zantu/core/record.hpp"
#include "zantu/core/registry.hpp"
#include "zantu/core/scope.hpp"
#include "zantu/core/secret.hpp"
#include "zantu/core/sensitivity.hpp"
#include "zantu/core/store.hpp"

namespace zantu::ffi {

// The metadata of one record as an agent sees it: never a secret byte.
struct RecordView {
  std::string coordinate;  // "<environment>/<component>/<key>"
  std::string environment;
  std::string component;
  std::string key;
  std::string sensitivity;  // "low", "medium", "high" or "injectonly"
  std::string mode;
  std::string fingerprint;
  bool revealable = false;
  std::string origin;  // "global" or "project:<name>"
  std::optional<std::string> reference;
};

// What a successful injected run hands back: the child's exit code (absent
// after a signal) and its output with the injected vault values masked.
struct InjectOutput {
  std::optional<std::int32_t> status;
  core::SecretBuffer stdout_bytes;
  core::SecretBuffer stderr_bytes;
};

// One agent session: a fixed scope, a vault root with its registry, the
// master key and a clock. Never changed after `open`; destroying it wipes the
// key.
class Session {
  // Only `open` makes sessions.
  struct OpenToken {
    explicit OpenToken() = default;
  };

 public:
  // Opens a session on `vault_dir` (else $ZANTU_VAULT_DIR, else
  // "$HOME/.vaults"). With a passphrase (else $ZANTU_PASSPHRASE when it is
  // UTF-8) the key is derived from it and "<root>/kdf.salt"; without one it
  // comes from the OS secret store. The passphrase is wiped on every path.
  [[nodiscard]] static FfiResult<std::unique_ptr<Session>> open(std::optional<std::string> vault_dir,
                                                                core::AgentScope scope,
                                                                std::optional<core::SecretBuffer> passphrase);

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  [[nodiscard]] const core::AgentScope& scope() const noexcept { return scope_; }
  [[nodiscard]] const std::filesystem::path& root() const noexcept { return root_; }
  [[nodiscard]] const core::Registry& registry() const noexcept { return registry_; }

  // Views of every record the scope shows: the global vault, then each
  // project in name order. Files that cannot be opened are left out.
  [[nodiscard]] FfiResult<std::vector<RecordView>> list_visible() const;
  // The view of one coordinate, from the project's vault or else the global one.
  [[nodiscard]] FfiResult<RecordView> status_of(std::string_view coordinate,
                                                std::optional<std::string_view> project) const;
  [[nodiscard]] FfiResult<std::string> fingerprint_of(std::string_view coordinate,
                                                      std::optional<std::string_view> project) const;
  // A copy of a literal's bytes when the policy lets the agent see them.
  [[nodiscard]] FfiResult<core::SecretBuffer> reveal(std::string_view coordinate,
                                                     std::optional<std::string_view> project) const;

  // Creates the literal or replaces the value of a literal or reference
  // record, in the named vault only. Takes the value over.
  [[nodiscard]] FfiResult<RecordView> set(std::string_view coordinate, core::SecretBuffer&& value,
                                          std::optional<std::string_view> project) const;
  // Creates a literal of `length` random letters and digits; never replaces.
  [[nodiscard]] FfiResult<RecordView> generate(std::string_view coordinate, std::uint64_t length,
                                               std::optional<std::string_view> sensitivity,
                                               std::optional<std::string> description,
                                               std::optional<std::string_view> project) const;
  // Removes the record of any mode from the named vault.
  [[nodiscard]] FfiResult<void> delete_secret(std::string_view coordinate,
                                              std::optional<std::string_view> project) const;

  // Changes a record's sensitivity, description, revealable flag and (for a
  // reference record) reference, in the named vault only; the value stays.
  // Lowering a high or inject-only level first asks a human through
  // "<root>/pending" and goes on only when approved, with the record as it
  // reads after the answer. Refusals: a denied or unanswered downgrade is
  // `PolicyDenied`, a reference edit on another mode `Other`.
  [[nodiscard]] FfiResult<RecordView> edit_metadata(std::string_view coordinate,
                                                    std::optional<std::string_view> sensitivity,
                                                    std::optional<std::string> description,
                                                    std::optional<bool> revealable,
                                                    std::optional<std::string> reference,
                                                    std::optional<std::string_view> project) const;

  // Files an intake request under "<root>/intake" asking a human to supply the
  // value for `coordinate` (kept as written) and returns its id at once. Reads
  // no vault. An empty project is filed as none.
  [[nodiscard]] FfiResult<std::string> request_intake(std::string_view coordinate,
                                                      std::optional<std::string_view> sensitivity,
                                                      std::optional<std::string_view> description,
                                                      std::optional<std::string_view> project,
                                                      std::optional<std::string_view> client_identity) const;

  // Runs `program` with the values of the `.env.refs` text `refs` in its
  // environment. Reads the root's `allowlist` file first; refuses (as not
  // addressable) before anything is resolved, audited or run when the scope
  // does not permit injection or does not address one of the text's
  // coordinates (`env` filling "${ENV}"). The project is `project`, else the
  // text's own line. Allowlist, steering-variable and confirmation refusals
  // are `PolicyDenied`; resolution and launch failures `Other`; a parse
  // failure `Core`.
  [[nodiscard]] FfiResult<InjectOutput> inject_run(std::string_view refs, std::string_view env,
                                                   std::string_view program, std::span<const std::string> args,
                                                   std::optional<std::string_view> project,
                                                   std::optional<std::string_view> client_identity) const;

  // Appends one agent audit line under the root; a failed write is ignored.
  void audit(core::AuditAction action, std::string_view result, std::string_view coordinate,
             std::string_view environment) const;

  Session(OpenToken, core::AgentScope scope, std::filesystem::path root, core::Registry registry,
          const core::MasterKey& key)
      : scope_(std::move(scope)), root_(std::move(root)), registry_(std::move(registry)), master_key_(key) {}

 private:

  // The vault that a write names: the project's, else the global one.
  [[nodiscard]] std::filesystem::path vault_of(std::optional<std::string_view> project) const;

  core::AgentScope scope_;
  std::filesystem::path root_;
  core::Registry registry_;
  core::MasterKey master_key_;
  core::SystemClock clock_;
};

namespace session {

// The longest value `set` stores and the longest text `generate` makes, in
// bytes: every record either writes stays within what the store reads back.
inline constexpr std::uint64_t kMaxValueLen = core::store::kMaxValueLen;

// The 62 characters of generated values, in index order.
inline constexpr std::string_view kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

// The alphabet index of one 32-bit draw (its top six bits), or -1 when the
// draw must be discarded (4160749568 = 62 * 2^26 and above).
[[nodiscard]] constexpr int alphabet_index(std::uint32_t draw) noexcept {
  return draw > 0xF7FFFFFFu ? -1 : static_cast<int>(draw >> 26);
}

// A coordinate with a concrete environment, selector and fragment kept.
[[nodiscard]] FfiResult<core::Coordinate> parse_concrete(std::string_view text);
// "low", "medium", "high", "inject-only"/"injectonly", ASCII case and "_"
// for "-" folded.
[[nodiscard]] FfiResult<core::Sensitivity> parse_sensitivity(std::string_view text);
// The environment name of a coordinate that parse_concrete accepted.
[[nodiscard]] std::string env_of(const core::Coordinate& coordinate);
// The project whose vault a write went to; none for the global vault.
[[nodiscard]] std::optional<std::string> origin_for(std::optional<std::string_view> project);
// Refuses a project name that would not name one directory under "projects"
// (empty, ".", "..", or holding "/" or NUL).
[[nodiscard]] FfiResult<void> check_project_name(std::optional<std::string_view> project);
// The view of a record found in the vault `origin` names.
[[nodiscard]] RecordView view_of(const core::SecretRecord& record, core::VaultOrigin origin);

// The record `stored` with the given edits made and its environment and
// update time set; every other field, secret bytes included, moves over
// unchanged. A reference edit on a record of another mode is `Other`.
[[nodiscard]] FfiResult<core::SecretRecord> apply_edits(core::SecretRecord stored,
                                                        std::optional<core::Sensitivity> sensitivity,
                                                        std::optional<std::string> description,
                                                        std::optional<std::string> reference,
                                                        std::optional<bool> revealable, std::string_view environment,
                                                        std::string now);

// How long a confirmation (an injected run's, a downgrade's) waits for a
// human's answer.
inline constexpr std::chrono::seconds kConfirmTimeout{120};
// The variable through which the test suite shortens that wait, in whole
// milliseconds; it can never lengthen it.
inline constexpr const char* kConfirmTimeoutTestVar = "ZANTU_TEST_CONFIRM_TIMEOUT_MS";
// kConfirmTimeout, or the shorter wait that kConfirmTimeoutTestVar names when
// it is set to decimal digits only.
[[nodiscard]] std::chrono::nanoseconds confirm_timeout();

}  // namespace session
}  // namespace zantu::ffi
