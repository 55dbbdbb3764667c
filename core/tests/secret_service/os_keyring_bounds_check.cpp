// OsKeyring against a Secret Service that misbehaves (the fake of
// fake_service.cpp, on a private bus of its own): every wait ends within its
// limit with a failure that says what went wrong, a forged answer is ignored,
// and a bus that goes away mid-call leaves the process running, with no
// thread or descriptor left behind.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "zantu/core/keyring.hpp"

extern char** environ;

namespace zantu::core {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

std::vector<std::string> lines_of(const fs::path& file) {
  std::vector<std::string> out;
  std::ifstream in(file);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::vector<std::string> threads_and_fds() {
  std::vector<std::string> out;
  for (const auto& e : fs::directory_iterator("/proc/self/task")) out.push_back("task " + e.path().filename().string());
  for (const auto& e : fs::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    const auto target = fs::read_symlink(e.path(), ec);
    if (!ec && !target.string().starts_with("/proc/")) out.push_back("fd " + target.string());
  }
  std::sort(out.begin(), out.end());
  return out;
}

// The fake service in `mode` on a bus of its own, which this process's
// DBUS_SESSION_BUS_ADDRESS names while the object lives.
class FakeService {
 public:
  explicit FakeService(const std::string& mode) {
    std::string tmpl = (fs::temp_directory_path() / "zantu-fake-ss-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    dir_ = tmpl;
    // Like the session bus, listening in the scratch directory and with no
    // service directories, so nothing is started on demand.
    std::ofstream(dir_ / "bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:dir="
        << dir_.string()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
           "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    const std::string config = "--config-file=" + (dir_ / "bus.conf").string();
    const std::string log = (dir_ / "calls").string();
    const char* argv[] = {"dbus-run-session", config.c_str(), "--", ZANTU_FAKE_SECRET_SERVICE, mode.c_str(),
                          log.c_str(), nullptr};
    const int rc =
        ::posix_spawnp(&pid_, argv[0], &actions, &attr, const_cast<char* const*>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    ::close(out[1]);
    if (rc != 0) {
      ::close(out[0]);
      pid_ = -1;
      ADD_FAILURE() << "cannot start dbus-run-session";
      return;
    }
    // "ready <address>", within a generous bound.
    std::string line;
    pollfd pfd{out[0], POLLIN, 0};
    char c = 0;
    while (line.find('\n') == std::string::npos && ::poll(&pfd, 1, 20000) == 1 && ::read(out[0], &c, 1) == 1) {
      line += c;
    }
    ::close(out[0]);
    if (!line.starts_with("ready ") || line.back() != '\n') {
      ADD_FAILURE() << "the fake service did not come up: " << line;
      return;
    }
    const char* old = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (old != nullptr) old_address_ = old;
    ::setenv("DBUS_SESSION_BUS_ADDRESS", line.substr(6, line.size() - 7).c_str(), 1);
    ready_ = true;
  }
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;
  ~FakeService() {
    if (old_address_) {
      ::setenv("DBUS_SESSION_BUS_ADDRESS", old_address_->c_str(), 1);
    } else {
      ::unsetenv("DBUS_SESSION_BUS_ADDRESS");
    }
    if (pid_ > 0) {
      ::kill(-pid_, SIGKILL);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  [[nodiscard]] bool ready() const { return ready_; }
  // The methods called on the service so far, in order.
  [[nodiscard]] std::vector<std::string> calls() const { return lines_of(dir_ / "calls"); }

 private:
  fs::path dir_;
  pid_t pid_ = -1;
  bool ready_ = false;
  std::optional<std::string> old_address_;
};

struct Case {
  const char* mode;
  OsKeyring::Limits limits;
  const char* detail;
  // The methods the service saw, in order.
  std::vector<std::string> calls;
};

// Names the case by its mode in test names and messages.
void PrintTo(const Case& c, std::ostream* os) { *os << c.mode; }

class OsKeyringBounds : public ::testing::TestWithParam<Case> {};

TEST_P(OsKeyringBounds, FailsWithinItsLimitAndLeavesNothingBehind) {
  const Case& c = GetParam();
  FakeService service(c.mode);
  ASSERT_TRUE(service.ready());
  const auto before = threads_and_fds();
  const OsKeyring keyring(c.limits);

  const auto start = std::chrono::steady_clock::now();
  auto got = keyring.get_master_key();
  const auto took = std::chrono::steady_clock::now() - start;

  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().kind(), CoreErrorKind::KeyringFailure);
  EXPECT_EQ(got.error().to_string(), std::string("keyring operation failed: ") + c.detail);
  // Generous for a loaded machine; the waits that would otherwise end it are
  // 25 s (libdbus's default) and 120 s or never (a prompt).
  EXPECT_LT(took, std::chrono::seconds(20));
  EXPECT_EQ(service.calls(), c.calls);
  EXPECT_EQ(threads_and_fds(), before);
}

const OsKeyring::Limits kShort{milliseconds(500), milliseconds(1500)};
const OsKeyring::Limits kLongPrompt{milliseconds(2000), milliseconds(120000)};

INSTANTIATE_TEST_SUITE_P(
    MisbehavingServices, OsKeyringBounds,
    ::testing::Values(
        Case{"silent", kShort, "the Secret Service's OpenSession got no answer within 500 ms", {"OpenSession"}},
        Case{"pending-prompt",
             kShort,
             "no answer to the prompt for unlocking the Secret Service item within 1500 ms",
             {"OpenSession", "SearchItems", "Unlock", "Prompt", "Dismiss", "Close"}},
        // Only the service's own name may answer its prompt.
        Case{"forged-completion",
             kShort,
             "no answer to the prompt for unlocking the Secret Service item within 1500 ms",
             {"OpenSession", "SearchItems", "Unlock", "Prompt", "Dismiss", "Close"}},
        Case{"dismiss-prompt",
             kLongPrompt,
             "unlocking the Secret Service item was dismissed",
             {"OpenSession", "SearchItems", "Unlock", "Prompt", "Close"}},
        Case{"leave-at-prompt",
             kLongPrompt,
             "the Secret Service left the session bus during the prompt for unlocking the Secret Service item",
             {"OpenSession", "SearchItems", "Unlock", "Prompt"}},
        // libdbus would end the whole process here by default.
        Case{"drop-bus",
             kLongPrompt,
             "the D-Bus session bus connection closed during the Secret Service's OpenSession",
             {"OpenSession"}},
        Case{"weak-key", kShort, "the Secret Service offered an invalid session public key", {"OpenSession", "Close"}},
        Case{"wrong-types", kShort, "unexpected reply to OpenSession", {"OpenSession"}},
        Case{"absent", kShort, "no Secret Service on the session bus (nothing owns org.freedesktop.secrets)", {}}),
    [](const ::testing::TestParamInfo<Case>& info) {
      std::string name = info.param.mode;
      std::replace(name.begin(), name.end(), '-', '_');
      return name;
    });

// The limits given are a ceiling for tests, never a way to wait longer.
TEST(OsKeyringLimits, AreClampedToTheDefaults) {
  const OsKeyring defaults;
  EXPECT_EQ(defaults.limits().reply, milliseconds(2000));
  EXPECT_EQ(defaults.limits().prompt, milliseconds(120000));
  const OsKeyring longer(OsKeyring::Limits{milliseconds(60000), milliseconds(600000)});
  EXPECT_EQ(longer.limits().reply, milliseconds(2000));
  EXPECT_EQ(longer.limits().prompt, milliseconds(120000));
  const OsKeyring shorter(OsKeyring::Limits{milliseconds(10), milliseconds(20)});
  EXPECT_EQ(shorter.limits().reply, milliseconds(10));
  EXPECT_EQ(shorter.limits().prompt, milliseconds(20));
}

}  // namespace
}  // namespace zantu::core
