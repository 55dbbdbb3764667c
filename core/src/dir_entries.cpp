#include "dir_entries.hpp"

#include <sys/stat.h>

#include <cerrno>
#include <memory>
#include <string_view>

namespace zantu::core {
namespace {

struct DirCloser {
  void operator()(DIR* d) const noexcept { ::closedir(d); }
};

}  // namespace

Status for_each_dir_entry(const std::filesystem::path& dir,
                          const std::function<Status(int dir_fd, const dirent& entry)>& visit) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    // Only "nothing there" is an empty listing; a permission or I/O failure
    // must not pass for an empty directory.
    if (errno == ENOENT || errno == ENOTDIR) return {};
    return std::unexpected(CoreError::io_errno("read_dir", errno));
  }
  const std::unique_ptr<DIR, DirCloser> d(::opendir(dir.c_str()));
  if (!d) return std::unexpected(CoreError::io_errno("read_dir", errno));
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(d.get());
    if (entry == nullptr) {
      if (errno != 0) return std::unexpected(CoreError::io_errno("dir entry", errno));
      return {};
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (auto s = visit(::dirfd(d.get()), *entry); !s) return s;
  }
}

}  // namespace zantu::core
