#include "zantu/core/file_confirm.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <ostream>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support.hpp"
#include "zantu/core/clock.hpp"

extern char** environ;

namespace zantu::core {

// Readable outcomes in failure messages.
inline void PrintTo(ConfirmOutcome o, std::ostream* os) {
  *os << (o == ConfirmOutcome::Approved ? "Approved" : o == ConfirmOutcome::Denied ? "Denied" : "TimedOut");
}

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing::read_file;
using testing::request_id;
using testing::write_file;

// As an answering tool should: the decision appears with its whole content.
void publish_decision(const fs::path& p, std::string_view content) {
  fs::path part = p;
  part += ".part";
  write_file(part, content);
  fs::rename(part, p);
}

// The ids that a request taking sequence number `seq` gets if it starts now
// or in the next second.
std::array<std::string, 2> ids_from_now(std::uint64_t seq) {
  const std::uint64_t t = SystemClock{}.unix_secs();
  return {request_id(t, seq), request_id(t + 1, seq)};
}

ConfirmRequest sample_request() {
  ConfirmRequest r("prod/api/token", Sensitivity::High, "prod", Origin::Agent);
  r.resolved_command = "/usr/bin/deploy --now";
  return std::move(r).with_requesting_process("mcp-client");
}

class FileConfirmTest : public ::testing::Test {
 protected:
  fs::path pending() const { return root_ / "pending"; }
  // Before the first request there is no pending directory: nothing pends.
  std::vector<std::string> pending_names() const {
    if (!fs::exists(pending())) return {};
    return testing::names_in(pending());
  }

  testing::TempDir tmp_;
  const fs::path& root_ = tmp_.path();
};

TEST(PendingRequestJson, ExactTextWithNullForAbsentFields) {
  ConfirmRequest bare("dev/app/db", Sensitivity::Medium, "dev", Origin::Agent);
  ConfirmRequest full("dev/app/db, dev/app/key", Sensitivity::InjectOnly, "dev", Origin::Human);
  full.resolved_command = "run \"x\"\n\tnext\\";
  full.with_requesting_process("first").with_requesting_process("client \x01 one");
  full.requester_description = "my words";
  full.action = "unlock";
  full.allow_password = true;
  struct Case {
    PendingRequest pending;
    std::string json;
  };
  const Case cases[] = {
      {{"1700000000-42-0", 1700000001, bare},
       R"({"id":"1700000000-42-0","created_unix":1700000001,"request":{"resolved_command":null,)"
       R"("coordinate":"dev/app/db","sensitivity":"medium","environment":"dev","origin":"agent",)"
       R"("requesting_process":null,"requester_description":null,"action":null,"allow_password":false}})"},
      {{"0-7-3", 0, full},
       R"({"id":"0-7-3","created_unix":0,"request":{"resolved_command":"run \"x\"\n\tnext\\",)"
       R"("coordinate":"dev/app/db, dev/app/key","sensitivity":"inject-only","environment":"dev","origin":"human",)"
       R"("requesting_process":"client \u0001 one","requester_description":"my words","action":"unlock",)"
       R"("allow_password":true}})"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.pending.to_json(), c.json);
}

// Plays the answering tool: waits (up to 30 s) for a request file other than
// those in `ignore`, keeps what it saw, then answers: by default it publishes
// its decision.
class ThreadAnswerer {
 public:
  using Answer = std::function<void(const fs::path& decision)>;

  ThreadAnswerer(fs::path dir, Answer answer, std::set<std::string> ignore = {})
      : thread_([this, dir = std::move(dir), answer = std::move(answer), ignore = std::move(ignore)] {
          run(dir, answer, ignore);
        }) {}
  ThreadAnswerer(fs::path dir, std::string decision, std::set<std::string> ignore = {})
      : ThreadAnswerer(
            std::move(dir), [decision = std::move(decision)](const fs::path& p) { publish_decision(p, decision); },
            std::move(ignore)) {}
  ~ThreadAnswerer() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
  }
  void join() { thread_.join(); }

