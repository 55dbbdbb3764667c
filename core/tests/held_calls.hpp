// Holding a run at the moment its program waits before the exec: a seccomp
// filter under which pidfd_open of any process but the filtered one's own
// waits for an answer from a listener that never gives one. The caller's
// side of a run takes a descriptor of the program that way while the program
// waits for it, so a held host stays exactly there until it is killed.
#pragma once

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

namespace zantu::core::held {

#if !defined(__x86_64__)
#error "the held-call filter is written for x86-64 only"
#endif

// Installs the filter in the calling process (and every process it starts
// from now on) and returns the listener, close-on-exec, or -errno. `own_pid`
// is the pid whose own descriptor may still be taken at once.
inline int hold_pidfd_open_of_others(pid_t own_pid) {
  sock_filter prog[] = {
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, SYS_pidfd_open, 0, 3),
      BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[0])),
      BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, static_cast<std::uint32_t>(own_pid), 1, 0),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
      BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
  };
  const sock_fprog fprog{static_cast<unsigned short>(sizeof prog / sizeof prog[0]), prog};
  if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) return -errno;
  const long fd = ::syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &fprog);
  return fd < 0 ? -errno : static_cast<int>(fd);
}

// One held call: the thread that made it and the pid it asked for.
struct HeldCall {
  pid_t caller_tid;
  pid_t asked_pid;
};

// Waits at most `limit` for the next held call on `listener`; it stays held.
inline std::optional<HeldCall> next_held_call(int listener, std::chrono::milliseconds limit) {
  pollfd pfd{listener, POLLIN, 0};
  if (::poll(&pfd, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
  seccomp_notif notif;
  std::memset(&notif, 0, sizeof notif);
  if (::ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &notif) != 0) return std::nullopt;
  return HeldCall{static_cast<pid_t>(notif.pid), static_cast<pid_t>(notif.data.args[0])};
}

// One byte with room for one descriptor beside it, as SCM_RIGHTS carries it.
struct FdMessage {
  FdMessage() {
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
  }
  FdMessage(const FdMessage&) = delete;
  FdMessage& operator=(const FdMessage&) = delete;

  char byte = 0;
  iovec iov{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr msg{};
};

// Passes `fd` over the unix socket `sock`; false when that fails.
inline bool send_fd(int sock, int fd) {
  FdMessage m;
  cmsghdr* c = CMSG_FIRSTHDR(&m.msg);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  return ::sendmsg(sock, &m.msg, MSG_NOSIGNAL) == 1;
}

// The descriptor passed over `sock`, close-on-exec, or -1.
inline int receive_fd(int sock) {
  FdMessage m;
  if (::recvmsg(sock, &m.msg, MSG_CMSG_CLOEXEC) != 1) return -1;
  const cmsghdr* c = CMSG_FIRSTHDR(&m.msg);
  if (c == nullptr || c->cmsg_type != SCM_RIGHTS) return -1;
  int fd = -1;
  std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
  return fd;
}

}  // namespace zantu::core::held
