// The shared child runner against real children: a descendant that keeps the
// pipes open, output still in the pipes when the child exits, the limit, what
// the child inherits from the host, and what the call leaves behind.
#include "zantu/core/child.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace zantu::core {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using std::chrono::steady_clock;

pid_t read_pid(const std::string& file) {
  std::ifstream in(file);
  pid_t pid = -1;
  in >> pid;
  return pid;
}

bool alive(pid_t pid) { return pid > 0 && ::kill(pid, 0) == 0; }

// A descendant whose pid the child writes to a file. If the run has not
// returned within `patience`, the descendant is killed, so that a runner that
// waits for it makes the test fail instead of hanging; at the end of the
// scope it is killed in any case, so no process is left behind.
class Descendant {
 public:
  Descendant(std::string pidfile, std::chrono::seconds patience)
      : pidfile_(std::move(pidfile)), watchdog_([this, patience] {
          std::unique_lock lock(mutex_);
          if (!cv_.wait_for(lock, patience, [this] { return returned_; })) kill_it();
        }) {}
  Descendant(const Descendant&) = delete;
  Descendant& operator=(const Descendant&) = delete;
  ~Descendant() {
    run_returned();
    kill_it();
  }

  void run_returned() {
    {
      std::lock_guard lock(mutex_);
      returned_ = true;
    }
    cv_.notify_all();
    if (watchdog_.joinable()) watchdog_.join();
  }
  [[nodiscard]] pid_t pid() const { return read_pid(pidfile_); }

 private:
  // Never kill(-1) or a group: only a pid actually read from the file.
  void kill_it() const {
    if (const pid_t p = pid(); p > 0) ::kill(p, SIGKILL);
  }

  std::string pidfile_;
  std::mutex mutex_;
  std::condition_variable cv_;
  bool returned_ = false;
  std::thread watchdog_;
};

class ChildRun : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "zantu-child-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  [[nodiscard]] std::string file(std::string_view name) const { return (dir_ / name).string(); }

  // `script` run by /bin/sh; args_ keeps the argument vector alive.
  ChildCommand shell(std::string script) {
    args_ = {"-c", std::move(script)};
    ChildCommand c;
    c.program = "/bin/sh";
    c.args = args_;
    return c;
  }

  fs::path dir_;
  std::vector<std::string> args_;
};

TEST_F(ChildRun, ReturnsWhenTheChildEndsThoughADescendantHoldsThePipes) {
  const std::string pidfile = file("descendant");
  for (const std::optional<std::chrono::nanoseconds> limit : {std::optional<std::chrono::nanoseconds>(), {120s}}) {
    const std::string why = limit ? "with a limit" : "without a limit";
    std::error_code ec;
    fs::remove(pidfile, ec);
    Descendant descendant(pidfile, 40s);
    ChildCommand c = shell("echo started; echo on-err >&2; sleep 600 & echo $! > '" + pidfile + "'; exit 7");
    c.limit = limit;
    const auto start = steady_clock::now();
    auto got = child::run(c);
    const auto took = steady_clock::now() - start;
    descendant.run_returned();

    EXPECT_LT(took, 20s) << why;
    ASSERT_TRUE(got.has_value()) << why;
    EXPECT_EQ(got->stdout_bytes.view(), "started\n") << why;
    EXPECT_EQ(got->stderr_bytes.view(), "on-err\n") << why;
    EXPECT_EQ(got->status, 7) << why;
    EXPECT_EQ(got->read_errnum, 0) << why;
    // Returning is all the call does: the descendant is not killed.
    EXPECT_TRUE(alive(descendant.pid())) << why;
  }
}

