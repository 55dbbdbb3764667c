#include "zantu/core/store.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <memory>

#include "utf8.hpp"
#include "zantu/core/fd.hpp"
#include "zantu/core/json.hpp"

namespace zantu::core::store {
namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'Z', 'A', 'N', 'T'};
constexpr std::uint32_t kFrameVersion = 1;
constexpr std::size_t kHeaderLen = 8;

struct DirCloser {
  void operator()(DIR* d) const noexcept { ::closedir(d); }
};
using UniqueDir = std::unique_ptr<DIR, DirCloser>;

// Only these say that nothing exists at a path; every other failure (a loop,
// a name too long, no permission, an I/O error) is reported as an error.
bool is_absent(int err) noexcept { return err == ENOENT || err == ENOTDIR; }

// The errors of a record path that holds something other than a regular file
// or a directory (a FIFO, a socket, a device), and of a file past the bound.
constexpr int kNotRegular = -1;
constexpr std::string_view kNotRegularText = "not a regular file";
constexpr int kTooLarge = -2;

CoreError read_error(std::string_view step, int err) {
  if (err == kNotRegular) return CoreError::io(std::string(step) + ": " + std::string(kNotRegularText));
  if (err == kTooLarge) {
    return CoreError::io(std::string(step) + ": file is larger than " + std::to_string(kMaxRecordFileLen) +
                         " bytes");
  }
  return CoreError::io_errno(step, err);
}

// The whole content of the regular file at `path`, or an error number (or
// kNotRegular, or kTooLarge past kMaxRecordFileLen bytes). A symbolic link at
// the path is never followed (ELOOP): a record file is only ever a file of its
// own, so that nothing planted in a vault can steer a read to another file or
// to an endless device.
std::expected<std::vector<std::uint8_t>, int> read_file(int dir_fd, const char* path) {
  // Non-blocking, so that opening a FIFO never waits for a writer; for a
  // regular file the flag changes nothing.
  UniqueFd fd(::openat(dir_fd, path, O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW));
  // ENXIO: a socket, which cannot be opened at all.
  if (!fd.valid()) return std::unexpected(errno == ENXIO ? kNotRegular : errno);
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return std::unexpected(errno);
  if (S_ISDIR(st.st_mode)) return std::unexpected(EISDIR);
  if (!S_ISREG(st.st_mode)) return std::unexpected(kNotRegular);
  // A sparse file costs no disk however large it is: past the bound it is
  // refused by its size, unread.
  if (st.st_size < 0 || static_cast<std::uintmax_t>(st.st_size) > kMaxRecordFileLen) {
    return std::unexpected(kTooLarge);
  }
  // The file may grow after fstat: one byte past the bound is the most that
  // is ever read, and reading it is the refusal.
  constexpr std::size_t kReadLimit = kMaxRecordFileLen + 1;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(st.st_size) + 1);
  std::size_t len = 0;
  while (true) {
    if (len == bytes.size()) {
      if (len == kReadLimit) return std::unexpected(kTooLarge);
      bytes.resize(std::min(bytes.size() * 2, kReadLimit));
    }
    const ssize_t n = ::read(fd.get(), bytes.data() + len, bytes.size() - len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::unexpected(errno);
    }
    if (n == 0) break;
    len += static_cast<std::size_t>(n);
  }
  bytes.resize(len);
  return bytes;
}

// Creates `path` and its missing parents (mode 0777 before the umask); 0 or
// the error number of the mkdir that failed.
int make_dirs(const std::string& path) {
  auto is_dir = [](const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  };
  if (path.empty()) return 0;
  if (::mkdir(path.c_str(), 0777) == 0) return 0;
  int err = errno;
  if (err == ENOENT) {
    std::string parent = path;
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    const auto slash = parent.rfind('/');
    if (slash == std::string::npos) {
      parent.clear();
    } else {
      parent.resize(slash);
      while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
      if (parent.empty()) parent = "/";
    }
    if (parent == path) return err;
    if (int e = make_dirs(parent); e != 0) return e;
    if (::mkdir(path.c_str(), 0777) == 0) return 0;
    err = errno;
  }
  return is_dir(path) ? 0 : err;
}

