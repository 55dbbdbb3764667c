// OsKeyring against a Secret Service that misbehaves (the fake of
// fake_service.cpp, on a private bus of its own) and against sockets that are
// no bus at all: every wait ends within its limit with a failure that says
// what went wrong, also in a host whose timer signal keeps interrupting it; a
// forged answer is ignored; a bus that goes away mid-call leaves the process
// running, with no thread or descriptor left behind; and no bus address ever
// makes it start a program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "../support.hpp"
#include "zantu/core/fd.hpp"
#include "zantu/core/keyring.hpp"

extern char** environ;

namespace zantu::core {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testing::TempDir;

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

// `mode` as a part of a test name, which takes no dashes.
std::string name_part(std::string mode) {
  std::replace(mode.begin(), mode.end(), '-', '_');
  return mode;
}

// A bus configuration like the session bus's, listening in `dir` and with no
// service directories, so nothing is started on demand.
void write_bus_config(const fs::path& dir) {
  std::ofstream(dir / "bus.conf")
      << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
         " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
         "<busconfig><type>session</type><listen>unix:dir="
      << dir.string()
      << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow send_destination=\"*\" "
         "eavesdrop=\"true\"/><allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n";
}

// The fake service in `mode` on a bus of its own, which this process's
// DBUS_SESSION_BUS_ADDRESS names while the object lives.
class FakeService {
 public:
  explicit FakeService(const std::string& mode) {
    write_bus_config(dir_.path());

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attr, 0);
    const std::string config = "--config-file=" + (dir_ / "bus.conf");
    const std::string log = dir_ / "calls";
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
  }

  [[nodiscard]] bool ready() const { return ready_; }
  // The bus's address, which DBUS_SESSION_BUS_ADDRESS names meanwhile.
  [[nodiscard]] std::string address() const {
    const char* a = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    return a != nullptr ? a : "";
  }
  // The methods called on the service so far, in order.
  [[nodiscard]] std::vector<std::string> calls() const { return lines_of(dir_ / "calls"); }

 private:
  TempDir dir_;
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
    [](const ::testing::TestParamInfo<Case>& info) { return name_part(info.param.mode); });

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


// ---------------------------------------------------------------------------
// Reads run in a child process of the test, whose host settings (a timer
// signal, the environment) they may change: a read that never ends then
// fails the test within a bound instead of hanging it.

struct Outcome {
  // The child reported within the bound.
  bool finished = false;
  // The failure's text, or "key".
  std::string text;
  std::chrono::milliseconds took{0};
  // The reading process had a child (running or unreaped) afterwards.
  bool child_left = false;
};