TEST_F(ChildRun, OutputStillInThePipesWhenTheChildExitsIsTakenWhole) {
  constexpr std::size_t kLen = 1 << 20;
  const std::string pidfile = file("descendant");
  Descendant descendant(pidfile, 40s);
  // Each pipe is enlarged to 1 MiB and filled in one write, so the child exits
  // with far more than one read's worth still in both; the descendant keeps
  // both pipes open, so no end of file ever comes.
  auto got = child::run(shell("sleep 600 & echo $! > '" + pidfile +
                              "'; exec perl -e 'for my $fh (*STDOUT, *STDERR) { fcntl($fh, 1031, 1 << 20) or die; "
                              "syswrite($fh, ($fh eq *STDOUT ? q(o) : q(e)) x (1 << 20)) == 1 << 20 or die }'"));
  descendant.run_returned();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->status, 0) << got->stderr_bytes.view().substr(0, 200);
  ASSERT_EQ(got->stdout_bytes.size(), kLen);
  ASSERT_EQ(got->stderr_bytes.size(), kLen);
  EXPECT_EQ(got->stdout_bytes.view().find_first_not_of('o'), std::string_view::npos);
  EXPECT_EQ(got->stderr_bytes.view().find_first_not_of('e'), std::string_view::npos);
}

std::set<std::string> open_descriptors() {
  std::set<std::string> fds;
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) fds.insert(e.path().filename());
  return fds;
}

TEST_F(ChildRun, LeavesNoZombieAndNoDescriptorBehind) {
  const std::string pidfile = file("child");
  const std::string descendant_file = file("descendant");
  const std::string record_pid = "echo $$ > '" + pidfile + "'; ";
  struct Case {
    std::string script;
    std::optional<std::chrono::nanoseconds> limit;
    bool inherit_stdio;
    std::optional<ChildFailureKind> failure;
    std::string why;
  };
  const Case cases[] = {
      {"echo out; exit 3", {}, false, {}, "exits"},
      {"kill -KILL $$", {}, false, {}, "killed by a signal"},
      {"exec >&- 2>&-; exit 0", {}, false, {}, "closes its outputs first"},
      {"exit 0", {}, true, {}, "shares the caller's stdio"},
      {"sleep 600 & echo $! > '" + descendant_file + "'; exit 0", {}, false, {},
       "leaves a descendant holding the pipes"},
      {"exec sleep 60", {300ms}, false, ChildFailureKind::TimedOut, "outlives its limit"},
  };
  for (const Case& k : cases) {
    std::error_code ec;
    fs::remove(pidfile, ec);
    Descendant descendant(descendant_file, 40s);
    const auto before = open_descriptors();
    ChildCommand c = shell(record_pid + k.script);
    c.limit = k.limit;
    c.inherit_stdio = k.inherit_stdio;
    auto got = child::run(c);
    EXPECT_EQ(open_descriptors(), before) << k.why;
    if (k.failure) {
      ASSERT_FALSE(got.has_value()) << k.why;
      EXPECT_EQ(got.error().kind, *k.failure) << k.why;
    } else {
      EXPECT_TRUE(got.has_value()) << k.why;
    }
    const pid_t pid = read_pid(pidfile);
    ASSERT_GT(pid, 0) << k.why;
    // Reaped: no zombie is left for anyone to wait for.
    EXPECT_FALSE(alive(pid)) << k.why;
    errno = 0;
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), -1) << k.why;
    EXPECT_EQ(errno, ECHILD) << k.why;
  }
}

TEST_F(ChildRun, ExecFailureLeavesNothingBehind) {
  const auto before = open_descriptors();
  ChildCommand c;
  c.program = "/nonexistent/tool";
  auto got = child::run(c);
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().kind, ChildFailureKind::CouldNotStart);
  EXPECT_EQ(got.error().errnum, ENOENT);
  EXPECT_EQ(open_descriptors(), before);
}

