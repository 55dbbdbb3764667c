// The process wrapper's failure: one closed set of kinds, each with a fixed
// text form. No kind ever carries secret bytes.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "zantu/core/error.hpp"

namespace zantu::wrapper {

enum class WrapperErrorKind : std::uint8_t {
  Core,                  // a core failure, carried unchanged
  NotAllowlisted,        // the program text the caller passed
  ConfirmationDenied,    // no payload
  ConfirmationTimedOut,  // no payload
  Spawn,                 // a message made by the runner
  SteeringVariable,      // the variable's name, and why it may not be set
  HelperEnded,           // the program path: the run's helper ended before the program
};

class WrapperError {
 public:
  [[nodiscard]] static WrapperError core(core::CoreError error);
  [[nodiscard]] static WrapperError not_allowlisted(std::string program);
  [[nodiscard]] static WrapperError confirmation_denied();
  [[nodiscard]] static WrapperError confirmation_timed_out();
  [[nodiscard]] static WrapperError spawn(std::string message);
  // A gated run whose text sets `name`, through which it could steer the
  // program; `reason` completes "variable `name` ...".
  [[nodiscard]] static WrapperError steering_variable(std::string name, std::string reason);
  // The helper process that ran `program` was killed, or told to stop, by
  // another process before the program ended. `program_ended`: the program
  // is known to have been ended with it; false when the run could not end
  // it, or not see it end, and it may still be running.
  [[nodiscard]] static WrapperError helper_ended(std::string program, bool program_ended = true);

  [[nodiscard]] WrapperErrorKind kind() const noexcept { return kind_; }
  // The carried core error for `Core`, else nullptr.
  [[nodiscard]] const core::CoreError* core_error() const noexcept { return core_ ? &*core_ : nullptr; }
  // The program text for `NotAllowlisted`, the message for `Spawn`, the
  // variable's name for `SteeringVariable`, the program for `HelperEnded`,
  // else empty.
  [[nodiscard]] const std::string& detail() const noexcept { return detail_; }
  // Why the variable may not be set, for `SteeringVariable`; else empty.
  [[nodiscard]] const std::string& reason() const noexcept { return reason_; }

  // The display text: the core error's own text for `Core`, else the kind's
  // fixed text with the payload filled in.
  [[nodiscard]] std::string to_string() const;

  friend bool operator==(const WrapperError&, const WrapperError&) = default;

 private:
  WrapperError(WrapperErrorKind kind, std::string detail, std::optional<core::CoreError> core,
               std::string reason = {})
      : kind_(kind), detail_(std::move(detail)), reason_(std::move(reason)), core_(std::move(core)) {}

  WrapperErrorKind kind_;
  std::string detail_;
  std::string reason_;
  std::optional<core::CoreError> core_;
  bool program_left_ = false;  // for `HelperEnded`: the program may still be running
};

template <class T>
using Result = std::expected<T, WrapperError>;

}  // namespace zantu::wrapper
