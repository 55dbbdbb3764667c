// Attended confirmation: who acts, what a human is asked, and the interface
// that gets the answer.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "zantu/core/sensitivity.hpp"

namespace zantu::core {

// Who acts: written "agent" or "human" in audit lines and request files.
enum class Origin : std::uint8_t { Agent = 0, Human = 1 };

namespace confirm {

[[nodiscard]] constexpr std::string_view origin_wire_name(Origin o) noexcept {
  return o == Origin::Human ? "human" : "agent";
}

}  // namespace confirm

// What a confirmation asks a human. It holds no secret value. Field order is
// the key order of its JSON object.
struct ConfirmRequest {
  std::optional<std::string> resolved_command;  // the command to allow, or a summary of the edit
  std::string coordinate;                       // canonical path(s), several joined with ", "
  Sensitivity sensitivity;
  std::string environment;
  Origin origin;
  std::optional<std::string> requesting_process;     // the caller's trusted identity
  std::optional<std::string> requester_description;  // the requester's own words
  std::optional<std::string> action;
  bool allow_password = false;  // passed on unchanged to the answering side

  // Copies both strings; every optional field absent and `allow_password` false.
  ConfirmRequest(std::string_view coordinate_, Sensitivity sensitivity_, std::string_view environment_,
                 Origin origin_)
      : coordinate(coordinate_), sensitivity(sensitivity_), environment(environment_), origin(origin_) {}

  // Sets `requesting_process` to a copy, replacing an earlier value.
  ConfirmRequest& with_requesting_process(std::string_view process) & {
    requesting_process = std::string(process);
    return *this;
  }
  ConfirmRequest&& with_requesting_process(std::string_view process) && {
    return std::move(with_requesting_process(process));
  }
};

// The answer to a confirmation. Declared order matters: the audit action for
// an outcome is its position + 3 ("approve", "deny", "timeout").
enum class ConfirmOutcome : std::uint8_t { Approved = 0, Denied = 1, TimedOut = 2 };

// Answers confirmation requests. Reports no error: every failure is an
// answer (a failure to ask is a denial).
class Confirmer {
 public:
  virtual ~Confirmer() = default;
  // Asks `request` and blocks the calling thread until it is answered or
  // `timeout` has passed (a negative timeout counts as zero).
  [[nodiscard]] virtual ConfirmOutcome confirm(const ConfirmRequest& request,
                                               std::chrono::nanoseconds timeout) const = 0;
};

}  // namespace zantu::core
