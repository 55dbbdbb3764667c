#include "zantu/wrapper/error.hpp"

namespace zantu::wrapper {

WrapperError WrapperError::core(core::CoreError error) { return {WrapperErrorKind::Core, {}, std::move(error)}; }

WrapperError WrapperError::not_allowlisted(std::string program) {
  return {WrapperErrorKind::NotAllowlisted, std::move(program), std::nullopt};
}

WrapperError WrapperError::confirmation_denied() { return {WrapperErrorKind::ConfirmationDenied, {}, std::nullopt}; }

WrapperError WrapperError::confirmation_timed_out() {
  return {WrapperErrorKind::ConfirmationTimedOut, {}, std::nullopt};
}

WrapperError WrapperError::spawn(std::string message) {
  return {WrapperErrorKind::Spawn, std::move(message), std::nullopt};
}

WrapperError WrapperError::steering_variable(std::string name, std::string reason) {
  return {WrapperErrorKind::SteeringVariable, std::move(name), std::nullopt, std::move(reason)};
}

WrapperError WrapperError::helper_ended(std::string program, bool program_ended) {
  WrapperError e{WrapperErrorKind::HelperEnded, std::move(program), std::nullopt};
  e.program_left_ = !program_ended;
  return e;
}

std::string WrapperError::to_string() const {
  switch (kind_) {
    case WrapperErrorKind::Core:
      return core_->to_string();
    case WrapperErrorKind::NotAllowlisted:
      return "`" + detail_ + "` is not on the executor allowlist; high/prod injection refused (I15)";
    case WrapperErrorKind::ConfirmationDenied:
      return "confirmation denied; high/prod injection refused";
    case WrapperErrorKind::ConfirmationTimedOut:
      return "confirmation timed out; high/prod injection refused";
    case WrapperErrorKind::Spawn:
      return "failed to launch child process: " + detail_;
    case WrapperErrorKind::SteeringVariable:
      return "variable `" + detail_ + "` " + reason_ + "; high/prod injection refused";
    case WrapperErrorKind::HelperEnded:
      return "the run's helper process was ended by another process before `" + detail_ + "` exited; " +
             (program_left_ ? "the program could not be ended and may still be running; its status is unknown"
                            : "the program was ended with it and its status is unknown");
  }
  return detail_;
}

}  // namespace zantu::wrapper
