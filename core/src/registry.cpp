#include "zantu/core/registry.hpp"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "dir_entries.hpp"
#include "zantu/core/store.hpp"
#include "zantu/core/utf8.hpp"

namespace zantu::core {

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
  std::vector<std::string> names;
  auto listed = for_each_dir_entry(projects_root(), [&](int dir_fd, const dirent& entry) -> Status {
    // The entry's own type: a symbolic link to a directory is not a project.
    bool is_dir = entry.d_type == DT_DIR;
    if (entry.d_type == DT_UNKNOWN) {
      struct stat entry_st {};
      if (::fstatat(dir_fd, entry.d_name, &entry_st, AT_SYMLINK_NOFOLLOW) != 0) {
        return std::unexpected(CoreError::io_errno("file_type", errno));
      }
      is_dir = S_ISDIR(entry_st.st_mode);
    }
    const std::string_view name = entry.d_name;
    if (is_dir && utf8::is_valid(name)) names.emplace_back(name);
    return {};
  });
  if (!listed) return std::unexpected(listed.error());
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
