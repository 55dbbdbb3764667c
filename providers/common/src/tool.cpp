#include "zantu/providers/common/tool.hpp"

#include "zantu/core/error.hpp"
#include "zantu/core/fd.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

extern char** environ;

namespace zantu::providers::common {
namespace {

using std::chrono::nanoseconds;
using std::chrono::steady_clock;

constexpr std::size_t kChunkLen = 64 * 1024;
// Far above any cloud secret, and a bound on what a runaway tool can make the
// host hold. Past it a stream is no longer drained: the tool blocks on its
// pipe and, unless it ends, meets the limit.
constexpr std::size_t kMaxStreamLen = 16 * 1024 * 1024;
constexpr std::string_view kScrubbedPrefix = "ZANTU_";

using core::UniqueFd;

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

// Both ends lie above 0..2: if the host runs with a standard descriptor
// closed, a pipe end could otherwise land there and be clobbered by the
// child's own dup2 onto 0..2 before it is used.
[[nodiscard]] std::expected<Pipe, int> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(errno);
  Pipe p{UniqueFd(fds[0]), UniqueFd(fds[1])};
  for (UniqueFd* end : {&p.read_end, &p.write_end}) {
    if (end->get() > STDERR_FILENO) continue;
    int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return std::unexpected(errno);
    end->reset(moved);
  }
  int flags = ::fcntl(p.read_end.get(), F_GETFL);
  if (flags < 0 || ::fcntl(p.read_end.get(), F_SETFL, flags | O_NONBLOCK) != 0) return std::unexpected(errno);
  return p;
}

class FileActions {
 public:
  FileActions() { ok_ = ::posix_spawn_file_actions_init(&fa_) == 0; }
  ~FileActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&fa_);
  }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  [[nodiscard]] bool ok() const noexcept { return ok_; }
  posix_spawn_file_actions_t* get() noexcept { return &fa_; }

 private:
  posix_spawn_file_actions_t fa_{};
  bool ok_ = false;
};

class SpawnAttr {
 public:
  SpawnAttr() { ok_ = ::posix_spawnattr_init(&attr_) == 0; }
  ~SpawnAttr() {
    if (ok_) ::posix_spawnattr_destroy(&attr_);
  }
  SpawnAttr(const SpawnAttr&) = delete;
  SpawnAttr& operator=(const SpawnAttr&) = delete;
  [[nodiscard]] bool ok() const noexcept { return ok_; }
  posix_spawnattr_t* get() noexcept { return &attr_; }

 private:
  posix_spawnattr_t attr_{};
  bool ok_ = false;
};

// Reads at most `max_len` bytes straight into `buf`, so a secret never passes
// through a buffer that is not wiped. Returns read(2)'s result.
template <class Buffer>
ssize_t read_into(int fd, Buffer& buf, std::size_t max_len) {
  const std::size_t old_len = buf.size();
  buf.resize(old_len + max_len);
  ssize_t n;
  do {
    n = ::read(fd, buf.data() + old_len, max_len);
  } while (n < 0 && errno == EINTR);
  buf.resize(old_len + (n > 0 ? static_cast<std::size_t>(n) : 0));
  return n;
}

// One captured output: its pipe stays open until end-of-file or a read error
// (which ends that stream and is otherwise ignored).
template <class Buffer>
struct Stream {
  UniqueFd fd;
  Buffer& buf;

  // The descriptor to poll: none once the stream has ended or is full.
  [[nodiscard]] int poll_fd() const noexcept { return buf.size() < kMaxStreamLen ? fd.get() : -1; }

  void read_once() {
    ssize_t n = read_into(fd.get(), buf, kChunkLen);
    if (n == 0 || (n < 0 && errno != EAGAIN)) fd.reset();
  }

