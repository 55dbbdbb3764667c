// File descriptors owned by exactly one object, and whole-buffer writes.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <utility>

namespace zantu::core {

class UniqueFd {
 public:
  UniqueFd() noexcept = default;
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  UniqueFd(UniqueFd&& o) noexcept : fd_(std::exchange(o.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& o) noexcept {
    if (this != &o) {
      reset();
      fd_ = std::exchange(o.fd_, -1);
    }
    return *this;
  }
  ~UniqueFd() { reset(); }

  [[nodiscard]] int get() const noexcept { return fd_; }
  [[nodiscard]] bool valid() const noexcept { return fd_ >= 0; }
  // Gives up ownership without closing.
  [[nodiscard]] int release() noexcept { return std::exchange(fd_, -1); }
  // Closes the descriptor held (if any) and takes `fd` instead.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

// Writes all `len` bytes, continuing partial writes and retrying interrupted
// ones. Returns 0, an errno value, or -1 when a write accepted no byte.
[[nodiscard]] int write_all(int fd, const void* data, std::size_t len) noexcept;

}  // namespace zantu::core
