#include "zantu/core/store.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sodium.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <memory>
#include <utility>

#include "zantu/core/utf8.hpp"
#include "dir_entries.hpp"
#include "zantu/core/fd.hpp"
#include "zantu/core/file_read.hpp"
#include "zantu/core/json.hpp"

namespace zantu::core::store {
namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'Z', 'A', 'N', 'T'};
constexpr std::uint32_t kFrameVersion = 1;
constexpr std::size_t kHeaderLen = 8;

// Only these say that nothing exists at a path; every other failure (a loop,
// a name too long, no permission, an I/O error) is reported as an error.
bool is_absent(int err) noexcept { return err == ENOENT || err == ENOTDIR; }

// A record file is only ever a file of its own, so a symbolic link at its
// name is never followed: nothing planted in a vault can steer a read to
// another file or to an endless device.
std::expected<std::vector<std::uint8_t>, FileReadFailure> read_record_file(int dir_fd, const char* name) {
  return read_whole_file(dir_fd, name, kMaxRecordFileLen, FileLinks::Refuse);
}

CoreError read_error(std::string_view step, const FileReadFailure& failure) {
  return CoreError::io(std::string(step) + ": " + failure.to_string());
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

// How many fresh names a temporary file draws before giving up; a draw
// collides only with a name planted on purpose.
constexpr int kMaxNameDraws = 8;

// How often the backup is retried when its temporary link vanished before the
// rename: a listing may sweep it, since it carries the previous version's
// modification time.
constexpr int kMaxBackupTries = 8;

constexpr std::size_t kTmpRandomLen = 16;  // bytes, written as 32 hex digits
constexpr std::string_view kRecordExt = ".sec";
constexpr std::string_view kTmpExt = ".tmp";

// "<final path>.<32 lower-case hex digits>.tmp", drawn afresh on each call.
std::string unique_tmp_path(const std::string& final_path) {
  std::array<unsigned char, kTmpRandomLen> raw{};
  randombytes_buf(raw.data(), raw.size());
  static constexpr char kHex[] = "0123456789abcdef";
  std::string path = final_path;
  path.reserve(final_path.size() + 1 + 2 * raw.size() + kTmpExt.size());
  path += '.';
  for (unsigned char b : raw) {
    path += kHex[b >> 4];
    path += kHex[b & 0xf];
  }
  path += kTmpExt;
  return path;
}

// The name of a file this writer created, removed when it goes out of scope:
// after a failure, so that nothing is left behind, and after a rename too,
// since rename(2) does nothing at all when both names are links of one file
// (a backup name that already holds the current version). Only a name that
// this call drew is ever removed: another writer's file at another name is
// never touched.
class OwnTemporary {
 public:
  explicit OwnTemporary(std::string path) : path_(std::move(path)) {}
  OwnTemporary(const OwnTemporary&) = delete;
  OwnTemporary& operator=(const OwnTemporary&) = delete;
  OwnTemporary(OwnTemporary&& o) noexcept : path_(std::exchange(o.path_, std::string())) {}
  ~OwnTemporary() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  [[nodiscard]] const std::string& path() const noexcept { return path_; }

 private:
  std::string path_;
};

struct NewTemporary {
  OwnTemporary name;
  UniqueFd fd;
};

// A new, empty file of our own next to `final_path` (mode 0600 from its
// creation), open for writing. The name is new: nothing planted at a name is
// ever opened, and no other writer's file is ever replaced.
std::expected<NewTemporary, CoreError> create_tmp(const std::string& final_path) {
  if (sodium_init() < 0) return std::unexpected(CoreError::io("create tmp: no random source"));
  int err = EEXIST;
  for (int draw = 0; draw < kMaxNameDraws && err == EEXIST; ++draw) {
    std::string path = unique_tmp_path(final_path);
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (fd.valid()) return NewTemporary{OwnTemporary(std::move(path)), std::move(fd)};
    err = errno;
  }
  return std::unexpected(CoreError::io_errno("create tmp", err));
}

// Replaces "<id>.sec.bak" with the current "<id>.sec" in one step: a second
// name of the current file is made under a fresh name, then renamed over the
// backup. Whatever stood at the backup name loses only its name, never what it
// pointed to or shared an inode with, and a backup, once there, never goes
// missing. Without a current file there is nothing to keep. A directory at
// the backup name fails the write.
Status rotate_backup(const std::string& final_path, const std::string& bak) {
  int err = ENOENT;
  for (int attempt = 0; attempt < kMaxBackupTries && err == ENOENT; ++attempt) {
    std::string path;
    for (int draw = 0;; ++draw) {
      path = unique_tmp_path(final_path);
      if (::link(final_path.c_str(), path.c_str()) == 0) break;
      // The record was deleted meanwhile: no previous version to keep.
      if (errno == ENOENT) return {};
      if (errno != EEXIST || draw + 1 == kMaxNameDraws) {
        return std::unexpected(CoreError::io_errno("rotate .bak", errno));
      }
    }
    OwnTemporary link_name(std::move(path));
    if (::rename(link_name.path().c_str(), bak.c_str()) == 0) return {};
    err = errno;
  }
  return std::unexpected(CoreError::io_errno("rotate .bak", err));
}

// Whether `name` has the form of a temporary file of this store:
// "<64 hex>.sec.<32 hex>.tmp", or the "<64 hex>.sec.tmp" of older versions.
// Lower-case hex digits only.
bool is_store_temporary(std::string_view name) {
  auto lower_hex = [](std::string_view s) {
    return std::all_of(s.begin(), s.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
  };
  constexpr std::size_t kIdLen = 64;
  if (name.size() < kIdLen + kRecordExt.size() + kTmpExt.size()) return false;
  if (!lower_hex(name.substr(0, kIdLen))) return false;
  name.remove_prefix(kIdLen);
  if (!name.starts_with(kRecordExt) || !name.ends_with(kTmpExt)) return false;
  name.remove_prefix(kRecordExt.size());
  name.remove_suffix(kTmpExt.size());
  if (name.empty()) return true;  // the older fixed name
  return name.size() == 1 + 2 * kTmpRandomLen && name[0] == '.' && lower_hex(name.substr(1));
}

// Removes the temporary file `name` of the directory when it is a regular
// file (never followed) not modified for kStaleTemporaryAge: its writer has
// been killed or stopped. Any failure leaves it in place, without a word.
void sweep_if_stale(int dir_fd, const char* name, std::time_t now) {
  struct stat st {};
  if (::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return;
  if (now - st.st_mtim.tv_sec <= kStaleTemporaryAge.count()) return;
  (void)::unlinkat(dir_fd, name, 0);
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
  const std::string bak_path = final_path + ".bak";

  const std::vector<std::uint8_t> bytes = frame(sealed);
  // What could not be read back is never written.
  if (bytes.size() > kMaxRecordFileLen) {
    return std::unexpected(CoreError::serialization("record file would be larger than " +
                                                    std::to_string(kMaxRecordFileLen) + " bytes"));
  }

  // Every failure from here on removes the new file (and only it): a write
  // that fails never makes its value live and leaves nothing behind.
  auto tmp = create_tmp(final_path);
  if (!tmp) return std::unexpected(tmp.error());
  {
    const UniqueFd fd = std::move(tmp->fd);
    if (int err = write_all(fd.get(), bytes.data(), bytes.size()); err != 0) {
      if (err < 0) return std::unexpected(CoreError::io("write tmp: failed to write whole buffer"));
      return std::unexpected(CoreError::io_errno("write tmp", err));
    }
    if (::fsync(fd.get()) != 0) return std::unexpected(CoreError::io_errno("fsync tmp", errno));
    // The umask may have taken the owner's bits at creation. On the open
    // file, so the mode lands on the file just written.
    if (::fchmod(fd.get(), 0600) != 0) return std::unexpected(CoreError::io_errno("chmod 600", errno));
  }

  if (auto s = rotate_backup(final_path, bak_path); !s) return s;
  // One step: "<id>.sec" is the previous whole file or this one, never
  // missing. Among writers of one record the last rename wins; each renames
  // only its own file, so each that gets here succeeds. A file swept meanwhile
  // (its writer stopped for over kStaleTemporaryAge) fails here, unrenamed.
  if (::rename(tmp->name.path().c_str(), final_path.c_str()) != 0) {
    return std::unexpected(CoreError::io_errno("rename into place", errno));
  }
  return {};
}

Result<std::optional<SecretRecord>> read_record(const std::filesystem::path& dir, const Coordinate& c,
                                                const MasterKey& key) {
  auto path = record_path(dir, c);
  if (!path) return std::unexpected(path.error());
  auto bytes = read_record_file(AT_FDCWD, path->c_str());
  if (!bytes) {
    if (bytes.error().absent()) return std::optional<SecretRecord>();
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
  const std::time_t now = std::time(nullptr);
  auto listed = for_each_dir_entry(dir, [&](int dir_fd, const dirent& entry) -> Status {
    const std::string_view name = entry.d_name;
    if (is_store_temporary(name)) {
      sweep_if_stale(dir_fd, entry.d_name, now);
      return {};
    }
    std::string_view stem, ext;
    if (!split_extension(name, stem, ext) || ext != "sec") return {};
    std::string id = utf8::is_valid(stem) ? std::string(stem) : std::string();

    auto bytes = read_record_file(dir_fd, entry.d_name);
    if (!bytes) {
      out.quarantined.push_back({std::move(id), read_error("read", bytes.error()).to_string()});
      return {};
    }
    auto sealed = unframe(*bytes);
    if (!sealed) {
      out.quarantined.push_back({std::move(id), sealed.error().to_string()});
      return {};
    }
    auto record = crypto::open(*sealed, key);
    if (!record) {
      out.quarantined.push_back({std::move(id), record.error().to_string()});
      return {};
    }
    out.records.emplace_back(std::move(id), std::move(*record));
    return {};
  });
  if (!listed) return std::unexpected(listed.error());
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
    auto fields = r.for_each_member([&](std::string& key) -> Status {
      if (key != "nonce" && key != "ciphertext") return r.skip_value();
      bool& have = key == "nonce" ? have_nonce : have_ciphertext;
      if (have) return std::unexpected(r.fail("duplicate field `" + key + "`"));
      have = true;
      return json::expect_bytes(r, key == "nonce" ? sealed.nonce : sealed.ciphertext);
    });
    if (!fields) return std::unexpected(fields.error());
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
