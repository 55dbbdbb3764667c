#include "zantu/core/child.hpp"

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "zantu/core/fd.hpp"

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

// A close-on-exec pipe with a non-blocking read end. Both ends lie above
// 0..2: if the host runs with a standard descriptor closed, a pipe end could
// otherwise land there and be clobbered by the child's own dup2 onto 0..2
// before it is used.
[[nodiscard]] std::expected<Pipe, int> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(errno);
  Pipe p{UniqueFd(fds[0]), UniqueFd(fds[1])};
  for (UniqueFd* end : {&p.read_end, &p.write_end}) {
    if (end->get() > STDERR_FILENO) continue;
    const int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return std::unexpected(errno);
    end->reset(moved);
  }
  const int flags = ::fcntl(p.read_end.get(), F_GETFL);
  if (flags < 0 || ::fcntl(p.read_end.get(), F_SETFL, flags | O_NONBLOCK) != 0) return std::unexpected(errno);
  return p;
}

// The child's environment as one wiping arena of "NAME=VALUE\0" entries, with
// the pointer array that exec takes.
struct ChildEnv {
  SecretBuffer arena;
  std::vector<char*> envp;
  // The PATH the child receives and the caller's own, when set (views into
  // the arena and into the caller's environment).
  std::optional<std::string_view> child_path;
  std::optional<std::string_view> caller_path;
};

void build_child_env(std::span<const ChildEnvVar> vars, ChildEnv& out) {
  // The entries that take effect: the last one of each name.
  std::unordered_map<std::string_view, std::size_t> entry_of;
  for (std::size_t i = 0; i < vars.size(); ++i) entry_of[vars[i].name] = i;

  // Inherited entries, in the caller's order. Only the first of duplicate
  // names is kept, as getenv(3) sees only that one.
  std::vector<std::string_view> inherited;
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
    inherited.push_back(entry);
  }

  std::size_t total = 0;
  for (const auto entry : inherited) total += entry.size() + 1;
  for (const auto& [name, index] : entry_of) total += name.size() + 1 + vars[index].value.size() + 1;
  out.arena.reserve(total);  // never reallocated below: the offsets stay valid

  std::vector<std::size_t> offsets;
  offsets.reserve(inherited.size() + entry_of.size());
  std::optional<std::pair<std::size_t, std::size_t>> path_span;  // offset and length in the arena
  for (const auto entry : inherited) {
    offsets.push_back(out.arena.size());
    if (entry.starts_with("PATH=")) path_span.emplace(out.arena.size() + 5, entry.size() - 5);
    out.arena.append(entry);
    out.arena.push_back(0);
  }
  for (std::size_t i = 0; i < vars.size(); ++i) {
    const auto& [name, value] = vars[i];
    if (entry_of.at(name) != i) continue;
    offsets.push_back(out.arena.size());
    out.arena.append(name);
    out.arena.push_back('=');
    if (name == "PATH") path_span.emplace(out.arena.size(), value.size());
    out.arena.append(value);
    out.arena.push_back(0);
  }
  auto* base = reinterpret_cast<char*>(out.arena.data());
  for (const auto off : offsets) out.envp.push_back(base + off);
  out.envp.push_back(nullptr);
  if (path_span) out.child_path = std::string_view(base + path_span->first, path_span->second);
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
  auto* base = reinterpret_cast<char*>(out.arena.data());
  for (const auto off : offsets) out.paths.push_back(base + off);
  out.paths.push_back(nullptr);
}

// ---------------------------------------------------------------------------
// The two processes of a run. The program's own parent is a small supervisor
// cloned from the caller with CLONE_VM and an exit signal of 0, which never
// execs. The kernel resets the exit signal of a process that execs to SIGCHLD,
// so the program itself could not be kept out of the host's SIGCHLD handling;
// the supervisor can: it is never reaped by the kernel on its own whatever the
// host's SIGCHLD setting, sends the host no SIGCHLD, and is returned by no wait
// of the host without __WALL. It starts the program as its own vfork child,
// reaps it, leaves its wait status in the shared plan and exits.
//
// Both run on memory they share with the caller while other threads of the
// host keep running, so the code below that they run calls no library
// function, allocates nothing, takes no lock, is not instrumented by the
// sanitizers and makes its system calls raw, never touching errno (which
// lives in the calling thread's storage).

