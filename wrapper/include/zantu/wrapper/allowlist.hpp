// The executor allowlist: the programs that may receive high-sensitivity or
// "prod" values, held as paths in canonical form where they resolve.
#pragma once

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace zantu::wrapper {

namespace allowlist {

// The canonical form of `path` (absolute, every symbolic link, "." and ".."
// resolved, as realpath(3) gives it; a relative path against the current
// directory), or an unchanged copy when that fails for any reason. A path
// holding a NUL byte never resolves.
[[nodiscard]] std::string canonical_or_owned(std::string_view path);

// The components `path` is compared by: split at "/"; repeated and trailing
// "/" add nothing; a leading "/" is a component "/" of its own; "." is dropped
// except at the very start of a relative path; ".." stays; nothing else is
// normalised. The views point into `path`.
[[nodiscard]] std::vector<std::string_view> components(std::string_view path);

// The entry lines of an allowlist file's text: cut at line feeds, each line
// trimmed of Unicode white space, empty lines and lines starting with "#"
// left out. nullopt when the text is not well-formed UTF-8 (the file then
// counts as empty). The views point into `text`.
[[nodiscard]] std::optional<std::vector<std::string_view>> parse_lines(std::string_view text);

}  // namespace allowlist

// A set of executable paths without duplicates under the component comparison
// above; empty when created.
class Allowlist {
 public:
  Allowlist() = default;

  // The largest allowlist file that is read: some thousand paths, far more
  // than anyone lists, and little enough that resolving every line stays
  // quick while the caller waits.
  static constexpr std::size_t kMaxFileLen = 64 * 1024;

  // Reads the allowlist file at `path` and adds every entry line. A file that
  // is missing, unreadable, not a regular file, larger than `kMaxFileLen` or
  // not UTF-8 gives an empty list; nothing is reported.
  [[nodiscard]] static Allowlist read_file(const std::string& path);
  // The same for a text already in memory.
  [[nodiscard]] static Allowlist from_text(std::string_view text);

  // Adds `allowlist::canonical_or_owned(path)` unless an equal entry is present.
  void allow(std::string_view path);
  // True when `allowlist::canonical_or_owned(path)` is an entry. An empty list
  // allows nothing.
  [[nodiscard]] bool allows(std::string_view path) const;

  [[nodiscard]] std::size_t size() const noexcept { return entries_.size(); }
  [[nodiscard]] bool empty() const noexcept { return entries_.empty(); }
  // The stored entries (for inspection; order is not meaningful).
  [[nodiscard]] std::vector<std::string> entries() const;

 private:
  struct ByComponents {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  std::set<std::string, ByComponents> entries_;
};

}  // namespace zantu::wrapper
