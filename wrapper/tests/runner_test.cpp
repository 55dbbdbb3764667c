#include "zantu/wrapper/runner.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>

#include "support.hpp"

namespace zantu::wrapper {
namespace {

using testing::ScopedEnv;
using testing::TempDir;
namespace fs = std::filesystem;

constexpr auto kExec = fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read;

EnvPair pair(std::string name, std::string_view value) { return {std::move(name), core::SecretValue::from(value)}; }

Command shell(std::string script) {
  Command c;
  c.program = "/bin/sh";
  c.args = {"-c", std::move(script)};
  return c;
}

Output run_ok(const Command& c) {
  auto out = SystemRunner().run(c);
  if (!out) {
    ADD_FAILURE() << out.error().to_string();
    return {};
  }
  return std::move(*out);
}

std::string text(const core::SecretBuffer& b) { return std::string(b.view()); }

// The child's environment as `env` prints it: every line, name to value.
std::multimap<std::string, std::string> child_env(Command c) {
  c.program = "/usr/bin/env";
  c.args.clear();
  std::multimap<std::string, std::string> vars;
  std::istringstream lines(text(run_ok(c).stdout_bytes));
  for (std::string line; std::getline(lines, line);) {
    const auto eq = line.find('=');
    vars.emplace(line.substr(0, eq), eq == std::string::npos ? "" : line.substr(eq + 1));
  }
  return vars;
}

TEST(SystemRunner, ScrubsZantuVariablesOnly) {
  const char* removed[] = {"ZANTU_VAULT_DIR", "ZANTU_PASSPHRASE", "ZANTU_", "ZANTU_X", "ZANTU_\xff"};
  const char* kept[] = {"zantu_x", "XZANTU_Y", "ZANTUX", "Zantu_X", "\xffZANTU_"};
  std::vector<std::unique_ptr<ScopedEnv>> scoped;
  for (const char* n : removed) scoped.push_back(std::make_unique<ScopedEnv>(n, "parent-value"));
  for (const char* n : kept) scoped.push_back(std::make_unique<ScopedEnv>(n, "parent-value"));

  Command c;
  c.env.push_back(pair("ZANTU_TOKEN", "set-by-pair"));
  const auto vars = child_env(std::move(c));
  for (const char* n : removed) EXPECT_EQ(vars.count(n), 0u) << n;
  for (const char* n : kept) EXPECT_EQ(vars.count(n), 1u) << n;
  ASSERT_EQ(vars.count("ZANTU_TOKEN"), 1u);
  EXPECT_EQ(vars.find("ZANTU_TOKEN")->second, "set-by-pair");
  EXPECT_STREQ(std::getenv("ZANTU_VAULT_DIR"), "parent-value");  // the caller's own is untouched
}

TEST(SystemRunner, PairsReplaceInheritedVariablesAndLaterPairsWin) {
  ScopedEnv shared("ZT_SHARED", "from-parent");
  Command c;
  c.env.push_back(pair("ZT_SHARED", "first"));
  c.env.push_back(pair("ZT_UNICODE", "h\xc3\xa9llo \xe2\x82\xac"));
  c.env.push_back(pair("ZT_SHARED", "second"));
  c.env.push_back(pair("ZT_EMPTY", ""));
  const auto vars = child_env(std::move(c));
  ASSERT_EQ(vars.count("ZT_SHARED"), 1u);
  EXPECT_EQ(vars.find("ZT_SHARED")->second, "second");
  EXPECT_EQ(vars.find("ZT_UNICODE")->second, "h\xc3\xa9llo \xe2\x82\xac");
  ASSERT_EQ(vars.count("ZT_EMPTY"), 1u);
  EXPECT_EQ(vars.find("ZT_EMPTY")->second, "");
  EXPECT_STREQ(std::getenv("ZT_SHARED"), "from-parent");
}

// Each bad command would create a marker file if any child ran.
TEST(SystemRunner, RefusesWhatExecCannotCarryBeforeAnythingStarts) {
  using namespace std::literals;
  struct Case {
    const char* why;
    std::function<void(Command&)> spoil;
    std::string message;
    std::optional<std::pair<std::string, std::string>> host{};  // a variable of this process for the case
  };
  const std::string arg_limit = ": one argument holds at most 131072 bytes, the final NUL included";
  const Case cases[] = {
      {"second of three values is not UTF-8 (the third is never examined)",
       [](Command& c) {
         c.env.push_back(pair("FIRST", "fine"));
         c.env.push_back(pair("NAME", "bad\xff"));
         c.env.push_back(pair("THIRD", "nul\0here"sv));
       },
       "value for `NAME` is not valid UTF-8 and cannot be injected"},
      {"overlong encoding", [](Command& c) { c.env.push_back(pair("OVER", "\xc0\xaf")); },
       "value for `OVER` is not valid UTF-8 and cannot be injected"},
      {"encoded surrogate", [](Command& c) { c.env.push_back(pair("SURR", "\xed\xa0\x80")); },
       "value for `SURR` is not valid UTF-8 and cannot be injected"},
      {"truncated sequence", [](Command& c) { c.env.push_back(pair("CUT", "\xe2\x82")); },
       "value for `CUT` is not valid UTF-8 and cannot be injected"},
      {"NUL in a value", [](Command& c) { c.env.push_back(pair("TOKEN", "abc\0def"sv)); },
       "value for `TOKEN` contains a NUL byte and cannot be injected"},
      {"a value one byte longer than one environment string leaves it (131072 bytes with `V=` and the NUL)",
       [](Command& c) { c.env.push_back(pair("V", std::string(131070, 'x'))); },
       "value for `V` is too long to be injected: one environment string holds at most 131072 bytes, `V=` and the "
       "final NUL included"},
      {"NUL in a name", [](Command& c) { c.env.push_back(pair("A\0B"s, "v")); },
       "name of variable 1 contains a NUL byte and cannot be injected"},
      {"'=' in a name", [](Command& c) { c.env.push_back(pair("PATH=/tmp/x:", "v")); },
       "variable name `PATH=/tmp/x:` is empty or contains `=` and cannot be injected"},
      {"empty name", [](Command& c) { c.env.push_back(pair("", "v")); },
       "variable name `` is empty or contains `=` and cannot be injected"},
      {"NUL in the program", [](Command& c) { c.program = "/bin/sh\0-x"s; },
       "program contains a NUL byte and cannot be launched"},
      {"NUL in an argument", [](Command& c) { c.args.push_back("x\0y"s); },
       "argument 3 contains a NUL byte and cannot be passed"},
      {"an argument one byte longer than one argument string", [](Command& c) { c.args.emplace_back(131072, 'a'); },
       "argument 3 is too long to be passed" + arg_limit},
      {"a program one byte longer than one argument string",
       [](Command& c) { c.program = "/" + std::string(131071, 'a'); },
       "program is too long to be launched" + arg_limit},
      {"a variable of the host's one byte longer than one environment string", [](Command&) {},
       "variable `ZT_BIG` of the host's environment is too long to be passed: one environment string holds at most "
       "131072 bytes, `ZT_BIG=` and the final NUL included",
       {{"ZT_BIG", std::string(131065, 'h')}}},
  };
  // Against the kernel's total limit, which none of these reach.
  testing::ScopedStackLimit stack(8 << 20);
  ASSERT_TRUE(stack.ok());
  TempDir dir;
  const std::string marker = dir / "started";
  for (const auto& k : cases) {
    std::optional<ScopedEnv> host;
    if (k.host) host.emplace(k.host->first, k.host->second);
    Command c = shell("touch '" + marker + "'");
    k.spoil(c);
    auto out = SystemRunner().run(c);
    ASSERT_FALSE(out.has_value()) << k.why;
    EXPECT_EQ(out.error().kind(), WrapperErrorKind::Spawn) << k.why;
    EXPECT_EQ(out.error().to_string(), "failed to launch child process: " + k.message) << k.why;
    EXPECT_FALSE(fs::exists(marker)) << k.why;
  }
  // The same command unspoilt does start, with a value, an argument and a
  // variable of the host's as long as one string allows; the host's longer
  // ones count only when the child would get them.
  ScopedEnv at_limit("ZT_BIG", std::string(131064, 'h'));
  ScopedEnv scrubbed("ZANTU_ZT_BIG", std::string(131072, 'h'));
  ScopedEnv replaced("ZT_REPLACED", std::string(131072, 'h'));
  Command fits = shell("touch '" + marker + "'");
  fits.args.emplace_back(131071, 'a');
  fits.env.push_back(pair("V", std::string(131069, 'x')));
  fits.env.push_back(pair("ZT_REPLACED", "short"));
  run_ok(fits);
  EXPECT_TRUE(fs::exists(marker));
}

// Arguments and environment together past what the kernel takes for a
// program's start, a quarter of the stack limit: refused before anything
// starts, with both counts; as many values as the kernel takes still run.
TEST(SystemRunner, RefusesArgumentsAndEnvironmentPastTheKernelsTotal) {
  struct Case {
    rlim_t stack_len;
    std::string limit;
    std::size_t num_fit;
    std::size_t num_refused;
  };
  const Case cases[] = {{8 << 20, "2097152", 15, 18}, {1 << 20, "262144", 2, 3}};
  const std::regex refusal(
      "failed to launch child process: arguments and environment are too large to be passed together: with the "
      "program's path they take ([0-9]+) bytes, each string with its NUL and a pointer, where exec takes at most "
      "([0-9]+) \\(a quarter of the stack size limit, at least 128 KiB and at most 6 MiB, and never more than fits "
      "on a stack of that size\\)");
  TempDir dir;
  const std::string marker = dir / "started";
  for (const auto& k : cases) {
    SCOPED_TRACE(k.limit);
    testing::ScopedStackLimit stack(k.stack_len);
    ASSERT_TRUE(stack.ok());
    for (const std::size_t num_values : {k.num_fit, k.num_refused}) {
      Command c = shell("touch '" + marker + "'");
      for (std::size_t i = 0; i < num_values; ++i) {
        c.env.push_back(pair("V" + std::to_string(i), std::string(120000, 'v')));
      }
      auto out = SystemRunner().run(c);
      if (num_values == k.num_fit) {
        EXPECT_TRUE(out.has_value()) << out.error().to_string();
        EXPECT_TRUE(fs::exists(marker));
        fs::remove(marker);
        continue;
      }
      ASSERT_FALSE(out.has_value());
      EXPECT_EQ(out.error().kind(), WrapperErrorKind::Spawn);
      std::smatch m;
      const std::string message = out.error().to_string();
      ASSERT_TRUE(std::regex_match(message, m, refusal)) << message;
      EXPECT_GT(std::stoull(m[1]), num_values * 120000);
      EXPECT_EQ(m[2], k.limit);
      EXPECT_FALSE(fs::exists(marker));
    }
  }
}

TEST(SystemRunner, ExitCodesAndSignals) {
  struct Case {
    const char* script;
    std::optional<std::int32_t> status;
  };
  const Case cases[] = {
      {"exit 0", 0}, {"exit 3", 3}, {"exit 255", 255}, {"kill -KILL $$", std::nullopt}, {"kill -TERM $$", std::nullopt},
  };
  for (const auto& k : cases) EXPECT_EQ(run_ok(shell(k.script)).status, k.status) << k.script;

  const auto out = run_ok(shell("printf 'to out'; printf 'to err' >&2; exit 3"));
  EXPECT_EQ(text(out.stdout_bytes), "to out");
  EXPECT_EQ(text(out.stderr_bytes), "to err");
  EXPECT_EQ(out.status, 3);
}

// The program's parent is the run's helper: another process that ends it
// (here the program itself) ends the run with its own error, not with a
// status the program never gave.
TEST(SystemRunner, AHelperEndedByAnotherProcessIsItsOwnError) {
  for (const char* script : {"kill -KILL $PPID; exec sleep 30", "kill -TERM $PPID; exec sleep 30"}) {
    auto out = SystemRunner().run(shell(script));
    ASSERT_FALSE(out) << script;
    EXPECT_EQ(out.error(), WrapperError::helper_ended("/bin/sh")) << script;
  }
}

TEST(SystemRunner, StandardInputIsTheNullDeviceAtEndOfFile) {
  const auto out = run_ok(shell("readlink /proc/self/fd/0; if read -r line; then echo data; else echo eof; fi"));
  EXPECT_EQ(text(out.stdout_bytes), "/dev/null\neof\n");
}

TEST(SystemRunner, ArgumentsArePassedVerbatimAfterTheProgramAsArgv0) {
  Command printf_cmd;
  printf_cmd.program = "/usr/bin/printf";
  printf_cmd.args = {"[%s]\n", "a b", "$HOME", "*", "'q'", ""};
  EXPECT_EQ(text(run_ok(printf_cmd).stdout_bytes), "[a b]\n[$HOME]\n[*]\n['q']\n[]\n");

  Command cat;
  cat.program = "/bin/cat";
  cat.args = {"/proc/self/cmdline"};
  using namespace std::string_literals;
  EXPECT_EQ(text(run_ok(cat).stdout_bytes), "/bin/cat\0/proc/self/cmdline\0"s);
}

TEST(SystemRunner, DrainsTenMegabytesOnEachStreamWithoutDeadlock) {
  constexpr std::size_t kLen = 10 * 1024 * 1024;
  // stderr is filled first: a reader that waited on stdout alone would hang.
  const auto out = run_ok(shell("yes 0123456789abcde | head -c 10485760 >&2; yes ABCDEFGHIJKLMNO | head -c 10485760"));
  EXPECT_EQ(out.status, 0);
  ASSERT_EQ(out.stdout_bytes.size(), kLen);
  ASSERT_EQ(out.stderr_bytes.size(), kLen);
  std::string want_out, want_err;
  for (std::size_t i = 0; i < kLen; i += 16) {
    want_out += "ABCDEFGHIJKLMNO\n";
    want_err += "0123456789abcde\n";
  }
  // Compared whole; a failure message of 10 MB would help nobody.
  EXPECT_TRUE(out.stdout_bytes.view() == want_out);
  EXPECT_TRUE(out.stderr_bytes.view() == want_err);
}

TEST(SystemRunner, ChildStartsWithEmptySignalMaskAndDefaultSigpipe) {
  sigset_t block, old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &old_mask), 0);
  struct sigaction ignore {}, old_pipe {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGPIPE, &ignore, &old_pipe), 0);

  Command c;
  c.program = "/bin/grep";
  c.args = {"-E", "^Sig(Blk|Ign):", "/proc/self/status"};
  const auto out = run_ok(c);

  sigaction(SIGPIPE, &old_pipe, nullptr);
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);

  std::istringstream lines(text(out.stdout_bytes));
  std::map<std::string, unsigned long long> masks;
  for (std::string line; std::getline(lines, line);) {
    const auto colon = line.find(':');
    masks[line.substr(0, colon)] = std::stoull(line.substr(colon + 1), nullptr, 16);
  }
  ASSERT_EQ(masks.size(), 2u) << text(out.stdout_bytes);
  EXPECT_EQ(masks["SigBlk"], 0u);
  EXPECT_EQ(masks["SigIgn"] & (1ull << (SIGPIPE - 1)), 0u);
}