// What both processes need, all built before they exist, and what they report.
struct ChildPlan {
  char* const* candidates = nullptr;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
  int stdout_fd = -1;  // pipe write ends, or -1 when the stdio is inherited
  int stderr_fd = -1;
  // Where closing descriptors stops when neither close_range nor
  // /proc/self/fd is available.
  int fd_limit = 0;
  void* program_stack_top = nullptr;
  // The caller's pid: the supervisor's parent while the caller lives, and the
  // sender of every stop request the caller makes.
  long host_pid = 0;
  long supervisor_pid = 0;  // written by the supervisor before the program exists
  // Why the program could not be started (an error number), 0 when it was.
  std::atomic<int> start_errnum{0};
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

#define ZANTU_CHILD_SIDE __attribute__((no_sanitize("address", "undefined")))

// A system call that returns -errno on failure and leaves errno alone.
#if !defined(__x86_64__)
#error "the child side is written for x86-64 only"
#endif
ZANTU_CHILD_SIDE long raw_syscall(long nr, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0) {
  long ret;
  register long r10 __asm__("r10") = d;
  register long r8 __asm__("r8") = e;
  __asm__ volatile("syscall"
                   : "=a"(ret)
                   : "a"(nr), "D"(a), "S"(b), "d"(c), "r"(r10), "r"(r8)
                   : "rcx", "r11", "memory");
  return ret;
}

// clone(2) made raw: returns the new process's pid or -errno. The new process
// starts on `stack_top` (16-byte aligned), calls `fn(arg)` there and exits
// with its result; it never returns into the caller's frames.
ZANTU_CHILD_SIDE long raw_clone(unsigned long flags, void* stack_top, int* parent_tid, int* child_tid,
                                int (*fn)(void*), void* arg) {
  long ret;
  register long r10 __asm__("r10") = reinterpret_cast<long>(child_tid);
  register long r8 __asm__("r8") = 0;  // tls
  register long r12 __asm__("r12") = reinterpret_cast<long>(fn);
  register long r13 __asm__("r13") = reinterpret_cast<long>(arg);
  __asm__ volatile(
      "syscall\n\t"
      "test %%rax, %%rax\n\t"
      "jnz 1f\n\t"
      // The new process, on its own stack.
      "xor %%ebp, %%ebp\n\t"
      "mov %%r13, %%rdi\n\t"
      "call *%%r12\n\t"
      "mov %%eax, %%edi\n\t"
      "mov %[exit_group], %%eax\n\t"
      "syscall\n\t"
      "ud2\n"
      "1:\n\t"
      : "=a"(ret)
      : "a"(SYS_clone), "D"(flags), "S"(stack_top), "d"(parent_tid), "r"(r10), "r"(r8), "r"(r12), "r"(r13),
        [exit_group] "i"(SYS_exit_group)
      : "rcx", "r11", "memory");
  return ret;
}

template <class T>
ZANTU_CHILD_SIDE long arg(T* p) {
  return reinterpret_cast<long>(p);
}

// The kernel's own sigaction layout (rt_sigaction), with its 64-bit mask.
struct KernelSigaction {
  void* handler;
  unsigned long flags;
  void* restorer;
  std::uint64_t mask;
};
constexpr long kKernelSigsetLen = sizeof(std::uint64_t);
constexpr int kKernelSignals = 64;

ZANTU_CHILD_SIDE constexpr std::uint64_t signal_bit(int sig) { return std::uint64_t{1} << (sig - 1); }

ZANTU_CHILD_SIDE void set_default_action(int sig) {
  KernelSigaction dfl{};
  raw_syscall(SYS_rt_sigaction, sig, arg(&dfl), 0, kKernelSigsetLen);
}

// A host handler must never run in either process, on memory they share with
// the host; SIGCHLD goes back to its default (without SA_NOCLDWAIT) so the
// supervisor's own child is never reaped behind its back.
ZANTU_CHILD_SIDE void reset_handled_signals() {
  for (int sig = 1; sig <= kKernelSignals; ++sig) {
    if (sig == SIGKILL || sig == SIGSTOP) continue;
    KernelSigaction old{};
    if (raw_syscall(SYS_rt_sigaction, sig, 0, arg(&old), kKernelSigsetLen) != 0) continue;
    const bool handled = old.handler != reinterpret_cast<void*>(SIG_DFL) &&
                         old.handler != reinterpret_cast<void*>(SIG_IGN);
    if (handled || sig == SIGCHLD) set_default_action(sig);
  }
}

struct LinuxDirent64 {
  std::uint64_t d_ino;
  std::int64_t d_off;
  unsigned short d_reclen;
  unsigned char d_type;
  char d_name[1];
};

// Closes every descriptor from `first` on that /proc/self/fd lists. Closing
// while reading may make the listing skip entries, so it is read again until a
// whole pass closes nothing. Returns false when the listing cannot be read.
ZANTU_CHILD_SIDE bool close_listed_descriptors(int first) {
  const long dir = raw_syscall(SYS_openat, AT_FDCWD, arg("/proc/self/fd"), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  alignas(8) char buf[2048];
  bool ok = true;
  for (bool closed_any = true; closed_any && ok;) {
    closed_any = false;
    if (raw_syscall(SYS_lseek, dir, 0, SEEK_SET) < 0) ok = false;
    while (ok) {
      const long n = raw_syscall(SYS_getdents64, dir, arg(buf), sizeof buf);
      if (n <= 0) {
        ok = n == 0;
        break;
      }
      for (long off = 0; off < n;) {
        const auto* d = reinterpret_cast<const LinuxDirent64*>(buf + off);
        off += d->d_reclen;
        long fd = 0;
        const char* c = d->d_name;
        for (; *c >= '0' && *c <= '9' && fd <= INT_MAX / 10; ++c) fd = fd * 10 + (*c - '0');
        if (c == d->d_name || *c != '\0' || fd < first || fd == dir) continue;
        raw_syscall(SYS_close, fd);
        closed_any = true;
      }
    }
  }
  raw_syscall(SYS_close, dir);
  return ok;
}

// Closes every descriptor from `first` on: close_range where the kernel (5.9)
// and any seccomp filter allow it, else what /proc/self/fd lists, else every
// number below the limit.
ZANTU_CHILD_SIDE void close_descriptors_from(int first, int fd_limit) {
  if (raw_syscall(SYS_close_range, first, ~0u, 0) == 0) return;
  if (close_listed_descriptors(first)) return;
  for (int fd = first; fd < fd_limit; ++fd) raw_syscall(SYS_close, fd);
}

[[noreturn]] ZANTU_CHILD_SIDE void exit_now(int code) {
  for (;;) raw_syscall(SYS_exit_group, code);
}

// The program's side, from its clone to exec. On failure it leaves the error
// number in the plan and exits with 127.
ZANTU_CHILD_SIDE int program_main(void* plan_ptr) {
  auto* plan = static_cast<ChildPlan*>(plan_ptr);
  // Dies with the supervisor, so a run that is abandoned cannot leave the
  // program running; a supervisor gone already is caught by the check after.
  raw_syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL);
  if (raw_syscall(SYS_getppid) != plan->supervisor_pid) {
    plan->start_errnum.store(ECHILD, std::memory_order_release);
    exit_now(127);
  }
  // Ignored dispositions survive exec; a host such as CPython ignores these.
  set_default_action(SIGPIPE);
  set_default_action(SIGXFSZ);
  long err = 0;
  if (plan->stdout_fd >= 0) {
    // stdin on the null device: under a stdio protocol server the inherited
    // one is the client's stream, which the program must not consume.
    const long null_fd = raw_syscall(SYS_openat, AT_FDCWD, arg("/dev/null"), O_RDONLY);
    err = null_fd < 0 ? null_fd : 0;
    if (err == 0 && null_fd != STDIN_FILENO) err = raw_syscall(SYS_dup3, null_fd, STDIN_FILENO, 0);
    if (err >= 0) err = raw_syscall(SYS_dup3, plan->stdout_fd, STDOUT_FILENO, 0);
    if (err >= 0) err = raw_syscall(SYS_dup3, plan->stderr_fd, STDERR_FILENO, 0);
    if (err > 0) err = 0;
  }
  if (err == 0) {
    close_descriptors_from(STDERR_FILENO + 1, plan->fd_limit);
    const std::uint64_t empty_mask = 0;
    raw_syscall(SYS_rt_sigprocmask, SIG_SETMASK, arg(&empty_mask), 0, kKernelSigsetLen);
    // execvp's rules: a permission failure is remembered and reported if
    // nothing else starts; the errors that mean "not here" move on; any other
    // error stops the search.
    bool got_eacces = false;
    bool stopped = false;
    err = -ENOENT;
    for (char* const* path = plan->candidates; *path != nullptr && !stopped; ++path) {
      err = raw_syscall(SYS_execve, arg(*path), arg(plan->argv), arg(plan->envp));
      switch (-err) {
        case EACCES:
          got_eacces = true;
          break;
        case ENOENT:
        case ESTALE:
        case ENOTDIR:
        case ENODEV:
        case ETIMEDOUT:
          break;
        default:
          stopped = true;
      }
    }
    if (!stopped && got_eacces) err = -EACCES;
  }
  plan->start_errnum.store(err < 0 ? static_cast<int>(-err) : ENOEXEC, std::memory_order_release);
  exit_now(127);
}

// The supervisor: starts the program, closes every descriptor it holds, then
// waits for the program's end or for SIGTERM, the caller's request to stop,
// on which it kills the program. The program is its own unreaped child until
// its wait below, so that kill never reaches a recycled pid.
ZANTU_CHILD_SIDE int supervisor_main(void* plan_ptr) {
  auto* plan = static_cast<ChildPlan*>(plan_ptr);
  // Dies with the caller, and the program with it: a run never outlives its
  // caller, least of all holding the caller's memory, keys included. A caller
  // gone already is caught by the check after.
  raw_syscall(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL);
  if (raw_syscall(SYS_getppid) != plan->host_pid) exit_now(1);
  reset_handled_signals();  // every signal stays blocked, as the caller left them
  plan->supervisor_pid = raw_syscall(SYS_getpid);
  auto* program_tid = reinterpret_cast<int*>(&plan->program_tid);
  const long program =
      raw_clone(CLONE_VM | CLONE_VFORK | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID | SIGCHLD,
                plan->program_stack_top, program_tid, program_tid, program_main, plan);
  if (program < 0) {
    plan->start_errnum.store(static_cast<int>(-program), std::memory_order_release);
    plan->program_tid.store(0, std::memory_order_release);
    raw_syscall(SYS_futex, arg(program_tid), FUTEX_WAKE, INT_MAX);
    exit_now(0);
  }
  close_descriptors_from(0, plan->fd_limit);
  const std::uint64_t wake = signal_bit(SIGCHLD) | signal_bit(SIGTERM);
  for (;;) {
    int status = 0;
    const long reaped = raw_syscall(SYS_wait4, program, arg(&status), WNOHANG | __WALL, 0);
    if (reaped == program) {
      plan->program_wait_status.store(status, std::memory_order_relaxed);
      plan->program_reaped.store(true, std::memory_order_release);
      exit_now(0);
    }
    if (reaped < 0 && reaped != -EINTR) exit_now(1);
    siginfo_t info;
    if (raw_syscall(SYS_rt_sigtimedwait, arg(&wake), arg(&info), 0, kKernelSigsetLen) == SIGTERM) {
      // Only the caller asks for a stop; anyone else ends the run, which the
      // caller must then report rather than a status it never chose.
      if (info.si_pid != plan->host_pid) plan->stopped_from_outside.store(true, std::memory_order_relaxed);
      raw_syscall(SYS_kill, program, SIGKILL);
    }
  }
}

// The stacks of both processes in one mapping, each above an inaccessible
// page so an overflow faults instead of writing into the host's memory.
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

// The caller's handle on a started supervisor: its pid and, where the kernel
// and any seccomp filter gave one, its process descriptor. Until it is reaped
// here its pid stays its own (its exit signal is 0). Dropping an unreaped one
// stops and reaps it, so the stacks and the plan it uses outlive it.
class Supervisor {
 public:
  Supervisor(pid_t pid, UniqueFd pidfd) : pid_(pid), pidfd_(std::move(pidfd)) {}
  Supervisor(const Supervisor&) = delete;
  Supervisor& operator=(const Supervisor&) = delete;
  ~Supervisor() {
    if (!reaped_) stop_and_reap();
  }

