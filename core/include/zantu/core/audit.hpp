// The audit log: one compact JSON line per event in "<root>/audit.log".
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "zantu/core/confirm.hpp"
#include "zantu/core/error.hpp"

namespace zantu::core {

// Declared order matters: a confirmation outcome's action is its position + 3.
enum class AuditAction : std::uint8_t {
  Access = 0,
  Reveal = 1,
  Inject = 2,
  Approve = 3,
  Deny = 4,
  Timeout = 5,
  SensitivityDowngrade = 6,
  UnattendedDelivery = 7,
  Package = 8,
  ProviderInvocation = 9,
  Create = 10,
  Edit = 11,
  Delete = 12,
  ScopeGrant = 13,
  OutOfScopeAttempt = 14,
};

namespace audit {
// "access", "reveal", …, "out-of-scope-attempt".
[[nodiscard]] std::string_view action_wire_name(AuditAction a) noexcept;
}  // namespace audit

// One audit line. It never holds secret material.
struct AuditEvent {
  std::string ts;
  AuditAction action;
  std::optional<std::string> coordinate;
  std::optional<std::string> environment;
  std::string result;
  std::optional<std::string> origin;
  std::optional<std::string> fingerprint;
  std::optional<std::string> requester_note;

  AuditEvent(std::string ts_, AuditAction action_, std::string result_)
      : ts(std::move(ts_)), action(action_), result(std::move(result_)) {}

  // Sets coordinate and environment, replacing earlier values.
  AuditEvent& at(std::string_view coordinate_, std::string_view environment_) &;
  AuditEvent&& at(std::string_view coordinate_, std::string_view environment_) && {
    return std::move(at(coordinate_, environment_));
  }
  // Sets the origin to "agent" or "human", replacing an earlier value.
  AuditEvent& by(Origin o) &;
  AuditEvent&& by(Origin o) && { return std::move(by(o)); }

  // The line's JSON object (without the trailing "\n"), keys in field order,
  // absent fields left out.
  [[nodiscard]] std::string to_json() const;
};

// Records one event; callers ignore the result (a failed audit write never
// fails the operation that caused it).
class AuditSink {
 public:
  virtual ~AuditSink() = default;
  [[nodiscard]] virtual Status record(const AuditEvent& event) const = 0;
};

// Appends to a file, one open, write and fsync per event; holds no open file.
class FileAuditSink final : public AuditSink {
 public:
  explicit FileAuditSink(std::filesystem::path path) : path_(std::move(path)) {}
  // "<root>/audit.log".
  [[nodiscard]] static FileAuditSink under_root(const std::filesystem::path& root) {
    return FileAuditSink(root / "audit.log");
  }
  [[nodiscard]] const std::filesystem::path& path() const noexcept { return path_; }

  [[nodiscard]] Status record(const AuditEvent& event) const override;

 private:
  std::filesystem::path path_;
};

}  // namespace zantu::core