  std::string id, json;
  mode_t mode = 0;
  std::chrono::steady_clock::time_point answered_at;

 private:
  void run(const fs::path& dir, const Answer& answer, const std::set<std::string>& ignore) {
    const auto give_up = std::chrono::steady_clock::now() + 30s;
    while (!stop_ && std::chrono::steady_clock::now() < give_up) {
      std::error_code ec;
      for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() != ".json" || ignore.contains(it->path().filename())) continue;
        id = it->path().stem();
        json = read_file(it->path());
        struct stat st {};
        if (::stat(it->path().c_str(), &st) == 0) mode = st.st_mode & 07777;
        answer(dir / (id + ".decision"));
        answered_at = std::chrono::steady_clock::now();
        return;
      }
      std::this_thread::sleep_for(5ms);
    }
  }

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Each decision is written after its request appears, as an answering tool
// writes it.
TEST_F(FileConfirmTest, DecisionContent) {
  struct Case {
    const char* why;
    std::optional<std::string> decision;  // none: no decision file
    ConfirmOutcome expected;
  };
  const std::string padded_to_limit = "approved" + std::string(FileConfirmer::kMaxDecisionLen - 8, ' ');
  const Case cases[] = {
      {"the word", "approved", ConfirmOutcome::Approved},
      {"line break", "approved\n", ConfirmOutcome::Approved},
      {"CR LF", "approved\r\n", ConfirmOutcome::Approved},
      {"surrounded by spaces and tabs", " \t approved  ", ConfirmOutcome::Approved},
      {"Unicode white space", "\u00a0approved\u3000\u2028", ConfirmOutcome::Approved},
      {"exactly the size limit", padded_to_limit, ConfirmOutcome::Approved},
      {"one byte over the limit", padded_to_limit + " ", ConfirmOutcome::Denied},
      {"oversized and not UTF-8", std::string(3 * FileConfirmer::kMaxDecisionLen, '\xff'), ConfirmOutcome::Denied},
      {"capital letter", "Approved", ConfirmOutcome::Denied},
      {"upper case", "APPROVED", ConfirmOutcome::Denied},
      {"trailing punctuation", "approved.", ConfirmOutcome::Denied},
      {"further words", "approved now", ConfirmOutcome::Denied},
      {"prefix only", "approve", ConfirmOutcome::Denied},
      {"empty", "", ConfirmOutcome::Denied},
      {"white space only", " \n", ConfirmOutcome::Denied},
      {"other word", "denied", ConfirmOutcome::Denied},
      {"NUL inside", std::string("approved\0", 9), ConfirmOutcome::Denied},
      {"not UTF-8 after the word", "approved\xff", ConfirmOutcome::TimedOut},
      {"truncated sequence", "approved\xc3", ConfirmOutcome::TimedOut},
      {"no decision file", std::nullopt, ConfirmOutcome::TimedOut},
  };
  ASSERT_TRUE(fs::create_directory(pending()));
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    // An answer ends the wait at once; a file that never answers is read
    // every poll until the deadline.
    const auto timeout = c.expected == ConfirmOutcome::TimedOut ? std::chrono::nanoseconds(1s) : 60s;
    ThreadAnswerer answerer(pending(), [&](const fs::path& p) {
      if (c.decision) publish_decision(p, *c.decision);
    });
    EXPECT_EQ(FileConfirmer::under_root(root_).confirm(sample_request(), timeout), c.expected);
    answerer.join();
    EXPECT_TRUE(pending_names().empty());
  }
}

