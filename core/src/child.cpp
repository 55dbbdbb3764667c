#include "zantu/core/child.hpp"

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "child_side.hpp"
#include "zantu/core/fd.hpp"
#include "zantu/core/utf8.hpp"

extern char** environ;

namespace zantu::core {
namespace {

using std::chrono::milliseconds;
using std::chrono::nanoseconds;
using std::chrono::steady_clock;

constexpr std::size_t kChunkLen = 64 * 1024;  // one default pipe buffer
// The vault's own settings (the passphrase among them) never reach a child.
constexpr std::string_view kScrubbedPrefix = "ZANTU_";

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

// Moves `fd` above 0..2 (close-on-exec) when it lies there: a host that runs
// with a standard descriptor closed hands out that number first, and the
// program's side puts its own stdin, stdout and stderr on 0..2 before it
// uses the descriptors of the plan. Returns 0, or the error number with `fd`
// unchanged.
[[nodiscard]] int lift_above_stdio(UniqueFd& fd) {
  if (fd.get() > STDERR_FILENO) return 0;
  const int moved = ::fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  if (moved < 0) return errno;
  fd.reset(moved);
  return 0;
}

// A close-on-exec pipe with a non-blocking read end, both ends above 0..2.
[[nodiscard]] std::expected<Pipe, int> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(errno);
  Pipe p{UniqueFd(fds[0]), UniqueFd(fds[1])};
  for (UniqueFd* end : {&p.read_end, &p.write_end}) {
    if (const int errnum = lift_above_stdio(*end); errnum != 0) return std::unexpected(errnum);
  }
  const int flags = ::fcntl(p.read_end.get(), F_GETFL);
  if (flags < 0 || ::fcntl(p.read_end.get(), F_SETFL, flags | O_NONBLOCK) != 0) return std::unexpected(errno);
  return p;
}

// Appends to `out` a pointer to each string of `arena` that starts at one of
// `offsets`, then the null pointer that ends the array exec takes. The arena
// must not grow after this.
void point_into(SecretBuffer& arena, std::span<const std::size_t> offsets, std::vector<char*>& out) {
  auto* base = reinterpret_cast<char*>(arena.data());
  out.reserve(out.size() + offsets.size() + 1);
  for (const auto off : offsets) out.push_back(base + off);
  out.push_back(nullptr);
}

// The child's environment as one wiping arena of "NAME=VALUE\0" entries, with
// the pointer array that exec takes.
struct ChildEnv {
  SecretBuffer arena;
  std::vector<char*> envp;
  // The PATH the child receives and the caller's own, when set (views into
  // `ChildCommand::env` or the caller's environment).
  std::optional<std::string_view> child_path;
  std::optional<std::string_view> caller_path;
};

// Which entries make up the child's environment, as views into the
// caller's environment and into `vars`.
struct EnvSelection {
  // Inherited "NAME=VALUE" entries, in the caller's order.
  std::vector<std::string_view> inherited;
  // The entries of `vars` that take effect, the last one of each name, in
  // their order.
  std::vector<std::size_t> own;
  // The PATH the child receives and the caller's own, when set.
  std::optional<std::string_view> child_path;
  std::optional<std::string_view> caller_path;
};

EnvSelection select_child_env(std::span<const ChildEnvVar> vars) {
  EnvSelection out;
  std::unordered_map<std::string_view, std::size_t> entry_of;
  for (std::size_t i = 0; i < vars.size(); ++i) entry_of[vars[i].name] = i;

  // Only the first of duplicate names is kept, as getenv(3) sees only that one.
  std::unordered_set<std::string_view> seen;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const auto eq = entry.find('=', 1);
    if (eq == std::string_view::npos) continue;
    const std::string_view name = entry.substr(0, eq);
    if (!seen.insert(name).second) continue;
    if (name == "PATH") out.caller_path = entry.substr(eq + 1);
    // Raw bytes suffice: the prefix is ASCII, so an invalid sequence in a
    // name can neither make nor break a match.
    if (name.starts_with(kScrubbedPrefix)) continue;
    if (entry_of.contains(name)) continue;
    if (name == "PATH") out.child_path = out.caller_path;
    out.inherited.push_back(entry);
  }
  out.own.reserve(entry_of.size());
  for (std::size_t i = 0; i < vars.size(); ++i) {
    if (entry_of.at(vars[i].name) != i) continue;
    out.own.push_back(i);
    if (vars[i].name == "PATH") {
      out.child_path = std::string_view(reinterpret_cast<const char*>(vars[i].value.data()), vars[i].value.size());
    }
  }
  return out;
}

void build_child_env(std::span<const ChildEnvVar> vars, ChildEnv& out) {
  EnvSelection selected = select_child_env(vars);
  std::size_t total = 0;
  for (const auto entry : selected.inherited) total += entry.size() + 1;
  for (const auto i : selected.own) total += vars[i].name.size() + 1 + vars[i].value.size() + 1;
  out.arena.reserve(total);  // never reallocated below: the offsets stay valid

  std::vector<std::size_t> offsets;
  offsets.reserve(selected.inherited.size() + selected.own.size());
  for (const auto entry : selected.inherited) {
    offsets.push_back(out.arena.size());
    out.arena.append(entry);
    out.arena.push_back(0);
  }
  for (const auto i : selected.own) {
    const auto& [name, value] = vars[i];
    offsets.push_back(out.arena.size());
    out.arena.append(name);
    out.arena.push_back('=');
    out.arena.append(value);
    out.arena.push_back(0);
  }
  point_into(out.arena, offsets, out.envp);
  out.child_path = selected.child_path;
  out.caller_path = selected.caller_path;
}

