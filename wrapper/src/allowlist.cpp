#include "zantu/wrapper/allowlist.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <memory>

#include "zantu/core/envrefs.hpp"
#include "text.hpp"

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

class Fd {
 public:
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  [[nodiscard]] int get() const noexcept { return fd_; }

 private:
  int fd_;
};

// The whole content of a regular file, or nullopt on any failure. A FIFO is
// neither waited for nor read, nor is an endless device behind a symbolic link.
std::optional<std::string> read_whole_file(const std::string& path) {
  Fd fd(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
  if (fd.get() < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::string out;
  char buf[8192];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;  // EISDIR for a directory, EIO, ...
    }
    if (n == 0) return out;
    out.append(buf, static_cast<std::size_t>(n));
  }
}

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
  if (!text::is_utf8(text)) return std::nullopt;
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
  const auto content = read_whole_file(path);
  if (!content) return {};
  return from_text(*content);
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
