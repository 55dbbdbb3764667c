#include "zantu/core/child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "zantu/core/fd.hpp"

extern char** environ;

namespace zantu::core {
namespace {

using std::chrono::nanoseconds;
using std::chrono::steady_clock;

constexpr std::size_t kChunkLen = 64 * 1024;  // one default pipe buffer
// The vault's own settings (the passphrase among them) never reach a child.
constexpr std::string_view kScrubbedPrefix = "ZANTU_";

// A posix_spawn attribute object or file-action list, destroyed with its scope.
template <class T, int (*Init)(T*), int (*Destroy)(T*)>
class SpawnObject {
 public:
  SpawnObject() { ok_ = Init(&obj_) == 0; }
  SpawnObject(const SpawnObject&) = delete;
  SpawnObject& operator=(const SpawnObject&) = delete;
  ~SpawnObject() {
    if (ok_) Destroy(&obj_);
  }
  [[nodiscard]] bool ok() const noexcept { return ok_; }
  T* get() noexcept { return &obj_; }

 private:
  T obj_{};
  bool ok_ = false;
};

using SpawnAttr = SpawnObject<posix_spawnattr_t, ::posix_spawnattr_init, ::posix_spawnattr_destroy>;
using FileActions =
    SpawnObject<posix_spawn_file_actions_t, ::posix_spawn_file_actions_init, ::posix_spawn_file_actions_destroy>;

struct Pipe {
  UniqueFd read_end;
  UniqueFd write_end;
};

// A close-on-exec pipe with a non-blocking read end. Both ends lie above
// 0..2: if the host runs with a standard descriptor closed, a pipe end could
// otherwise land there and be clobbered by the child's own dup2 onto 0..2
// before it is used.
[[nodiscard]] std::expected<Pipe, int> make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::unexpected(errno);
  Pipe p{UniqueFd(fds[0]), UniqueFd(fds[1])};
  for (UniqueFd* end : {&p.read_end, &p.write_end}) {
    if (end->get() > STDERR_FILENO) continue;
    const int moved = ::fcntl(end->get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return std::unexpected(errno);
    end->reset(moved);
  }
  const int flags = ::fcntl(p.read_end.get(), F_GETFL);
  if (flags < 0 || ::fcntl(p.read_end.get(), F_SETFL, flags | O_NONBLOCK) != 0) return std::unexpected(errno);
  return p;
}

// The child's environment as one wiping arena of "NAME=VALUE\0" entries, with
// the pointer array that exec takes.
struct ChildEnv {
  SecretBuffer arena;
  std::vector<char*> envp;
  // The PATH the child receives and the caller's own, when set (views into
  // the arena and into the caller's environment).
  std::optional<std::string_view> child_path;
  std::optional<std::string_view> caller_path;
};

void build_child_env(std::span<const ChildEnvVar> vars, ChildEnv& out) {
  // The entries that take effect: the last one of each name.
  std::unordered_map<std::string_view, std::size_t> entry_of;
  for (std::size_t i = 0; i < vars.size(); ++i) entry_of[vars[i].name] = i;

  // Inherited entries, in the caller's order. Only the first of duplicate
  // names is kept, as getenv(3) sees only that one.
  std::vector<std::string_view> inherited;
  std::unordered_set<std::string_view> seen;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const auto eq = entry.find('=', 1);
    if (eq == std::string_view::npos) continue;
    const std::string_view name = entry.substr(0, eq);
    if (!seen.insert(name).second) continue;
    if (name == "PATH") out.caller_path = entry.substr(eq + 1);
    // Raw bytes suffice: the prefix is ASCII, so an invalid sequence in a
    // name can neither make nor break a match.
    if (name.starts_with(kScrubbedPrefix)) continue;
    if (entry_of.contains(name)) continue;
    inherited.push_back(entry);
  }

  std::size_t total = 0;
  for (const auto entry : inherited) total += entry.size() + 1;
  for (const auto& [name, index] : entry_of) total += name.size() + 1 + vars[index].value.size() + 1;
  out.arena.reserve(total);  // never reallocated below: the offsets stay valid

