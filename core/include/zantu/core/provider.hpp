// Outside providers of reference values, and the router that dispatches on scheme.
#pragma once

#include <string_view>

#include "zantu/core/error.hpp"
#include "zantu/core/secret.hpp"

namespace zantu::core {

// Materialises the value behind a reference text such as "aws-sm://r/s".
class SecretProvider {
 public:
  virtual ~SecretProvider() = default;
  [[nodiscard]] virtual Result<SecretValue> materialize(std::string_view reference) const = 0;
  // The scheme this provider answers ("aws-sm", "azure-kv"; "*" for the router).
  [[nodiscard]] virtual std::string_view scheme() const noexcept = 0;
};

}  // namespace zantu::core
