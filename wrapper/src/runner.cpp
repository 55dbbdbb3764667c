#include "zantu/wrapper/runner.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "text.hpp"
#include "zantu/core/fd.hpp"

extern char** environ;

namespace zantu::wrapper {
namespace {

using core::SecretBuffer;

constexpr std::string_view kScrubPrefix = "ZANTU_";
constexpr std::size_t kReadChunk = 64 * 1024;  // one default pipe buffer

using core::UniqueFd;

class SpawnAttr {
 public:
  SpawnAttr() { ok_ = ::posix_spawnattr_init(&attr_) == 0; }
  SpawnAttr(const SpawnAttr&) = delete;
  SpawnAttr& operator=(const SpawnAttr&) = delete;
  ~SpawnAttr() {
    if (ok_) ::posix_spawnattr_destroy(&attr_);
  }
  [[nodiscard]] bool ok() const noexcept { return ok_; }
  posix_spawnattr_t* get() noexcept { return &attr_; }

 private:
  posix_spawnattr_t attr_;
  bool ok_ = false;
};

class FileActions {
 public:
  FileActions() { ok_ = ::posix_spawn_file_actions_init(&fa_) == 0; }
  FileActions(const FileActions&) = delete;
  FileActions& operator=(const FileActions&) = delete;
  ~FileActions() {
    if (ok_) ::posix_spawn_file_actions_destroy(&fa_);
  }
  [[nodiscard]] bool ok() const noexcept { return ok_; }
  posix_spawn_file_actions_t* get() noexcept { return &fa_; }