  std::vector<std::size_t> offsets;
  offsets.reserve(inherited.size() + entry_of.size());
  std::optional<std::pair<std::size_t, std::size_t>> path_span;  // offset and length in the arena
  for (const auto entry : inherited) {
    offsets.push_back(out.arena.size());
    if (entry.starts_with("PATH=")) path_span.emplace(out.arena.size() + 5, entry.size() - 5);
    out.arena.append(entry);
    out.arena.push_back(0);
  }
  for (std::size_t i = 0; i < vars.size(); ++i) {
    const auto& [name, value] = vars[i];
    if (entry_of.at(name) != i) continue;
    offsets.push_back(out.arena.size());
    out.arena.append(name);
    out.arena.push_back('=');
    if (name == "PATH") path_span.emplace(out.arena.size(), value.size());
    out.arena.append(value);
    out.arena.push_back(0);
  }
  auto* base = reinterpret_cast<char*>(out.arena.data());
  for (const auto off : offsets) out.envp.push_back(base + off);
  out.envp.push_back(nullptr);
  if (path_span) out.child_path = std::string_view(base + path_span->first, path_span->second);
}

// The search path used when PATH is not set: the system's default, as execvp uses.
std::string default_search_path() {
  const std::size_t n = ::confstr(_CS_PATH, nullptr, 0);
  if (n == 0) return "/bin:/usr/bin";
  std::string p(n, '\0');
  ::confstr(_CS_PATH, p.data(), n);
  p.resize(n - 1);
  return p;
}

struct SpawnSetup {
  SpawnAttr attr;
  FileActions actions;
  char* const* argv = nullptr;
  char* const* envp = nullptr;
};

// Spawns `path` (NUL-terminated); returns 0 or the error number.
int spawn_at(const char* path, SpawnSetup& setup, pid_t& pid) {
  return ::posix_spawn(&pid, path, setup.actions.get(), setup.attr.get(), setup.argv, setup.envp);
}

// Starts the child, searching PATH as execvp(3) does when the program has no
// "/": every entry in turn (an empty entry is the current directory); a
// permission failure is remembered and reported if nothing else starts; the
// errors that mean "not here" move on; any other error stops the search.
int spawn_child(const std::string& program, PathSearch path_search, const ChildEnv& env, SpawnSetup& setup,
                pid_t& pid) {
  if (program.find('/') != std::string::npos) return spawn_at(program.c_str(), setup, pid);
  if (program.empty()) return ENOENT;

  std::string fallback;
  std::optional<std::string_view> search = path_search == PathSearch::Child ? env.child_path : env.caller_path;
  if (!search) {
    fallback = default_search_path();
    search = fallback;
  }
  // The candidate may hold an injected PATH value, so it lives in a wiping buffer.
  SecretBuffer candidate;
  candidate.reserve(search->size() + program.size() + 2);
  bool got_eacces = false;
  int last = ENOENT;
  std::string_view rest = *search;
  for (;;) {
    const auto colon = rest.find(':');
    const std::string_view dir = rest.substr(0, colon);
    candidate.clear();
    if (!dir.empty()) {
      candidate.append(dir);
      candidate.push_back('/');
    }
    candidate.append(program);
    candidate.push_back(0);
    const auto* path = reinterpret_cast<const char*>(candidate.data());
    struct stat st;
    // A cheap look first spares a spawn attempt for every directory that
    // does not hold the program.
    const int err = ::stat(path, &st) == 0 ? spawn_at(path, setup, pid) : errno;
    if (err == 0) return 0;
    switch (err) {
      case EACCES:
        got_eacces = true;
        [[fallthrough]];
      case ENOENT:
      case ESTALE:
      case ENOTDIR:
      case ENODEV:
      case ETIMEDOUT:
        last = err;
        break;
      default:
        return err;
    }
    if (colon == std::string_view::npos) break;
    rest.remove_prefix(colon + 1);
  }
  return got_eacces ? EACCES : last;
}

// Reads at most `max_len` bytes straight into `buf`, so output never passes
// through a buffer that is not wiped. Returns read(2)'s result.
ssize_t read_into(int fd, SecretBuffer& buf, std::size_t max_len) {
  const std::size_t old_len = buf.size();
  buf.resize(old_len + max_len);
  ssize_t n;
  do {
    n = ::read(fd, buf.data() + old_len, max_len);
  } while (n < 0 && errno == EINTR);
  buf.resize(old_len + (n > 0 ? static_cast<std::size_t>(n) : 0));
  return n;
}

// One captured output: its pipe stays open until end of file or a read error
// (which ends that stream).
class Stream {
 public:
  Stream(UniqueFd fd, SecretBuffer& buf, std::size_t max_len) : fd_(std::move(fd)), buf_(buf), max_len_(max_len) {}

