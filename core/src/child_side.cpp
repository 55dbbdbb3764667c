// The child side of a run: everything the supervisor and the program run
// between the clone and the program's exec, and the supervisor until it exits.
//
// The program's own parent is a small supervisor cloned from the caller with
// CLONE_VM and an exit signal of 0, which never execs. The kernel resets the
// exit signal of a process that execs to SIGCHLD, so the program itself could
// not be kept out of the host's SIGCHLD handling; the supervisor can: it is
// never reaped by the kernel on its own whatever the host's SIGCHLD setting,
// sends the host no SIGCHLD, and is returned by no wait of the host without
// __WALL. It starts the program as its own child (sharing memory until the
// program's exec), reaps it, leaves its wait status in the shared plan and
// exits. It does not wait out the exec as vfork would: an exec can be held
// up for long (a lease on the program's file, a slow or hostile file
// system), and meanwhile the supervisor must still act on the caller's death
// and on stops.
//
// Both run on memory they share with the caller while other threads of the
// host keep running, so the rules for every line of this file are: call no
// library function, allocate nothing, take no lock, make system calls raw and
// never touch errno (which lives in the calling thread's storage). The file is
// built without sanitizer instrumentation (core/CMakeLists.txt), whose runtime
// would break each of these rules.
#include "child_side.hpp"

#include <fcntl.h>
#include <linux/futex.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <climits>
#include <cstdint>