TEST(SystemRunner, ChildGetsNoInheritableDescriptorOfTheHostAndDefaultSigxfsz) {
  const int low = ::open("/dev/null", O_RDONLY);  // inheritable: no O_CLOEXEC
  ASSERT_GT(low, STDERR_FILENO);
  const int high = ::fcntl(low, F_DUPFD, 200);  // inheritable too
  ASSERT_GE(high, 200);
  struct sigaction ignore {}, old_xfsz {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &old_xfsz), 0);

  const auto out = run_ok(shell("for n in " + std::to_string(low) + " " + std::to_string(high) +
                                "; do if [ -e /proc/$$/fd/$n ]; then echo \"fd $n\"; fi; done; "
                                "exec grep '^SigIgn:' /proc/self/status"));

  sigaction(SIGXFSZ, &old_xfsz, nullptr);
  ::close(high);
  ::close(low);
  const std::string lines = text(out.stdout_bytes);
  EXPECT_EQ(lines.find("fd "), std::string::npos) << lines;
  ASSERT_TRUE(lines.starts_with("SigIgn:")) << lines;
  EXPECT_EQ(std::stoull(lines.substr(7), nullptr, 16) & (1ull << (SIGXFSZ - 1)), 0u) << lines;
}

TEST(SystemRunner, ReturnsWhenTheChildEndsThoughADescendantHoldsThePipes) {
  using namespace std::chrono_literals;
  TempDir dir;
  const std::string pidfile = dir / "descendant";
  // The descendant would hold both pipes for 600 s; `timeout` ends it after
  // 40 s, so a runner that waited for it fails this test instead of hanging.
  const auto start = std::chrono::steady_clock::now();
  auto out = SystemRunner().run(
      shell("echo started; echo on-err >&2; timeout -s KILL 40 sleep 600 & echo $! > '" + pidfile + "'; exit 5"));
  const auto took = std::chrono::steady_clock::now() - start;
  std::ifstream in(pidfile);
  pid_t descendant = -1;
  in >> descendant;
  const bool still_running = descendant > 0 && ::kill(descendant, 0) == 0;
  if (descendant > 0) ::kill(descendant, SIGTERM);  // `timeout` passes it on to the sleeper

  EXPECT_LT(took, 20s);
  EXPECT_TRUE(still_running) << "the descendant is left alone, not killed";
  ASSERT_TRUE(out.has_value()) << out.error().to_string();
  EXPECT_EQ(text(out->stdout_bytes), "started\n");
  EXPECT_EQ(text(out->stderr_bytes), "on-err\n");
  EXPECT_EQ(out->status, 5);
}