  // The descriptor to poll: none once the stream has ended or is full.
  [[nodiscard]] int poll_fd() const noexcept { return buf_.size() < max_len_ ? fd_.get() : -1; }
  [[nodiscard]] int errnum() const noexcept { return errnum_; }

  void read_once() {
    const ssize_t n = read_into(fd_.get(), buf_, kChunkLen);
    if (n > 0 || (n < 0 && errno == EAGAIN)) return;
    if (n < 0) errnum_ = errno;
    fd_.reset();
  }

  // After the child has ended: take exactly what is in the pipe now. Every
  // write of the child finished before it exited, so all of its output is
  // there. A descendant may hold the pipe open and keep writing; counting
  // first means that is never waited for nor read without end.
  void take_rest() {
    if (!fd_.valid()) return;
    int avail = 0;
    if (::ioctl(fd_.get(), FIONREAD, &avail) != 0) {
      errnum_ = errno;
      avail = 0;
    }
    for (std::size_t left = static_cast<std::size_t>(avail); left > 0;) {
      const ssize_t n = read_into(fd_.get(), buf_, left < kChunkLen ? left : kChunkLen);
      if (n <= 0) {
        if (n < 0 && errno != EAGAIN) errnum_ = errno;
        break;
      }
      left -= static_cast<std::size_t>(n);  // never more than asked for
    }
    fd_.reset();
  }

