// What the two processes of a run share with the caller: the plan built
// before they exist, and the supervisor's entry point. Internal to the core.
#pragma once

#include <atomic>
#include <cstdint>

namespace zantu::core::child_side {

// What both processes need, all built before they exist, and what they report.
//
// The program shares this, its stack and the arrays the plan points to with
// the caller until its exec completes or it exits, and the kernel writes into
// `program_tid` at that moment. The rule: the caller never returns while a
// process of the run may still read or write any of it, and where that cannot
// be known (an exec asleep where no signal reaches it) keeps all of it, used
// by nothing else, until `program_tid` is cleared (RunMemory in child.cpp).
struct ChildPlan {
  char* const* candidates = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  // Every descriptor here lies above 0..2, which the program's side rewires
  // to its own stdin, stdout and stderr before it uses them: a host with a
  // standard descriptor closed would otherwise have handed out one of those.
  int stdout_fd = -1;  // pipe write ends, or -1 when the stdio is inherited
  int stderr_fd = -1;
  // Where closing descriptors stops when neither close_range nor
  // /proc/self/fd is available.
  int fd_limit = 0;
  void* program_stack_top = nullptr;
  // The caller's pid: the supervisor's parent while the caller lives, and the
  // sender of every stop request the caller makes.
  long host_pid = 0;
  // The caller's own process descriptor, or -1 where the kernel or a seccomp
  // filter gives none. With one, the program waits before its exec until the
  // caller has taken a descriptor of it (`program_ready`, `caller_ack`), and
  // gives up when the caller has died meanwhile.
  int host_pidfd = -1;
  long supervisor_pid = 0;  // written by the supervisor before the program exists
  // The program's pid, written by the program itself before it waits for the
  // caller and before its exec.
  std::atomic<int> program_pid{0};
  // Set by the program when it waits to be taken; then by the caller when it
  // has tried to take a descriptor of it (both wake the other's futex).
  std::atomic<int> program_ready{0};
  std::atomic<int> caller_ack{0};
  // Why the program could not be started (an error number), 0 when it was.
  std::atomic<int> start_errnum{0};
  // Set when that was the open of /dev/null for its standard input.
  std::atomic<bool> null_device_failed{false};
  // -1 until the program exists; then its pid, written by the kernel before
  // it runs (CLONE_PARENT_SETTID); then 0, written by the kernel with a futex
  // wake when it execs or exits (CLONE_CHILD_CLEARTID), from which moment it
  // no longer touches the caller's memory. The supervisor writes 0 itself
  // when it could not clone.
  std::atomic<int> program_tid{-1};
  // Set when the supervisor reaped the program, with its wait status.
  std::atomic<bool> program_reaped{false};
  std::atomic<int> program_wait_status{0};
  // Set when the supervisor was told to stop by another process than the
  // caller (then it killed the program).
  std::atomic<bool> stopped_from_outside{false};
};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the processes share these without any lock");
static_assert(sizeof(std::atomic<int>) == sizeof(int), "the kernel writes program_tid as a plain int");

// The kernel's signal set, as rt_sigprocmask and rt_sigtimedwait take it.
constexpr long kKernelSigsetLen = sizeof(std::uint64_t);

// The supervisor's parent-death signal: the last real-time signal, which
// nothing else of a run uses. The supervisor waits for it rather than dying
// of it, so that it can kill the program first: a program whose exec changed
// its credentials (set-user-ID, set-group-ID, file capabilities) has lost its
// own parent-death signal.
constexpr int kCallerDiedSignal = 64;

// The supervisor, started by clone(2) with CLONE_VM and the plan as its
// argument: starts the program, closes every descriptor it holds, then waits
// for the program's end, for SIGTERM, on which it kills the program (a stop
// from anyone but the caller is marked in the plan), or for the caller's
// death, on which it kills the program and exits at once. The program is its
// own unreaped child until its wait, so that kill never reaches a recycled
// pid. Its exit code tells nothing; what it did is in the plan.
int supervisor_main(void* plan);

}  // namespace zantu::core::child_side
