// Reading one whole file that any program of the same user may have planted:
// a FIFO is never waited for, a device never read, and nothing past a bound
// is read or allocated for, however large the file claims or grows to be.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <filesystem>
#include <string>
#include <vector>

namespace zantu::core {

enum class FileReadFailureKind : std::uint8_t {
  Os,          // open, fstat or read failed; `errnum` says why (EISDIR for a directory)
  NotRegular,  // a FIFO, a socket or a device
  TooLarge,    // more than the bound
};

struct FileReadFailure {
  FileReadFailureKind kind;
  int errnum = 0;          // for Os
  std::size_t max_len = 0;  // the bound, for TooLarge

  // Nothing exists at the path (ENOENT or ENOTDIR).
  [[nodiscard]] bool absent() const noexcept;
  // "not a regular file", "file is larger than {max_len} bytes", or the OS
  // error as "{description} (os error {number})".
  [[nodiscard]] std::string to_string() const;
};

// Whether a symbolic link at the path itself is followed (links in the
// directories above it always are).
enum class FileLinks : bool { Refuse, Follow };

// The whole content of the regular file `name` (relative to `dir_fd`, which
// may be AT_FDCWD), at most `max_len` bytes. A file larger than that by its
// size is refused unread; one that grows while it is read is refused once
// the byte past the bound has been read, and never more. A link at the path,
// with `FileLinks::Refuse`, fails with ELOOP.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, FileReadFailure> read_whole_file(int dir_fd, const char* name,
                                                                                        std::size_t max_len,
                                                                                        FileLinks links);

// The same for `path`; a path holding a NUL byte, which the system calls
// would cut short and so read another file, fails with EINVAL.
[[nodiscard]] std::expected<std::vector<std::uint8_t>, FileReadFailure> read_whole_file(
    const std::filesystem::path& path, std::size_t max_len, FileLinks links);

}  // namespace zantu::core