TEST(SystemRunner, LaunchFailuresNameTheProgramAndTheSystemError) {
  TempDir dir;
  const std::string not_exec = dir / "plain-file";
  testing::write_file(not_exec, "#!/bin/sh\necho no\n", fs::perms::owner_read | fs::perms::owner_write);
  struct Case {
    std::string program;
    std::string shown;
    const char* os_error;
  };
  const Case cases[] = {
      {"/nonexistent/tool", "/nonexistent/tool", "No such file or directory (os error 2)"},
      {"/nonexistent/\xff", "/nonexistent/\xEF\xBF\xBD", "No such file or directory (os error 2)"},
      {not_exec, not_exec, "Permission denied (os error 13)"},
      {dir.path().string(), dir.path().string(), "Permission denied (os error 13)"},
      {"zantu-test-no-such-tool", "zantu-test-no-such-tool", "No such file or directory (os error 2)"},
      {"", "", "No such file or directory (os error 2)"},
  };
  for (const auto& k : cases) {
    Command c;
    c.program = k.program;
    auto out = SystemRunner().run(c);
    ASSERT_FALSE(out.has_value()) << k.program;
    EXPECT_EQ(out.error().kind(), WrapperErrorKind::Spawn);
    EXPECT_EQ(out.error().to_string(), "failed to launch child process: launch " + k.shown + ": " + k.os_error);
  }
}