// How often whatever stands at a temporary or backup name is removed again
// when something re-plants it between the removal and the creation.
constexpr int kMaxPlantedRetries = 8;

// A new, empty file at `path` (mode 0600 from its creation), open for
// writing. Whatever stands there is removed first and never opened: a hard
// link there may be another file of the user's, of the vault (the salt) or
// the live record itself, and writing into it would change that file. A
// directory there cannot be removed this way and is a failure.
std::expected<UniqueFd, CoreError> create_tmp(const std::string& path) {
  for (int attempt = 0;; ++attempt) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
      return std::unexpected(CoreError::io_errno("create tmp", errno));
    }
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (fd.valid()) return fd;
    if (errno != EEXIST || attempt == kMaxPlantedRetries) {
      return std::unexpected(CoreError::io_errno("create tmp", errno));
    }
  }
}

// Makes `bak` a second name of `final_path`, whatever stood at `bak` before
// (only the name is removed, never what it pointed to or shared an inode with).
Status link_backup(const std::string& final_path, const std::string& bak) {
  for (int attempt = 0;; ++attempt) {
    if (::unlink(bak.c_str()) != 0 && errno != ENOENT) {
      return std::unexpected(CoreError::io_errno("rotate .bak", errno));
    }
    if (::link(final_path.c_str(), bak.c_str()) == 0) return {};
    if (errno != EEXIST || attempt == kMaxPlantedRetries) {
      return std::unexpected(CoreError::io_errno("rotate .bak", errno));
    }
  }
}

// The extension as a path's file name has it: the text after the last ".",
// none for a name without "." or one whose only "." leads it.
bool split_extension(std::string_view name, std::string_view& stem, std::string_view& ext) {
  const auto dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0) return false;
  stem = name.substr(0, dot);
  ext = name.substr(dot + 1);
  return true;
}

}  // namespace

Status restrict(const std::filesystem::path& path, std::uint32_t mode) {
  if (::chmod(path.c_str(), static_cast<mode_t>(mode)) != 0) {
    const int err = errno;
    char octal[16];
    auto res = std::to_chars(octal, octal + sizeof octal, mode, 8);
    std::string step = "chmod ";
    step.append(octal, res.ptr);
    return std::unexpected(CoreError::io_errno(step, err));
  }
  return {};
}

Status ensure_dir(const std::filesystem::path& dir) {
  // The system calls would read the path only up to the NUL, which names
  // another directory.
  if (dir.native().find('\0') != std::string::npos) {
    return std::unexpected(
        CoreError::io("create " + quote_path(dir.native()) + ": file name contained an unexpected NUL byte"));
  }
  struct stat st {};
  if (::stat(dir.c_str(), &st) == 0) return {};
  if (int err = make_dirs(dir.native()); err != 0) {
    return std::unexpected(CoreError::io("create " + quote_path(dir.native()) + ": " + os_error_text(err)));
  }
  return restrict(dir, 0700);
}

Result<std::filesystem::path> record_path(const std::filesystem::path& dir, const Coordinate& c) {
  auto id = c.storage_id();
  if (!id) return std::unexpected(id.error());
  return dir / (*id + ".sec");
}