// Request ids can be foreseen, so anything may wait at a request's decision
// name before the request exists: it is removed before the request appears
// and never answers it, whatever it is. Only a decision written afterwards
// counts. A directory there, which cannot be removed, refuses the request.
TEST_F(FileConfirmTest, PlantedDecisionsNeverAnswer) {
  const fs::path outside = root_ / "outside";
  write_file(outside, "approved");
  struct Case {
    const char* why;
    std::function<void(const fs::path&)> plant;
  };
  const Case cases[] = {
      {"a file", [](const fs::path& p) { write_file(p, "approved"); }},
      {"a symbolic link", [&](const fs::path& p) { fs::create_symlink(outside, p); }},
      {"a hard link", [&](const fs::path& p) { fs::create_hard_link(outside, p); }},
      {"a FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    for (const bool answered : {false, true}) {
      SCOPED_TRACE(answered ? "answered" : "not answered");
      ASSERT_TRUE(fs::create_directory(pending()));
      // Every id the request can take: this second or the next, any of the
      // first sequence numbers.
      std::vector<std::string> planted;
      for (std::uint64_t seq = 0; seq < 3; ++seq) {
        for (const auto& id : ids_from_now(seq)) {
          planted.push_back(id);
          c.plant(pending() / (id + ".decision"));
        }
      }
      std::optional<ThreadAnswerer> answerer;
      if (answered) answerer.emplace(pending(), "denied");
      const ConfirmOutcome outcome = FileConfirmer::under_root(root_).confirm(sample_request(), answered ? 60s : 0s);
      if (answerer) answerer->join();
      EXPECT_EQ(outcome, answered ? ConfirmOutcome::Denied : ConfirmOutcome::TimedOut);
      for (const auto& name : pending_names()) {
        EXPECT_EQ(fs::path(name).extension(), ".decision") << name;
      }
      EXPECT_EQ(pending_names().size(), planted.size() - 1);
      EXPECT_EQ(read_file(outside), "approved");
      fs::remove_all(pending());
    }
  }

  ASSERT_TRUE(fs::create_directory(pending()));
  for (std::uint64_t seq = 0; seq < 3; ++seq) {
    for (const auto& id : ids_from_now(seq)) {
      ASSERT_TRUE(fs::create_directories(pending() / (id + ".decision") / "inside"));
    }
  }
  EXPECT_EQ(FileConfirmer::under_root(root_).confirm(sample_request(), 60s), ConfirmOutcome::Denied);
  for (const auto& name : pending_names()) {
    EXPECT_TRUE(fs::is_directory(pending() / name / "inside")) << name;
  }
}

// The decision is read every poll interval, not only at the deadline: an
// answer that comes a little after the first read ends the wait soon after.
TEST_F(FileConfirmTest, AnAnswerAfterTheFirstReadIsTakenAtTheNextPoll) {
  ThreadAnswerer answerer(pending(), [](const fs::path& p) {
    std::this_thread::sleep_for(300ms);
    publish_decision(p, "approved");
  });
  const ConfirmOutcome outcome = FileConfirmer::under_root(root_).confirm(sample_request(), 30s);
  const auto returned = std::chrono::steady_clock::now();
  answerer.join();
  EXPECT_EQ(outcome, ConfirmOutcome::Approved);
  // Generous for a loaded machine, and far below the timeout.
  EXPECT_LT(returned - answerer.answered_at, 10s);
  EXPECT_TRUE(pending_names().empty());
}

