#include "zantu/core/provider.hpp"

#include <ranges>
#include <string>

namespace zantu::core {

SchemeRouter SchemeRouter::with(std::unique_ptr<SecretProvider> provider) && {
  if (provider) providers_.push_back(std::move(provider));
  return std::move(*this);
}

Result<SecretValue> SchemeRouter::materialize(std::string_view reference) const {
  auto sep = reference.find("://");
  if (sep == std::string_view::npos) {
    std::string msg = "reference `";
    msg += reference;
    msg += "` is malformed: expected `<scheme>://\u2026`";
    return std::unexpected(CoreError::provider(std::move(msg)));
  }
  std::string_view scheme = reference.substr(0, sep);
  for (const auto& p : providers_ | std::views::reverse) {
    if (p->scheme() == scheme) return p->materialize(reference);
  }
  std::string msg = "no provider registered for reference scheme `";
  msg += scheme;
  msg += "` (supported: azure-kv, aws-sm)";
  return std::unexpected(CoreError::provider(std::move(msg)));
}

}  // namespace zantu::core