  // After the tool has exited: take exactly what it left in the pipe. A
  // descendant may hold the pipe open and keep writing; that is not waited for.
  void take_rest() {
    if (!fd.valid()) return;
    int avail = 0;
    if (::ioctl(fd.get(), FIONREAD, &avail) != 0) return;
    for (std::size_t left = static_cast<std::size_t>(avail); left > 0;) {
      ssize_t n = read_into(fd.get(), buf, left < kChunkLen ? left : kChunkLen);
      if (n <= 0) break;
      left -= static_cast<std::size_t>(n);  // never more than asked for
    }
    fd.reset();
  }
};

void kill_and_reap(pid_t pid) noexcept {
  ::kill(pid, SIGKILL);
  while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
}

timespec to_timespec(nanoseconds d) noexcept {
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
  return {static_cast<time_t>(secs.count()), static_cast<long>((d - secs).count())};
}

steady_clock::time_point deadline_after(steady_clock::time_point start, nanoseconds limit) noexcept {
  if (limit <= nanoseconds::zero()) return start;
  const auto room = steady_clock::time_point::max() - start;
  return limit < room ? start + std::chrono::duration_cast<steady_clock::duration>(limit)
                      : steady_clock::time_point::max();
}

[[nodiscard]] std::unexpected<ToolFailure> fail(ToolFailureKind kind, int errnum = 0) {
  return std::unexpected(ToolFailure{kind, errnum});
}

}  // namespace

std::expected<ToolOutput, ToolFailure> run_tool(std::string_view program, std::span<const std::string> args,
                                                std::chrono::nanoseconds limit) {
  const auto deadline = deadline_after(steady_clock::now(), limit);

  // Everything the child needs is built before it exists.
  std::string program_name(program);
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(program_name.data());
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  // The tool and whatever it starts must not see the vault's own settings
  // (the passphrase among them).
  std::vector<char*> envp;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (!std::string_view(*e).starts_with(kScrubbedPrefix)) envp.push_back(*e);
  }
  envp.push_back(nullptr);

  auto out_pipe = make_pipe();
  if (!out_pipe) return fail(ToolFailureKind::CouldNotStart, out_pipe.error());
  auto err_pipe = make_pipe();
  if (!err_pipe) return fail(ToolFailureKind::CouldNotStart, err_pipe.error());

  FileActions actions;
  SpawnAttr attr;
  if (!actions.ok() || !attr.ok()) return fail(ToolFailureKind::CouldNotStart, ENOMEM);
  // Standard input is the null device: under a stdio protocol server the
  // inherited one is the client's stream, which the tool must not consume.
  int rc = ::posix_spawn_file_actions_addopen(actions.get(), STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(actions.get(), out_pipe->write_end.get(), STDOUT_FILENO);
  if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(actions.get(), err_pipe->write_end.get(), STDERR_FILENO);
  // Descriptors the host left inheritable are not the tool's business, and a
  // descendant holding one of ours could keep it open indefinitely.
  if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(actions.get(), STDERR_FILENO + 1);
  // A host such as CPython ignores SIGPIPE, and ignored signals survive exec;
  // give the tool the default dispositions and an empty signal mask.
  sigset_t empty_mask;
  sigset_t defaults;
  sigemptyset(&empty_mask);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  if (rc == 0) rc = ::posix_spawnattr_setsigmask(attr.get(), &empty_mask);
  if (rc == 0) rc = ::posix_spawnattr_setsigdefault(attr.get(), &defaults);
  if (rc == 0) rc = ::posix_spawnattr_setflags(attr.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (rc != 0) return fail(ToolFailureKind::CouldNotStart, rc);

  pid_t pid = -1;
  rc = ::posix_spawnp(&pid, program_name.c_str(), actions.get(), attr.get(), argv.data(), envp.data());
  if (rc != 0) return fail(ToolFailureKind::CouldNotStart, rc);
  out_pipe->write_end.reset();
  err_pipe->write_end.reset();

  ToolOutput output;
  Stream<core::SecretBuffer> out{std::move(out_pipe->read_end), output.stdout_bytes};
  Stream<std::vector<std::uint8_t>> err{std::move(err_pipe->read_end), output.stderr_bytes};

  // The process descriptor lets one poll cover the exit and both pipes.
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd.valid()) {
    const int e = errno;
    kill_and_reap(pid);
    return fail(ToolFailureKind::WaitFailed, e);
  }

  int wait_status = 0;
  for (;;) {
    const auto now = steady_clock::now();
    if (now >= deadline) {
      kill_and_reap(pid);
      return fail(ToolFailureKind::TimedOut);
    }
    // poll skips a descriptor of -1.
    pollfd fds[3] = {{pidfd.get(), POLLIN, 0}, {out.poll_fd(), POLLIN, 0}, {err.poll_fd(), POLLIN, 0}};
    const timespec timeout = to_timespec(deadline - now);
    if (::ppoll(fds, 3, &timeout, nullptr) < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      kill_and_reap(pid);
      return fail(ToolFailureKind::WaitFailed, e);
    }
    if (fds[1].revents != 0) out.read_once();
    if (fds[2].revents != 0) err.read_once();
    if (fds[0].revents != 0) {
      const pid_t reaped = ::waitpid(pid, &wait_status, WNOHANG);
      if (reaped == pid) break;
      if (reaped < 0 && errno != EINTR) {
        const int e = errno;
        kill_and_reap(pid);
        return fail(ToolFailureKind::WaitFailed, e);
      }
    }
  }

  out.take_rest();
  err.take_rest();
  if (WIFEXITED(wait_status)) output.status = WEXITSTATUS(wait_status);
  return output;
}

