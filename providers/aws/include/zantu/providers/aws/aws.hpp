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

  // The tool's 10 arguments (the program name "aws" not included).
  [[nodiscard]] std::vector<std::string> aws_args() const;

  friend bool operator==(const AwsRef&, const AwsRef&) = default;
};

// What one run of the tool left. `stdout_bytes` holds the secret and wipes
// itself when dropped; `status` is absent when a signal ended the tool.
struct AwsOutput {
  core::SecretBuffer stdout_bytes;
  std::vector<std::uint8_t> stderr_bytes;
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

  // Parses the reference, runs the tool once and returns its value less one
  // trailing line break. Every failure is `CoreError::Provider`; the tool's
  // own error output never appears in it.
  [[nodiscard]] core::Result<core::SecretValue> materialize(std::string_view reference) const override;
  [[nodiscard]] std::string_view scheme() const noexcept override { return "aws-sm"; }

  [[nodiscard]] std::chrono::nanoseconds timeout() const noexcept { return timeout_; }

 private:
  std::chrono::nanoseconds timeout_;
  std::unique_ptr<AwsRunner> runner_;
};

// A prefix of `bytes`: one trailing "\n" and a "\r" before it removed.
[[nodiscard]] std::span<const std::uint8_t> trim_one_trailing_newline(std::span<const std::uint8_t> bytes) noexcept;

// The error for a run that did not exit with 0: a hint chosen from the tool's
// error output, the reference's parts and the exit code (or "signal").
[[nodiscard]] core::CoreError classify_failure(const AwsRef& ref, std::optional<std::int32_t> status,
                                               std::span<const std::uint8_t> stderr_bytes);

}  // namespace zantu::providers::aws
