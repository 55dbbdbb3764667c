#include "zantu/core/audit.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <string_view>
#include <thread>

#include "zantu/core/fd.hpp"
#include "zantu/core/json.hpp"
#include "zantu/core/store.hpp"

namespace zantu::core {
namespace {

// How long an event waits for the log's lock. Writers of this system hold
// it only from the torn-line check to the end of one write; anyone holding it
// longer is not one of them, and the event goes on without the lock.
constexpr std::chrono::milliseconds kLockWait{200};

// An exclusive flock(2), waited for at most kLockWait, held until released
// or destroyed. Not getting it is no failure: the lock only refines the
// torn-line check.
class FileLock {
 public:
  explicit FileLock(int fd) noexcept {
    using std::chrono::steady_clock;
    const auto give_up = steady_clock::now() + kLockWait;
    auto pause = std::chrono::microseconds(500);
    for (;;) {
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        fd_ = fd;
        return;
      }
      if (errno != EWOULDBLOCK && errno != EINTR) return;
      const auto now = steady_clock::now();
      if (now >= give_up) return;
      std::this_thread::sleep_for(std::min<steady_clock::duration>(pause, give_up - now));
      pause = std::min<std::chrono::microseconds>(pause * 2, std::chrono::milliseconds(10));
    }
  }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;
  ~FileLock() { release(); }
  [[nodiscard]] bool held() const noexcept { return fd_ >= 0; }
  void release() noexcept {
    if (fd_ >= 0) ::flock(fd_, LOCK_UN);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

// How often a line is appended again when the copy before it was glued to a
// torn fragment; only a writer that fails in the middle of its own line
// leaves one, so a second copy is all but always the last.
constexpr int kMaxAppends = 4;

// Appends `line` (which ends with "\n") to the regular file `fd`, opened for
// appending, so that it stands on a line of its own, without the log's lock
// and without guessing from the end of the file: an append of another
// process may be in flight there, its end not yet visible (the kernel raises
// the size page by page), and a "\n" put in front of this line would then
// follow that whole line as an empty one. So the line goes in as it is; then
// the byte just before where it landed (the file offset after an appending
// write is the end of what that write put in) is read. That byte was written
// by an append that ended before this one began, so it is final: a "\n", or
// the start of the file, means the line stands alone. Anything else is a
// torn fragment that the line is now glued to, and the whole line is appended
// once more, checked the same way. The one bad line is then a fragment that
// was already there, with a copy of this line after it; no line is empty and
// the event stands whole on a line of its own. 0, an errno value, or -1 when
// a write accepted no byte.
int append_on_own_line(int fd, std::string_view line) {
  for (int attempt = 0; attempt < kMaxAppends; ++attempt) {
    ssize_t n;
    do {
      n = ::write(fd, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    if (n < 0) return errno;
    if (n == 0) return -1;
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    const auto written = static_cast<std::size_t>(n);
    if (written < line.size()) {
      if (int err = write_all(fd, line.data() + written, line.size() - written); err != 0) return err;
    }
    // Where the line landed cannot be told: it stays as it is.
    if (end < n) return 0;
    const off_t start = end - n;
    char before = '\n';
    if (start == 0 || ::pread(fd, &before, 1, start - 1) != 1 || before == '\n') return 0;
  }
  return 0;
}

}  // namespace

namespace audit {

std::string_view action_wire_name(AuditAction a) noexcept {
  switch (a) {
    case AuditAction::Access: return "access";
    case AuditAction::Reveal: return "reveal";
    case AuditAction::Inject: return "inject";
    case AuditAction::Approve: return "approve";
    case AuditAction::Deny: return "deny";
    case AuditAction::Timeout: return "timeout";
    case AuditAction::SensitivityDowngrade: return "sensitivity-downgrade";
    case AuditAction::UnattendedDelivery: return "unattended-delivery";
    case AuditAction::Package: return "package";
    case AuditAction::ProviderInvocation: return "provider-invocation";
    case AuditAction::Create: return "create";
    case AuditAction::Edit: return "edit";
    case AuditAction::Delete: return "delete";
    case AuditAction::ScopeGrant: return "scope-grant";
    case AuditAction::OutOfScopeAttempt: return "out-of-scope-attempt";
  }
  return "access";
}

}  // namespace audit

AuditEvent& AuditEvent::at(std::string_view coordinate_, std::string_view environment_) & {
  coordinate = std::string(coordinate_);
  environment = std::string(environment_);
  return *this;
}

AuditEvent& AuditEvent::by(Origin o) & {
  origin = std::string(confirm::origin_wire_name(o));
  return *this;
}

std::string AuditEvent::to_json() const {
  std::string out;
  out.reserve(128);
  json::Writer w(out);
  auto optional = [&](std::string_view k, const std::optional<std::string>& v) {
    if (v) w.key(k).string(*v);
  };
  w.begin_object();
  w.key("ts").string(ts);
  w.key("action").string(audit::action_wire_name(action));
  optional("coordinate", coordinate);
  optional("environment", environment);
  w.key("result").string(result);
  optional("origin", origin);
  optional("fingerprint", fingerprint);
  optional("requester_note", requester_note);
  w.end_object();
  return out;
}

Status FileAuditSink::record(const AuditEvent& event) const {
  if (path_.has_parent_path()) {
    if (auto st = store::ensure_dir(path_.parent_path()); !st) return st;
  }
  struct stat before {};
  const bool existed = ::stat(path_.c_str(), &before) == 0;

  std::string line = event.to_json();
  line += '\n';

  // Read-write so the last byte can be checked; O_NONBLOCK so a FIFO planted
  // at the path cannot hang the caller.
  UniqueFd fd(::open(path_.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0666));
  if (!fd.valid()) return std::unexpected(CoreError::audit("open audit log: " + os_error_text(errno)));
  if (!existed) {
    if (auto st = store::restrict(path_, 0600); !st) return st;
  }

  // A line torn by an earlier failed write must not swallow this event.
  // Writers of this log hold an advisory lock from the look at the end of the
  // file to the end of their write, so under the lock the last byte tells a
  // torn line from a finished one, and a torn line is ended in the same single
  // write as the new line. A lock held past the short wait is no writer's of
  // this system and may be held for ever; losing the event would be worse, so
  // the line goes in without the lock, and without guessing from the end of
  // the file (append_on_own_line). The fsync happens after the lock is
  // released.
  FileLock lock(fd.get());
  struct stat now {};
  const bool regular = ::fstat(fd.get(), &now) == 0 && S_ISREG(now.st_mode);
  int err = 0;
  if (lock.held() || !regular) {
    if (regular && now.st_size > 0) {
      char last = '\n';
      if (::pread(fd.get(), &last, 1, now.st_size - 1) == 1 && last != '\n') line.insert(line.begin(), '\n');
    }
    err = write_all(fd.get(), line.data(), line.size());
  } else {
    err = append_on_own_line(fd.get(), line);
  }
  lock.release();
  if (err != 0) {
    std::string text = err < 0 ? std::string("failed to write whole buffer") : os_error_text(err);
    return std::unexpected(CoreError::audit("append audit log: " + text));
  }
  if (::fsync(fd.get()) != 0) return std::unexpected(CoreError::audit("fsync audit log: " + os_error_text(errno)));
  return {};
}

}  // namespace zantu::core
