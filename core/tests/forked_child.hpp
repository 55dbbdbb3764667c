// Test processes: a forked child runs one function and hands its text back
// through a pipe, so that several real processes can work on one vault.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "zantu/core/fd.hpp"

namespace zantu::core::forked {

struct Child {
  pid_t pid = -1;
  UniqueFd report;  // the read end of the child's text
};

// Forks; the child runs `body`, writes the text it returns and ends with
// _exit(0), so that nothing of the test framework runs in it. pid is -1 when
// the fork failed.
inline Child start(const std::function<std::string()>& body) {
  int fds[2];
  if (::pipe(fds) != 0) return {};
  const pid_t pid = ::fork();
  if (pid < 0) {
    ::close(fds[0]);
    ::close(fds[1]);
    return {};
  }
  if (pid == 0) {
    ::close(fds[0]);
    const std::string text = body();
    const int err = write_all(fds[1], text.data(), text.size());
    ::_exit(err == 0 ? 0 : 3);
  }
  ::close(fds[1]);
  return {pid, UniqueFd(fds[0])};
}

// The child's text, read to its end, then the child reaped. An abnormal end
// is appended: " [exit status N]" or " [signal N]".
inline std::string join(Child& child) {
  std::string text;
  char buf[4096];
  for (ssize_t n; (n = ::read(child.report.get(), buf, sizeof buf)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    text.append(buf, static_cast<std::size_t>(n));
  }
  child.report.reset();
  int status = 0;
  while (::waitpid(child.pid, &status, 0) < 0 && errno == EINTR) {
  }
  child.pid = -1;
  if (WIFEXITED(status) && WEXITSTATUS(status) != 0) {
    text += " [exit status " + std::to_string(WEXITSTATUS(status)) + "]";
  }
  if (WIFSIGNALED(status)) text += " [signal " + std::to_string(WTERMSIG(status)) + "]";
  return text;
}

// Waits until the child has stopped (SIGSTOP); false when it ended or did not
// stop within `limit`.
inline bool wait_stopped(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(10)) {
  const auto give_up = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < give_up) {
    int status = 0;
    const pid_t got = ::waitpid(pid, &status, WNOHANG | WUNTRACED);
    if (got == pid) return WIFSTOPPED(status);
    if (got < 0 && errno != EINTR) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

}  // namespace zantu::core::forked
