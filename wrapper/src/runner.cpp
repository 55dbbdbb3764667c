#include "zantu/wrapper/runner.hpp"

// sys/user.h gives the PAGE_SIZE that linux/binfmts.h counts MAX_ARG_STRLEN in.
#include <linux/binfmts.h>
#include <sys/user.h>

#include <string_view>
#include <utility>
#include <vector>

#include "zantu/core/child.hpp"
#include "zantu/core/error.hpp"
#include "zantu/core/utf8.hpp"

namespace zantu::wrapper {

static_assert(core::kMaxArgStringLen == MAX_ARG_STRLEN);

namespace {

std::string launch_error(const Command& c, int errnum, bool null_device = false) {
  return "launch " + core::utf8::to_lossy(c.program) + ": " +
         (null_device ? std::string(core::kNullDeviceFailureText) + ": " : std::string()) +
         core::os_error_text(errnum);
}

// `command` as the core's runner takes it, borrowing from it; `env` holds the
// variables' views.
core::ChildCommand child_command(const Command& command, std::vector<core::ChildEnvVar>& env) {
  env.clear();
  env.reserve(command.env.size());
  for (const auto& [name, value] : command.env) env.push_back({name, value.as_bytes()});
  core::ChildCommand child;
  child.program = command.program;
  child.args = command.args;
  child.env = env;
  child.path_search = command.path_search;
  child.inherit_stdio = command.inherit_stdio;
  return child;
}

}  // namespace

std::optional<std::string> refuse_unholdable(std::string_view name, std::string_view value) {
  if (value.find('\0') != std::string_view::npos) {
    return "value for `" + core::utf8::to_lossy(name) + "` contains a NUL byte and cannot be injected";
  }
  // "NAME=" before the value and the NUL after it count against the limit.
  if (name.size() + 1 + value.size() + 1 > kMaxEnvStringLen) {
    return core::child::exec_size_fault_text(
        {.kind = core::ExecSizeFaultKind::VariableTooLong, .name = std::string(name)});
  }
  return std::nullopt;
}

std::optional<std::string> refuse_unpassable(const Command& c) {
  if (c.program.find('\0') != std::string::npos) return "program contains a NUL byte and cannot be launched";
  for (std::size_t i = 0; i < c.args.size(); ++i) {
    if (c.args[i].find('\0') != std::string::npos) {
      return "argument " + std::to_string(i + 1) + " contains a NUL byte and cannot be passed";
    }
  }
  for (std::size_t i = 0; i < c.env.size(); ++i) {
    const auto& [name, value] = c.env[i];
    if (name.find('\0') != std::string::npos) {
      return "name of variable " + std::to_string(i + 1) + " contains a NUL byte and cannot be injected";
    }
    // An "=" would make the child see a different variable than the one named.
    if (name.empty() || name.find('=') != std::string::npos) {
      return "variable name `" + core::utf8::to_lossy(name) + "` is empty or contains `=` and cannot be injected";
    }
    if (auto refusal = refuse_unholdable(name, value.view())) return refusal;
    if (!core::utf8::is_valid(value.view())) {
      return "value for `" + core::utf8::to_lossy(name) + "` is not valid UTF-8 and cannot be injected";
    }
  }
  std::vector<core::ChildEnvVar> env;
  if (auto fault = core::child::exec_size_fault(child_command(c, env))) {
    return core::child::exec_size_fault_text(*fault);
  }
  return std::nullopt;
}

Result<Output> SystemRunner::run(const Command& command) const {
  if (auto refusal = refuse_unpassable(command)) return std::unexpected(WrapperError::spawn(std::move(*refusal)));

  std::vector<core::ChildEnvVar> env;
  auto ran = core::child::run(child_command(command, env));
  if (!ran && ran.error().kind == core::ChildFailureKind::SupervisorEnded) {
    return std::unexpected(
        WrapperError::helper_ended(core::utf8::to_lossy(command.program), ran.error().program_ended));
  }
  // Refused above already, unless the environment or the stack limit changed in between.
  if (!ran && ran.error().kind == core::ChildFailureKind::TooLargeToStart) {
    return std::unexpected(WrapperError::spawn(core::child::exec_size_fault_text(*ran.error().size_fault)));
  }
  // No limit and no output bound are set, so every other failure is a launch failure.
  if (!ran) {
    std::string message = launch_error(command, ran.error().errnum, ran.error().null_device);
    if (!ran.error().program_ended) message += "; the program could not be ended and may still be running";
    return std::unexpected(WrapperError::spawn(std::move(message)));
  }
  if (ran->read_errnum != 0) return std::unexpected(WrapperError::spawn(launch_error(command, ran->read_errnum)));
  return Output{std::move(ran->stdout_bytes), std::move(ran->stderr_bytes), ran->status};
}

}  // namespace zantu::wrapper
