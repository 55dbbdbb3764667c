// What the two cloud providers share: running their command-line tool under a
// time limit, reading its one JSON answer and choosing a hint for its failure.
// Internal to the providers; nothing above them includes this header.
#pragma once

#include <chrono>
#include <cstdint>
#include <expected>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "zantu/core/child.hpp"
#include "zantu/core/secret.hpp"

namespace zantu::providers::common {

// What a finished tool left behind. `stdout_bytes` is the secret; standard
// error is only ever classified, but the tools quote parts of a value there
// (the character they could not encode), so it wipes itself too.
struct ToolOutput {
  core::SecretBuffer stdout_bytes;
  core::SecretBuffer stderr_bytes;
  // The exit code when the tool exited, absent when a signal ended it.
  std::optional<std::int32_t> status;
};

// Why a run failed: the tool could not be started, waiting on it failed, the
// limit passed or an output grew too large (then it was killed, and is gone
// unless `program_ended` says otherwise), with the error number; or exec
// would refuse it for its size (then nothing was started), with the fault.
using ToolFailureKind = core::ChildFailureKind;
using ToolFailure = core::ChildFailure;

// Far above any cloud secret, and a bound on what a runaway tool can make the
// host hold: 16 MiB per stream.
inline constexpr std::size_t kMaxToolOutputLen = 16 * 1024 * 1024;

// A variable a provider sets for its own tool; neither text is a secret.
struct ToolEnvVar {
  std::string_view name;
  std::string_view value;
};

// Runs `program` (looked up on the caller's PATH; no shell) with `args` after
// it. The tool gets /dev/null as standard input, the caller's environment less
// every variable whose name begins with "ZANTU_", with PYTHONIOENCODING set to
// "utf-8:strict" and LC_ALL to "C.UTF-8" (both tools are Python programs,
// which otherwise encode what they print as the host's settings say; a
// launcher that runs Python in isolated mode, -I, ignores PYTHONIOENCODING
// but not the locale) and then `tool_env` set in order, and the caller's
// working directory; no other descriptor of ours reaches it, and it starts with
// SIGPIPE, SIGXFSZ and SIGCHLD at their default action and an empty signal
// mask (`core::child::run`, which the wrapper's runner uses too; the host's
// SIGCHLD setting never takes its status). Both of its outputs are drained
// while it runs. When it exits, what it left in the pipes is read and the
// call returns, even if a descendant still holds a pipe open. When `limit`
// passes first, the tool is killed (SIGKILL) and reaped and its output is
// discarded (`TimedOut`). An output that passes `kMaxToolOutputLen` ends the
// run at once the same way (`OutputTooLarge`).
// The call never blocks past the limit, except for ending the killed tool:
// at most 2 s more, and where the tool's exec sleeps where no signal reaches
// it (a hung mount) the failure says it may still be running
// (`ChildFailure::program_ended`).
[[nodiscard]] std::expected<ToolOutput, ToolFailure> run_tool(std::string_view program,
                                                              std::span<const std::string> args,
                                                              std::chrono::nanoseconds limit,
                                                              std::span<const ToolEnvVar> tool_env = {});

// A provider's texts for a failed run, each with one "{}": the OS error text
// for CouldNotStart and WaitFailed, the limit's whole seconds for TimedOut,
// `kMaxToolOutputLen` in decimal for OutputTooLarge, the reason for
// `cannot_start` (exec's, `core::child::exec_size_fault_text`, for
// TooLargeToStart, or a missing /dev/null for CouldNotStart); none for
// SupervisorEnded.
struct ToolFailureTexts {
  std::string_view could_not_run;
  std::string_view wait_failed;
  std::string_view timed_out;
  std::string_view too_large;
  std::string_view helper_ended;
  std::string_view cannot_start;
};

// The message for `failure` from the provider's `texts`, with "; it could not
// be ended and may still be running" after it when the tool may outlive the
// run (`ChildFailure::program_ended`).
[[nodiscard]] std::string failure_message(const ToolFailure& failure, std::chrono::nanoseconds limit,
                                          const ToolFailureTexts& texts);

// What a tool asked for one JSON value printed: one JSON string (white space
// around it allowed), decoded byte-exact (escapes, surrogate pairs and raw
// UTF-8 alike; nothing trimmed) straight into `text`; null; or anything else,
// whose bytes the caller must never show, since they may hold the secret.
struct JsonAnswer {
  enum class Kind : std::uint8_t { String, Null, Other };
  Kind kind = Kind::Other;
  core::SecretBuffer text;  // for String; empty otherwise
};
[[nodiscard]] JsonAnswer read_json_answer(std::span<const std::uint8_t> stdout_bytes);

// One row of a failure table: substrings of lower-cased tool error output and
// the hint they select.
struct HintGroup {
  std::span<const std::string_view> patterns;
  std::string_view hint;
};

// The hint of the first group, in table order, with a pattern that occurs in
// `stderr_bytes` (ASCII letters lowered) outside the reference's `names`,
// else `fallback`. The tools repeat the names in their messages, and a name
// the user chose must not choose the hint; nor may a name that is one of the
// tool's own words ("credentials") take away the hint of a pattern that holds
// it ("unable to locate credentials"). So the text is searched as the tool
// wrote it, and a match is passed over, for a later one, only when it lies
// wholly inside a place where one of `names` stands on its own (without
// regard to ASCII case, and with no ASCII letter or digit right before or
// after it). A name that is exactly a whole pattern cannot be told from the
// tool's word and never chooses that pattern's hint. Each pattern, and each
// name that holds one, is looked for in one pass along the text, however
// often it occurs. The lowered copy wipes itself.
[[nodiscard]] std::string_view choose_hint(std::span<const std::uint8_t> stderr_bytes,
                                           std::span<const std::string_view> names,
                                           std::span<const HintGroup> groups, std::string_view fallback);

// Whether `phrase` (lower-case ASCII) occurs in `stderr_bytes` without regard
// to ASCII case. Nothing is copied.
[[nodiscard]] bool mentions(std::span<const std::uint8_t> stderr_bytes, std::string_view phrase);

// The exit code in decimal, or "signal" when there is none.
[[nodiscard]] std::string exit_text(std::optional<std::int32_t> status);

// `tmpl` with each "{}" replaced, in order, by the next of `args` (inserted
// text is never scanned again). A "{}" beyond the last argument stays.
[[nodiscard]] std::string fill(std::string_view tmpl, std::initializer_list<std::string_view> args);

// The limit's whole seconds (the sub-second part dropped) in decimal.
[[nodiscard]] std::string whole_seconds(std::chrono::nanoseconds limit);

}  // namespace zantu::providers::common
