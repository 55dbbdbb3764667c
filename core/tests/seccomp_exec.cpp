// Runs a program under a seccomp filter that refuses some system calls with a
// chosen error, the way container runtimes and sandboxes refuse calls they do
// not know:
//
//   zantu_seccomp_exec [--refuse CALL=ERRNO]... -- PROGRAM [ARG]...
//
// CALL is pidfd_open, clone3, close_range, getdents64, or clone-pidfd (clone
// whose flags hold CLONE_PIDFD); ERRNO is ENOSYS or EPERM. The program gets
// ZANTU_TEST_SECCOMP set to the refusals as given ("CALL=ERRNO,..."), so a
// test can check that the filter took.
//
//   zantu_seccomp_exec --hold-pidfd-open REPORT -- PROGRAM [ARG]...
//
// runs PROGRAM as its child under a filter that holds every pidfd_open of
// another process than PROGRAM itself for good, and writes each held call to
// the file REPORT as "<thread id> <pid asked for>" (replaced whole); it ends
// when PROGRAM does, with its status. A run's caller makes exactly that call
// while the program waits before its exec, so a test can kill the caller
// there.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "held_calls.hpp"

namespace {

#if defined(__x86_64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_X86_64;
#elif defined(__aarch64__)
constexpr std::uint32_t kArch = AUDIT_ARCH_AARCH64;
#else
#error "no seccomp architecture constant for this target"
#endif
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the flags' low word is read at the argument's offset");

struct Refusal {
  std::string_view call;
  int errnum;
};

int usage(const char* why) {
  std::fprintf(stderr,
               "zantu_seccomp_exec: %s\nusage: zantu_seccomp_exec [--refuse CALL=ENOSYS|EPERM]... -- PROGRAM [ARG]...\n"
               "CALL: pidfd_open clone3 close_range getdents64 clone-pidfd\n",
               why);
  return 2;
}

bool parse(std::string_view spec, Refusal& out) {
  const auto eq = spec.find('=');
  if (eq == std::string_view::npos) return false;
  const std::string_view err = spec.substr(eq + 1);
  if (err == "ENOSYS") {
    out.errnum = ENOSYS;
  } else if (err == "EPERM") {
    out.errnum = EPERM;
  } else {
    return false;
  }
  out.call = spec.substr(0, eq);
  for (std::string_view known : {"pidfd_open", "clone3", "close_range", "getdents64", "clone-pidfd"}) {
    if (out.call == known) return true;
  }
  return false;
}

long number_of(std::string_view call) {
  if (call == "pidfd_open") return SYS_pidfd_open;
  if (call == "clone3") return SYS_clone3;
  if (call == "close_range") return SYS_close_range;
  return SYS_getdents64;
}

sock_filter stmt(std::uint16_t code, std::uint32_t k) { return BPF_STMT(code, k); }
sock_filter jump(std::uint16_t code, std::uint32_t k, std::uint8_t jt, std::uint8_t jf) {
  return BPF_JUMP(code, k, jt, jf);
}

std::vector<sock_filter> build_filter(const std::vector<Refusal>& refusals) {
  std::vector<sock_filter> prog;
  prog.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)));
  prog.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, kArch, 1, 0));
  prog.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  prog.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)));
  const Refusal* clone_pidfd = nullptr;
  for (const Refusal& r : refusals) {
    if (r.call == "clone-pidfd") {
      clone_pidfd = &r;
      continue;
    }
    prog.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(number_of(r.call)), 0, 1));
    prog.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(r.errnum)));
  }
  if (clone_pidfd != nullptr) {
    prog.push_back(jump(BPF_JMP | BPF_JEQ | BPF_K, SYS_clone, 0, 3));
    prog.push_back(stmt(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])));
    prog.push_back(jump(BPF_JMP | BPF_JSET | BPF_K, CLONE_PIDFD, 0, 1));
    prog.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | static_cast<std::uint32_t>(clone_pidfd->errnum)));
  }
  prog.push_back(stmt(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
  return prog;
}

// Writes `text` to `path` whole: a reader sees the old text or the new.
bool replace_file(const std::string& path, const std::string& text) {
  const std::string tmp = path + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "w");
  if (f == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  return std::fclose(f) == 0 && written && std::rename(tmp.c_str(), path.c_str()) == 0;
}

int run_held(const char* report, char** program) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, sv) != 0) {
    std::perror("zantu_seccomp_exec: socketpair");
    return 1;
  }
  const pid_t child = ::fork();
  if (child < 0) {
    std::perror("zantu_seccomp_exec: fork");
    return 1;
  }
  if (child == 0) {
    ::close(sv[0]);
    const int listener = zantu::core::held::hold_pidfd_open_of_others(::getpid());
    if (listener < 0 || !zantu::core::held::send_fd(sv[1], listener)) _exit(126);
    // Whatever standard descriptors were closed are closed again for the program.
    ::close(listener);
    ::close(sv[1]);
    ::execvp(program[0], program);
    _exit(127);
  }
  ::close(sv[1]);
  const int listener = zantu::core::held::receive_fd(sv[0]);
  ::close(sv[0]);
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(child, &status, WNOHANG);
    if (done == child) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (listener < 0) {
      ::usleep(10000);
      continue;
    }
    if (const auto call = zantu::core::held::next_held_call(listener, std::chrono::milliseconds(10))) {
      replace_file(report, std::to_string(call->caller_tid) + " " + std::to_string(call->asked_pid) + "\n");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 4 && std::string_view(argv[1]) == "--hold-pidfd-open" && std::string_view(argv[3]) == "--") {
    return run_held(argv[2], argv + 4);
  }
  std::vector<Refusal> refusals;
  std::string described;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string_view arg(argv[i]);
    if (arg == "--") {
      ++i;
      break;
    }
    if (arg != "--refuse" || i + 1 >= argc) return usage("unknown option");
    Refusal r{};
    if (!parse(argv[++i], r)) return usage("bad refusal");
    refusals.push_back(r);
    if (!described.empty()) described += ',';
    described += argv[i];
  }
  if (i >= argc) return usage("no program");

  std::vector<sock_filter> prog = build_filter(refusals);
  const sock_fprog fprog{static_cast<unsigned short>(prog.size()), prog.data()};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    std::perror("zantu_seccomp_exec: PR_SET_NO_NEW_PRIVS");
    return 1;
  }
  if (::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &fprog) != 0) {
    std::perror("zantu_seccomp_exec: PR_SET_SECCOMP");
    return 1;
  }
  ::setenv("ZANTU_TEST_SECCOMP", described.c_str(), 1);
  ::execvp(argv[i], argv + i);
  std::fprintf(stderr, "zantu_seccomp_exec: exec %s: %s\n", argv[i], std::strerror(errno));
  return 127;
}