namespace zantu::core::child_side {
namespace {

// A system call that returns -errno on failure and leaves errno alone.
#if !defined(__x86_64__)
#error "the child side is written for x86-64 only"
#endif
long raw_syscall(long nr, long a = 0, long b = 0, long c = 0, long d = 0, long e = 0) {
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
long raw_clone(unsigned long flags, void* stack_top, int* parent_tid, int* child_tid, int (*fn)(void*),
               void* arg) {
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
long arg(T* p) {
  return reinterpret_cast<long>(p);
}

// The kernel's own sigaction layout (rt_sigaction), with its 64-bit mask.
struct KernelSigaction {
  void* handler;
  unsigned long flags;
  void* restorer;
  std::uint64_t mask;
};
constexpr int kKernelSignals = 64;

constexpr std::uint64_t signal_bit(int sig) { return std::uint64_t{1} << (sig - 1); }

void set_default_action(int sig) {
  KernelSigaction dfl{};
  raw_syscall(SYS_rt_sigaction, sig, arg(&dfl), 0, kKernelSigsetLen);
}

// A host handler must never run in either process, on memory they share with
// the host; SIGCHLD goes back to its default (without SA_NOCLDWAIT) so the
// supervisor's own child is never reaped behind its back.
void reset_handled_signals() {
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
bool close_listed_descriptors(int first) {
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
void close_descriptors_from(int first, int fd_limit) {
  if (raw_syscall(SYS_close_range, first, ~0u, 0) == 0) return;
  if (close_listed_descriptors(first)) return;
  for (int fd = first; fd < fd_limit; ++fd) raw_syscall(SYS_close, fd);
}

[[noreturn]] void exit_now(int code) {
  for (;;) raw_syscall(SYS_exit_group, code);
}

long futex_wake(std::atomic<int>& word) {
  return raw_syscall(SYS_futex, arg(reinterpret_cast<int*>(&word)), FUTEX_WAKE, INT_MAX);
}

// Waits, before the exec, until the caller has tried to take a process
// descriptor of the program: until the exec the program is certainly the
// process of its pid, and its parent-death signal still holds. Returns 0, or
// -ECHILD when the caller died meanwhile (then nothing is to start).
long wait_for_caller(ChildPlan* plan) {
  plan->program_ready.store(1, std::memory_order_release);
  futex_wake(plan->program_tid);  // where the caller waits for the start
  auto* ack = reinterpret_cast<int*>(&plan->caller_ack);
  while (plan->caller_ack.load(std::memory_order_acquire) == 0) {
    const timespec slice{0, 10'000'000};
    raw_syscall(SYS_futex, arg(ack), FUTEX_WAIT, 0, arg(&slice));
    pollfd caller{plan->host_pidfd, POLLIN, 0};
    if (raw_syscall(SYS_poll, arg(&caller), 1, 0) > 0) return -ECHILD;
  }
  return 0;
}

// The program's side, from its clone to exec. On failure it leaves the error
// number in the plan and exits with 127.
int program_main(void* plan_ptr) {
  auto* plan = static_cast<ChildPlan*>(plan_ptr);
  plan->program_pid.store(static_cast<int>(raw_syscall(SYS_getpid)), std::memory_order_release);
  // Dies with the supervisor, so a run that is abandoned cannot leave the
  // program running (until an exec that changes the credentials clears it;
  // then the caller kills it); a supervisor gone already is caught by the
  // check after.
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
    // one is the client's stream, which the program must not consume. It is
    // closed first, so the null device takes its number and needs no free
    // descriptor of its own: a host at its limit runs as any other. No
    // descriptor of the plan lies on 0..2 (the caller moved them above).
    raw_syscall(SYS_close, STDIN_FILENO);
    const long null_fd = raw_syscall(SYS_openat, AT_FDCWD, arg("/dev/null"), O_RDONLY);
    err = null_fd < 0 ? null_fd : 0;
    // A missing null device (a tmpfs over /dev) must not read as a missing program.
    if (err != 0) plan->null_device_failed.store(true, std::memory_order_release);
    if (err == 0 && null_fd != STDIN_FILENO) err = raw_syscall(SYS_dup3, null_fd, STDIN_FILENO, 0);
    if (err >= 0) err = raw_syscall(SYS_dup3, plan->stdout_fd, STDOUT_FILENO, 0);
    if (err >= 0) err = raw_syscall(SYS_dup3, plan->stderr_fd, STDERR_FILENO, 0);
    if (err > 0) err = 0;
  }
  if (err == 0 && plan->host_pidfd >= 0) err = wait_for_caller(plan);
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

// What a signal taken by the supervisor asks of it.
void act_on(ChildPlan* plan, long program, long sig, const siginfo_t& info) {
  // kill(2) and pidfd_send_signal(2) give SI_USER and the sender's pid; no
  // other process can queue SI_USER, so si_pid alone would prove nothing.
  const bool from_caller = info.si_code == SI_USER && info.si_pid == plan->host_pid;
  if (sig == SIGTERM) {
    // Only the caller asks for a stop; anyone else ends the run, which the
    // caller must then report rather than a status it never chose.
    if (!from_caller) plan->stopped_from_outside.store(true, std::memory_order_relaxed);
    raw_syscall(SYS_kill, program, SIGKILL);
  } else if (sig == kCallerDiedSignal) {
    // The kernel sends it as SI_USER from the dying caller; one sent by
    // anyone else counts only once the caller is really gone.
    if (from_caller || raw_syscall(SYS_getppid) != plan->host_pid) {
      raw_syscall(SYS_kill, program, SIGKILL);
      // Nothing waits for the status, and this process holds the dead
      // caller's memory until it exits.
      exit_now(1);
    }
  }
}

}  // namespace

int supervisor_main(void* plan_ptr) {
  auto* plan = static_cast<ChildPlan*>(plan_ptr);
  // Told of the caller's death, and the program ended then: a run never
  // outlives its caller, least of all holding the caller's memory, keys
  // included. A caller gone already is caught by the check after.
  raw_syscall(SYS_prctl, PR_SET_PDEATHSIG, kCallerDiedSignal);
  if (raw_syscall(SYS_getppid) != plan->host_pid) exit_now(1);
  reset_handled_signals();  // every signal stays blocked, as the caller left them
  plan->supervisor_pid = raw_syscall(SYS_getpid);
  auto* program_tid = reinterpret_cast<int*>(&plan->program_tid);
  const long program =
      raw_clone(CLONE_VM | CLONE_PARENT_SETTID | CLONE_CHILD_CLEARTID | SIGCHLD,
                plan->program_stack_top, program_tid, program_tid, program_main, plan);
  if (program < 0) {
    plan->start_errnum.store(static_cast<int>(-program), std::memory_order_release);
    plan->program_tid.store(0, std::memory_order_release);
    futex_wake(plan->program_tid);
    exit_now(0);
  }
  close_descriptors_from(0, plan->fd_limit);
  const std::uint64_t wake = signal_bit(SIGCHLD) | signal_bit(SIGTERM) | signal_bit(kCallerDiedSignal);
  const timespec no_wait{0, 0};
  for (;;) {
    // What is pending first: a stop or the caller's death that came while
    // this process was busy must not be lost to a program that has exited
    // by now.
    siginfo_t info;
    for (long sig; (sig = raw_syscall(SYS_rt_sigtimedwait, arg(&wake), arg(&info), arg(&no_wait),
                                      kKernelSigsetLen)) > 0;) {
      act_on(plan, program, sig, info);
    }
    int status = 0;
    const long reaped = raw_syscall(SYS_wait4, program, arg(&status), WNOHANG | __WALL, 0);
    if (reaped == program) {
      plan->program_wait_status.store(status, std::memory_order_relaxed);
      plan->program_reaped.store(true, std::memory_order_release);
      exit_now(0);
    }
    if (reaped < 0 && reaped != -EINTR) exit_now(1);
    const long sig = raw_syscall(SYS_rt_sigtimedwait, arg(&wake), arg(&info), 0, kKernelSigsetLen);
    if (sig > 0) act_on(plan, program, sig, info);
  }
}

}  // namespace zantu::core::child_side