TEST_F(FileConfirmTest, AnsweredByAnotherThread) {
  const std::uint64_t before = SystemClock{}.unix_secs();
  ConfirmOutcome outcome;
  std::string id, json;
  mode_t mode = 0;
  {
    ThreadAnswerer answerer(pending(), "approved\n");
    const mode_t old = ::umask(0);
    outcome = FileConfirmer::under_root(root_).confirm(sample_request(), 60s);
    ::umask(old);
    answerer.join();
    id = answerer.id;
    json = answerer.json;
    mode = answerer.mode;
  }
  const std::uint64_t after = SystemClock{}.unix_secs();
  EXPECT_EQ(outcome, ConfirmOutcome::Approved);
  EXPECT_TRUE(pending_names().empty());

  std::smatch m;
  ASSERT_TRUE(std::regex_match(id, m, std::regex("([0-9]+)-" + std::to_string(::getpid()) + "-0"))) << id;
  const std::uint64_t secs = std::stoull(m[1]);
  EXPECT_GE(secs, before);
  EXPECT_LE(secs, after);
  const std::string head = "{\"id\":\"" + id + "\",\"created_unix\":";
  ASSERT_EQ(json.substr(0, head.size()), head) << json;
  const std::size_t comma = json.find(',', head.size());
  ASSERT_NE(comma, std::string::npos);
  const std::uint64_t created = std::stoull(json.substr(head.size(), comma - head.size()));
  EXPECT_TRUE(created == secs || created == secs + 1) << created;
  EXPECT_EQ(json.substr(comma),
            R"(,"request":{"resolved_command":"/usr/bin/deploy --now","coordinate":"prod/api/token",)"
            R"("sensitivity":"high","environment":"prod","origin":"agent","requesting_process":"mcp-client",)"
            R"("requester_description":null,"action":null,"allow_password":false}})");
  EXPECT_EQ(mode, 0600u);
  struct stat st {};
  ASSERT_EQ(::stat(pending().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
}

// A separate process that finds the request file and answers with a shell.
TEST_F(FileConfirmTest, AnsweredByAnotherProcess) {
  static constexpr const char* kScript = R"(d=$1; i=0
while :; do
  for f in "$d"/*.json; do
    if [ -e "$f" ]; then
      id=${f##*/}; id=${id%.json}
      printf '%s' "$2" > "$d/$id.part" && mv "$d/$id.part" "$d/$id.decision"
      exit 0
    fi
  done
  i=$((i+1)); [ $i -ge 3000 ] && exit 1
  sleep 0.01
done)";
  struct Case {
    std::string decision;
    ConfirmOutcome expected;
  };
  const Case cases[] = {{"approved\n", ConfirmOutcome::Approved}, {"no thanks\n", ConfirmOutcome::Denied}};
  ASSERT_TRUE(fs::create_directory(pending()));
  for (const auto& c : cases) {
    const std::string dir = pending();
    std::vector<char*> argv = {const_cast<char*>("sh"), const_cast<char*>("-c"), const_cast<char*>(kScript),
                               const_cast<char*>("sh"), const_cast<char*>(dir.c_str()),
                               const_cast<char*>(c.decision.c_str()), nullptr};
    pid_t pid = 0;
    ASSERT_EQ(::posix_spawn(&pid, "/bin/sh", nullptr, nullptr, argv.data(), environ), 0);
    const ConfirmOutcome outcome = FileConfirmer::under_root(root_).confirm(sample_request(), 60s);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(outcome, c.expected) << c.decision;
    EXPECT_TRUE(pending_names().empty());
  }
}

// Timeout zero writes the request and reads the decision name once.
TEST_F(FileConfirmTest, NoAnswerTimesOutAndRemovesTheRequest) {
  for (const std::chrono::nanoseconds timeout : {std::chrono::nanoseconds(0), std::chrono::nanoseconds(600ms)}) {
    EXPECT_EQ(FileConfirmer::under_root(root_).confirm(sample_request(), timeout), ConfirmOutcome::TimedOut);
    EXPECT_TRUE(fs::is_directory(pending()));
    EXPECT_TRUE(pending_names().empty());
  }
}