// The search path used when PATH is not set: the system's default, as execvp uses.
std::string default_search_path() {
  const std::size_t n = ::confstr(_CS_PATH, nullptr, 0);
  if (n == 0) return "/bin:/usr/bin";
  std::string p(n, '\0');
  ::confstr(_CS_PATH, p.data(), n);
  p.resize(n - 1);
  return p;
}

// Every path the child tries to exec, in order, as exec takes them. A program
// with "/" is its own only candidate; a name without "/" is tried in every
// entry of the search path, as execvp(3) does (an empty entry is the current
// directory). The paths may hold an injected PATH value, so they live in a
// wiping arena.
struct Candidates {
  SecretBuffer arena;
  std::vector<char*> paths;  // ends with a null pointer
};

void build_candidates(std::string_view program, std::optional<std::string_view> search, Candidates& out) {
  std::vector<std::size_t> offsets;
  if (program.find('/') != std::string_view::npos) {
    out.arena.reserve(program.size() + 1);
    offsets.push_back(0);
    out.arena.append(program);
    out.arena.push_back(0);
  } else {
    std::string fallback;
    if (!search) {
      fallback = default_search_path();
      search = fallback;
    }
    const std::size_t num_dirs = static_cast<std::size_t>(std::count(search->begin(), search->end(), ':')) + 1;
    out.arena.reserve(search->size() + num_dirs * (program.size() + 2));  // never reallocated below
    std::string_view rest = *search;
    for (;;) {
      const auto colon = rest.find(':');
      const std::string_view dir = rest.substr(0, colon);
      offsets.push_back(out.arena.size());
      if (!dir.empty()) {
        out.arena.append(dir);
        out.arena.push_back('/');
      }
      out.arena.append(program);
      out.arena.push_back(0);
      if (colon == std::string_view::npos) break;
      rest.remove_prefix(colon + 1);
    }
  }
  point_into(out.arena, offsets, out.paths);
}

}  // namespace

std::size_t child::exec_limit_len() {
  // The kernel takes a quarter of the stack limit for the strings and their
  // pointers, at least 32 pages (131072, as MAX_ARG_STRLEN) and at most 3/4
  // of its 8 MiB _STK_LIM.
  constexpr std::size_t kFloorLen = kMaxArgStringLen;
  constexpr std::size_t kCeilingLen = 8 * 1024 * 1024 / 4 * 3;
  constexpr std::size_t kPointerLen = sizeof(char*);
  const long page = ::sysconf(_SC_PAGESIZE);
  const std::size_t page_len = page > 0 ? static_cast<std::size_t>(page) : 4096;
  rlimit stack{};
  // Unreadable only with a bad pointer; then the smallest stack is assumed.
  if (::getrlimit(RLIMIT_STACK, &stack) != 0) stack.rlim_cur = 0;
  const auto soft_len = static_cast<std::size_t>(std::min<rlim_t>(stack.rlim_cur, SIZE_MAX));
  const std::size_t quarter_len = std::clamp(soft_len / 4, kFloorLen, kCeilingLen);
  // But the strings are copied below a pointer-sized slot at the top of the
  // new program's stack, which is one page at first and grows, in whole
  // pages, only while it stays within the limit. Their pointers and auxv go
  // onto the same stack right after, so they are counted against that room
  // too: on a small stack this refuses a few pointers' worth early, and
  // never lets through what exec refuses.
  const std::size_t room_len = std::max(page_len, soft_len / page_len * page_len) - kPointerLen;
  return std::min(quarter_len, room_len);
}

std::optional<ExecSizeFault> child::exec_size_fault(const ChildCommand& command) {
  // The kernel reserves one pointer per argv and envp string, none for the
  // final null pointers, and copies every string with its NUL.
  constexpr std::size_t kPointerLen = sizeof(char*);
  const auto fits = [](std::size_t len) { return len + 1 <= kMaxArgStringLen; };
  std::size_t total_len = 0;

  for (std::size_t i = 0; i <= command.args.size(); ++i) {
    const std::size_t len = i == 0 ? command.program.size() : command.args[i - 1].size();
    if (!fits(len)) return ExecSizeFault{.kind = ExecSizeFaultKind::ArgumentTooLong, .argument = i};
    total_len += len + 1 + kPointerLen;
  }

  const EnvSelection env = select_child_env(command.env);
  for (const auto entry : env.inherited) {
    if (!fits(entry.size())) {
      return ExecSizeFault{.kind = ExecSizeFaultKind::VariableTooLong,
                           .name = std::string(entry.substr(0, entry.find('=', 1))),
                           .inherited = true};
    }
    total_len += entry.size() + 1 + kPointerLen;
  }
  for (const auto i : env.own) {
    const std::size_t len = command.env[i].name.size() + 1 + command.env[i].value.size();
    if (!fits(len)) {
      return ExecSizeFault{.kind = ExecSizeFaultKind::VariableTooLong, .name = std::string(command.env[i].name)};
    }
    total_len += len + 1 + kPointerLen;
  }

  // The kernel copies the path it was given onto the new stack as well. Of
  // a search only the program found is exec'd, but which one that is shows
  // only at the launch: the longest candidate is counted.
  Candidates candidates;
  build_candidates(command.program, command.path_search == PathSearch::Child ? env.child_path : env.caller_path,
                   candidates);
  std::size_t path_len = 0;
  for (char** p = candidates.paths.data(); *p != nullptr; ++p) {
    path_len = std::max(path_len, std::string_view(*p).size());
  }
  total_len += path_len + 1;

  const std::size_t limit_len = exec_limit_len();
  if (total_len > limit_len) {
    return ExecSizeFault{.kind = ExecSizeFaultKind::TotalTooLarge, .total_len = total_len, .limit_len = limit_len};
  }
  return std::nullopt;
}

