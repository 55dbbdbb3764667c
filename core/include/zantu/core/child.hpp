// Starting one child process and collecting its output: the spawning, draining
// and bounded waiting that the wrapper's runner and the providers' tool runner
// share. Internal to the system; each caller keeps its own rules on top.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "zantu/core/secret.hpp"

namespace zantu::core {

// Which PATH a program name without "/" is searched on.
enum class PathSearch : std::uint8_t {
  Child,   // the PATH the child receives (a `PATH` entry of the command's env takes part)
  Caller,  // the calling process's own PATH, whatever the entries say
};

// One variable to set in the child. Both views are borrowed for the call.
struct ChildEnvVar {
  std::string_view name;
  std::span<const std::uint8_t> value;
};

// What to start; everything is borrowed for the call. No text may hold a NUL
// byte and no name may be empty or hold "=": exec cannot carry them, so the
// caller refuses them first.
struct ChildCommand {
  // A path with "/" is started by that path (a relative one against the
  // current directory); a name without "/" is searched on the PATH that
  // `path_search` chooses, as execvp(3) does. The child sees it as argv[0].
  std::string_view program;
  // The arguments after argv[0], passed as they are.
  std::span<const std::string> args;
  // Set in the child in order after the inherited environment is scrubbed; a
  // later entry replaces an earlier one of the same name.
  std::span<const ChildEnvVar> env;
  PathSearch path_search = PathSearch::Child;
  // true: the child shares the caller's stdin, stdout and stderr and nothing
  // is captured.
  bool inherit_stdio = false;
  // A stream that passes this many bytes ends the run at once: the child is
  // killed and reaped, its output discarded (`ChildFailureKind::OutputTooLarge`).
  std::size_t max_stream_len = std::numeric_limits<std::size_t>::max();
  // How long the child may run; absent: no limit.
  std::optional<std::chrono::nanoseconds> limit;
};

// What came back from a child that ended by itself. Both outputs live in
// wiping buffers, since either may hold a secret.
struct ChildOutput {
  SecretBuffer stdout_bytes;  // empty when the stdio was inherited
  SecretBuffer stderr_bytes;  // empty when the stdio was inherited
  // The exit code (0 to 255); absent when a signal ended the child.
  std::optional<std::int32_t> status;
  // The first read error on either pipe (that stream ended there; the other
  // was still drained), 0 for none. The caller decides whether it matters.
  int read_errnum = 0;
};

enum class ExecSizeFaultKind : std::uint8_t {
  ArgumentTooLong,  // argv[`argument`] (0: the program) passes `kMaxArgStringLen` with its NUL
  VariableTooLong,  // "NAME=value" of the variable `name` passes `kMaxArgStringLen` with its NUL
  TotalTooLarge,    // `total_len` passes `limit_len`
};

// Why exec(2) would refuse a command for its size. Holds no byte of any value.
struct ExecSizeFault {
  ExecSizeFaultKind kind;
  std::size_t argument = 0;  // for ArgumentTooLong
  std::string name{};        // for VariableTooLong
  bool inherited = false;    // for VariableTooLong: from the caller's environment, not `ChildCommand::env`
  std::size_t total_len = 0;  // for TotalTooLarge
  std::size_t limit_len = 0;  // for TotalTooLarge
  bool operator==(const ExecSizeFault&) const = default;
};

// Why a run failed. Each failure that ends a started run kills the child; it
// is reaped, or known to have ended, unless `ChildFailure::program_ended`
// says otherwise.
enum class ChildFailureKind : std::uint8_t {
  CouldNotStart,   // the pipes, the child's set-up or exec failed (errnum says why); no child is left
  WaitFailed,      // waiting on the child failed (errnum says why); it was killed
  TimedOut,        // the limit passed; the child was killed, its output discarded
  OutputTooLarge,  // a stream passed `max_stream_len`; the child was killed, its output discarded
  // The supervisor was killed or told to stop by another process before the
  // child ended; the child was killed with it, its status and output discarded.
  SupervisorEnded,
  // exec would refuse the command for its size (`size_fault` says why);
  // refused before anything was created, so nothing was started.
  TooLargeToStart,
};

struct ChildFailure {
  ChildFailureKind kind;
  int errnum = 0;  // 0 for TimedOut, OutputTooLarge, SupervisorEnded and TooLargeToStart
  // Whether the child is known to have ended. False when it could not be
  // ended: its exec asleep in the kernel where no signal reaches it (a hung
  // FUSE or NFS mount), or, once the supervisor was killed, a child of which
  // the run held no process descriptor or which outlived the kill. It may
  // then still be running, and, inside its exec, still hold the caller's
  // memory (see `run`).
  bool program_ended = true;
  // For TooLargeToStart: what `child::exec_size_fault` found; absent otherwise.
  std::optional<ExecSizeFault> size_fault{};
  // For CouldNotStart: the child could not open /dev/null for its standard
  // input (errnum says why), not its program (`kNullDeviceFailureText`).
  bool null_device = false;
};

// What a failure with `ChildFailure::null_device` set says went wrong, before
// the operating system's error.
inline constexpr std::string_view kNullDeviceFailureText = "cannot open /dev/null for its standard input";

// The longest string exec(2) copies into a new program, its final NUL
// included (MAX_ARG_STRLEN, 32 pages): a longer argument or environment
// string fails the exec with E2BIG.
inline constexpr std::size_t kMaxArgStringLen = 131072;

namespace child {

// What the kernel lets exec(2) copy onto a new program's stack, pointers
// included: a quarter of the stack size limit (RLIMIT_STACK, which the child
// inherits), at least 131072 and at most 6 MiB (3/4 of the kernel's 8 MiB
// _STK_LIM); and, as the strings and then their pointers go onto a stack
// that may not grow past that limit, no more than the limit in whole pages
// (at least one) less the pointer-sized slot at its top. That is less below
// a 132 KiB limit (65528 at 64 KiB), where exec itself still takes the
// pointers' worth more. Read anew on every call.
[[nodiscard]] std::size_t exec_limit_len();

// What exec(2) would refuse for size in `command`, counted on exactly the
// environment and candidate paths `run` would give the child, as the kernel
// counts: every argument (argv[0], the program, first) and every environment
// string must fit in `kMaxArgStringLen` with its NUL; and all of them, each
// with its NUL and one pointer, plus the path exec is given (for a name
// without "/", the longest candidate of the search path), must fit in
// `exec_limit_len()`. Returns the first fault in that order, or nullopt when
// the kernel takes the command. The texts are counted as they are: NUL bytes
// are the caller's to refuse first, as for `run`.
[[nodiscard]] std::optional<ExecSizeFault> exec_size_fault(const ChildCommand& command);

// Why `fault` keeps exec from starting a command, as one sentence without a
// final period: it names the argument by its position (0 is the program) or
// the variable, never a byte of a value, and gives both counts for the total.
[[nodiscard]] std::string exec_size_fault_text(const ExecSizeFault& fault);

}  // namespace child

namespace child {

// Starts `command` and waits for it. The child gets the caller's environment
// less every variable whose name begins with "ZANTU_" (of duplicate names only
// the first, the one getenv(3) sees), plus `ChildCommand::env`; standard input
// on /dev/null and standard output and error each on a pipe (unless
// inherited); no other descriptor of the caller; SIGPIPE, SIGXFSZ, SIGCHLD
// and every signal the host handles at their default action, and an empty
// signal mask; the caller's working directory, process group and resource
// limits. The environment is assembled in a wiping buffer that is wiped as
// soon as the child has exec'd.
//
// The child's parent is a small supervisor process of the call (cloned with
// CLONE_VM and an exit signal of 0, never exec'd), so the host's SIGCHLD
// setting never touches the run: nothing is reaped by the kernel when the host
// ignores SIGCHLD or set SA_NOCLDWAIT, the host gets no SIGCHLD, and a host's
// waitpid(-1) without __WALL returns neither process. The child is signalled
// only by the supervisor, which is its parent and reaps it; the supervisor is
// signalled through its process descriptor, or, where the kernel or a
// seccomp filter gives none, by pid while it is known to be unreaped. Where
// clone with CLONE_PIDFD, pidfd_open or close_range is refused, the run falls
// back to what is allowed, with the same result and bounds: nothing is
// started and then killed because a facility is missing. The process
// descriptors are extras in the same way: a caller at its descriptor limit
// runs without them as long as the two pipes fit. No descriptor the child's
// side relies on lies on 0..2, so a caller with stdin, stdout or stderr
// closed runs as any other.
//
// Both pipes are drained together while the child runs. Once the child itself
// has ended, what is in the pipes at that moment is read and the call
// returns: a descendant that still holds a pipe is neither waited for nor
// killed, and what it writes later is not captured. The child is reaped
// exactly once on every path after it started, and no descriptor of the call
// outlives it. A child that is killed (limit, output too large) dies by
// SIGKILL; if its supervisor does not end within 2 s of being asked, the
// supervisor is killed too and the child dies with it. The limit covers the
// child's exec too: one held up past it (a lease on the file, a hung file
// system) is killed in the middle of it, with its supervisor.
//
// Until its exec completes the child shares the caller's memory, and the
// kernel writes into it when the exec completes or the child exits. So the
// call never returns while a process of the run may still read or write
// memory that the caller or anyone else may use: a run ended before the
// child's exec completed waits for the child's end, at most 2 s after it was
// killed. A child that outlives that (its exec asleep in the kernel where no
// signal reaches it, as on a hung FUSE or NFS mount) fails the call with
// `ChildFailure::program_ended` false, and the memory it may still touch (the
// stacks, the plan's shared words, the argv and envp arrays and their
// strings, wiped) stays mapped and unused until it is gone: a later run
// frees it then, or the process's exit does. A run with a limit therefore
// returns within its limit plus these graces.
//
// The supervisor is told of the caller's death (a parent-death signal it
// waits for, set before it starts the child, with a check for a caller that
// died before that); it then kills the child and exits at once. The child
// dies with the supervisor (its own parent-death signal, which an exec that
// changes the credentials clears). So a caller killed in the middle of a run,
// before, during or after the child's exec, leaves nothing of it running and
// none of its memory held, whatever the child's credentials.
//
// Only the caller stops a run: a SIGTERM counts as the caller's when the
// kernel gives it as sent by kill(2) from the caller's pid (SI_USER), even
// one that came before the child's exec completed. A supervisor killed, or
// told to stop, by another process ends the run with `SupervisorEnded`. When
// the supervisor was killed, the caller kills the child itself through a
// process descriptor taken before its exec (the child waits for that), and
// waits at most 2 s for its end; without pidfd_open it cannot aim at the
// child safely, and `ChildFailure::program_ended` is true only once no
// process holds the child's pid any more, or only its zombie does.
//
// A command that exec would refuse for its size (`exec_size_fault`) is
// refused first, before anything is created (`TooLargeToStart`).
[[nodiscard]] std::expected<ChildOutput, ChildFailure> run(const ChildCommand& command);

// How many ended runs keep their memory because their child may still use
// it (see `run`).
[[nodiscard]] std::size_t num_kept_runs() noexcept;

}  // namespace child
}  // namespace zantu::core
