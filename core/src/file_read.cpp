#include "zantu/core/file_read.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

#include "zantu/core/error.hpp"
#include "zantu/core/fd.hpp"

namespace zantu::core {
namespace {

std::unexpected<FileReadFailure> os_failure(int errnum) {
  return std::unexpected(FileReadFailure{FileReadFailureKind::Os, errnum, 0});
}

}  // namespace

bool FileReadFailure::absent() const noexcept {
  return kind == FileReadFailureKind::Os && (errnum == ENOENT || errnum == ENOTDIR);
}

std::string FileReadFailure::to_string() const {
  switch (kind) {
    case FileReadFailureKind::NotRegular:
      return "not a regular file";
    case FileReadFailureKind::TooLarge:
      return "file is larger than " + std::to_string(max_len) + " bytes";
    case FileReadFailureKind::Os:
      break;
  }
  return os_error_text(errnum);
}

std::expected<std::vector<std::uint8_t>, FileReadFailure> read_whole_file(int dir_fd, const char* name,
                                                                          std::size_t max_len, FileLinks links) {
  const FileReadFailure not_regular{FileReadFailureKind::NotRegular, 0, 0};
  const FileReadFailure too_large{FileReadFailureKind::TooLarge, 0, max_len};
  // Non-blocking, so that opening a FIFO never waits for a writer; for a
  // regular file the flag changes nothing.
  int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY;
  if (links == FileLinks::Refuse) flags |= O_NOFOLLOW;
  UniqueFd fd(::openat(dir_fd, name, flags));
  // ENXIO: a socket, which cannot be opened at all.
  if (!fd.valid()) return errno == ENXIO ? std::unexpected(not_regular) : os_failure(errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return os_failure(errno);
  if (S_ISDIR(st.st_mode)) return os_failure(EISDIR);
  if (!S_ISREG(st.st_mode)) return std::unexpected(not_regular);
  // A sparse file costs no disk however large it is: past the bound it is
  // refused by its size, unread.
  if (st.st_size < 0 || static_cast<std::uintmax_t>(st.st_size) > max_len) return std::unexpected(too_large);
  // The file may grow after fstat: one byte past the bound is the most that
  // is ever read, and reading it is the refusal.
  const std::size_t read_limit = max_len < SIZE_MAX ? max_len + 1 : max_len;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(st.st_size) + 1);
  std::size_t len = 0;
  for (;;) {
    if (len == bytes.size()) {
      if (len == read_limit) return std::unexpected(too_large);
      bytes.resize(std::min(bytes.size() * 2, read_limit));
    }
    const ssize_t n = ::read(fd.get(), bytes.data() + len, bytes.size() - len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_failure(errno);
    }
    if (n == 0) break;
    len += static_cast<std::size_t>(n);
  }
  bytes.resize(len);
  return bytes;
}

std::expected<std::vector<std::uint8_t>, FileReadFailure> read_whole_file(const std::filesystem::path& path,
                                                                          std::size_t max_len, FileLinks links) {
  if (path.native().find('\0') != std::string::npos) return os_failure(EINVAL);
  return read_whole_file(AT_FDCWD, path.c_str(), max_len, links);
}

}  // namespace zantu::core