TEST(SystemRunner, BareNamesAreSearchedOnTheChosenPath) {
  TempDir dir;
  for (const char* d : {"caller", "injected", "noexec"}) fs::create_directory(dir / d);
  testing::write_file(dir / "caller/zt-tool", "#!/bin/sh\necho caller \"$PATH\"\n", kExec);
  testing::write_file(dir / "injected/zt-tool", "#!/bin/sh\necho injected \"$PATH\"\n", kExec);
  testing::write_file(dir / "noexec/zt-tool", "#!/bin/sh\necho noexec\n", fs::perms::owner_read);
  const std::string caller_path = (dir / "noexec") + ":" + (dir / "caller") + ":/usr/bin:/bin";
  const std::string injected_path = (dir / "injected") + ":/usr/bin:/bin";
  ScopedEnv path("PATH", caller_path);

  Command c;
  c.program = "zt-tool";
  // No PATH pair: the inherited PATH; the entry without execute permission is passed over.
  EXPECT_EQ(text(run_ok(c).stdout_bytes), "caller " + caller_path + "\n");

  c.env.push_back(pair("PATH", injected_path));
  EXPECT_EQ(text(run_ok(c).stdout_bytes), "injected " + injected_path + "\n");

  // The caller's PATH finds the program; the child still receives the injected PATH.
  c.path_search = PathSearch::Caller;
  EXPECT_EQ(text(run_ok(c).stdout_bytes), "caller " + injected_path + "\n");

  // Only a file without execute permission: that error is the one reported.
  ScopedEnv only_noexec("PATH", dir / "noexec");
  c.env.clear();
  auto out = SystemRunner().run(c);
  ASSERT_FALSE(out.has_value());
  EXPECT_EQ(out.error().to_string(), "failed to launch child process: launch zt-tool: Permission denied (os error 13)");
}

