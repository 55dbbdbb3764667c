// A hung file system for the tests: zantu_held_fuse mounted in a scratch
// directory, where an exec of one of its files sleeps in the kernel, beyond
// the reach of any signal, until the test releases the mount.
#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "zantu/core/fd.hpp"

namespace zantu::core::testing {

class HeldMount {
 public:
  // Mounts the file system at `dir` (made here) with one executable file per
  // name. `ready()` is false, and `why()` says why, where it cannot be had:
  // mounting needs root and /dev/fuse.
  HeldMount(std::filesystem::path dir, const std::vector<std::string>& names) : dir_(std::move(dir)) {
    if (::geteuid() != 0) {
      why_ = "mounting a FUSE file system needs root";
      return;
    }
    if (::access("/dev/fuse", R_OK | W_OK) != 0) {
      why_ = std::string("no /dev/fuse: ") + std::strerror(errno);
      return;
    }
    std::error_code ec;
    std::filesystem::create_directories(dir_, ec);
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      why_ = std::string("pipe: ") + std::strerror(errno);
      return;
    }
    to_server_.reset(in[1]);
    from_server_.reset(out[0]);
    const UniqueFd server_in(in[0]), server_out(out[1]);
    std::vector<std::string> words = {ZANTU_HELD_FUSE, dir_.native()};
    words.insert(words.end(), names.begin(), names.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(server_in.get(), STDIN_FILENO);
      ::dup2(server_out.get(), STDOUT_FILENO);
      ::execv(argv[0], argv.data());
      ::_exit(127);
    }
    if (pid_ < 0) {
      why_ = std::string("fork: ") + std::strerror(errno);
      return;
    }
    if (next_line(std::chrono::seconds(10)) != "ready") why_ = "the held file system could not be mounted";
  }
  HeldMount(const HeldMount&) = delete;
  HeldMount& operator=(const HeldMount&) = delete;
  // Releases the mount, which the server then unmounts; a server that does
  // not end is killed, and its dead mount detached.
  ~HeldMount() {
    to_server_.reset();
    if (pid_ > 0) {
      int status = 0;
      for (int i = 0; i < 500 && ::waitpid(pid_, &status, WNOHANG) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      if (::waitpid(pid_, &status, WNOHANG) == 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, &status, 0);
      }
    }
    ::umount2(dir_.c_str(), MNT_DETACH);
  }

  [[nodiscard]] bool ready() const { return why_.empty(); }
  [[nodiscard]] const std::string& why() const { return why_; }
  [[nodiscard]] std::string path(std::string_view name) const { return (dir_ / name).native(); }
  // The server's pid: a child of the test process.
  [[nodiscard]] pid_t server_pid() const { return pid_; }

  // The pid of the next process whose open is held, waiting at most `limit`;
  // -1 when none came.
  pid_t next_held(std::chrono::milliseconds limit) {
    const std::string line = next_line(limit);
    return line.starts_with("held ") ? static_cast<pid_t>(std::stol(line.substr(5))) : -1;
  }

  // Answers every held open, and every later one, with EIO.
  void release() {
    if (to_server_.valid()) (void)write_all(to_server_.get(), "release\n", 8);
  }

 private:
  std::string next_line(std::chrono::milliseconds limit) {
    const auto give_up = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (const auto nl = buffered_.find('\n'); nl != std::string::npos) {
        std::string line = buffered_.substr(0, nl);
        buffered_.erase(0, nl + 1);
        return line;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(give_up - std::chrono::steady_clock::now());
      pollfd pfd{from_server_.get(), POLLIN, 0};
      if (left.count() < 0 || ::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) return {};
      char chunk[256];
      const ssize_t n = ::read(from_server_.get(), chunk, sizeof chunk);
      if (n <= 0) return {};
      buffered_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  std::filesystem::path dir_;
  pid_t pid_ = -1;
  UniqueFd to_server_;
  UniqueFd from_server_;
  std::string buffered_;
  std::string why_;
};

}  // namespace zantu::core::testing
