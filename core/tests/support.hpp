// Helpers shared by the tests: the core's own, and the wrapper's and the
// providers', which include this header as "core/tests/support.hpp" and add
// only what is theirs.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zantu/core/audit.hpp"
#include "zantu/core/clock.hpp"
#include "zantu/core/coordinate.hpp"
#include "zantu/core/crypto.hpp"
#include "zantu/core/env_source.hpp"
#include "zantu/core/master_key.hpp"
#include "zantu/core/record.hpp"
#include "zantu/core/store.hpp"

namespace zantu::core::testing {

// ---- Files and directories

// A fresh directory under the system temporary directory, removed with its
// contents at the end of the scope. Aborts when none can be made.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "zantu-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  [[nodiscard]] const std::filesystem::path& path() const { return path_; }
  // The path of `name` inside, as text: most callers hand it on as a string.
  [[nodiscard]] std::string operator/(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Creates or truncates `path` to hold exactly `content`.
inline void write_file(const std::filesystem::path& path, std::string_view content) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// The same, then gives the file `mode`.
inline void write_file(const std::filesystem::path& path, std::string_view content, std::filesystem::perms mode) {
  write_file(path, content);
  std::filesystem::permissions(path, mode);
}

// The whole content of `path`; empty when it cannot be read.
inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline std::vector<std::uint8_t> file_bytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A file whose size is `len` but which holds no data: it costs no disk.
inline void make_sparse(const std::filesystem::path& path, std::uintmax_t len) {
  write_file(path, "");
  std::filesystem::resize_file(path, len);
}

// The names in `dir`, sorted. Throws (failing the test) when `dir` cannot be
// listed, a missing one included.
inline std::vector<std::string> names_in(const std::filesystem::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// ---- The environment

// Sets (or unsets, for nullopt) one variable of this process for the scope,
// and puts back what it was.
class ScopedEnv {
 public:
  ScopedEnv(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    apply(value);
  }
  // nullptr unsets.
  ScopedEnv(std::string name, const char* value)
      : ScopedEnv(std::move(name), value != nullptr ? std::optional<std::string>(value) : std::nullopt) {}
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;
  ~ScopedEnv() { apply(old_); }

 private:
  void apply(const std::optional<std::string>& v) {
    if (v) {
      ::setenv(name_.c_str(), v->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  std::string name_;
  std::optional<std::string> old_;
};

// Sets this process's soft stack size limit, which bounds what exec copies
// into a child, to `len` bytes (RLIM_INFINITY for none) for the scope.
// ok() is false when the hard limit does not allow it; nothing changed then.
class ScopedStackLimit {
 public:
  explicit ScopedStackLimit(rlim_t len) {
    if (::getrlimit(RLIMIT_STACK, &old_) != 0) return;
    rlimit wanted = old_;
    wanted.rlim_cur = len;
    ok_ = ::setrlimit(RLIMIT_STACK, &wanted) == 0;
  }
  ScopedStackLimit(const ScopedStackLimit&) = delete;
  ScopedStackLimit& operator=(const ScopedStackLimit&) = delete;
  ~ScopedStackLimit() {
    if (ok_) ::setrlimit(RLIMIT_STACK, &old_);
  }
  [[nodiscard]] bool ok() const noexcept { return ok_; }

 private:
  rlimit old_{};
  bool ok_ = false;
};

// The PATH that searches `dir` first, then this process's PATH, or
// /usr/bin:/bin when it has none.
inline std::string path_searching_first(const std::filesystem::path& dir) {
  const char* path = std::getenv("PATH");
  return dir.string() + ":" + (path != nullptr ? path : "/usr/bin:/bin");
}

// ---- Processes

// The pid a process wrote into `file`; -1 when there is none.
inline pid_t read_pid(const std::string& file) {
  std::ifstream in(file);
  pid_t pid = -1;
  in >> pid;
  return pid;
}

// Whether `pid` names a process that has not been reaped (a zombie counts).
inline bool alive(pid_t pid) { return pid > 0 && ::kill(pid, 0) == 0; }

// Whether `pid` has died: gone, or a zombie left to whoever adopted it.
inline bool dead(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  if (!std::getline(in, stat)) return true;
  const auto paren = stat.rfind(')');
  return paren != std::string::npos && stat.size() > paren + 2 && stat[paren + 2] == 'Z';
}

// ---- Keys and records

// A key whose every byte is `fill`.
inline MasterKey test_key(std::uint8_t fill = 0x42) {
  std::array<std::uint8_t, MasterKey::kLen> raw;
  raw.fill(fill);
  return MasterKey(raw);
}

// A key of the bytes first, first + 1, first + 2, ...
inline MasterKey counting_key(std::uint8_t first) {
  std::array<std::uint8_t, MasterKey::kLen> raw;
  for (std::size_t i = 0; i < raw.size(); ++i) raw[i] = static_cast<std::uint8_t>(first + i);
  return MasterKey(raw);
}

// Throws (failing the test) on a text that is no coordinate.
inline Coordinate coord(std::string_view text) { return Coordinate::from_str(text).value(); }

// The fields of a record stored for `c`, neither described nor revealable.
inline RecordMeta record_meta(const Coordinate& c, Sensitivity s) {
  return RecordMeta{.sensitivity = s,
                    .revealable = false,
                    .environment = std::string(c.env.name()),
                    .component = c.component,
                    .key = c.key,
                    .description = std::nullopt,
                    .created = "2026-01-01T00:00:00Z",
                    .updated = "2026-01-01T00:00:00Z"};
}

// A low literal record holding `value`, with the fields of dev/app/db
// whatever coordinate it is stored for.
inline SecretRecord literal(std::string_view value) {
  return SecretRecord::Literal{SecretValue::from(value), RecordMeta{Sensitivity::Low, false, "dev", "app", "db",
                                                                    std::nullopt, "2026-01-02T03:04:05Z",
                                                                    "2026-01-02T03:04:05Z"}};
}

// Seals `record` under `key` into `dir` for `c`, as the vault writes it; a
// fatal failure of the calling test when either step fails.
inline void put_record(const std::filesystem::path& dir, const Coordinate& c, const SecretRecord& record,
                       const MasterKey& key) {
  auto sealed = crypto::seal(record, key);
  ASSERT_TRUE(sealed.has_value()) << sealed.error().to_string();
  auto written = store::write_record(dir, c, *sealed);
  ASSERT_TRUE(written.has_value()) << written.error().to_string();
}

// The value of the literal record sealed in any record file (a backup
// too), opened as the store opens one; "error: <text>" when it does not open.
inline std::string literal_value_in(const std::filesystem::path& file, const MasterKey& key) {
  auto sealed = store::unframe(file_bytes(file));
  if (!sealed) return "error: " + sealed.error().to_string();
  auto r = crypto::open(*sealed, key);
  if (!r) return "error: " + r.error().to_string();
  return std::string(std::get<SecretRecord::Literal>(r->mode).value.view());
}

// The id a request broker of this process gives the request with sequence
// number `seq` filed at `secs`.
inline std::string request_id(std::uint64_t secs, std::uint64_t seq) {
  return std::to_string(secs) + "-" + std::to_string(::getpid()) + "-" + std::to_string(seq);
}

// ---- Stand-ins for the core's collaborators

// The process environment as a table.
class MapEnv final : public EnvSource {
 public:
  std::map<std::string, std::string, std::less<>> vars;
  std::optional<std::string> get(std::string_view name) const override {
    auto it = vars.find(name);
    if (it == vars.end()) return std::nullopt;
    return it->second;
  }
};

class FixedClock final : public Clock {
 public:
  explicit FixedClock(std::uint64_t secs = 1700000000) : secs_(secs) {}  // 2023-11-14T22:13:20Z
  [[nodiscard]] std::uint64_t unix_secs() const override { return secs_; }

 private:
  std::uint64_t secs_;
};

// Takes every event and keeps none.
class NoAudit final : public AuditSink {
 public:
  Status record(const AuditEvent&) const override { return {}; }
};

// ---- Bytes

inline std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

}  // namespace zantu::core::testing