std::string child::exec_size_fault_text(const ExecSizeFault& fault) {
  using enum ExecSizeFaultKind;
  const std::string max_len = std::to_string(kMaxArgStringLen);
  switch (fault.kind) {
    case ArgumentTooLong:
      return (fault.argument == 0 ? std::string("program is too long to be launched")
                                  : "argument " + std::to_string(fault.argument) + " is too long to be passed") +
             ": one argument holds at most " + max_len + " bytes, the final NUL included";
    case VariableTooLong: {
      const std::string shown = utf8::to_lossy(fault.name);
      return (fault.inherited ? "variable `" + shown + "` of the host's environment is too long to be passed"
                              : "value for `" + shown + "` is too long to be injected") +
             ": one environment string holds at most " + max_len + " bytes, `" + shown +
             "=` and the final NUL included";
    }
    case TotalTooLarge:
      break;
  }
  return "arguments and environment are too large to be passed together: with the program's path they take " +
         std::to_string(fault.total_len) + " bytes, each string with its NUL and a pointer, where exec takes at most " +
         std::to_string(fault.limit_len) +
         " (a quarter of the stack size limit, at least 128 KiB and at most 6 MiB, and never more than fits on a "
         "stack of that size)";
}

namespace {

// ---------------------------------------------------------------------------
// The caller's side of a run: the supervisor's stacks, starting it, and
// waiting on it and on the pipes. The child side is in child_side.cpp.

using child_side::ChildPlan;
using child_side::kKernelSigsetLen;

// The stacks of both processes in one mapping, each above an inaccessible
// page so an overflow faults instead of writing into the host's memory. They
// live, with the plan, in a run's own memory, which is kept while a process
// of the run may still use it (RunMemory).
class ChildStacks {
 public:
  static constexpr std::size_t kStackLen = 64 * 1024;

  ChildStacks() {
    const long page = ::sysconf(_SC_PAGESIZE);
    guard_len_ = page > 0 ? static_cast<std::size_t>(page) : 4096;
    void* p = ::mmap(nullptr, total_len(), PROT_READ | PROT_WRITE,
                     MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return;
    base_ = static_cast<char*>(p);
    if (::mprotect(base_, guard_len_, PROT_NONE) != 0 ||
        ::mprotect(base_ + guard_len_ + kStackLen, guard_len_, PROT_NONE) != 0) {
      ::munmap(base_, total_len());
      base_ = nullptr;
    }
  }
  ChildStacks(const ChildStacks&) = delete;
  ChildStacks& operator=(const ChildStacks&) = delete;
  ~ChildStacks() {
    if (base_ != nullptr) ::munmap(base_, total_len());
  }
  [[nodiscard]] bool ok() const noexcept { return base_ != nullptr; }
  // Stacks grow down: each process starts at the top of its own.
  [[nodiscard]] void* program_top() const noexcept { return base_ + guard_len_ + kStackLen; }
  [[nodiscard]] void* supervisor_top() const noexcept { return base_ + total_len(); }

 private:
  [[nodiscard]] std::size_t total_len() const noexcept { return 2 * (guard_len_ + kStackLen); }

  char* base_ = nullptr;
  std::size_t guard_len_ = 0;
};

// Blocks every signal of the calling thread, glibc's internal ones included,
// for the scope: the supervisor starts with the caller's mask, and must take
// no signal before it has reset the host's handlers.
class AllSignalsBlocked {
 public:
  AllSignalsBlocked() {
    const std::uint64_t all = ~std::uint64_t{0};
    ok_ = ::syscall(SYS_rt_sigprocmask, SIG_BLOCK, &all, &old_, kKernelSigsetLen) == 0;
  }
  AllSignalsBlocked(const AllSignalsBlocked&) = delete;
  AllSignalsBlocked& operator=(const AllSignalsBlocked&) = delete;
  ~AllSignalsBlocked() {
    if (ok_) ::syscall(SYS_rt_sigprocmask, SIG_SETMASK, &old_, nullptr, kKernelSigsetLen);
  }
  [[nodiscard]] bool ok() const noexcept { return ok_; }

 private:
  std::uint64_t old_ = 0;
  bool ok_ = false;
};

timespec to_timespec(nanoseconds d) noexcept {
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
  return {static_cast<time_t>(secs.count()), static_cast<long>((d - secs).count())};
}

// Everything of the caller's memory that a run's two processes use, or that
// the kernel uses for them: the plan's shared words, both stacks, and the
// argv, envp and candidate arrays with their strings. The program shares it
// until its exec completes or it exits; the kernel reads the arrays and the
// strings during the exec, and writes 0 into `plan.program_tid` when the exec
// completes or the program exits (CLONE_CHILD_CLEARTID).
//
// The rule: `run` never returns while a process of the run can still read or
// write this memory. Where that cannot be known (a program that cannot be
// ended, its exec asleep in the kernel where no signal reaches it, as on a
// hung FUSE or NFS mount), `run` wipes what it holds and keeps all of it,
// mapped and used by nothing else, until the kernel has cleared
// `plan.program_tid`: a later run releases it then, or the process's exit
// does. So none of it lives in a frame of `run` or in memory the caller owns.
struct RunMemory {
  ChildPlan plan;
  ChildStacks stacks;
  SecretBuffer arg_arena;  // the program and the arguments, each with its NUL
  std::vector<char*> argv;
  ChildEnv env;
  Candidates candidates;
  // False from the supervisor's start until it is reaped: until then it may
  // still start the program.
  bool supervisor_gone = true;
  RunMemory* next_kept = nullptr;

