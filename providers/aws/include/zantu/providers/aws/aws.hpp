// References of the scheme "aws-sm" ("aws-sm://<region>/<secret>"), resolved
// through the `aws` command-line tool.
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

namespace zantu::providers::aws {

// The limit the system gives every run of the tool.
inline constexpr std::chrono::seconds kToolTimeout{15};

// A parsed reference: both parts non-empty, neither beginning with "-".
struct AwsRef {
  std::string region;
  std::string secret_name;

  // Parses "aws-sm://<region>/<secret>" (the secret name may hold "/").
  // Fails with `CoreError::Provider` naming the whole reference.
  [[nodiscard]] static core::Result<AwsRef> parse(std::string_view reference);

  // The tool's 10 arguments (the program name "aws" not included), ending in
  // `--query SecretString --output json`: the tool then prints one JSON value,
  // the secret's text as a string, or null when it has none (a secret stored
  // as SecretBinary). Its text output could not tell that null from the
  // string "None".
  [[nodiscard]] std::vector<std::string> aws_args() const;

  friend bool operator==(const AwsRef&, const AwsRef&) = default;
};

// What one run of the tool left. `stdout_bytes` holds the secret; both wipe
// themselves when dropped, since the tool may quote part of a value on its
// standard error. `status` is absent when a signal ended the tool.
struct AwsOutput {
  core::SecretBuffer stdout_bytes;
  core::SecretBuffer stderr_bytes;
  std::optional<std::int32_t> status;
};

// Runs the tool with the given arguments under a time limit.
class AwsRunner {
 public:
  virtual ~AwsRunner() = default;
  // Fails only when the tool could not be started, waited on or finished in
  // time (`CoreError::Provider`); any exit of the tool is an `AwsOutput`.
  [[nodiscard]] virtual core::Result<AwsOutput> run(std::span<const std::string> args,
                                                    std::chrono::nanoseconds limit) const = 0;
};

// Runs the real `aws` found on PATH, with standard input on /dev/null and
// without the caller's "ZANTU_" variables.
class SystemAwsRunner final : public AwsRunner {
 public:
  [[nodiscard]] core::Result<AwsOutput> run(std::span<const std::string> args,
                                            std::chrono::nanoseconds limit) const override;
};

class AwsProvider final : public core::SecretProvider {
 public:
  // The system's provider: `SystemAwsRunner` under `kToolTimeout`.
  AwsProvider();
  // Any runner under any limit; `runner` must not be null.
  AwsProvider(std::chrono::nanoseconds timeout, std::unique_ptr<AwsRunner> runner);

  // Parses the reference, runs the tool once and returns the secret's text as
  // `parse_secret_string` reads it from the tool's output. Every failure is
  // `CoreError::Provider`; the tool's own output never appears in it.
  [[nodiscard]] core::Result<core::SecretValue> materialize(std::string_view reference) const override;
  [[nodiscard]] std::string_view scheme() const noexcept override { return "aws-sm"; }

  [[nodiscard]] std::chrono::nanoseconds timeout() const noexcept { return timeout_; }

 private:
  std::chrono::nanoseconds timeout_;
  std::unique_ptr<AwsRunner> runner_;
};

// The value in what a successful run printed: one JSON string, white space
// around it allowed, decoded byte-exact (escapes, surrogate pairs and raw
// UTF-8 alike; nothing trimmed) straight into the returned value. Fails with
// `CoreError::Provider` naming the secret and region: for null (a binary
// secret, refused), for the empty string ("resolved to an empty value"), and
// for any other output, whose bytes the message never holds.
[[nodiscard]] core::Result<core::SecretValue> parse_secret_string(const AwsRef& ref,
                                                                  std::span<const std::uint8_t> stdout_bytes);

// The error for a run that did not exit with 0: a hint chosen from the tool's
// error output with the region and secret name taken out (a name never
// chooses the hint), the reference's parts and the exit code (or "signal").
[[nodiscard]] core::CoreError classify_failure(const AwsRef& ref, std::optional<std::int32_t> status,
                                               std::span<const std::uint8_t> stderr_bytes);

}  // namespace zantu::providers::aws