Outcome read_key_in_child(const std::function<void()>& host, OsKeyring::Limits limits = {}) {
  Outcome out;
  int report[2];
  if (::pipe2(report, O_CLOEXEC) != 0) return out;
  const pid_t pid = ::fork();
  if (pid < 0) return out;
  if (pid == 0) {
    ::close(report[0]);
    host();
    const auto start = std::chrono::steady_clock::now();
    auto got = OsKeyring(limits).get_master_key();
    const auto took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
    siginfo_t info{};
    const bool none = ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
    const std::string text = (got ? std::string("key") : got.error().to_string()) + "\n" +
                             std::to_string(took.count()) + "\n" + (none ? "none" : "child") + "\n";
    [[maybe_unused]] const int rc = write_all(report[1], text.data(), text.size());
    ::_exit(0);
  }
  ::close(report[1]);
  std::string text;
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  for (;;) {
    const auto left = std::chrono::ceil<milliseconds>(give_up - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd pfd{report[0], POLLIN, 0};
    if (::poll(&pfd, 1, static_cast<int>(left.count())) <= 0) continue;
    char buf[512];
    const ssize_t n = ::read(report[0], buf, sizeof buf);
    if (n <= 0) break;
    text.append(buf, static_cast<std::size_t>(n));
  }
  ::close(report[0]);
  ::kill(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
  const auto first = text.find('\n');
  const auto second = first == std::string::npos ? first : text.find('\n', first + 1);
  if (second == std::string::npos || !text.ends_with('\n')) return out;
  out.finished = true;
  out.text = text.substr(0, first);
  out.took = milliseconds(std::stoll(text.substr(first + 1, second - first - 1)));
  out.child_left = text.substr(second + 1) != "none\n";
  return out;
}

void noop_handler(int) {}

// A host with a timer signal every 0.5 s, as watchdogs and profilers have.
void periodic_alarm(int flags) {
  struct sigaction sa {};
  sa.sa_handler = noop_handler;
  sa.sa_flags = flags;
  sigemptyset(&sa.sa_mask);
  ::sigaction(SIGALRM, &sa, nullptr);
  const itimerval every_half_second{{0, 500000}, {0, 500000}};
  ::setitimer(ITIMER_REAL, &every_half_second, nullptr);
}

struct SignalCase {
  const char* mode;
  int flags;
};

void PrintTo(const SignalCase& c, std::ostream* os) { *os << c.mode << (c.flags != 0 ? " SA_RESTART" : ""); }

class UnderATimerSignal : public ::testing::TestWithParam<SignalCase> {};

// A reply that never comes, or comes after 2.5 s, fails the read 2 s after
// the call, however often the host's signal interrupts the wait.
TEST_P(UnderATimerSignal, AReplyIsWaitedForTwoSecondsInAll) {
  const SignalCase& c = GetParam();
  FakeService service(c.mode);
  ASSERT_TRUE(service.ready());
  const Outcome out = read_key_in_child([&] { periodic_alarm(c.flags); });
  ASSERT_TRUE(out.finished) << "the read did not end within 30 s";
  EXPECT_EQ(out.text, "keyring operation failed: the Secret Service's GetSecret got no answer within 2 s");
  EXPECT_GE(out.took, milliseconds(2000));
  EXPECT_LT(out.took, std::chrono::seconds(8));
  EXPECT_EQ(service.calls(), (std::vector<std::string>{"OpenSession", "SearchItems", "GetSecret"}));
}

INSTANTIATE_TEST_SUITE_P(SlowSecrets, UnderATimerSignal,
                         ::testing::Values(SignalCase{"silent-secret", 0}, SignalCase{"silent-secret", SA_RESTART},
                                           SignalCase{"late-secret", 0}, SignalCase{"late-secret", SA_RESTART}),
                         [](const ::testing::TestParamInfo<SignalCase>& info) {
                           const char* how = info.param.flags != 0 ? "_restarting" : "_interrupting";
                           return name_part(info.param.mode) + how;
                         });

// A socket where the bus should be that is no bus: "listen-only" completes
// connections in the kernel and never accepts them; "silent" accepts and
// never speaks; "garbage" answers every line of the login with a line that is
// no part of it; "flood" answers with 64 KiB that hold no line at all.
class RawBus {
 public:
  explicit RawBus(const std::string& mode) {
    const std::string path = dir_ / "bus";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 8) != 0) {
      ADD_FAILURE() << "cannot listen at " << path;
      return;
    }
    address_ = "unix:path=" + path;
    if (mode == "listen-only") return;
    server_ = ::fork();
    if (server_ == 0) serve(mode);
  }
  RawBus(const RawBus&) = delete;
  RawBus& operator=(const RawBus&) = delete;
  ~RawBus() {
    if (server_ > 0) {
      ::kill(server_, SIGKILL);
      int status = 0;
      ::waitpid(server_, &status, 0);
    }
    if (listener_ >= 0) ::close(listener_);
  }
  [[nodiscard]] const std::string& address() const { return address_; }

 private:
  [[noreturn]] void serve(const std::string& mode) {
    std::vector<int> held;
    for (;;) {
      const int c = ::accept(listener_, nullptr, nullptr);
      if (c < 0) continue;
      held.push_back(c);
      if (mode == "flood") {
        const std::string junk(64 * 1024, 'x');
        [[maybe_unused]] const int rc = write_all(c, junk.data(), junk.size());
      }
      if (mode != "garbage") continue;
      char buf[256];
      while (::read(c, buf, sizeof buf) > 0) {
        const std::string_view line = "GARBAGE this is no part of a login\r\n";
        [[maybe_unused]] const int rc = write_all(c, line.data(), line.size());
      }
    }
  }

  TempDir dir_;
  std::string address_;
  int listener_ = -1;
  pid_t server_ = -1;
};

struct LoginCase {
  const char* bus;
  const char* detail;
};

void PrintTo(const LoginCase& c, std::ostream* os) { *os << c.bus; }

class LoginToANonBus : public ::testing::TestWithParam<LoginCase> {};

TEST_P(LoginToANonBus, FailsWithinTheBound) {
  const LoginCase& c = GetParam();
  RawBus bus(c.bus);
  ASSERT_FALSE(bus.address().empty());
  const Outcome out = read_key_in_child([&] {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    periodic_alarm(0);
  });
  ASSERT_TRUE(out.finished) << "the read did not end within 30 s";
  EXPECT_EQ(out.text, std::string("keyring operation failed: ") + c.detail);
  EXPECT_LT(out.took, std::chrono::seconds(8));
}

INSTANTIATE_TEST_SUITE_P(
    Sockets, LoginToANonBus,
    ::testing::Values(LoginCase{"listen-only", "the D-Bus session bus login did not complete within 2 s"},
                      LoginCase{"silent", "the D-Bus session bus login did not complete within 2 s"},
                      LoginCase{"garbage", "the D-Bus session bus login did not complete within 2 s"},
                      LoginCase{"flood", "the D-Bus session bus closed the connection during the login"}),
    [](const ::testing::TestParamInfo<LoginCase>& info) { return name_part(info.param.bus); });