std::span<const std::uint8_t> trim_one_trailing_newline(std::span<const std::uint8_t> bytes) noexcept {
  if (bytes.empty() || bytes.back() != '\n') return bytes;
  bytes = bytes.first(bytes.size() - 1);
  if (!bytes.empty() && bytes.back() == '\r') bytes = bytes.first(bytes.size() - 1);
  return bytes;
}

std::string_view choose_hint(std::span<const std::uint8_t> stderr_bytes, std::span<const HintGroup> groups,
                             std::string_view fallback) {
  // Matching the raw bytes is the same as matching their lossy UTF-8 decoding:
  // the patterns are ASCII, every ASCII byte decodes to itself, and no
  // replacement or multi-byte character contains an ASCII byte.
  std::string lowered(stderr_bytes.begin(), stderr_bytes.end());
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  for (const HintGroup& g : groups) {
    for (std::string_view p : g.patterns) {
      if (lowered.find(p) != std::string::npos) return g.hint;
    }
  }
  return fallback;
}

std::string exit_text(std::optional<std::int32_t> status) {
  return status ? std::to_string(*status) : std::string("signal");
}

std::string fill(std::string_view tmpl, std::initializer_list<std::string_view> args) {
  std::string out;
  out.reserve(tmpl.size());
  auto next = args.begin();
  for (std::size_t pos = 0;;) {
    const std::size_t hole = tmpl.find("{}", pos);
    if (hole == std::string_view::npos || next == args.end()) {
      out += tmpl.substr(pos);
      return out;
    }
    out += tmpl.substr(pos, hole - pos);
    out += *next++;
    pos = hole + 2;
  }
}

std::string whole_seconds(std::chrono::nanoseconds limit) {
  if (limit < std::chrono::nanoseconds::zero()) limit = std::chrono::nanoseconds::zero();
  return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(limit).count());
}

std::string failure_message(const ToolFailure& failure, std::chrono::nanoseconds limit,
                            const ToolFailureTexts& texts) {
  switch (failure.kind) {
    case ToolFailureKind::CouldNotStart: return fill(texts.could_not_run, {core::os_error_text(failure.errnum)});
    case ToolFailureKind::WaitFailed: return fill(texts.wait_failed, {core::os_error_text(failure.errnum)});
    case ToolFailureKind::TimedOut: break;
  }
  return fill(texts.timed_out, {whole_seconds(limit)});
}

}  // namespace zantu::providers::common
