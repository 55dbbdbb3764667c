#include "zantu/core/fd.hpp"

#include <cerrno>

namespace zantu::core {

int write_all(int fd, const void* data, std::size_t len) noexcept {
  const char* p = static_cast<const char*>(data);
  while (len > 0) {
    ssize_t n = ::write(fd, p, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (n == 0) return -1;
    p += n;
    len -= static_cast<std::size_t>(n);
  }
  return 0;
}

}  // namespace zantu::core