// A real bus daemon that has been stopped: the kernel still completes the
// connection, and nothing answers.
TEST(LoginToAStoppedBus, FailsWithinTheBound) {
  const TempDir dir;
  write_bus_config(dir.path());
  int out[2];
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  const std::string config = "--config-file=" + (dir / "bus.conf");
  const char* argv[] = {"dbus-daemon", config.c_str(), "--nofork", "--print-address", nullptr};
  pid_t daemon = -1;
  const int rc = ::posix_spawnp(&daemon, argv[0], &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ASSERT_EQ(rc, 0) << "cannot start dbus-daemon";
  std::string line;
  pollfd pfd{out[0], POLLIN, 0};
  char ch = 0;
  while (!line.ends_with('\n') && ::poll(&pfd, 1, 20000) == 1 && ::read(out[0], &ch, 1) == 1) line += ch;
  ::close(out[0]);
  ::kill(daemon, SIGSTOP);
  const std::string address = line.empty() ? "" : line.substr(0, line.size() - 1);

  const Outcome got = read_key_in_child([&] {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    periodic_alarm(0);
  });
  ::kill(daemon, SIGKILL);
  int status = 0;
  ::waitpid(daemon, &status, 0);

  ASSERT_TRUE(address.starts_with("unix:")) << line;
  ASSERT_TRUE(got.finished) << "the read did not end within 30 s";
  EXPECT_EQ(got.text, "keyring operation failed: the D-Bus session bus login did not complete within 2 s");
  EXPECT_LT(got.took, std::chrono::seconds(8));
}

// A bus address value with every byte but the always-safe ones escaped.
std::string address_value(std::string_view raw) {
  std::string out;
  for (const char ch : raw) {
    const auto b = static_cast<unsigned char>(ch);
    if (std::isalnum(b) != 0 || ch == '/' || ch == '.' || ch == '_' || ch == '-') {
      out += ch;
    } else {
      constexpr char kHex[] = "0123456789abcdef";
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

// A marker that a started program would create: through /bin/sh for
// "unixexec:", through a dbus-launch first on PATH for "autolaunch:".
class Planted {
 public:
  Planted() {
    fs::create_directory(dir_ / "bin");
    testing::write_file(dir_ / "bin/dbus-launch", "#!/bin/sh\ntouch '" + marker() + "'\nexit 1\n",
                        fs::perms(0755));
  }
  [[nodiscard]] std::string marker() const { return dir_ / "ran"; }
  [[nodiscard]] std::string unixexec() const {
    return "unixexec:path=/bin/sh,argv0=sh,argv1=-c,argv2=" + address_value("touch '" + marker() + "'");
  }
  // Sets the host's bus address, and a display with the planted dbus-launch.
  void host(const std::string& address) const {
    ::setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
    ::setenv("DISPLAY", ":0", 1);
    ::setenv("PATH", testing::path_searching_first(dir_ / "bin").c_str(), 1);
  }

 private:
  TempDir dir_;
};

struct StartingAddress {
  const char* why;
  std::function<std::string(const Planted&)> address;
};

void PrintTo(const StartingAddress& c, std::ostream* os) { *os << c.why; }

class AddressThatWouldStartAProgram : public ::testing::TestWithParam<StartingAddress> {};

TEST_P(AddressThatWouldStartAProgram, IsRefusedAndStartsNothing) {
  const Planted planted;
  const std::string address = GetParam().address(planted);
  const Outcome out = read_key_in_child([&] { planted.host(address); });
  ASSERT_TRUE(out.finished) << "the read did not end within 30 s";
  EXPECT_EQ(out.text,
            "keyring operation failed: session bus address has no unix:path= or unix:abstract= entry");
  EXPECT_FALSE(fs::exists(planted.marker()));
  EXPECT_FALSE(out.child_left);
}

INSTANTIATE_TEST_SUITE_P(
    Transports, AddressThatWouldStartAProgram,
    ::testing::Values(StartingAddress{"unixexec", [](const Planted& p) { return p.unixexec(); }},
                      StartingAddress{"autolaunch", [](const Planted&) { return std::string("autolaunch:"); }},
                      StartingAddress{"unixexec_then_autolaunch",
                                      [](const Planted& p) { return p.unixexec() + ";autolaunch:"; }}),
    [](const ::testing::TestParamInfo<StartingAddress>& info) { return std::string(info.param.why); });

// Entries of other transports are passed over, never opened; the first
// socket entry after them is used.
TEST(AddressThatWouldStartAProgram, ASocketEntryAfterItIsStillReached) {
  FakeService service("silent");
  ASSERT_TRUE(service.ready());
  const Planted planted;
  const std::string address = planted.unixexec() + ";autolaunch:;" + service.address();
  const Outcome out =
      read_key_in_child([&] { planted.host(address); }, OsKeyring::Limits{milliseconds(500), milliseconds(500)});
  ASSERT_TRUE(out.finished) << "the read did not end within 30 s";
  EXPECT_EQ(out.text, "keyring operation failed: the Secret Service's OpenSession got no answer within 500 ms");
  EXPECT_EQ(service.calls(), std::vector<std::string>{"OpenSession"});
  EXPECT_FALSE(fs::exists(planted.marker()));
  EXPECT_FALSE(out.child_left);
}

}  // namespace
}  // namespace zantu::core