Status write_record(const std::filesystem::path& dir, const Coordinate& c, const SealedRecord& sealed) {
  if (auto s = ensure_dir(dir); !s) return s;
  auto path = record_path(dir, c);
  if (!path) return std::unexpected(path.error());
  const std::string final_path = path->native();
  const std::string tmp_path = final_path + ".tmp";
  const std::string bak_path = final_path + ".bak";

  const std::vector<std::uint8_t> bytes = frame(sealed);
  // What could not be read back is never written.
  if (bytes.size() > kMaxRecordFileLen) {
    return std::unexpected(CoreError::serialization("record file would be larger than " +
                                                    std::to_string(kMaxRecordFileLen) + " bytes"));
  }

  {
    auto fd = create_tmp(tmp_path);
    if (!fd) return std::unexpected(fd.error());
    if (int err = write_all(fd->get(), bytes.data(), bytes.size()); err != 0) {
      if (err < 0) return std::unexpected(CoreError::io("write tmp: failed to write whole buffer"));
      return std::unexpected(CoreError::io_errno("write tmp", err));
    }
    if (::fsync(fd->get()) != 0) return std::unexpected(CoreError::io_errno("fsync tmp", errno));
    // The umask may have taken the owner's bits at creation. On the open
    // file, so the mode lands on the file just written even if the name is
    // replaced meanwhile.
    if (::fchmod(fd->get(), 0600) != 0) return std::unexpected(CoreError::io_errno("chmod 600", errno));
  }

  // The previous version becomes the backup by a hard link, so the record
  // file itself never goes missing: the rename below replaces it in one step.
  struct stat st {};
  if (::stat(final_path.c_str(), &st) == 0) {
    if (auto s = link_backup(final_path, bak_path); !s) return s;
  }
  if (::rename(tmp_path.c_str(), final_path.c_str()) != 0) {
    return std::unexpected(CoreError::io_errno("rename into place", errno));
  }
  return {};
}

Result<std::optional<SecretRecord>> read_record(const std::filesystem::path& dir, const Coordinate& c,
                                                const MasterKey& key) {
  auto path = record_path(dir, c);
  if (!path) return std::unexpected(path.error());
  auto bytes = read_file(AT_FDCWD, path->c_str());
  if (!bytes) {
    if (is_absent(bytes.error())) return std::optional<SecretRecord>();
    return std::unexpected(read_error("read record", bytes.error()));
  }
  auto sealed = unframe(*bytes);
  if (!sealed) return std::unexpected(sealed.error());
  auto record = crypto::open(*sealed, key);
  if (!record) return std::unexpected(record.error());
  return std::optional<SecretRecord>(std::move(*record));
}

Status delete_record(const std::filesystem::path& dir, const Coordinate& c) {
  auto path = record_path(dir, c);
  if (!path) return std::unexpected(path.error());
  if (::unlink(path->c_str()) != 0 && !is_absent(errno)) {
    return std::unexpected(CoreError::io_errno("remove record", errno));
  }
  return {};
}

Result<LoadOutcome> load_all(const std::filesystem::path& dir, const MasterKey& key) {
  LoadOutcome out;
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    if (is_absent(errno)) return out;
    return std::unexpected(CoreError::io_errno("read_dir", errno));
  }
  UniqueDir d(::opendir(dir.c_str()));
  if (!d) return std::unexpected(CoreError::io_errno("read_dir", errno));
  while (true) {
    errno = 0;
    const dirent* entry = ::readdir(d.get());
    if (entry == nullptr) {
      if (errno != 0) return std::unexpected(CoreError::io_errno("dir entry", errno));
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    std::string_view stem, ext;
    if (!split_extension(name, stem, ext) || ext != "sec") continue;
    std::string id = utf8::is_valid(stem) ? std::string(stem) : std::string();

    auto bytes = read_file(::dirfd(d.get()), entry->d_name);
    if (!bytes) {
      out.quarantined.push_back({std::move(id), read_error("read", bytes.error()).to_string()});
      continue;
    }
    auto sealed = unframe(*bytes);
    if (!sealed) {
      out.quarantined.push_back({std::move(id), sealed.error().to_string()});
      continue;
    }
    auto record = crypto::open(*sealed, key);
    if (!record) {
      out.quarantined.push_back({std::move(id), record.error().to_string()});
      continue;
    }
    out.records.emplace_back(std::move(id), std::move(*record));
  }
  return out;
}

