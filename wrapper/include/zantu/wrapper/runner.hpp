// Starting one child process with injected environment values and collecting
// its output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zantu/core/child.hpp"
#include "zantu/core/secret.hpp"
#include "zantu/wrapper/error.hpp"

namespace zantu::wrapper {

// One variable to set in the child. The value is wiped when the pair is dropped.
struct EnvPair {
  std::string name;
  core::SecretValue value;
};

// Which PATH a program name without "/" is searched on: `PathSearch::Child`,
// the PATH the child receives (a `PATH` pair in `Command::env` takes part), or
// `PathSearch::Caller`, the calling process's own PATH.
using PathSearch = core::PathSearch;

// The longest environment string the kernel copies into a new program,
// `NAME=`, the value and the final NUL together (MAX_ARG_STRLEN, 32 pages):
// execve fails with E2BIG on a longer one.
inline constexpr std::size_t kMaxEnvStringLen = core::kMaxArgStringLen;

// Why no environment can hold the variable `name` with `value`: a NUL byte in
// the value, or a string longer than `kMaxEnvStringLen`; nullopt when it
// fits. The text names the variable, never a byte of the value.
[[nodiscard]] std::optional<std::string> refuse_unholdable(std::string_view name, std::string_view value);

// What to start. Owns every field; dropping it wipes the values.
struct Command {
  // The executable: a path with "/" is started by that path (a relative one
  // against the current directory); a name without "/" is searched on the
  // PATH that `path_search` chooses. The child sees it as argv[0].
  std::string program;
  // The arguments after argv[0], passed as they are.
  std::vector<std::string> args;
  // Set in the child in order, after the inherited environment is scrubbed;
  // a later pair replaces an earlier one of the same name.
  std::vector<EnvPair> env;
  // true: the child shares the caller's stdin, stdout and stderr and nothing
  // is captured.
  bool inherit_stdio = false;
  PathSearch path_search = PathSearch::Child;
};

// What came back from a child. The captured bytes live in wiping buffers,
// since they may hold injected values until they are masked.
struct Output {
  core::SecretBuffer stdout_bytes;  // empty when the stdio was inherited
  core::SecretBuffer stderr_bytes;  // empty when the stdio was inherited
  // The exit code (0 to 255); absent when a signal ended the child.
  std::optional<std::int32_t> status;
};

// Why `command` cannot be started as asked, checked in this order, the first
// fault only: a NUL byte in the program or an argument; a variable's name
// that holds a NUL, is empty or holds "="; a value that no environment can
// hold (`refuse_unholdable`) or that is not UTF-8; then what exec would
// refuse for size (`core::child::exec_size_fault`) in the environment the
// child would get now: an argument or a variable inherited from this process
// longer than `kMaxEnvStringLen`, or everything together past what the
// kernel takes. nullopt when none holds. The text names the program, the
// argument's position (1 is the first after the program) or the variable,
// never a byte of a value. `SystemRunner` refuses with it before it starts
// anything, and the wrapper before anyone is asked or any "inject" line is
// written, so the two never disagree.
[[nodiscard]] std::optional<std::string> refuse_unpassable(const Command& command);

// Runs one command to its end.
class ProcessRunner {
 public:
  virtual ~ProcessRunner() = default;
  [[nodiscard]] virtual Result<Output> run(const Command& command) const = 0;
};

// Starts the child through `core::child::run`: the calling process's
// environment less every variable whose name begins with "ZANTU_", plus
// `Command::env`; stdin on /dev/null and stdout and stderr captured (unless
// inherited); no other descriptor of the caller; SIGPIPE, SIGXFSZ, SIGCHLD and
// every signal the host handles at their default action, and an empty signal
// mask. The host's own SIGCHLD setting or reaper never takes the child's
// status, and a seccomp filter that refuses the newer process calls changes
// nothing. Blocks until the child itself ends, with no time limit; then takes
// what is in the pipes and returns: a descendant that still holds them is not
// waited for, and what it writes later is not captured.
// Fails with `WrapperError::Spawn`: what `refuse_unpassable` refuses (before
// anything starts), or a launch, wait or read failure
// ("launch {program}: {os error}"); or with `WrapperError::HelperEnded` when
// another process killed or stopped the run's helper (the child is ended
// with it, or the error says that it may still be running).
class SystemRunner final : public ProcessRunner {
 public:
  [[nodiscard]] Result<Output> run(const Command& command) const override;
};

}  // namespace zantu::wrapper
