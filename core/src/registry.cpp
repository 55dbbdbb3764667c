#include "zantu/core/registry.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "zantu/core/utf8.hpp"
#include "zantu/core/store.hpp"

namespace zantu::core {
namespace {

struct DirCloser {
  void operator()(DIR* d) const noexcept { ::closedir(d); }
};

}  // namespace

Result<std::filesystem::path> Registry::default_root() {
  const char* home = std::getenv("HOME");
  if (home == nullptr) return std::unexpected(CoreError::io("no home directory ($HOME) set"));
  return std::filesystem::path(home) / ".vaults";
}

Result<Registry> Registry::open(const std::filesystem::path& root) {
  Registry registry(root);
  if (auto s = store::ensure_dir(registry.global_dir()); !s) return std::unexpected(s.error());
  if (auto s = store::ensure_dir(registry.projects_root()); !s) return std::unexpected(s.error());
  return registry;
}

std::filesystem::path Registry::global_dir() const { return root_ / "global"; }

std::filesystem::path Registry::projects_root() const { return root_ / "projects"; }

std::filesystem::path Registry::project_dir(std::string_view name) const {
  // Appended as text: joining with `/` would let an absolute name replace the
  // whole path and so leave the root.
  std::filesystem::path dir = projects_root();
  dir += "/";
  dir += name;
  return dir;
}

Result<std::vector<std::string>> Registry::list_projects() const {
  const std::filesystem::path dir = projects_root();
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    // Only "nothing there" is an empty list; a permission or I/O failure must
    // not pass for a vault root without projects.
    if (errno == ENOENT || errno == ENOTDIR) return std::vector<std::string>{};
    return std::unexpected(CoreError::io_errno("read_dir", errno));
  }
  std::unique_ptr<DIR, DirCloser> d(::opendir(dir.c_str()));
  if (!d) return std::unexpected(CoreError::io_errno("read_dir", errno));

  std::vector<std::string> names;
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(d.get());
    if (entry == nullptr) {
      if (errno != 0) return std::unexpected(CoreError::io_errno("dir entry", errno));
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    // The entry's own type: a symbolic link to a directory is not a project.
    bool is_dir = entry->d_type == DT_DIR;
    if (entry->d_type == DT_UNKNOWN) {
      struct stat entry_st {};
      if (::fstatat(::dirfd(d.get()), entry->d_name, &entry_st, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::unexpected(CoreError::io_errno("file_type", errno));
      }
      is_dir = S_ISDIR(entry_st.st_mode);
    }
    if (!is_dir || !utf8::is_valid(name)) continue;
    names.emplace_back(name);
  }
  // std::string compares as unsigned bytes: "B" < "a" < "ab".
  std::sort(names.begin(), names.end());
  return names;
}

Result<std::optional<ResolvedRecord>> Registry::resolve_with_key(const Coordinate& coordinate,
                                                                  std::optional<std::string_view> project,
                                                                  const MasterKey& key) const {
  if (project && !coordinate.global) {
    auto found = store::read_record(project_dir(*project), coordinate, key);
    if (!found) return std::unexpected(found.error());
    if (*found) {
      return std::optional<ResolvedRecord>(
          std::in_place, VaultOrigin::Project{std::string(*project)}, std::move(**found));
    }
  }
  auto found = store::read_record(global_dir(), coordinate, key);
  if (!found) return std::unexpected(found.error());
  if (*found) return std::optional<ResolvedRecord>(std::in_place, VaultOrigin::Global{}, std::move(**found));
  return std::optional<ResolvedRecord>();
}

}  // namespace zantu::core
