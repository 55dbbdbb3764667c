#include "zantu/core/audit.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <future>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support.hpp"
#include "zantu/core/fd.hpp"
#include "zantu/core/json.hpp"

namespace zantu::core {
namespace {

namespace fs = std::filesystem;

class AuditTest : public ::testing::Test {
 protected:
  std::string read_log() const { return testing::read_file(root_ / "vault" / "audit.log"); }
  FileAuditSink sink() const { return FileAuditSink::under_root(root_ / "vault"); }

  testing::TempDir tmp_;
  const fs::path& root_ = tmp_.path();
};

AuditEvent sample() {
  return AuditEvent("2026-01-02T03:04:05Z", AuditAction::Reveal, "allowed").at("dev/app/db", "dev").by(Origin::Agent);
}

// The keys of one JSON object line, in order; fails the test if it does not parse.
std::vector<std::string> keys_of(std::string_view line) {
  json::Reader r(line);
  std::vector<std::string> keys;
  EXPECT_TRUE(r.begin_object().has_value()) << line;
  for (;;) {
    std::string k;
    auto more = r.next_key(k);
    EXPECT_TRUE(more.has_value()) << line;
    if (!more || !*more) break;
    keys.push_back(k);
    EXPECT_TRUE(r.skip_value().has_value()) << line;
  }
  EXPECT_TRUE(r.finish().has_value()) << line;
  return keys;
}

// Records `num_events` events from each of `num_procs` processes at once
// through `sink`: event i of process p is make(p, i). Fails the test when a
// process had a failed record or did not end normally.
void record_from_processes(const FileAuditSink& sink, int num_procs, int num_events,
                           const std::function<AuditEvent(int, int)>& make) {
  std::vector<pid_t> pids;
  for (int p = 0; p < num_procs; ++p) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      int failures = 0;
      for (int i = 0; i < num_events; ++i) failures += sink.record(make(p, i)).has_value() ? 0 : 1;
      ::_exit(failures == 0 ? 0 : 1);
    }
    pids.push_back(pid);
  }
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

TEST_F(AuditTest, FirstEventCreatesTheLogPrivateAndTheDirectory) {
  const mode_t old = ::umask(0);
  auto st = sink().record(sample());
  ::umask(old);
  ASSERT_TRUE(st.has_value()) << st.error().to_string();
  struct stat s {};
  ASSERT_EQ(::stat((root_ / "vault" / "audit.log").c_str(), &s), 0);
  EXPECT_EQ(s.st_mode & 07777, 0600u);
  ASSERT_EQ(::stat((root_ / "vault").c_str(), &s), 0);
  EXPECT_EQ(s.st_mode & 07777, 0700u);
  EXPECT_EQ(read_log(),
            "{\"ts\":\"2026-01-02T03:04:05Z\",\"action\":\"reveal\",\"coordinate\":\"dev/app/db\",\"environment\":\"dev\","
            "\"result\":\"allowed\",\"origin\":\"agent\"}\n");
}

TEST_F(AuditTest, ExistingModeIsKept) {
  ASSERT_TRUE(sink().record(sample()).has_value());
  ASSERT_EQ(::chmod((root_ / "vault" / "audit.log").c_str(), 0644), 0);
  ASSERT_TRUE(sink().record(sample()).has_value());
  struct stat s {};
  ASSERT_EQ(::stat((root_ / "vault" / "audit.log").c_str(), &s), 0);
  EXPECT_EQ(s.st_mode & 07777, 0644u);
}

TEST_F(AuditTest, LineShapes) {
  struct Case {
    AuditEvent event;
    std::vector<std::string> keys;
  };
  AuditEvent all("t", AuditAction::OutOfScopeAttempt, "r");
  all.at("c", "e").by(Origin::Human);
  all.fingerprint = "abcd1234";
  all.requester_note = "note";
  std::vector<Case> cases = {
      {AuditEvent("t", AuditAction::ProviderInvocation, "aws-sm"), {"ts", "action", "result"}},
      {AuditEvent("t", AuditAction::Deny, "x").by(Origin::Human), {"ts", "action", "result", "origin"}},
      {all,
       {"ts", "action", "coordinate", "environment", "result", "origin", "fingerprint", "requester_note"}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(sink().record(c.event).has_value());
  }
  std::istringstream lines(read_log());
  std::string line;
  for (const auto& c : cases) {
    ASSERT_TRUE(std::getline(lines, line));
    EXPECT_EQ(keys_of(line), c.keys) << line;
    EXPECT_EQ(line.find("null"), std::string::npos) << line;
  }
  EXPECT_NE(read_log().find("\"origin\":\"human\""), std::string::npos);
  EXPECT_EQ(AuditEvent("t", AuditAction::SensitivityDowngrade, "r").to_json(),
            "{\"ts\":\"t\",\"action\":\"sensitivity-downgrade\",\"result\":\"r\"}");
}

TEST_F(AuditTest, EscapingKeepsOneLine) {
  AuditEvent e("t", AuditAction::Edit, "a \"quoted\"\nnew line\\ and \x01 control");
  e.at("dev/a b/c\td", "dev");
  ASSERT_TRUE(sink().record(e).has_value());
  const std::string log = read_log();
  ASSERT_EQ(std::count(log.begin(), log.end(), '\n'), 1);
  std::string_view line(log.data(), log.size() - 1);
  json::Reader r(line);
  ASSERT_TRUE(r.begin_object().has_value());
  std::string k;
  std::string result;
  while (r.next_key(k).value()) {
    if (k == "result") {
      result = r.read_string().value();
    } else {
      ASSERT_TRUE(r.skip_value().has_value());
    }
  }
  EXPECT_EQ(result, "a \"quoted\"\nnew line\\ and \x01 control");
}

TEST_F(AuditTest, ATornLineIsEndedBeforeTheNextEvent) {
  ASSERT_TRUE(sink().record(sample()).has_value());
  {
    std::ofstream torn(root_ / "vault" / "audit.log", std::ios::app | std::ios::binary);
    torn << "{\"ts\":\"2026-01-0";
  }
  ASSERT_TRUE(sink().record(sample()).has_value());
  std::istringstream lines(read_log());
  std::vector<std::string> all;
  for (std::string line; std::getline(lines, line);) all.push_back(line);
  ASSERT_EQ(all.size(), 3u);
  EXPECT_EQ(all[1], "{\"ts\":\"2026-01-0");
  EXPECT_EQ(all[0], all[2]);
}

TEST_F(AuditTest, AnUnwritableLogFailsWithTheOpenStep) {
  ASSERT_TRUE(sink().record(sample()).has_value());
  ASSERT_EQ(::chmod((root_ / "vault" / "audit.log").c_str(), 0444), 0);
  ASSERT_EQ(::chmod((root_ / "vault").c_str(), 0755), 0);
  ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
  // Root ignores permission bits: try as an unprivileged user in a child.
  int pipefd[2];
  ASSERT_EQ(::pipe(pipefd), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(pipefd[0]);
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    auto st = sink().record(sample());
    std::string text = st ? std::string("ok") : st.error().to_string();
    (void)!::write(pipefd[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(pipefd[1]);
  std::string got;
  char buf[256];
  for (ssize_t n; (n = ::read(pipefd[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<std::size_t>(n));
  ::close(pipefd[0]);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(got, "audit error: open audit log: Permission denied (os error 13)");
}

TEST_F(AuditTest, ConcurrentWritersLeaveWholeLines) {
  constexpr int kProcs = 8;
  constexpr int kEvents = 200;
  record_from_processes(sink(), kProcs, kEvents, [](int p, int i) {
    AuditEvent e("2026-01-02T03:04:05Z", AuditAction::Inject,
                 "process " + std::to_string(p) + " event " + std::to_string(i) + std::string(100, 'x'));
    e.at("dev/app/db", "dev").by(Origin::Agent);
    return e;
  });
  std::istringstream lines(read_log());
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    EXPECT_EQ(keys_of(line).size(), 6u) << line;
  }
  EXPECT_EQ(count, kProcs * kEvents);
}

// While a process that is none of the log's writers holds its lock, every
// writer goes ahead without it after its wait. Lines long enough to cross
// page boundaries often keep appends in flight while others look at the end
// of the file: still every line is one whole event, none empty, none glued.
TEST_F(AuditTest, ConcurrentWritersUnderAForeignLockLeaveWholeLines) {
  constexpr int kProcs = 6;
  constexpr int kEvents = 40;
  ASSERT_TRUE(sink().record(sample()).has_value());
  const fs::path log = root_ / "vault" / "audit.log";
  UniqueFd held(::open(log.c_str(), O_RDONLY | O_CLOEXEC));
  ASSERT_TRUE(held.valid());
  ASSERT_EQ(::flock(held.get(), LOCK_EX), 0);
  record_from_processes(sink(), kProcs, kEvents, [](int p, int i) {
    // 2500 to 4500 bytes: most lines cross a page boundary.
    AuditEvent e("2026-01-02T03:04:05Z", AuditAction::Reveal,
                 "process " + std::to_string(p) + " event " + std::to_string(i) + " " +
                     std::string(2500 + static_cast<std::size_t>((p * 977 + i * 331) % 2000), 'x'));
    e.at("dev/app/db", "dev").by(Origin::Agent);
    return e;
  });
  held.reset();

  const std::string text = read_log();
  EXPECT_TRUE(text.ends_with("\n"));
  std::istringstream lines(text);
  int num_empty = 0;
  std::set<std::string> events;
  for (std::string line; std::getline(lines, line);) {
    if (line.empty()) {
      ++num_empty;
      continue;
    }
    EXPECT_EQ(keys_of(line).size(), 6u) << line.substr(0, 200);
    events.insert(line);
  }
  EXPECT_EQ(num_empty, 0);
  // Each event once, plus the first line.
  EXPECT_EQ(events.size(), static_cast<std::size_t>(kProcs * kEvents + 1));
}

// Another process of the same user takes the log's lock, leaves a torn line
// and keeps the lock for ever: the next event is still appended, promptly,
// and stands whole on a line of its own. Without the lock the end of the file
// is never guessed at, so a first copy of the line is glued to the fragment.
TEST_F(AuditTest, ALockHeldForEverDelaysNoEvent) {
  using namespace std::chrono_literals;
  ASSERT_TRUE(sink().record(sample()).has_value());
  const fs::path log = root_ / "vault" / "audit.log";
  static constexpr std::string_view kTorn = "{\"torn";
  int ready[2];
  ASSERT_EQ(::pipe(ready), 0);
  const pid_t holder = ::fork();
  ASSERT_GE(holder, 0);
  if (holder == 0) {
    ::close(ready[0]);
    const int fd = ::open(log.c_str(), O_WRONLY | O_APPEND);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) ::_exit(1);
    if (::write(fd, kTorn.data(), kTorn.size()) != static_cast<ssize_t>(kTorn.size())) ::_exit(1);
    if (::write(ready[1], "x", 1) != 1) ::_exit(1);
    for (;;) ::pause();
  }
  ::close(ready[1]);
  char c = 0;
  const bool holding = ::read(ready[0], &c, 1) == 1;
  ::close(ready[0]);

  AuditEvent later("2026-01-02T03:04:06Z", AuditAction::Delete, "deleted");
  later.at("dev/app/db", "dev").by(Origin::Agent);
  auto appended = std::async(std::launch::async, [&] { return sink().record(later); });
  // Generous: the lock is waited for well under a second.
  const bool prompt = appended.wait_for(10s) == std::future_status::ready;
  // Ending the holder releases the lock, so a waiting append ends too.
  ::kill(holder, SIGKILL);
  int status = 0;
  ASSERT_EQ(::waitpid(holder, &status, 0), holder);
  ASSERT_TRUE(holding);
  EXPECT_TRUE(prompt) << "the append waited for the lock";
  const auto st = appended.get();
  ASSERT_TRUE(st.has_value()) << st.error().to_string();

  std::istringstream lines(read_log());
  std::vector<std::string> all;
  for (std::string line; std::getline(lines, line);) all.push_back(line);
  ASSERT_EQ(all.size(), 3u) << read_log();
  EXPECT_EQ(all[0], sample().to_json());
  EXPECT_EQ(all[1], std::string(kTorn) + later.to_json());
  EXPECT_EQ(all[2], later.to_json());
  EXPECT_TRUE(read_log().ends_with("\n"));
}

// Without the lock (held by a process that is none of the log's writers), an
// event is appended once when the log ends with a whole line or is empty, and
// once more after a torn fragment it was glued to; never with an empty line.
TEST_F(AuditTest, WithoutTheLockTheEventStandsOnALineOfItsOwn) {
  const std::string first = sample().to_json() + "\n";
  AuditEvent event("2026-01-02T03:04:06Z", AuditAction::Edit, "value-updated");
  event.at("dev/app/db", "dev").by(Origin::Agent);
  const std::string line = event.to_json() + "\n";
  struct Case {
    const char* what;
    std::string before;
    std::string after;
  };
  const Case cases[] = {
      {"empty log", "", line},
      {"whole last line", first, first + line},
      {"torn fragment", first + "{\"ts\":\"2026-01-0", first + "{\"ts\":\"2026-01-0" + line + line},
      {"torn fragment alone", "{", "{" + line + line},
  };
  const fs::path log = root_ / "vault" / "audit.log";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::create_directories(root_ / "vault");
    { std::ofstream(log, std::ios::binary | std::ios::trunc) << c.before; }
    const int held = ::open(log.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    const pid_t holder = ::fork();
    ASSERT_GE(holder, 0);
    if (holder == 0) {
      // The child shares `held`; the lock is taken through it, then kept
      // while the child waits to be killed.
      if (::flock(held, LOCK_EX) != 0) ::_exit(1);
      for (;;) ::pause();
    }
    ::close(held);
    // The child's lock conflicts with every other open of the file.
    bool locked = false;
    for (int i = 0; i < 1000 && !locked; ++i) {
      UniqueFd probe(::open(log.c_str(), O_RDONLY | O_CLOEXEC));
      locked = probe.valid() && ::flock(probe.get(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
      if (!locked) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const auto st = locked ? sink().record(event) : Status();
    ::kill(holder, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(holder, &status, 0), holder);
    ASSERT_TRUE(locked) << "the holder did not take the lock";
    ASSERT_TRUE(st.has_value()) << st.error().to_string();
    EXPECT_EQ(read_log(), c.after);
  }
}

}  // namespace
}  // namespace zantu::core
