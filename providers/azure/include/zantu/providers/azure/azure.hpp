// References of the scheme "azure-kv" ("azure-kv://<vault>/<secret>"),
// resolved through the `az` command-line tool.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "zantu/core/error.hpp"
#include "zantu/core/provider.hpp"
#include "zantu/core/secret.hpp"

namespace zantu::providers::azure {

// The limit the system gives every run of the tool.
inline constexpr std::chrono::seconds kToolTimeout{15};

// A parsed reference: both parts non-empty, without "/", not beginning with "-".
struct AzureRef {
  std::string vault;
  std::string secret_name;

  // Parses "azure-kv://<vault>/<secret>". Fails with `CoreError::Provider`
  // naming the whole reference.
  [[nodiscard]] static core::Result<AzureRef> parse(std::string_view reference);

  // The tool's 11 arguments (the program name "az" not included).
  [[nodiscard]] std::vector<std::string> az_args() const;

  friend bool operator==(const AzureRef&, const AzureRef&) = default;
};

// Checks one non-empty part of `reference` (its vault or secret name, called
// `label` in the message): no leading "-", only ASCII letters, digits and "-".
[[nodiscard]] core::Status validate_segment(std::string_view part, std::string_view label,
                                            std::string_view reference);

// What one run of the tool left. `stdout_bytes` holds the secret; both wipe
// themselves when dropped, since the tool may quote part of a value on its
// standard error. `status` is absent when a signal ended the tool.
struct AzOutput {
  core::SecretBuffer stdout_bytes;
  core::SecretBuffer stderr_bytes;
  std::optional<std::int32_t> status;
};

// Runs the tool with the given arguments under a time limit.
class AzRunner {
 public:
  virtual ~AzRunner() = default;
  // Fails only when the tool could not be started, waited on or finished in
  // time (`CoreError::Provider`); any exit of the tool is an `AzOutput`.
  [[nodiscard]] virtual core::Result<AzOutput> run(std::span<const std::string> args,
                                                   std::chrono::nanoseconds limit) const = 0;
};

// Runs the real `az` found on PATH, with standard input on /dev/null and
// without the caller's "ZANTU_" variables.
class SystemAzRunner final : public AzRunner {
 public:
  [[nodiscard]] core::Result<AzOutput> run(std::span<const std::string> args,
                                           std::chrono::nanoseconds limit) const override;
};

class AzureProvider final : public core::SecretProvider {
 public:
  // The system's provider: `SystemAzRunner` under `kToolTimeout`.
  AzureProvider();
  // Any runner under any limit; `runner` must not be null.
  AzureProvider(std::chrono::nanoseconds timeout, std::unique_ptr<AzRunner> runner);

  // Parses the reference, runs the tool once and returns the secret's value
  // as `parse_secret_value` reads it from the tool's output. A run that exits
  // with 0 but says on its standard error that it could not encode its output
  // ("Unable to encode the output") printed the value with characters
  // dropped, and fails with its own message. Every failure is
  // `CoreError::Provider`; the tool's own output never appears in it.
  [[nodiscard]] core::Result<core::SecretValue> materialize(std::string_view reference) const override;
  [[nodiscard]] std::string_view scheme() const noexcept override { return "azure-kv"; }

  [[nodiscard]] std::chrono::nanoseconds timeout() const noexcept { return timeout_; }

 private:
  std::chrono::nanoseconds timeout_;
  std::unique_ptr<AzRunner> runner_;
};

// The value in what a successful run printed (`--query value -o json`): one
// JSON string, white space around it allowed, decoded byte-exact (escapes,
// surrogate pairs and raw UTF-8 alike; nothing trimmed) straight into the
// returned value. Fails with `CoreError::Provider` naming the secret and
// vault: for the empty string ("resolved to an empty value"), and for any
// other output, whose bytes the message never holds.
[[nodiscard]] core::Result<core::SecretValue> parse_secret_value(const AzureRef& ref,
                                                                 std::span<const std::uint8_t> stdout_bytes);

// The error for a run that did not exit with 0: a hint chosen from the tool's
// error output with the vault and secret name taken out (a name never chooses
// the hint), the reference's parts and the exit code (or "signal").
[[nodiscard]] core::CoreError classify_failure(const AzureRef& ref, std::optional<std::int32_t> status,
                                               std::span<const std::uint8_t> stderr_bytes);

}  // namespace zantu::providers::azure
