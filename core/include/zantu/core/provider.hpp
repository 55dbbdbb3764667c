// Outside providers of reference values, and the router that dispatches on scheme.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

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

// A provider that hands each reference to the registered provider whose scheme
// equals the text before the reference's first "://". It owns its providers.
class SchemeRouter final : public SecretProvider {
 public:
  SchemeRouter() = default;
  SchemeRouter(SchemeRouter&&) noexcept = default;
  SchemeRouter& operator=(SchemeRouter&&) noexcept = default;

  // Appends `provider` (a null one is not registered) and returns the router:
  //   auto router = SchemeRouter().with(std::move(a)).with(std::move(b));
  [[nodiscard]] SchemeRouter with(std::unique_ptr<SecretProvider> provider) &&;

  // Asks the provider registered last among those whose scheme matches and
  // returns its result unchanged. Fails with `Provider` when the reference has
  // no "://" or no provider answers its scheme.
  [[nodiscard]] Result<SecretValue> materialize(std::string_view reference) const override;
  [[nodiscard]] std::string_view scheme() const noexcept override { return "*"; }

  // In registration order.
  [[nodiscard]] const std::vector<std::unique_ptr<SecretProvider>>& providers() const noexcept { return providers_; }

 private:
  std::vector<std::unique_ptr<SecretProvider>> providers_;
};

}  // namespace zantu::core