  void wipe() noexcept {
    arg_arena.wipe();
    env.arena.wipe();
    candidates.arena.wipe();
  }
  // Whether a process of the run may still use this memory.
  [[nodiscard]] bool in_use() const noexcept {
    return !supervisor_gone || plan.program_tid.load(std::memory_order_acquire) > 0;
  }
};

// The runs whose memory is kept while a process of theirs may still use it.
// The list takes no lock, so that a run never waits on another, and has no
// destructor: at the process's exit the memory must stay.
class KeptRuns {
 public:
  static void keep(std::unique_ptr<RunMemory> memory) noexcept {
    count_.fetch_add(1, std::memory_order_relaxed);
    push(memory.release());
  }

  // Frees every kept run whose processes are all gone.
  static void release_ended() noexcept {
    for (RunMemory* m = head_.exchange(nullptr, std::memory_order_acquire); m != nullptr;) {
      RunMemory* const next = m->next_kept;
      if (m->in_use()) {
        push(m);
      } else {
        const std::unique_ptr<RunMemory> ended(m);
        count_.fetch_sub(1, std::memory_order_relaxed);
      }
      m = next;
    }
  }

  [[nodiscard]] static std::size_t count() noexcept { return count_.load(std::memory_order_relaxed); }

 private:
  static void push(RunMemory* m) noexcept {
    m->next_kept = head_.load(std::memory_order_relaxed);
    while (!head_.compare_exchange_weak(m->next_kept, m, std::memory_order_release, std::memory_order_relaxed)) {
    }
  }

  static inline std::atomic<RunMemory*> head_{nullptr};
  static inline std::atomic<std::size_t> count_{0};
};

// Owns a run's memory: when dropped, wipes it, then frees it, or keeps it
// while a process of the run may still use it.
class RunMemoryOwner {
 public:
  RunMemoryOwner() : memory_(std::make_unique<RunMemory>()) {}
  RunMemoryOwner(const RunMemoryOwner&) = delete;
  RunMemoryOwner& operator=(const RunMemoryOwner&) = delete;
  ~RunMemoryOwner() {
    memory_->wipe();
    if (memory_->in_use()) KeptRuns::keep(std::move(memory_));
  }
  [[nodiscard]] RunMemory& operator*() const noexcept { return *memory_; }