void write_envelope(const SealedRecord& sealed, std::string& out) {
  json::Writer w(out);
  w.begin_object().key("nonce").bytes(sealed.nonce).key("ciphertext").bytes(sealed.ciphertext).end_object();
}

std::vector<std::uint8_t> frame(const SealedRecord& sealed) {
  std::string envelope;
  envelope.reserve(4 * (sealed.nonce.size() + sealed.ciphertext.size()) + 32);
  write_envelope(sealed, envelope);
  std::vector<std::uint8_t> bytes(kHeaderLen + envelope.size());
  std::memcpy(bytes.data(), kMagic.data(), kMagic.size());
  for (std::size_t i = 0; i < 4; ++i) bytes[4 + i] = static_cast<std::uint8_t>(kFrameVersion >> (8 * i));
  std::memcpy(bytes.data() + kHeaderLen, envelope.data(), envelope.size());
  return bytes;
}

Result<SealedRecord> unframe(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kHeaderLen || std::memcmp(bytes.data(), kMagic.data(), kMagic.size()) != 0) {
    return std::unexpected(CoreError::serialization("not a zantu record frame"));
  }
  std::uint32_t version = 0;
  for (int i = 3; i >= 0; --i) version = (version << 8) | bytes[4 + static_cast<std::size_t>(i)];
  if (version != kFrameVersion) {
    return std::unexpected(CoreError::serialization("unsupported record frame version " + std::to_string(version)));
  }
  return read_envelope(bytes.subspan(kHeaderLen));
}

Result<SealedRecord> read_envelope(std::span<const std::uint8_t> text) {
  json::Reader r(text);
  auto kind = r.peek();
  if (!kind) return std::unexpected(kind.error());
  SealedRecord sealed;
  if (*kind == json::Kind::Object) {
    bool have_nonce = false, have_ciphertext = false;
    if (auto s = r.begin_object(); !s) return std::unexpected(s.error());
    std::string key;
    while (true) {
      auto more = r.next_key(key);
      if (!more) return std::unexpected(more.error());
      if (!*more) break;
      Status s;
      if (key == "nonce" || key == "ciphertext") {
        bool& have = key == "nonce" ? have_nonce : have_ciphertext;
        if (have) return std::unexpected(r.fail("duplicate field `" + key + "`"));
        have = true;
        s = json::expect_bytes(r, key == "nonce" ? sealed.nonce : sealed.ciphertext);
      } else {
        s = r.skip_value();
      }
      if (!s) return std::unexpected(s.error());
    }
    if (!have_nonce) return std::unexpected(r.fail("missing field `nonce`"));
    if (!have_ciphertext) return std::unexpected(r.fail("missing field `ciphertext`"));
  } else if (*kind == json::Kind::Array) {
    if (auto s = r.begin_array(); !s) return std::unexpected(s.error());
    for (std::size_t i = 0; i < 2; ++i) {
      auto more = r.next_element();
      if (!more) return std::unexpected(more.error());
      if (!*more) {
        return std::unexpected(
            r.fail("invalid length " + std::to_string(i) + ", expected struct SealedRecord with 2 elements"));
      }
      if (auto s = json::expect_bytes(r, i == 0 ? sealed.nonce : sealed.ciphertext); !s) {
        return std::unexpected(s.error());
      }
    }
    auto more = r.next_element();
    if (!more) return std::unexpected(more.error());
    if (*more) return std::unexpected(r.fail_at_position("trailing characters"));
  } else {
    auto what = r.describe_next();
    if (!what) return std::unexpected(what.error());
    return std::unexpected(r.invalid_type(*what, "struct SealedRecord"));
  }
  if (auto s = r.finish(); !s) return std::unexpected(s.error());
  return sealed;
}

}  // namespace zantu::core::store