// What a host that reaps its own children runs on SIGCHLD.
extern "C" void reap_any_child(int) {
  const int saved = errno;
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  errno = saved;
}

// A host that ignores SIGCHLD, or reaps every child in its handler, still gets
// the program's own status and output.
TEST(SystemRunner, HostSigchldSettingDoesNotTakeTheStatus) {
  for (const bool reaper : {false, true}) {
    struct sigaction sa {}, old {};
    sa.sa_handler = reaper ? reap_any_child : SIG_IGN;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(::sigaction(SIGCHLD, &sa, &old), 0);
    auto out = SystemRunner().run(shell("printf out; printf err >&2; exit 3"));
    ::sigaction(SIGCHLD, &old, nullptr);
    const char* why = reaper ? "reaping handler" : "SIGCHLD ignored";
    ASSERT_TRUE(out.has_value()) << why << ": " << out.error().to_string();
    EXPECT_EQ(text(out->stdout_bytes), "out") << why;
    EXPECT_EQ(text(out->stderr_bytes), "err") << why;
    EXPECT_EQ(out->status, 3) << why;
  }
}

TEST(SystemRunner, InheritedStdioIsNotCaptured) {
  TempDir dir;
  const std::string out_file = dir / "out", err_file = dir / "err";
  std::fflush(stdout);
  std::fflush(stderr);
  const int saved_out = ::dup(STDOUT_FILENO), saved_err = ::dup(STDERR_FILENO);
  ASSERT_GE(saved_out, 0);
  std::FILE* fo = std::fopen(out_file.c_str(), "w");
  std::FILE* fe = std::fopen(err_file.c_str(), "w");
  ::dup2(::fileno(fo), STDOUT_FILENO);
  ::dup2(::fileno(fe), STDERR_FILENO);

  Command c = shell("printf shared-out; printf shared-err >&2; exit 4");
  c.inherit_stdio = true;
  auto out = SystemRunner().run(c);

  ::dup2(saved_out, STDOUT_FILENO);
  ::dup2(saved_err, STDERR_FILENO);
  ::close(saved_out);
  ::close(saved_err);
  std::fclose(fo);
  std::fclose(fe);

  ASSERT_TRUE(out.has_value()) << out.error().to_string();
  EXPECT_TRUE(out->stdout_bytes.empty());
  EXPECT_TRUE(out->stderr_bytes.empty());
  EXPECT_EQ(out->status, 4);
  std::ifstream o(out_file), e(err_file);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(o), {}), "shared-out");
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(e), {}), "shared-err");
}

}  // namespace
}  // namespace zantu::wrapper