 private:
  std::unique_ptr<RunMemory> memory_;
};

// Waits at most `left` while the program's word still reads `tid`: the
// kernel clears it, with a wake, when the exec completes or the program
// exits, and the program wakes it when it waits to be taken. A stale `tid`
// returns at once.
void wait_for_tid_change(std::atomic<int>& word, int tid, nanoseconds left) noexcept {
  const timespec timeout = to_timespec(left);
  ::syscall(SYS_futex, &word, FUTEX_WAIT, tid, &timeout, nullptr, 0);
}

// Whether no process holds `pid` any more, or only a zombie does: an ended
// process whose adopter has not reaped it yet (some inits reap orphans only
// every few seconds). A pid recycled meanwhile by a live process reads as
// not ended.
bool pid_has_ended(pid_t pid) noexcept {
  if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
  char path[32];
  std::snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
  const UniqueFd fd(::open(path, O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return errno == ENOENT;
  char stat[512];
  const ssize_t n = ::read(fd.get(), stat, sizeof stat - 1);
  if (n <= 0) return false;
  const std::string_view text(stat, static_cast<std::size_t>(n));
  const auto paren = text.rfind(')');
  return paren != std::string_view::npos && paren + 2 < text.size() &&
         (text[paren + 2] == 'Z' || text[paren + 2] == 'X');
}

// The caller's handle on a started supervisor: its pid and, where the kernel
// and any seccomp filter gave one, its process descriptor. Until it is reaped
// here its pid stays its own (its exit signal is 0). Dropping one ends the
// run if it has not ended (`stop`).
class Supervisor {
 public:
  Supervisor(pid_t pid, UniqueFd pidfd, RunMemory& memory)
      : pid_(pid), pidfd_(std::move(pidfd)), memory_(memory) {}
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;
  ~Supervisor() { (void)stop(); }

  [[nodiscard]] pid_t pid() const noexcept { return pid_; }
  [[nodiscard]] int pollable_fd() const noexcept { return pidfd_.get(); }
  void set_pidfd(UniqueFd pidfd) noexcept { pidfd_ = std::move(pidfd); }
  // A descriptor of the program taken while it was certainly the program:
  // the one safe way for the caller itself to kill it.
  void set_program_pidfd(UniqueFd pidfd) noexcept { program_pidfd_ = std::move(pidfd); }

  // Whether the supervisor has ended (then it is reaped); with `block`, waits
  // until it ends. Returns an error number when waiting fails.
  [[nodiscard]] std::expected<bool, int> reap(bool block) noexcept {
    if (reaped_) return true;
    for (;;) {
      siginfo_t info{};
      const int options = WEXITED | __WALL | (block ? 0 : WNOHANG);
      const int rc = pidfd_.valid() ? ::waitid(P_PIDFD, static_cast<id_t>(pidfd_.get()), &info, options)
                                    : ::waitid(P_PID, static_cast<id_t>(pid_), &info, options);
      if (rc != 0) {
        if (errno == EINTR) continue;
        // A descriptor that cannot be waited on (P_PIDFD is Linux 5.4): the
        // pid serves, as nothing else reaps the supervisor.
        if (errno == EINVAL && pidfd_.valid()) {
          pidfd_.reset();
          continue;
        }
        return std::unexpected(errno);
      }
      if (info.si_pid == 0) return false;
      reaped_ = true;
      memory_.supervisor_gone = true;
      pidfd_.reset();
      return true;
    }
  }

  // Ends the run before the program has ended by itself, and reaps the
  // supervisor; returns whether the program is known to have ended.
  //
  // Before the program's exec has completed there is no status to keep and
  // nothing that needs the supervisor: both are killed at once (the
  // supervisor's death kills the program too, through its parent-death
  // signal, where the caller holds no descriptor of it). After the exec the
  // supervisor is asked to kill the program and reap it; one that does not
  // end within the grace (stopped, say) is killed, and the program with it.
  // Either way a program the supervisor did not reap is then waited for,
  // at most the grace (`end_program`).
  [[nodiscard]] bool stop() noexcept {
    if (!reaped_) {
      if (memory_.plan.program_tid.load(std::memory_order_acquire) != 0) {
        kill_program();
        signal(SIGKILL);
      } else {
        ask_to_stop();
      }
      (void)reap(true);
    }
    if (memory_.plan.program_reaped.load(std::memory_order_acquire)) return true;
    return end_program();
  }

  // After the supervisor ended without reaping the program: whether the
  // program is known to have ended, waiting at most the grace. It is killed
  // first: its own parent-death signal ends it, unless an exec that changed
  // its credentials cleared that. It has ended once it no longer uses the
  // caller's memory (the kernel has cleared `program_tid`) and has exited:
  // its descriptor says so, or, without one, its pid is held by no process
  // or by a zombie (`pid_has_ended`). A program whose exec sleeps where no
  // signal reaches it outlives the grace. The answer is kept: a second call
  // does not wait again.
  [[nodiscard]] bool end_program() noexcept {
    if (!program_ended_) program_ended_ = wait_program_end();
    return *program_ended_;
  }

  // Without a process descriptor the end is found by testing after every
  // wake, so a wait is cut into slices that grow to this.
  static constexpr milliseconds kLongestSlice{32};
  static constexpr milliseconds kStopGrace{2000};

 private:
  // SIGTERM, which the supervisor takes as the caller's stop, then SIGKILL
  // when it has not ended within the grace.
  void ask_to_stop() noexcept {
    signal(SIGTERM);
    const auto until = steady_clock::now() + kStopGrace;
    nanoseconds slice = milliseconds(1);
    for (;;) {
      const auto ended = reap(false);
      if (!ended || *ended) return;
      const auto now = steady_clock::now();
      if (now >= until) {
        signal(SIGKILL);
        // A program whose exec changed its credentials does not die with it.
        kill_program();
        return;
      }
      wait_readable(pidfd_.get(), until - now, slice);
    }
  }

  [[nodiscard]] bool wait_program_end() noexcept {
    ChildPlan& plan = memory_.plan;
    int tid = plan.program_tid.load(std::memory_order_acquire);
    // Never started, once the supervisor can no longer start it.
    if (tid < 0) return reaped_;
    // The program writes its pid first thing; a killed one may never have run.
    const pid_t pid = plan.program_pid.load(std::memory_order_acquire);
    kill_program();
    const auto until = steady_clock::now() + kStopGrace;
    nanoseconds slice = milliseconds(1);
    for (;;) {
      tid = plan.program_tid.load(std::memory_order_acquire);
      if (tid == 0) {
        if (program_pidfd_.valid()) {
          pollfd pfd{program_pidfd_.get(), POLLIN, 0};
          if (::poll(&pfd, 1, 0) > 0) return true;
        } else if (pid <= 0 || pid_has_ended(pid)) {
          return true;
        }
      }
      const auto now = steady_clock::now();
      if (now >= until) return false;
      if (tid != 0) {
        wait_for_tid_change(plan.program_tid, tid, std::min<nanoseconds>(slice, until - now));
        slice = std::min<nanoseconds>(slice * 2, kLongestSlice);
      } else {
        wait_readable(program_pidfd_.get(), until - now, slice);
      }
    }
  }

  // Waits until `fd` (a process descriptor) is readable, at most `left`;
  // without one (-1) at most the next slice, which grows from 1 ms, as the
  // caller then tests for the end itself after every wake.
  static void wait_readable(int fd, nanoseconds left, nanoseconds& slice) noexcept {
    if (fd < 0) {
      left = std::min(left, slice);
      slice = std::min<nanoseconds>(slice * 2, kLongestSlice);
    }
    const timespec timeout = to_timespec(left);
    pollfd pfd{fd, POLLIN, 0};
    ::ppoll(&pfd, 1, &timeout, nullptr);
  }

  void kill_program() noexcept {
    if (program_pidfd_.valid()) ::syscall(SYS_pidfd_send_signal, program_pidfd_.get(), SIGKILL, nullptr, 0);
  }

  // Through the process descriptor when there is one; else by pid, and only
  // while the supervisor is not a zombie yet.
  void signal(int sig) noexcept {
    if (pidfd_.valid() && ::syscall(SYS_pidfd_send_signal, pidfd_.get(), sig, nullptr, 0) == 0) return;
    siginfo_t info{};
    const int rc = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT | __WALL);
    if (rc == 0 && info.si_pid == 0) ::kill(pid_, sig);
  }

  pid_t pid_;
  UniqueFd pidfd_;
  UniqueFd program_pidfd_;
  RunMemory& memory_;
  bool reaped_ = false;
  std::optional<bool> program_ended_;
};

// Starts the supervisor, which starts the program. The supervisor is cloned
// with CLONE_VM (no copy of the host's memory) and CLONE_PIDFD for a process
// descriptor; where CLONE_PIDFD is refused or unknown nothing was started and
// it is cloned again without, and pidfd_open is tried; without either the
// caller's waits poll. Returns 0 with `supervisor` set, or the error number of
// clone when nothing started.
int start_supervisor(RunMemory& memory, std::optional<Supervisor>& supervisor) {
  pid_t pid = -1;
  int pidfd = -1;  // kernels before 5.2 ignore CLONE_PIDFD and write nothing
  void* const stack_top = memory.stacks.supervisor_top();
  {
    AllSignalsBlocked blocked;
    if (!blocked.ok()) return errno;
    memory.supervisor_gone = false;
    pid = ::clone(child_side::supervisor_main, stack_top, CLONE_VM | CLONE_PIDFD, &memory.plan, &pidfd);
    // The descriptor is an extra: a host at its descriptor limit runs
    // without it, as one whose kernel or seccomp filter refuses it.
    if (pid < 0 && (errno == EINVAL || errno == ENOSYS || errno == EPERM || errno == EMFILE || errno == ENFILE)) {
      pidfd = -1;
      pid = ::clone(child_side::supervisor_main, stack_top, CLONE_VM, &memory.plan);
    }
    if (pid < 0) {
      memory.supervisor_gone = true;
      return errno;
    }
  }
  supervisor.emplace(pid, UniqueFd(pidfd), memory);
  if (pidfd < 0) {
    // The supervisor is unreaped, so its pid cannot have been recycled.
    supervisor->set_pidfd(UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))));
  }
  return 0;
}

