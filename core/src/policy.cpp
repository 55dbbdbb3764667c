#include "zantu/core/policy.hpp"

namespace zantu::core::policy {
namespace {

Decision decide_reveal(const PolicyRequest& r) noexcept {
  const bool high = r.sensitivity == Sensitivity::High;
  if (r.sensitivity == Sensitivity::InjectOnly) return Decision::deny(DenyReason::InjectOnlyNeverRevealed);
  // The web UI masks high values and ignores the prod rule and both flags.
  if (r.surface == Surface::WebUi) return high ? Decision::deny(DenyReason::WebUiCriticalMasked) : Decision::allow();
  const bool prod = !r.coordinate.env.is_placeholder() && r.coordinate.env.name() == "prod";
  if (prod) {
    if (r.surface == Surface::Mcp) return Decision::deny(DenyReason::McpCriticalForbidden);
    return r.attended ? Decision::require_confirmation() : Decision::deny(DenyReason::ProdRevealIntoAgentContext);
  }
  if (r.surface == Surface::Mcp) {
    if (high) return Decision::deny(DenyReason::McpCriticalForbidden);
    return r.revealable ? Decision::allow() : Decision::deny(DenyReason::NotRevealable);
  }
  return high ? Decision::require_confirmation() : Decision::allow();
}

}  // namespace

Decision decide(const PolicyRequest& request, const AgentScope& scope) noexcept {
  if (!scope.addresses(request.coordinate, request.project)) return Decision::out_of_scope();
  if (!scope.permits(request.operation)) return Decision::out_of_scope();
  switch (request.operation) {
    case Operation::Metadata:
    case Operation::Write:
      return Decision::allow();
    case Operation::Inject:
      return request.sensitivity == Sensitivity::High ? Decision::require_confirmation() : Decision::allow();
    case Operation::Reveal:
      return decide_reveal(request);
  }
  return Decision::out_of_scope();
}

std::string_view deny_reason_name(DenyReason reason) noexcept {
  switch (reason) {
    case DenyReason::InjectOnlyNeverRevealed:
      return "InjectOnlyNeverRevealed";
    case DenyReason::McpCriticalForbidden:
      return "McpCriticalForbidden";
    case DenyReason::WebUiCriticalMasked:
      return "WebUiCriticalMasked";
    case DenyReason::ProdRevealIntoAgentContext:
      return "ProdRevealIntoAgentContext";
    case DenyReason::NotRevealable:
      return "NotRevealable";
  }
  return "";
}

}  // namespace zantu::core::policy
