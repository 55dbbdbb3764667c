// The policy table: decides one request from its operation, the record's
// sensitivity, the "prod" environment, the surface and two flags.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "zantu/core/coordinate.hpp"
#include "zantu/core/scope.hpp"
#include "zantu/core/sensitivity.hpp"

namespace zantu::core {

// Where a request comes from. The agent binding always passes `Mcp`.
enum class Surface : std::uint8_t { Cli = 0, WebUi = 1, Mcp = 2 };

enum class DenyReason : std::uint8_t {
  InjectOnlyNeverRevealed = 0,
  McpCriticalForbidden = 1,
  WebUiCriticalMasked = 2,
  ProdRevealIntoAgentContext = 3,
  NotRevealable = 4,
};

enum class DecisionKind : std::uint8_t { Allow = 0, RequireConfirmation = 1, Deny = 2, OutOfScope = 3 };

// One decision: a kind and, for `Deny` only, its reason, packed in one byte.
class Decision {
 public:
  [[nodiscard]] static constexpr Decision allow() noexcept { return Decision(DecisionKind::Allow, 0); }
  [[nodiscard]] static constexpr Decision require_confirmation() noexcept {
    return Decision(DecisionKind::RequireConfirmation, 0);
  }
  [[nodiscard]] static constexpr Decision deny(DenyReason reason) noexcept {
    return Decision(DecisionKind::Deny, static_cast<std::uint8_t>(reason));
  }
  [[nodiscard]] static constexpr Decision out_of_scope() noexcept { return Decision(DecisionKind::OutOfScope, 0); }

  [[nodiscard]] constexpr DecisionKind kind() const noexcept { return static_cast<DecisionKind>(bits_ & 0x3u); }
  // The reason of a `Deny`; none for every other kind.
  [[nodiscard]] constexpr std::optional<DenyReason> deny_reason() const noexcept {
    if (kind() != DecisionKind::Deny) return std::nullopt;
    return static_cast<DenyReason>(bits_ >> 2);
  }

  friend constexpr bool operator==(Decision, Decision) noexcept = default;

 private:
  constexpr Decision(DecisionKind kind, std::uint8_t reason) noexcept
      : bits_(static_cast<std::uint8_t>(static_cast<std::uint8_t>(kind) | (reason << 2))) {}
  std::uint8_t bits_;
};
static_assert(sizeof(Decision) == 1);

// One request to decide; everything is borrowed from the caller.
struct PolicyRequest {
  std::optional<std::string_view> project;
  const Coordinate& coordinate;
  Sensitivity sensitivity;
  Operation operation;
  Surface surface;
  // The record's revealable flag.
  bool revealable;
  // Whether a human attends the request.
  bool attended;
};

namespace policy {

// Decides `request` under `scope`: `OutOfScope` when the scope does not
// address the coordinate under the project or does not permit the operation
// (the two are not told apart), else the table's answer. Pure: no I/O, no
// state, no audit.
[[nodiscard]] Decision decide(const PolicyRequest& request, const AgentScope& scope) noexcept;

// The reason's text form, its enumerator name ("InjectOnlyNeverRevealed", ...).
[[nodiscard]] std::string_view deny_reason_name(DenyReason reason) noexcept;

}  // namespace policy
}  // namespace zantu::core