 private:
  UniqueFd fd_;
  SecretBuffer& buf_;
  std::size_t max_len_;
  int errnum_ = 0;
};

// Kills the child and reaps it; errors of both steps are ignored. Through the
// process descriptor when there is one, so a recycled pid is never signalled.
void kill_and_reap(pid_t pid, const UniqueFd& pidfd) noexcept {
  if (pidfd.valid()) {
    ::syscall(SYS_pidfd_send_signal, pidfd.get(), SIGKILL, nullptr, 0);
  } else {
    ::kill(pid, SIGKILL);
  }
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

[[nodiscard]] std::unexpected<ChildFailure> fail(ChildFailureKind kind, int errnum = 0) {
  return std::unexpected(ChildFailure{kind, errnum});
}

// Sets up what the child starts with; returns 0 or an error number. With
// `out` and `err`, stdin is the null device: under a stdio protocol server the
// inherited one is the client's stream, which the child must not consume. Descriptors the host
// left inheritable are not the child's business, and a descendant holding one
// of ours could keep it open indefinitely. A host such as CPython ignores
// SIGPIPE and may ignore SIGXFSZ or block signals; ignored dispositions and the
// mask survive exec, so the child gets the defaults and an empty mask.
int prepare(SpawnSetup& setup, const Pipe* out, const Pipe* err) {
  auto* fa = setup.actions.get();
  int rc = 0;
  if (out != nullptr) {
    rc = ::posix_spawn_file_actions_addopen(fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(fa, out->write_end.get(), STDOUT_FILENO);
    if (rc == 0) rc = ::posix_spawn_file_actions_adddup2(fa, err->write_end.get(), STDERR_FILENO);
  }
  if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(fa, STDERR_FILENO + 1);
  sigset_t empty_mask;
  sigset_t defaults;
  sigemptyset(&empty_mask);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGXFSZ);
  if (rc == 0) rc = ::posix_spawnattr_setsigmask(setup.attr.get(), &empty_mask);
  if (rc == 0) rc = ::posix_spawnattr_setsigdefault(setup.attr.get(), &defaults);
  if (rc == 0) rc = ::posix_spawnattr_setflags(setup.attr.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  return rc;
}

}  // namespace

std::expected<ChildOutput, ChildFailure> child::run(const ChildCommand& command) {
  std::optional<steady_clock::time_point> deadline;
  if (command.limit) deadline = deadline_after(steady_clock::now(), *command.limit);

  // Everything the child needs is built before it exists.
  const std::string program(command.program);
  std::vector<char*> argv;
  argv.reserve(command.args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : command.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  ChildEnv env;
  build_child_env(command.env, env);

  SpawnSetup setup;
  if (!setup.attr.ok() || !setup.actions.ok()) return fail(ChildFailureKind::CouldNotStart, ENOMEM);
  setup.argv = argv.data();
  setup.envp = env.envp.data();

  Pipe out_pipe, err_pipe;
  if (!command.inherit_stdio) {
    auto out = make_pipe();
    if (!out) return fail(ChildFailureKind::CouldNotStart, out.error());
    auto err = make_pipe();
    if (!err) return fail(ChildFailureKind::CouldNotStart, err.error());
    out_pipe = std::move(*out);
    err_pipe = std::move(*err);
  }
  if (const int rc = prepare(setup, command.inherit_stdio ? nullptr : &out_pipe, &err_pipe); rc != 0) {
    return fail(ChildFailureKind::CouldNotStart, rc);
  }

  pid_t pid = -1;
  if (const int rc = spawn_child(program, command.path_search, env, setup, pid); rc != 0) {
    return fail(ChildFailureKind::CouldNotStart, rc);
  }
  env.arena.wipe();
  // The child holds its own copies; ours must go, or end of file never comes.
  out_pipe.write_end.reset();
  err_pipe.write_end.reset();

  ChildOutput output;
  Stream out(std::move(out_pipe.read_end), output.stdout_bytes, command.max_stream_len);
  Stream err(std::move(err_pipe.read_end), output.stderr_bytes, command.max_stream_len);

  // The process descriptor lets one poll cover the exit and both pipes; the
  // child's exit, not the pipes' end, ends the wait.
  UniqueFd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd.valid()) {
    const int e = errno;
    kill_and_reap(pid, pidfd);
    return fail(ChildFailureKind::WaitFailed, e);
  }

  int wait_status = 0;
  for (;;) {
    timespec timeout{};
    if (deadline) {
      const auto now = steady_clock::now();
      if (now >= *deadline) {
        kill_and_reap(pid, pidfd);
        return fail(ChildFailureKind::TimedOut);
      }
      timeout = to_timespec(*deadline - now);
    }
    // poll skips a descriptor of -1.
    pollfd fds[3] = {{pidfd.get(), POLLIN, 0}, {out.poll_fd(), POLLIN, 0}, {err.poll_fd(), POLLIN, 0}};
    if (::ppoll(fds, 3, deadline ? &timeout : nullptr, nullptr) < 0) {
      if (errno == EINTR) continue;
      const int e = errno;
      kill_and_reap(pid, pidfd);
      return fail(ChildFailureKind::WaitFailed, e);
    }
    if (fds[1].revents != 0) out.read_once();
    if (fds[2].revents != 0) err.read_once();
    if (fds[0].revents != 0) {
      const pid_t reaped = ::waitpid(pid, &wait_status, WNOHANG);
      if (reaped == pid) break;
      if (reaped < 0 && errno != EINTR) {
        const int e = errno;
        kill_and_reap(pid, pidfd);
        return fail(ChildFailureKind::WaitFailed, e);
      }
    }
  }

  out.take_rest();
  err.take_rest();
  output.read_errnum = out.errnum() != 0 ? out.errnum() : err.errnum();
  if (WIFEXITED(wait_status)) output.status = WEXITSTATUS(wait_status);
  return output;
}

}  // namespace zantu::core
