#include "zantu/wrapper/allowlist.hpp"

#include <algorithm>
#include <cstdlib>
#include <memory>

#include "zantu/core/envrefs.hpp"
#include "zantu/core/file_read.hpp"
#include "zantu/core/utf8.hpp"

namespace zantu::wrapper {
namespace {

// Walks the components of a path without allocating.
class ComponentCursor {
 public:
  explicit ComponentCursor(std::string_view path) : rest_(path) {
    if (path.starts_with('/')) {
      root_pending_ = true;
    } else if (path == "." || path.starts_with("./")) {
      cur_pending_ = true;
      rest_.remove_prefix(1);
    }
  }

  // The next component, or nullopt at the end.
  std::optional<std::string_view> next() {
    if (root_pending_) {
      root_pending_ = false;
      return std::string_view("/");
    }
    if (cur_pending_) {
      cur_pending_ = false;
      return std::string_view(".");
    }
    for (;;) {
      const auto start = rest_.find_first_not_of('/');
      if (start == std::string_view::npos) return std::nullopt;
      rest_.remove_prefix(start);
      const auto end = std::min(rest_.find('/'), rest_.size());
      const std::string_view part = rest_.substr(0, end);
      rest_.remove_prefix(end);
      if (part != ".") return part;
    }
  }

 private:
  std::string_view rest_;
  bool root_pending_ = false;
  bool cur_pending_ = false;
};

struct FreeDeleter {
  void operator()(char* p) const noexcept { std::free(p); }
};

}  // namespace

namespace allowlist {

std::string canonical_or_owned(std::string_view path) {
  const std::string owned(path);
  // realpath would stop at an inner NUL and resolve a different path.
  if (owned.find('\0') != std::string::npos) return owned;
  std::unique_ptr<char, FreeDeleter> resolved(::realpath(owned.c_str(), nullptr));
  if (!resolved) return owned;
  return std::string(resolved.get());
}

std::vector<std::string_view> components(std::string_view path) {
  std::vector<std::string_view> out;
  ComponentCursor cursor(path);
  while (auto c = cursor.next()) out.push_back(*c);
  return out;
}

std::optional<std::vector<std::string_view>> parse_lines(std::string_view text) {
  if (!core::utf8::is_valid(text)) return std::nullopt;
  std::vector<std::string_view> out;
  while (!text.empty()) {
    const auto nl = text.find('\n');
    std::string_view line = text.substr(0, nl);
    text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
    // A carriage return before the line feed is white space, so trimming drops it.
    line = core::envrefs::trim(line);
    if (line.empty() || line.starts_with('#')) continue;
    out.push_back(line);
  }
  return out;
}

}  // namespace allowlist

bool Allowlist::ByComponents::operator()(std::string_view a, std::string_view b) const {
  ComponentCursor ca(a), cb(b);
  for (;;) {
    const auto x = ca.next();
    const auto y = cb.next();
    if (!x || !y) return !x && y;
    if (*x != *y) return *x < *y;
  }
}

Allowlist Allowlist::read_file(const std::string& path) {
  // A link at the path is followed: an owner may keep the list elsewhere.
  const auto content = core::read_whole_file(path, kMaxFileLen, core::FileLinks::Follow);
  if (!content) return {};
  return from_text(std::string_view(reinterpret_cast<const char*>(content->data()), content->size()));
}

Allowlist Allowlist::from_text(std::string_view text) {
  Allowlist list;
  if (auto lines = allowlist::parse_lines(text)) {
    for (const auto line : *lines) list.allow(line);
  }
  return list;
}

void Allowlist::allow(std::string_view path) { entries_.insert(allowlist::canonical_or_owned(path)); }

bool Allowlist::allows(std::string_view path) const {
  if (entries_.empty()) return false;
  return entries_.contains(allowlist::canonical_or_owned(path));
}

std::vector<std::string> Allowlist::entries() const { return {entries_.begin(), entries_.end()}; }

}  // namespace zantu::wrapper