// Denied as soon as the request cannot be written: with a long timeout, a
// confirmer that waited anyway would end TimedOut instead.
TEST_F(FileConfirmTest, UnwritableRequestIsDeniedAtOnce) {
  struct Case {
    const char* why;
    fs::path blocker;  // a regular file where a directory is needed
    fs::path root;
  };
  const Case cases[] = {
      {"root is a file", root_ / "file-root", root_ / "file-root"},
      {"pending is a file", root_ / "vault" / "pending", root_ / "vault"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    fs::create_directories(c.blocker.parent_path());
    write_file(c.blocker, "x");
    EXPECT_EQ(FileConfirmer::under_root(c.root).confirm(sample_request(), 5s), ConfirmOutcome::Denied);
    EXPECT_TRUE(fs::is_regular_file(c.blocker));
    EXPECT_EQ(read_file(c.blocker), "x");
  }
}

// The request never takes the place of an existing file: it moves on to the
// next sequence number, and the decision it waits for is the new id's. The
// taken id's decision belongs to another request and stays.
TEST_F(FileConfirmTest, ATakenNameMovesTheRequestToTheNextId) {
  for (const char* taken : {".json", ".tmp"}) {
    SCOPED_TRACE(taken);
    ASSERT_TRUE(fs::create_directories(pending()));
    const auto first = ids_from_now(0);
    const auto second = ids_from_now(1);
    std::set<std::string> ignore;
    for (const auto& id : first) {
      write_file(pending() / (id + taken), "someone else's");
      write_file(pending() / (id + ".decision"), "denied");
      ignore.insert(id + ".json");
    }
    const auto before = pending_names();
    ThreadAnswerer answerer(pending(), "approved", ignore);
    EXPECT_EQ(FileConfirmer::under_root(root_).confirm(sample_request(), 60s), ConfirmOutcome::Approved);
    answerer.join();
    EXPECT_TRUE(answerer.id == second[0] || answerer.id == second[1]) << answerer.id;
    EXPECT_EQ(pending_names(), before);
    for (const auto& id : first) {
      EXPECT_EQ(read_file(pending() / (id + taken)), "someone else's");
      EXPECT_EQ(read_file(pending() / (id + ".decision")), "denied");
    }
    fs::remove_all(pending());
  }
}

// A FIFO as decision file answers (empty: a denial) instead of blocking the
// wait for a writer. Should the confirmer block all the same, the watchdog
// opens the FIFO as writer and says "approved", which fails the test instead
// of hanging it.
TEST_F(FileConfirmTest, AFifoDecisionDoesNotBlock) {
  fs::path fifo;
  std::mutex mu;
  std::condition_variable cv;
  bool made = false;
  bool done = false;
  ThreadAnswerer answerer(pending(), [&](const fs::path& p) {
    std::lock_guard lock(mu);
    made = ::mkfifo(p.c_str(), 0600) == 0;
    fifo = p;
  });
  std::thread watchdog([&] {
    std::unique_lock lock(mu);
    if (cv.wait_for(lock, 20s, [&] { return done; }) || fifo.empty()) return;
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) return;
    (void)!::write(fd, "approved", 8);
    ::close(fd);
  });
  const ConfirmOutcome outcome = FileConfirmer::under_root(root_).confirm(sample_request(), 60s);
  {
    std::lock_guard lock(mu);
    done = true;
  }
  cv.notify_one();
  watchdog.join();
  answerer.join();
  EXPECT_TRUE(made);
  EXPECT_EQ(outcome, ConfirmOutcome::Denied);
  EXPECT_TRUE(pending_names().empty());
}

TEST_F(FileConfirmTest, CleanupRemovesBothFilesAndIgnoresMissingOnes) {
  ASSERT_TRUE(fs::create_directory(pending()));
  write_file(pending() / "1-2-3.json", "{}");
  write_file(pending() / "1-2-3.decision", "approved");
  write_file(pending() / "1-2-4.decision", "approved");
  const FileConfirmer confirmer = FileConfirmer::under_root(root_);
  confirmer.cleanup("1-2-3");
  confirmer.cleanup("1-2-4");
  confirmer.cleanup("9-9-9");
  EXPECT_TRUE(pending_names().empty());
}

TEST_F(FileConfirmTest, AtomicWriteNeverReplaces) {
  const fs::path target = root_ / "1-2-0.json";
  const std::string text = "{\"a\":1}";
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  const mode_t old = ::umask(0);
  ASSERT_TRUE(file_confirm::atomic_write(target, bytes).has_value());
  ::umask(old);
  EXPECT_EQ(read_file(target), text);
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_FALSE(fs::exists(root_ / "1-2-0.tmp"));

  const std::string other = "{\"b\":2}";
  auto again = file_confirm::atomic_write(
      target, std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(other.data()), other.size()));
  ASSERT_FALSE(again.has_value());
  EXPECT_EQ(again.error().to_string(), "vault I/O failed: rename pending: File exists (os error 17)");
  EXPECT_EQ(read_file(target), text);
  EXPECT_FALSE(fs::exists(root_ / "1-2-0.tmp"));
}

}  // namespace
}  // namespace zantu::core