  [[nodiscard]] pid_t pid() const noexcept { return pid_; }
  [[nodiscard]] int pollable_fd() const noexcept { return pidfd_.get(); }
  void set_pidfd(UniqueFd pidfd) noexcept { pidfd_ = std::move(pidfd); }

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
      pidfd_.reset();
      return true;
    }
  }

  // Asks the supervisor to kill the program and waits for both to end. A
  // supervisor that does not end within the grace (stopped, say) is killed,
  // and the program dies with it.
  void stop_and_reap() noexcept {
    if (reaped_) return;
    signal(SIGTERM);
    const auto until = steady_clock::now() + kStopGrace;
    nanoseconds slice = milliseconds(1);
    for (;;) {
      const auto ended = reap(false);
      if (!ended || *ended) break;
      const auto now = steady_clock::now();
      if (now >= until) {
        signal(SIGKILL);
        break;
      }
      nanoseconds wait_for = until - now;
      if (!pidfd_.valid()) {
        wait_for = std::min(wait_for, slice);
        slice = std::min<nanoseconds>(slice * 2, kLongestSlice);
      }
      const timespec timeout = to_timespec(wait_for);
      pollfd pfd{pidfd_.get(), POLLIN, 0};
      ::ppoll(&pfd, 1, &timeout, nullptr);
    }
    (void)reap(true);
  }

  // Without a process descriptor the end is found by testing after every
  // wake, so a wait is cut into slices that grow to this.
  static constexpr milliseconds kLongestSlice{32};
  static constexpr milliseconds kStopGrace{2000};

 private:
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
  bool reaped_ = false;
};