// Takes a process descriptor of the program, which waits before its exec
// until this is done, and lets it go on. Until then it is certainly the
// process of its pid; but it may have been killed meanwhile (its
// supervisor's death takes it), and a dead one's pid may be another's
// already: the descriptor counts only if the program is still there after
// it was taken.
void take_program(ChildPlan& plan, Supervisor& supervisor) {
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, plan.program_pid.load(std::memory_order_acquire), 0)));
  if (pidfd.valid() && plan.program_tid.load(std::memory_order_acquire) == 0) pidfd.reset();
  supervisor.set_program_pidfd(std::move(pidfd));
  plan.caller_ack.store(1, std::memory_order_release);
  ::syscall(SYS_futex, &plan.caller_ack, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

enum class StartWait : std::uint8_t {
  Started,          // the program has exec'd or given up, or was never started
  TimedOut,         // the deadline passed first
  SupervisorEnded,  // the supervisor was killed or stopped from outside before the exec
};

// Waits until the program has exec'd or given up, when it no longer uses the
// caller's memory, or until the supervisor has ended without starting one,
// or until the deadline (an exec can be held up for long: a lease on the
// program's file, a slow file system). A supervisor killed, or told to stop,
// by another process while the program's exec is under way ends the wait
// too: the program, killed, may never come out of its exec. The wait does
// not depend on the supervisor, which the program could stop once it runs.
[[nodiscard]] StartWait wait_for_start(ChildPlan& plan, Supervisor& supervisor,
                                       std::optional<steady_clock::time_point> deadline) {
  nanoseconds slice = milliseconds(1);
  for (;;) {
    int tid = plan.program_tid.load(std::memory_order_acquire);
    if (tid == 0) return StartWait::Started;
    if (plan.program_ready.load(std::memory_order_acquire) != 0 &&
        plan.caller_ack.load(std::memory_order_relaxed) == 0) {
      take_program(plan, supervisor);
      continue;
    }
    if (plan.stopped_from_outside.load(std::memory_order_relaxed)) return StartWait::SupervisorEnded;
    const auto ended = supervisor.reap(false);
    if (!ended || *ended) {
      // The pid is written before the supervisor can end: read again.
      tid = plan.program_tid.load(std::memory_order_acquire);
      if (tid <= 0) return StartWait::Started;
      return StartWait::SupervisorEnded;
    }
    nanoseconds wait_for = slice;
    if (deadline) {
      const auto now = steady_clock::now();
      if (now >= *deadline) return StartWait::TimedOut;
      wait_for = std::min<nanoseconds>(wait_for, *deadline - now);
    }
    slice = std::min<nanoseconds>(slice * 2, Supervisor::kLongestSlice);
    wait_for_tid_change(plan.program_tid, tid, wait_for);
  }
}

// Reads at most `max_len` bytes straight into `buf`, so output never passes
// through a buffer that is not wiped. Returns read(2)'s result.
ssize_t read_into(int fd, SecretBuffer& buf, std::size_t max_len) {
  const std::size_t old_len = buf.size();
  buf.resize(old_len + max_len);
  ssize_t n;
  do {
    n = ::read(fd, buf.data() + old_len, max_len);
  } while (n < 0 && errno == EINTR);
  buf.resize(old_len + (n > 0 ? static_cast<std::size_t>(n) : 0));
  return n;
}

// One captured output: its pipe stays open until end of file or a read error
// (which ends that stream). More than `max_len` bytes make it too large; it
// never holds more than one byte past that.
class Stream {
 public:
  Stream(UniqueFd fd, SecretBuffer& buf, std::size_t max_len) : fd_(std::move(fd)), buf_(buf), max_len_(max_len) {}

  // The descriptor to poll: none once the stream has ended.
  [[nodiscard]] int poll_fd() const noexcept { return fd_.get(); }
  [[nodiscard]] int errnum() const noexcept { return errnum_; }
  [[nodiscard]] bool too_large() const noexcept { return buf_.size() > max_len_; }

  void read_once() {
    const ssize_t n = read_into(fd_.get(), buf_, next_read_len(kChunkLen));
    if (too_large()) {
      fd_.reset();
      return;
    }
    if (n > 0 || (n < 0 && errno == EAGAIN)) return;
    if (n < 0) errnum_ = errno;
    fd_.reset();
  }

  // After the child has ended: take exactly what is in the pipe now. Every
  // write of the child finished before it exited, so all of its output is
  // there. A descendant may hold the pipe open and keep writing; counting
  // first means that is never waited for nor read without end.
  void take_rest() {
    if (!fd_.valid()) return;
    int avail = 0;
    if (::ioctl(fd_.get(), FIONREAD, &avail) != 0) {
      errnum_ = errno;
      avail = 0;
    }
    for (std::size_t left = static_cast<std::size_t>(avail); left > 0 && !too_large();) {
      const ssize_t n = read_into(fd_.get(), buf_, next_read_len(std::min(left, kChunkLen)));
      if (n <= 0) {
        if (n < 0 && errno != EAGAIN) errnum_ = errno;
        break;
      }
      left -= static_cast<std::size_t>(n);  // never more than asked for
    }
    fd_.reset();
  }

 private:
  // At most `want`, and at most one byte past the bound.
  [[nodiscard]] std::size_t next_read_len(std::size_t want) const noexcept {
    const std::size_t room = max_len_ - std::min(buf_.size(), max_len_);
    return room < want ? room + 1 : want;
  }

  UniqueFd fd_;
  SecretBuffer& buf_;
  std::size_t max_len_;
  int errnum_ = 0;
};

steady_clock::time_point deadline_after(steady_clock::time_point start, nanoseconds limit) noexcept {
  if (limit <= nanoseconds::zero()) return start;
  const auto room = steady_clock::time_point::max() - start;
  return limit < room ? start + std::chrono::duration_cast<steady_clock::duration>(limit)
                      : steady_clock::time_point::max();
}

[[nodiscard]] std::unexpected<ChildFailure> fail(ChildFailureKind kind, int errnum = 0, bool program_ended = true) {
  return std::unexpected(ChildFailure{kind, errnum, program_ended});
}

// The program and the arguments, each with its NUL, in one arena, and the
// pointer array exec takes (ending with a null pointer).
void build_argv(std::string_view program, std::span<const std::string> args, RunMemory& memory) {
  std::size_t total = program.size() + 1;
  for (const std::string& a : args) total += a.size() + 1;
  memory.arg_arena.reserve(total);  // never reallocated below: the offsets stay valid
  std::vector<std::size_t> offsets;
  offsets.reserve(args.size() + 1);
  for (std::size_t i = 0; i <= args.size(); ++i) {
    offsets.push_back(memory.arg_arena.size());
    memory.arg_arena.append(i == 0 ? program : std::string_view(args[i - 1]));
    memory.arg_arena.push_back(0);
  }
  point_into(memory.arg_arena, offsets, memory.argv);
}

}  // namespace