// Sets the host up as a careless one would be: descriptors left inheritable
// (one low, one high), SIGPIPE and SIGXFSZ ignored and signals blocked; all
// undone at the end of the scope.
class CarelessHost {
 public:
  CarelessHost() {
    low_ = ::open("/dev/null", O_RDONLY);  // no O_CLOEXEC
    high_ = ::fcntl(low_, F_DUPFD, 200);   // F_DUPFD, not F_DUPFD_CLOEXEC
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &ignore, &old_pipe_);
    ::sigaction(SIGXFSZ, &ignore, &old_xfsz_);
    sigset_t block;
    sigemptyset(&block);
    for (int s : {SIGTERM, SIGUSR1, SIGXFSZ}) sigaddset(&block, s);
    ::pthread_sigmask(SIG_BLOCK, &block, &old_mask_);
  }
  CarelessHost(const CarelessHost&) = delete;
  CarelessHost& operator=(const CarelessHost&) = delete;
  ~CarelessHost() {
    ::pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
    ::sigaction(SIGXFSZ, &old_xfsz_, nullptr);
    ::sigaction(SIGPIPE, &old_pipe_, nullptr);
    ::close(high_);
    ::close(low_);
  }
  [[nodiscard]] bool ready() const { return low_ > STDERR_FILENO && high_ >= 200; }

  // A shell script that writes to `report` each of the host's inheritable
  // descriptors it holds and then its signal masks, as "Name: hex" lines.
  [[nodiscard]] std::string probe(const std::string& report) const {
    return "exec > '" + report + "'; for n in " + std::to_string(low_) + " " + std::to_string(high_) +
           "; do if [ -e /proc/$$/fd/$n ]; then echo \"fd $n\"; fi; done; "
           "exec grep -E '^Sig(Blk|Ign):' /proc/self/status";
  }

 private:
  int low_ = -1;
  int high_ = -1;
  struct sigaction old_pipe_ {};
  struct sigaction old_xfsz_ {};
  sigset_t old_mask_{};
};

TEST_F(ChildRun, ChildGetsNoHostDescriptorNoIgnoredSignalAndAnEmptyMask) {
  const std::string report = file("report");
  for (const bool inherit_stdio : {false, true}) {
    std::string lines;
    {
      CarelessHost host;
      ASSERT_TRUE(host.ready());
      ChildCommand c = shell(host.probe(report));
      c.inherit_stdio = inherit_stdio;
      auto got = child::run(c);
      ASSERT_TRUE(got.has_value());
      ASSERT_EQ(got->status, 0);
      std::ifstream in(report);
      lines.assign(std::istreambuf_iterator<char>(in), {});
    }
    const std::string why = inherit_stdio ? "stdio inherited" : "stdio captured";
    EXPECT_EQ(lines.find("fd "), std::string::npos) << why << ": " << lines;
    std::map<std::string, unsigned long long> masks;
    std::istringstream in(lines);
    for (std::string line; std::getline(in, line);) {
      const auto colon = line.find(':');
      if (line.starts_with("Sig")) masks[line.substr(0, colon)] = std::stoull(line.substr(colon + 1), nullptr, 16);
    }
    ASSERT_EQ(masks.size(), 2u) << why << ": " << lines;
    EXPECT_EQ(masks["SigBlk"], 0u) << why;
    EXPECT_EQ(masks["SigIgn"] & (1ull << (SIGPIPE - 1)), 0u) << why;
    EXPECT_EQ(masks["SigIgn"] & (1ull << (SIGXFSZ - 1)), 0u) << why;
  }
}

TEST_F(ChildRun, EnvironmentIsScrubbedAndTheEntriesApplied) {
  ::setenv("ZANTU_CHILD_TEST", "hidden", 1);
  ::setenv("ZT_CHILD_SHARED", "from-host", 1);
  const std::string value = "injected";
  const std::vector<ChildEnvVar> env = {
      {"ZT_CHILD_SHARED", {reinterpret_cast<const std::uint8_t*>("first"), 5}},
      {"ZT_CHILD_SHARED", {reinterpret_cast<const std::uint8_t*>(value.data()), value.size()}},
  };
  ChildCommand c = shell("printf '%s|%s' \"${ZANTU_CHILD_TEST-unset}\" \"$ZT_CHILD_SHARED\"");
  c.env = env;
  auto got = child::run(c);
  ::unsetenv("ZANTU_CHILD_TEST");
  ::unsetenv("ZT_CHILD_SHARED");
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->stdout_bytes.view(), "unset|injected");
}

}  // namespace
}  // namespace zantu::core