// Starts the supervisor, which starts the program. The supervisor is cloned
// with CLONE_VM (no copy of the host's memory) and CLONE_PIDFD for a process
// descriptor; where CLONE_PIDFD is refused or unknown nothing was started and
// it is cloned again without, and pidfd_open is tried; without either the
// caller's waits poll. Returns 0 with `supervisor` set, or the error number of
// clone when nothing started.
int start_supervisor(ChildPlan& plan, void* stack_top, std::optional<Supervisor>& supervisor) {
  pid_t pid = -1;
  int pidfd = -1;  // kernels before 5.2 ignore CLONE_PIDFD and write nothing
  {
    AllSignalsBlocked blocked;
    if (!blocked.ok()) return errno;
    pid = ::clone(supervisor_main, stack_top, CLONE_VM | CLONE_PIDFD, &plan, &pidfd);
    if (pid < 0 && (errno == EINVAL || errno == ENOSYS || errno == EPERM)) {
      pidfd = -1;
      pid = ::clone(supervisor_main, stack_top, CLONE_VM, &plan);
    }
    if (pid < 0) return errno;
  }
  supervisor.emplace(pid, UniqueFd(pidfd));
  if (pidfd < 0) {
    // The supervisor is unreaped, so its pid cannot have been recycled.
    supervisor->set_pidfd(UniqueFd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0))));
  }
  return 0;
}