std::size_t child::num_kept_runs() noexcept { return KeptRuns::count(); }

std::expected<ChildOutput, ChildFailure> child::run(const ChildCommand& command) {
  std::optional<steady_clock::time_point> deadline;
  if (command.limit) deadline = deadline_after(steady_clock::now(), *command.limit);
  if (command.program.empty()) return fail(ChildFailureKind::CouldNotStart, ENOENT);
  if (auto fault = exec_size_fault(command)) {
    return std::unexpected(ChildFailure{.kind = ChildFailureKind::TooLargeToStart, .size_fault = std::move(*fault)});
  }
  KeptRuns::release_ended();

  // Everything the child needs is built before it exists, in memory of the
  // run's own (RunMemory), which outlives both processes of the run.
  const RunMemoryOwner owner;
  RunMemory& memory = *owner;
  ChildPlan& plan = memory.plan;
  build_argv(command.program, command.args, memory);
  build_child_env(command.env, memory.env);
  build_candidates(command.program,
                   command.path_search == PathSearch::Child ? memory.env.child_path : memory.env.caller_path,
                   memory.candidates);

  Pipe out_pipe, err_pipe;
  if (!command.inherit_stdio) {
    auto out = make_pipe();
    if (!out) return fail(ChildFailureKind::CouldNotStart, out.error());
    auto err = make_pipe();
    if (!err) return fail(ChildFailureKind::CouldNotStart, err.error());
    out_pipe = std::move(*out);
    err_pipe = std::move(*err);
  }

  if (!memory.stacks.ok()) return fail(ChildFailureKind::CouldNotStart, errno);
  plan.candidates = memory.candidates.paths.data();
  plan.argv = memory.argv.data();
  plan.envp = memory.env.envp.data();
  plan.stdout_fd = out_pipe.write_end.get();
  plan.stderr_fd = err_pipe.write_end.get();
  plan.program_stack_top = memory.stacks.program_top();
  plan.host_pid = ::getpid();
  // Refused where the kernel or a seccomp filter has no pidfd_open, and not
  // to be had at the descriptor limit; then the program does not wait for
  // the caller, and is not taken.
  UniqueFd host_pidfd(static_cast<int>(::syscall(SYS_pidfd_open, plan.host_pid, 0)));
  if (host_pidfd.valid() && lift_above_stdio(host_pidfd) != 0) host_pidfd.reset();
  plan.host_pidfd = host_pidfd.get();
  rlimit nofile{};
  plan.fd_limit = 1 << 20;  // the kernel's default ceiling (fs.nr_open)
  if (::getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < static_cast<rlim_t>(plan.fd_limit)) {
    plan.fd_limit = static_cast<int>(nofile.rlim_cur);
  }

  // Declared after the memory's owner, so dropped before it: the supervisor
  // is reaped, and the program ended or given up on, before the memory is
  // freed or kept.
  std::optional<Supervisor> started;
  if (const int errnum = start_supervisor(memory, started); errnum != 0) {
    return fail(ChildFailureKind::CouldNotStart, errnum);
  }
  Supervisor& supervisor = *started;
  const StartWait start = wait_for_start(plan, supervisor, deadline);
  if (start == StartWait::TimedOut) return fail(ChildFailureKind::TimedOut, 0, supervisor.stop());
  if (start == StartWait::SupervisorEnded) return fail(ChildFailureKind::SupervisorEnded, 0, supervisor.stop());
  // The program has exec'd or given up: it holds its own copies now.
  memory.wipe();
  if (plan.program_tid.load(std::memory_order_acquire) != 0 ||
      plan.start_errnum.load(std::memory_order_acquire) != 0) {
    (void)supervisor.reap(true);
    const int errnum = plan.start_errnum.load(std::memory_order_acquire);
    // No error: the supervisor was killed from outside before the start.
    auto failed = fail(ChildFailureKind::CouldNotStart, errnum != 0 ? errnum : ECHILD);
    failed.error().null_device = plan.null_device_failed.load(std::memory_order_acquire);
    return failed;
  }
  // Ours must go, or end of file never comes.
  out_pipe.write_end.reset();
  err_pipe.write_end.reset();

  ChildOutput output;
  Stream out(std::move(out_pipe.read_end), output.stdout_bytes, command.max_stream_len);
  Stream err(std::move(err_pipe.read_end), output.stderr_bytes, command.max_stream_len);

  // With a process descriptor one poll covers the end and both pipes;
  // without one the end is tested after every wake, the slices growing from
  // 1 ms. Either way the program's end, not the pipes', ends the wait.
  nanoseconds slice = milliseconds(1);
  for (;;) {
    const bool have_pidfd = supervisor.pollable_fd() >= 0;
    std::optional<nanoseconds> wait_for;
    if (deadline) {
      const auto now = steady_clock::now();
      if (now >= *deadline) return fail(ChildFailureKind::TimedOut, 0, supervisor.stop());
      wait_for = *deadline - now;
    }
    if (!have_pidfd) {
      wait_for = wait_for ? std::min(*wait_for, slice) : slice;
      slice = std::min<nanoseconds>(slice * 2, Supervisor::kLongestSlice);
    }
    timespec timeout{};
    if (wait_for) timeout = to_timespec(*wait_for);
    // poll skips a descriptor of -1.
    pollfd fds[3] = {
        {supervisor.pollable_fd(), POLLIN, 0}, {out.poll_fd(), POLLIN, 0}, {err.poll_fd(), POLLIN, 0}};
    const int ready = ::ppoll(fds, 3, wait_for ? &timeout : nullptr, nullptr);
    if (ready < 0 && errno != EINTR) {
      const int e = errno;
      return fail(ChildFailureKind::WaitFailed, e, supervisor.stop());
    }
    if (ready > 0) {
      if (fds[1].revents != 0) out.read_once();
      if (fds[2].revents != 0) err.read_once();
      if (out.too_large() || err.too_large()) return fail(ChildFailureKind::OutputTooLarge, 0, supervisor.stop());
    }
    if (have_pidfd && (ready <= 0 || fds[0].revents == 0)) continue;
    const auto ended = supervisor.reap(false);
    if (!ended) return fail(ChildFailureKind::WaitFailed, ended.error(), supervisor.stop());
    if (*ended) break;
  }

  out.take_rest();
  err.take_rest();
  if (out.too_large() || err.too_large()) return fail(ChildFailureKind::OutputTooLarge);
  // A supervisor stopped by another process has killed and reaped the
  // program; one killed by another process has left the program to be ended
  // here. Either way its status is not the program's own.
  if (plan.stopped_from_outside.load(std::memory_order_relaxed)) return fail(ChildFailureKind::SupervisorEnded);
  if (!plan.program_reaped.load(std::memory_order_acquire)) {
    return fail(ChildFailureKind::SupervisorEnded, 0, supervisor.end_program());
  }
  output.read_errnum = out.errnum() != 0 ? out.errnum() : err.errnum();
  const int wait_status = plan.program_wait_status.load(std::memory_order_relaxed);
  if (WIFEXITED(wait_status)) output.status = WEXITSTATUS(wait_status);
  return output;
}

}  // namespace zantu::core
