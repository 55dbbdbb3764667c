// The vaults of one vault root: "<root>/global" and "<root>/projects/<name>".
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "zantu/core/coordinate.hpp"
#include "zantu/core/error.hpp"
#include "zantu/core/master_key.hpp"
#include "zantu/core/record.hpp"

namespace zantu::core {

// Which vault a record came from: the global vault or one project's vault.
class VaultOrigin {
 public:
  struct Global {
    friend bool operator==(const Global&, const Global&) = default;
  };
  struct Project {
    std::string name;
    friend bool operator==(const Project&, const Project&) = default;
  };

  VaultOrigin(Global g) : v_(g) {}
  VaultOrigin(Project p) : v_(std::move(p)) {}

  [[nodiscard]] bool is_global() const noexcept { return std::holds_alternative<Global>(v_); }
  // The project's name; empty for the global vault.
  [[nodiscard]] std::string_view project() const noexcept {
    const auto* p = std::get_if<Project>(&v_);
    return p ? std::string_view(p->name) : std::string_view{};
  }

  friend bool operator==(const VaultOrigin&, const VaultOrigin&) = default;

 private:
  std::variant<Global, Project> v_;
};

// A record found by `Registry::resolve_with_key`, with the vault that held it.
using ResolvedRecord = std::pair<VaultOrigin, SecretRecord>;

// Knows where the vaults of one root lie. Never changes after `open`, so it
// may be shared by any number of readers.
class Registry {
 public:
  // "$HOME/.vaults" ($HOME taken as raw bytes; an empty one gives ".vaults"),
  // or `Io` "no home directory ($HOME) set".
  [[nodiscard]] static Result<std::filesystem::path> default_root();

  // Creates "<root>/global" and then "<root>/projects" where missing (each
  // then set to 0700; the root and its parents keep their creation mode) and
  // keeps `root` as given. Existing directories are left unchanged. Fails
  // with the first `store::ensure_dir` error.
  [[nodiscard]] static Result<Registry> open(const std::filesystem::path& root);

  [[nodiscard]] const std::filesystem::path& root() const noexcept { return root_; }
  [[nodiscard]] std::filesystem::path global_dir() const;
  [[nodiscard]] std::filesystem::path projects_root() const;
  // "<root>/projects/<name>", the name appended unchecked.
  [[nodiscard]] std::filesystem::path project_dir(std::string_view name) const;

  // The names of the sub-directories of "<root>/projects" (not symbolic links
  // to directories; names that are not UTF-8 skipped), in byte order. A
  // missing "projects" is an empty list; any other failure is `Io` with the
  // step "read_dir", "dir entry" or "file_type", and no partial list.
  [[nodiscard]] Result<std::vector<std::string>> list_projects() const;

  // With a project and a coordinate without "//global/": the project's vault,
  // then the global vault; otherwise the global vault alone. Nullopt when no
  // vault holds the record; a vault that fails to read it ends the lookup
  // with that error (there is no fall-through past a bad record file).
  [[nodiscard]] Result<std::optional<ResolvedRecord>> resolve_with_key(const Coordinate& coordinate,
                                                                       std::optional<std::string_view> project,
                                                                       const MasterKey& key) const;

 private:
  explicit Registry(std::filesystem::path root) : root_(std::move(root)) {}

  std::filesystem::path root_;
};

}  // namespace zantu::core