// Waits until the program has exec'd or given up, when it no longer uses the
// caller's memory, or until the supervisor has ended without starting one.
// Like the exec of posix_spawn, this step has no limit of its own; it does
// not depend on the supervisor, which the program could stop once it runs.
void wait_for_start(ChildPlan& plan, Supervisor& supervisor) {
  nanoseconds slice = milliseconds(1);
  for (;;) {
    int tid = plan.program_tid.load(std::memory_order_acquire);
    if (tid == 0) return;
    if (tid < 0) {
      const auto ended = supervisor.reap(false);
      // The pid is written before the supervisor can end: read again.
      if ((!ended || *ended) && (tid = plan.program_tid.load(std::memory_order_acquire)) < 0) return;
    }
    const timespec timeout = to_timespec(slice);
    slice = std::min<nanoseconds>(slice * 2, Supervisor::kLongestSlice);
    // Woken by the kernel at the exec or exit; a stale value returns at once.
    ::syscall(SYS_futex, &plan.program_tid, FUTEX_WAIT, tid, &timeout, nullptr, 0);
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

[[nodiscard]] std::unexpected<ChildFailure> fail(ChildFailureKind kind, int errnum = 0) {
  return std::unexpected(ChildFailure{kind, errnum});
}


}  // namespace

std::expected<ChildOutput, ChildFailure> child::run(const ChildCommand& command) {
  std::optional<steady_clock::time_point> deadline;
  if (command.limit) deadline = deadline_after(steady_clock::now(), *command.limit);
  if (command.program.empty()) return fail(ChildFailureKind::CouldNotStart, ENOENT);

  // Everything the child needs is built before it exists.
  const std::string program(command.program);
  std::vector<char*> argv;
  argv.reserve(command.args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : command.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  ChildEnv env;
  build_child_env(command.env, env);
  Candidates candidates;
  build_candidates(program, command.path_search == PathSearch::Child ? env.child_path : env.caller_path, candidates);

  Pipe out_pipe, err_pipe;
  if (!command.inherit_stdio) {
    auto out = make_pipe();
    if (!out) return fail(ChildFailureKind::CouldNotStart, out.error());
    auto err = make_pipe();
    if (!err) return fail(ChildFailureKind::CouldNotStart, err.error());
    out_pipe = std::move(*out);
    err_pipe = std::move(*err);
  }

  // The stacks and the plan outlive the supervisor: it is reaped before they
  // go, on every path (Supervisor's destructor).
  ChildStacks stacks;
  if (!stacks.ok()) return fail(ChildFailureKind::CouldNotStart, errno);
  ChildPlan plan;
  plan.candidates = candidates.paths.data();
  plan.argv = argv.data();
  plan.envp = env.envp.data();
  plan.stdout_fd = out_pipe.write_end.get();
  plan.stderr_fd = err_pipe.write_end.get();
  plan.program_stack_top = stacks.program_top();
  plan.host_pid = ::getpid();
  rlimit nofile{};
  plan.fd_limit = 1 << 20;  // the kernel's default ceiling (fs.nr_open)
  if (::getrlimit(RLIMIT_NOFILE, &nofile) == 0 && nofile.rlim_cur < static_cast<rlim_t>(plan.fd_limit)) {
    plan.fd_limit = static_cast<int>(nofile.rlim_cur);
  }

  std::optional<Supervisor> started;
  if (const int errnum = start_supervisor(plan, stacks.supervisor_top(), started); errnum != 0) {
    return fail(ChildFailureKind::CouldNotStart, errnum);
  }
  Supervisor& supervisor = *started;
  wait_for_start(plan, supervisor);
  // The program has exec'd or given up: it holds its own copies now.
  env.arena.wipe();
  candidates.arena.wipe();
  if (plan.program_tid.load(std::memory_order_acquire) != 0 ||
      plan.start_errnum.load(std::memory_order_acquire) != 0) {
    (void)supervisor.reap(true);
    const int errnum = plan.start_errnum.load(std::memory_order_acquire);
    // No error: the supervisor was killed from outside before the start.
    return fail(ChildFailureKind::CouldNotStart, errnum != 0 ? errnum : ECHILD);
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
      if (now >= *deadline) {
        supervisor.stop_and_reap();
        return fail(ChildFailureKind::TimedOut);
      }
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
      supervisor.stop_and_reap();
      return fail(ChildFailureKind::WaitFailed, e);
    }
    if (ready > 0) {
      if (fds[1].revents != 0) out.read_once();
      if (fds[2].revents != 0) err.read_once();
      if (out.too_large() || err.too_large()) {
        supervisor.stop_and_reap();
        return fail(ChildFailureKind::OutputTooLarge);
      }
    }
    if (have_pidfd && (ready <= 0 || fds[0].revents == 0)) continue;
    const auto ended = supervisor.reap(false);
    if (!ended) {
      supervisor.stop_and_reap();
      return fail(ChildFailureKind::WaitFailed, ended.error());
    }
    if (*ended) break;
  }

  out.take_rest();
  err.take_rest();
  if (out.too_large() || err.too_large()) return fail(ChildFailureKind::OutputTooLarge);
  // A supervisor killed or stopped by another process has killed the
  // program, or the program died with it: its status is not the program's own.
  if (!plan.program_reaped.load(std::memory_order_acquire) ||
      plan.stopped_from_outside.load(std::memory_order_relaxed)) {
    return fail(ChildFailureKind::SupervisorEnded);
  }
  output.read_errnum = out.errnum() != 0 ? out.errnum() : err.errnum();
  const int wait_status = plan.program_wait_status.load(std::memory_order_relaxed);
  if (WIFEXITED(wait_status)) output.status = WEXITSTATUS(wait_status);
  return output;
}

}  // namespace zantu::core
