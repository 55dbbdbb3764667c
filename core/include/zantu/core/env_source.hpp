// Reading the variables that `${env:NAME}` sources name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace zantu::core {

// Reads one environment variable. Callers use it through this interface so
// tests can supply their own environment.
class EnvSource {
 public:
  virtual ~EnvSource() = default;
  // The variable's value when it is set (an empty value is set), else none.
  [[nodiscard]] virtual std::optional<std::string> get(std::string_view name) const = 0;
};

// The calling process's environment. A value that is not valid UTF-8 counts
// as unset. Every name whose first six bytes are "ZANTU_" counts as unset too:
// those variables configure the vault itself (its passphrase among them) and
// are withheld from wrapped programs, so a `.env.refs` text must not be able
// to copy them into a child's environment either.
class SystemEnvSource final : public EnvSource {
 public:
  [[nodiscard]] std::optional<std::string> get(std::string_view name) const override;
};

}  // namespace zantu::core