 private:
  posix_spawn_file_actions_t fa_;
  bool ok_ = false;
};

struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

// A close-on-exec pipe whose ends are both above the standard descriptors, so
// that the child's dup2 onto 1 and 2 can never clobber the other pipe's end.
int make_pipe(Pipe& p) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return errno;
  UniqueFd ends[2] = {UniqueFd(fds[0]), UniqueFd(fds[1])};
  for (auto& end : ends) {
    if (end.get() > STDERR_FILENO) continue;
    const int moved = ::fcntl(end.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return errno;
    end.reset(moved);
  }
  p.read = std::move(ends[0]);
  p.write = std::move(ends[1]);
  return 0;
}

std::string launch_error(const Command& c, int errnum) {
  return "launch " + text::utf8_lossy(c.program) + ": " + core::os_error_text(errnum);
}

// Refuses what exec cannot carry or would carry differently from what was
// asked, before anything is started. Pairs are examined in order and the
// first fault stops the check.
std::optional<std::string> refuse_unpassable(const Command& c) {
  if (c.program.find('\0') != std::string::npos) return "program contains a NUL byte and cannot be launched";
  if (c.argv0 && c.argv0->find('\0') != std::string::npos) {
    return "argv[0] contains a NUL byte and cannot be launched";
  }
  for (std::size_t i = 0; i < c.args.size(); ++i) {
    if (c.args[i].find('\0') != std::string::npos) {
      return "argument " + std::to_string(i + 1) + " contains a NUL byte and cannot be passed";
    }
  }
  for (std::size_t i = 0; i < c.env.size(); ++i) {
    const auto& [name, value] = c.env[i];
    if (name.find('\0') != std::string::npos) {
      return "name of variable " + std::to_string(i + 1) + " contains a NUL byte and cannot be injected";
    }
    // An "=" would make the child see a different variable than the one named.
    if (name.empty() || name.find('=') != std::string::npos) {
      return "variable name `" + text::utf8_lossy(name) + "` is empty or contains `=` and cannot be injected";
    }
    if (value.view().find('\0') != std::string_view::npos) {
      return "value for `" + text::utf8_lossy(name) + "` contains a NUL byte and cannot be injected";
    }
    if (!text::is_utf8(value.view())) {
      return "value for `" + text::utf8_lossy(name) + "` is not valid UTF-8 and cannot be injected";
    }
  }
  return std::nullopt;
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

void build_child_env(const Command& c, ChildEnv& out) {
  // The pairs that take effect: the last one of each name.
  std::unordered_map<std::string_view, std::size_t> pair_of;
  for (std::size_t i = 0; i < c.env.size(); ++i) pair_of[c.env[i].name] = i;

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
    if (name.starts_with(kScrubPrefix)) continue;
    if (pair_of.contains(name)) continue;
    inherited.push_back(entry);
  }

  std::size_t total = 0;
  for (const auto entry : inherited) total += entry.size() + 1;
  for (const auto& [name, index] : pair_of) total += name.size() + 1 + c.env[index].value.size() + 1;
  out.arena.reserve(total);  // never reallocated below: the offsets stay valid

  std::vector<std::size_t> offsets;
  offsets.reserve(inherited.size() + pair_of.size());
  std::optional<std::pair<std::size_t, std::size_t>> path_span;  // offset and length in the arena
  for (const auto entry : inherited) {
    offsets.push_back(out.arena.size());
    if (entry.starts_with("PATH=")) path_span.emplace(out.arena.size() + 5, entry.size() - 5);
    out.arena.append(entry);
    out.arena.push_back(0);
  }
  for (std::size_t i = 0; i < c.env.size(); ++i) {
    const auto& [name, value] = c.env[i];
    if (pair_of.at(name) != i) continue;
    offsets.push_back(out.arena.size());
    out.arena.append(name);
    out.arena.push_back('=');
    if (name == "PATH") path_span.emplace(out.arena.size(), value.size());
    out.arena.append(value.as_bytes());
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
  bool use_actions = false;
};

// Spawns `path` (NUL-terminated); returns 0 or the error number.
int spawn_at(const char* path, SpawnSetup& setup, char* const* argv, char* const* envp, pid_t& pid) {
  return ::posix_spawn(&pid, path, setup.use_actions ? setup.actions.get() : nullptr, setup.attr.get(), argv,
                       envp);
}

// Starts the child, searching PATH as execvp(3) does when the program has no
// "/": every entry in turn (an empty entry is the current directory); a
// permission failure is remembered and reported if nothing else starts; the
// errors that mean "not here" move on; any other error stops the search.
int spawn_child(const Command& c, const ChildEnv& env, SpawnSetup& setup, char* const* argv, pid_t& pid) {
  if (c.program.find('/') != std::string::npos) return spawn_at(c.program.c_str(), setup, argv, env.envp.data(), pid);
  if (c.program.empty()) return ENOENT;

  std::string fallback;
  std::optional<std::string_view> search = c.path_search == PathSearch::Child ? env.child_path : env.caller_path;
  if (!search) {
    fallback = default_search_path();
    search = fallback;
  }
  // The candidate may hold an injected PATH value, so it lives in a wiping buffer.
  SecretBuffer candidate;
  candidate.reserve(search->size() + c.program.size() + 2);
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
    candidate.append(c.program);
    candidate.push_back(0);
    const auto* path = reinterpret_cast<const char*>(candidate.data());
    struct stat st;
    // A cheap look first spares a spawn attempt for every directory that
    // does not hold the program.
    int err = ::stat(path, &st) == 0 ? spawn_at(path, setup, argv, env.envp.data(), pid) : errno;
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

// Appends what one read(2) gives to `buf`, straight into its spare capacity.
// Returns the byte count (0 at end of file) or -1 with errno set.
ssize_t read_into(int fd, SecretBuffer& buf) {
  const std::size_t old = buf.size();
  if (buf.capacity() - old < kReadChunk) buf.reserve(std::max(buf.capacity() * 2, old + kReadChunk));
  buf.resize(old + kReadChunk);
  const ssize_t n = ::read(fd, buf.data() + old, kReadChunk);
  buf.resize(old + (n > 0 ? static_cast<std::size_t>(n) : 0));
  return n;
}

// Reads both pipes to their end together, so a child that fills one is never
// blocked while the other is read. Returns 0 or an error number.
int drain(UniqueFd& out_fd, UniqueFd& err_fd, Output& output) {
  for (;;) {
    pollfd fds[2] = {{out_fd.get(), POLLIN, 0}, {err_fd.get(), POLLIN, 0}};  // a negative fd is skipped
    if (fds[0].fd < 0 && fds[1].fd < 0) return 0;
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    UniqueFd* owners[2] = {&out_fd, &err_fd};
    SecretBuffer* sinks[2] = {&output.stdout, &output.stderr};
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      const ssize_t n = read_into(fds[i].fd, *sinks[i]);
      if (n == 0) {
        owners[i]->reset();
      } else if (n < 0 && errno != EINTR && errno != EAGAIN) {
        return errno;
      }
    }
  }
}

// Waits for the child; returns 0 and its status, or an error number.
int wait_child(pid_t pid, std::optional<std::int32_t>& status) {
  int ws = 0;
  while (::waitpid(pid, &ws, 0) < 0) {
    if (errno != EINTR) return errno;
  }
  if (WIFEXITED(ws)) {
    status = WEXITSTATUS(ws);
  } else {
    status.reset();
  }
  return 0;
}

}  // namespace

Result<Output> SystemRunner::run(const Command& command) const {
  if (auto refusal = refuse_unpassable(command)) return std::unexpected(WrapperError::spawn(std::move(*refusal)));

  std::vector<char*> argv;
  argv.reserve(command.args.size() + 2);
  argv.push_back(const_cast<char*>(command.argv0 ? command.argv0->c_str() : command.program.c_str()));
  for (const auto& a : command.args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  ChildEnv env;
  build_child_env(command, env);

  SpawnSetup setup;
  if (!setup.attr.ok() || !setup.actions.ok()) {
    return std::unexpected(WrapperError::spawn(launch_error(command, ENOMEM)));
  }
  // The caller may block signals or ignore SIGPIPE (CPython does); an ignored
  // disposition and the mask survive exec, so both are reset for the child.
  sigset_t empty, pipe_only;
  sigemptyset(&empty);
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  int err = ::posix_spawnattr_setsigmask(setup.attr.get(), &empty);
  if (err == 0) err = ::posix_spawnattr_setsigdefault(setup.attr.get(), &pipe_only);
  if (err == 0) err = ::posix_spawnattr_setflags(setup.attr.get(), POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  if (err != 0) return std::unexpected(WrapperError::spawn(launch_error(command, err)));

  Pipe out_pipe, err_pipe;
  if (!command.inherit_stdio) {
    if ((err = make_pipe(out_pipe)) != 0 || (err = make_pipe(err_pipe)) != 0) {
      return std::unexpected(WrapperError::spawn(launch_error(command, err)));
    }
    auto* fa = setup.actions.get();
    err = ::posix_spawn_file_actions_addopen(fa, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (err == 0) err = ::posix_spawn_file_actions_adddup2(fa, out_pipe.write.get(), STDOUT_FILENO);
    if (err == 0) err = ::posix_spawn_file_actions_adddup2(fa, err_pipe.write.get(), STDERR_FILENO);
    if (err != 0) return std::unexpected(WrapperError::spawn(launch_error(command, err)));
    setup.use_actions = true;
  }

  pid_t pid = -1;
  if ((err = spawn_child(command, env, setup, argv.data(), pid)) != 0) {
    return std::unexpected(WrapperError::spawn(launch_error(command, err)));
  }
  // The child holds its own copies; ours must go, or the pipes never reach end of file.
  out_pipe.write.reset();
  err_pipe.write.reset();
  env.arena.wipe();

  Output output;
  int drain_err = 0;
  if (!command.inherit_stdio) {
    drain_err = drain(out_pipe.read, err_pipe.read, output);
    // Closing before the wait lets a child still writing see EPIPE and end.
    out_pipe.read.reset();
    err_pipe.read.reset();
  }
  if (const int wait_err = wait_child(pid, output.status); wait_err != 0) {
    return std::unexpected(WrapperError::spawn(launch_error(command, wait_err)));
  }
  if (drain_err != 0) return std::unexpected(WrapperError::spawn(launch_error(command, drain_err)));
  return output;
}

}  // namespace zantu::wrapper
