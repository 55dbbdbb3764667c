// Both system runners against fake `aws` and `az` scripts that each test
// writes into a temporary directory put first on PATH.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "core/tests/held_mount.hpp"
#include "core/tests/support.hpp"
#include "zantu/providers/aws/aws.hpp"
#include "zantu/providers/azure/azure.hpp"

namespace zantu::providers {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using std::chrono::nanoseconds;
using core::testing::alive;
using core::testing::dead;
using core::testing::read_pid;
using core::testing::ScopedEnv;
using core::testing::TempDir;

// Generous: only the tests about the limit rely on it passing.
constexpr nanoseconds kNormalLimit = 20s;
constexpr nanoseconds kShortLimit = 300ms;

// A body for the fake tool and what the provider makes of its run: the value,
// or else the error.
struct Outcome {
  std::string body;
  std::optional<std::string> value;
  std::string error;
};

struct Tool {
  std::string name;
  std::string program;
  std::string reference;
  std::function<core::Result<core::SecretValue>(nanoseconds)> materialize;
  std::function<std::string(std::string_view secs)> timed_out;
  std::string too_large;
  std::function<std::string(std::string_view os_text)> could_not_run;
  std::function<std::string(std::string_view hint, std::string_view exit)> failed;
  std::string fallback_hint;
  // Standard error texts and the hint each must give, the earliest-group rule among them.
  std::vector<std::pair<std::string, std::string>> classified;
  // A body in which the tool answers, as the real one prints a secret's
  // value, with the text `cmd` prints (no quotes, backslashes or control
  // characters); and how many bytes that answer adds to the text.
  std::function<std::string(std::string_view cmd)> answer_with;
  std::size_t framing_len;
  // Outputs in the tool's own form and what each gives.
  std::vector<Outcome> shapes;
  std::string helper_ended;
  std::function<std::string(std::string_view reason)> cannot_start;
};

void PrintTo(const Tool& t, std::ostream* os) { *os << t.name; }

Tool aws_tool() {
  const std::string endpoint = "the region endpoint is unreachable or the region is invalid";
  const std::string access =
      "aws is not authenticated or lacks access (refresh credentials, e.g. `aws sso login`; check the IAM "
      "permission for secretsmanager:GetSecretValue)";
  const std::string not_found = "the secret was not found in the region (check the name and your access)";
  const std::string empty = "aws-sm secret `app/key` in region `eu-west-1` resolved to an empty value";
  return Tool{
      "aws",
      "aws",
      "aws-sm://eu-west-1/app/key",
      [](nanoseconds limit) {
        return aws::AwsProvider(limit, std::make_unique<aws::SystemAwsRunner>()).materialize("aws-sm://eu-west-1/app/key");
      },
      [](std::string_view s) { return "aws-sm: `aws` timed out after " + std::string(s) + "s"; },
      "aws-sm: `aws` printed more than 16777216 bytes",
      [](std::string_view os) {
        return "aws-sm: could not run `aws` — is the AWS CLI installed and on PATH? (" + std::string(os) + ")";
      },
      [](std::string_view hint, std::string_view exit) {
        return "aws-sm: " + std::string(hint) + " [region=`eu-west-1`, secret=`app/key`, exit=" + std::string(exit) +
               "]";
      },
      "the `aws` invocation failed",
      {
          {"Could not connect to the endpoint URL: \"https://secretsmanager.eu-west-1.amazonaws.com/\"", endpoint},
          {"An error occurred (AccessDeniedException) when calling the GetSecretValue operation", access},
          {"An error occurred (ResourceNotFoundException): Secrets Manager can't find the specified secret.",
           not_found},
          {"Not Found / could not connect to the endpoint", endpoint},
      },
      // `--query SecretString --output json`: one JSON string, or null.
      [](std::string_view cmd) { return "printf '\"'; " + std::string(cmd) + "; printf '\"\\n'"; },
      3,
      {
          {R"(printf '"one\\r\\ntwo\\r\\n"\n')", "one\r\ntwo\r\n", ""},
          {R"(printf '"keep\\n"\n')", "keep\n", ""},
          {R"(printf '"None"\n')", "None", ""},
          {R"(printf '""\n')", std::nullopt, empty},
          {R"(printf 'null\n')", std::nullopt,
           "aws-sm secret `app/key` in region `eu-west-1` is stored as binary (SecretBinary), which is not supported"},
          {"exit 0", std::nullopt,
           "aws-sm: `aws` printed something other than one JSON string or null for secret `app/key` in region "
           "`eu-west-1` (output withheld)"},
      },
      "aws-sm: the helper process running `aws` was ended by another process before `aws` exited",
      [](std::string_view reason) { return "aws-sm: `aws` cannot be started: " + std::string(reason); },
  };
}

Tool az_tool() {
  const std::string access =
      "az is not authenticated or lacks access (run `az login`; check the tenant and the vault access policy)";
  const std::string vault = "the vault was not found or is unreachable";
  const std::string not_found = "the secret was not found in the vault (check the name and your access)";
  const std::string empty = "azure-kv secret `s1` in vault `kv1` resolved to an empty value";
  return Tool{
      "az",
      "az",
      "azure-kv://kv1/s1",
      [](nanoseconds limit) {
        return azure::AzureProvider(limit, std::make_unique<azure::SystemAzRunner>()).materialize("azure-kv://kv1/s1");
      },
      [](std::string_view s) { return "azure-kv: `az` timed out after " + std::string(s) + "s"; },
      "azure-kv: `az` printed more than 16777216 bytes",
      [](std::string_view os) {
        return "azure-kv: could not run `az` — is the Azure CLI installed and on PATH? (" + std::string(os) + ")";
      },
      [](std::string_view hint, std::string_view exit) {
        return "azure-kv: " + std::string(hint) + " [vault=`kv1`, secret=`s1`, exit=" + std::string(exit) + "]";
      },
      "the `az` invocation failed",
      {
          {"ERROR: Please run 'az login' to setup account.", access},
          {"ERROR: (VaultNotFound) The vault 'kv1' could not be found", vault},
          {"ERROR: (SecretNotFound) A secret with (name/id) s1 was not found in this key vault", not_found},
          {"ERROR: (VaultNotFound) ... Forbidden", access},
      },
      // `--query value -o json`: one JSON string.
      [](std::string_view cmd) { return "printf '\"'; " + std::string(cmd) + "; printf '\"\\n'"; },
      3,
      {
          {R"(printf '"one\\r\\ntwo\\r\\n"\n')", "one\r\ntwo\r\n", ""},
          {R"(printf '"keep\\r"\n')", "keep\r", ""},
          {R"(printf '""\n')", std::nullopt, empty},
          {"exit 0", std::nullopt,
           "azure-kv: `az` printed something other than one JSON string for secret `s1` in vault `kv1` (output "
           "withheld)"},
          // What az does with a character it cannot encode: drops it, warns and exits with 0.
          {R"(printf '"caf  "\n'; echo 'WARNING: Unable to encode the output with iso8859-1 encoding. )"
           R"(Unsupported characters are discarded.' >&2)",
           std::nullopt,
           "azure-kv: `az` could not encode the value of secret `s1` in vault `kv1` and printed it with characters "
           "dropped (output withheld)"},
      },
      "azure-kv: the helper process running `az` was ended by another process before `az` exited",
      [](std::string_view reason) { return "azure-kv: `az` cannot be started: " + std::string(reason); },
  };
}

// A temporary directory for fake tools, put first on PATH for its lifetime.
class FakeTools {
 public:
  FakeTools() : path_("PATH", core::testing::path_searching_first(dir_.path())) {}

  // Writes `program` as a shell script with `body`.
  void write(const std::string& program, const std::string& body, fs::perms perms = fs::perms(0755)) const {
    core::testing::write_file(dir_ / program, "#!/bin/sh\n" + body + "\n", perms);
  }
  // Replaces PATH; the caller's comes back at the end of the scope.
  static void use_path(const std::string& path) { ::setenv("PATH", path.c_str(), 1); }
  [[nodiscard]] const fs::path& dir() const { return dir_.path(); }
  [[nodiscard]] std::string file(const std::string& name) const { return dir_ / name; }

 private:
  TempDir dir_;
  ScopedEnv path_;
};

class SystemRunner : public ::testing::TestWithParam<Tool> {
 protected:
  FakeTools tools_;
  const Tool& tool() const { return GetParam(); }
  void fake(const std::string& body) const { tools_.write(tool().program, body); }
};

TEST_P(SystemRunner, OutcomesThroughTheRealTool) {
  const Tool& t = tool();
  std::vector<Outcome> cases = {
      {t.answer_with("printf s3cr3t"), "s3cr3t", ""},
      {t.answer_with("printf v") + "; echo 'WARNING: noise' >&2", "v", ""},
      {t.answer_with("printf v") + "; exit 7", std::nullopt, t.failed(t.fallback_hint, "7")},
      {t.answer_with("printf v") + "; kill -KILL $$", std::nullopt, t.failed(t.fallback_hint, "signal")},
      {"kill -TERM $$", std::nullopt, t.failed(t.fallback_hint, "signal")},
  };
  cases.insert(cases.end(), t.shapes.begin(), t.shapes.end());
  for (const auto& [stderr_text, hint] : t.classified) {
    cases.push_back({"cat >&2 <<'EOF'\n" + stderr_text + "\nEOF\nexit 255", std::nullopt, t.failed(hint, "255")});
  }
  for (const Outcome& c : cases) {
    fake(c.body);
    auto got = t.materialize(kNormalLimit);
    if (c.value) {
      ASSERT_TRUE(got) << c.body << ": " << got.error().detail();
      EXPECT_EQ(got->view(), *c.value) << c.body;
    } else {
      ASSERT_FALSE(got) << c.body;
      EXPECT_EQ(got.error().kind(), core::CoreErrorKind::Provider);
      EXPECT_EQ(got.error().detail(), c.error) << c.body;
    }
  }
}

TEST_P(SystemRunner, ArgumentsArriveAsOneVectorWithoutAShell) {
  fake(tool().answer_with("printf '[%s]' \"${0##*/}\" \"$@\""));
  auto got = tool().materialize(kNormalLimit);
  ASSERT_TRUE(got) << got.error().detail();
  if (tool().program == "aws") {
    EXPECT_EQ(got->view(),
              "[aws][secretsmanager][get-secret-value][--secret-id][app/key][--region][eu-west-1][--query]"
              "[SecretString][--output][json]");
  } else {
    EXPECT_EQ(got->view(), "[az][keyvault][secret][show][--vault-name][kv1][--name][s1][--query][value][-o][json]");
  }
}

TEST_P(SystemRunner, LargeOutputsFlowThroughThePipesWhileTheToolRuns) {
  constexpr std::size_t kMiB = 1 << 20;
  struct Case {
    std::string body, why;
  };
  const std::string value = tool().answer_with("head -c 1048576 /dev/zero | tr '\\0' 'x'");
  const Case cases[] = {
      {value, "1 MiB value"},
      {"head -c 1048576 /dev/zero | tr '\\0' 'e' >&2; " + value + "; exit 0",
       "1 MiB of standard error before the value"},
  };
  for (const Case& c : cases) {
    fake(c.body);
    auto got = tool().materialize(kNormalLimit);
    ASSERT_TRUE(got) << c.why << ": " << got.error().detail();
    ASSERT_EQ(got->size(), kMiB) << c.why;
    EXPECT_EQ(got->view().find_first_not_of('x'), std::string_view::npos) << c.why;
  }
}

TEST_P(SystemRunner, ToolThatDoesNotEndIsKilledAtTheLimit) {
  const std::string pidfile = tools_.file("pid");
  struct Case {
    std::string body, why;
  };
  // The writers are shell loops, far too slow to pass the output bound
  // before the limit.
  const Case cases[] = {
      {"exec sleep 60", "sleeps"},
      {"while :; do echo flood; done", "keeps writing its standard output"},
      {"while :; do echo flood; done >&2", "keeps writing its standard error"},
      {"exec >&- 2>&-; exec sleep 60", "closes both outputs first"},
  };
  for (const Case& c : cases) {
    fake("echo $$ > '" + pidfile + "'; " + c.body);
    auto got = tool().materialize(kShortLimit);
    ASSERT_FALSE(got) << c.why;
    EXPECT_EQ(got.error().detail(), tool().timed_out("0")) << c.why;
    const pid_t pid = read_pid(pidfile);
    ASSERT_GT(pid, 0) << c.why;
    EXPECT_FALSE(alive(pid)) << c.why << ": the tool was killed and reaped";
  }
  // The message carries whole seconds, the fraction dropped.
  fake("exec sleep 60");
  auto got = tool().materialize(1500ms);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().detail(), tool().timed_out("1"));
}

// Past 16 MiB on either stream the run ends at once with its own message, the
// tool killed and reaped, however long the limit; 16 MiB exactly is a value.
TEST_P(SystemRunner, OutputPastTheBoundEndsTheRunAtOnce) {
  constexpr std::size_t kBound = 16 * 1024 * 1024;
  const std::string pidfile = tools_.file("pid");
  struct Case {
    std::string body, why;
    bool too_large;
  };
  const Case cases[] = {
      {"exec yes", "floods its standard output", true},
      {"exec yes >&2", "floods its standard error", true},
      {"head -c 16777217 /dev/zero | tr '\\0' x", "one byte past the bound, then exits", true},
      {"head -c 16777217 /dev/zero >&2; printf 'v\\n'", "one byte past the bound on standard error", true},
      {tool().answer_with("head -c " + std::to_string(kBound - tool().framing_len) + " /dev/zero | tr '\\0' x"),
       "an answer of exactly the bound", false},
  };
  for (const Case& c : cases) {
    fake("echo $$ > '" + pidfile + "'; " + c.body);
    const auto start = std::chrono::steady_clock::now();
    auto got = tool().materialize(kNormalLimit);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s) << c.why;
    const pid_t pid = read_pid(pidfile);
    ASSERT_GT(pid, 0) << c.why;
    EXPECT_FALSE(alive(pid)) << c.why << ": the tool was killed and reaped";
    if (c.too_large) {
      ASSERT_FALSE(got) << c.why;
      EXPECT_EQ(got.error().detail(), tool().too_large) << c.why;
    } else {
      ASSERT_TRUE(got) << c.why << ": " << got.error().detail();
      EXPECT_EQ(got->size(), kBound - tool().framing_len) << c.why;
    }
  }
}

// The tool's parent is the run's helper; a tool (or anyone) that ends it
// fails the lookup with its own message, and the tool dies with it.
TEST_P(SystemRunner, AHelperEndedByAnotherProcessFailsTheLookup) {
  const std::string pidfile = tools_.file("pid");
  for (const char* sig : {"KILL", "TERM"}) {
    fake("echo $$ > '" + pidfile + "'; kill -" + std::string(sig) + " $PPID; exec sleep 30");
    auto got = tool().materialize(kNormalLimit);
    ASSERT_FALSE(got) << sig;
    EXPECT_EQ(got.error().detail(), tool().helper_ended) << sig;
    const pid_t pid = read_pid(pidfile);
    ASSERT_GT(pid, 0) << sig;
    for (int i = 0; i < 200 && !dead(pid); ++i) std::this_thread::sleep_for(5ms);
    EXPECT_TRUE(dead(pid)) << sig;
  }
}

// A tool whose exec sleeps on a hung mount cannot be ended: the lookup fails
// at the limit all the same, and says that the tool may still be running.
TEST_P(SystemRunner, AToolWhoseExecSleepsOnAHungMountTimesOutSayingItMayStillRun) {
  core::testing::HeldMount mount(tools_.dir() / "mnt", {tool().program});
  if (!mount.ready()) GTEST_SKIP() << mount.why();
  FakeTools::use_path(tools_.file("mnt") + ":" + core::testing::path_searching_first(tools_.dir()));
  auto got = tool().materialize(kShortLimit);
  EXPECT_GT(mount.next_held(1s), 0) << "the exec was never held";
  mount.release();
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().detail(), tool().timed_out("0") + "; it could not be ended and may still be running");
}

// What a host that reaps its own children runs on SIGCHLD.
extern "C" void reap_any_child(int) {
  const int saved = errno;
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
  errno = saved;
}

// The tool's exit code decides between a value and a failure, so a host that
// ignores SIGCHLD or reaps every child must not take it.
TEST_P(SystemRunner, HostSigchldSettingDoesNotTakeTheExitCode) {
  const Tool& t = tool();
  for (const bool reaper : {false, true}) {
    const char* why = reaper ? "reaping handler" : "SIGCHLD ignored";
    struct sigaction sa {}, old {};
    sa.sa_handler = reaper ? reap_any_child : SIG_IGN;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(::sigaction(SIGCHLD, &sa, &old), 0);
    fake(t.answer_with("printf s3cr3t"));
    auto value = t.materialize(kNormalLimit);
    fake(t.answer_with("printf v") + "; exit 7");
    auto failed = t.materialize(kNormalLimit);
    ::sigaction(SIGCHLD, &old, nullptr);
    ASSERT_TRUE(value) << why << ": " << value.error().detail();
    EXPECT_EQ(value->view(), "s3cr3t") << why;
    ASSERT_FALSE(failed) << why;
    EXPECT_EQ(failed.error().detail(), t.failed(t.fallback_hint, "7")) << why;
  }
}

TEST_P(SystemRunner, DescendantHoldingThePipesOpenIsNotWaitedFor) {
  const std::string pidfile = tools_.file("pid");
  fake("sleep 60 & echo $! > '" + pidfile + "'; " + tool().answer_with("printf v"));
  auto got = tool().materialize(kNormalLimit);
  const pid_t descendant = read_pid(pidfile);
  ASSERT_GT(descendant, 0);
  // Still alive, still holding both pipes: the call returned on the tool's exit.
  EXPECT_TRUE(alive(descendant));
  ::kill(descendant, SIGKILL);
  ASSERT_TRUE(got) << got.error().detail();
  EXPECT_EQ(got->view(), "v");
}

// Replaces this process's standard input with a pipe holding a line, for the
// length of a scope.
class StdinWithData {
 public:
  StdinWithData() : saved_(::dup(STDIN_FILENO)) {
    int p[2];
    if (::pipe(p) != 0) std::abort();
    if (::write(p[1], "parent-stdin\n", 13) != 13) std::abort();
    ::close(p[1]);
    ::dup2(p[0], STDIN_FILENO);
    ::close(p[0]);
  }
  ~StdinWithData() {
    ::dup2(saved_, STDIN_FILENO);
    ::close(saved_);
  }
  StdinWithData(const StdinWithData&) = delete;
  StdinWithData& operator=(const StdinWithData&) = delete;

 private:
  int saved_;
};

TEST_P(SystemRunner, StandardInputIsAtEndOfFile) {
  StdinWithData stdin_data;
  fake(tool().answer_with("if read -r line; then printf 'read:%s' \"$line\"; else printf eof; fi"));
  auto got = tool().materialize(kNormalLimit);
  ASSERT_TRUE(got) << got.error().detail();
  EXPECT_EQ(got->view(), "eof");
}

TEST_P(SystemRunner, VaultVariablesAreRemovedAndTheRestInherited) {
  const std::pair<const char*, const char*> vars[] = {{"ZANTU_PASSPHRASE", "hunter2"},
                                                      {"ZANTU_VAULT_DIR", "/tmp/v"},
                                                      {"ZANTU_", "bare"},
                                                      {"ZANTUX", "kept"},
                                                      {"zantu_lower", "kept"},
                                                      {"MY_ZANTU_SETTING", "kept"},
                                                      {"AWS_PROFILE", "kept"},
                                                      {"PYTHONIOENCODING", "latin-1"},
                                                      {"PYTHONUTF8", "0"},
                                                      {"LC_ALL", "C"},
                                                      {"AZURE_CORE_ONLY_SHOW_ERRORS", "true"}};
  std::deque<ScopedEnv> env;  // a deque: ScopedEnv cannot move
  for (const auto& [name, value] : vars) env.emplace_back(name, value);
  // The environment goes to a file: the tool's answer has a form of its own.
  const std::string env_file = tools_.file("env");
  fake("env > '" + env_file + "'; " + tool().answer_with("printf v"));
  auto got = tool().materialize(kNormalLimit);
  ASSERT_TRUE(got) << got.error().detail();
  EXPECT_EQ(got->view(), "v");
  std::ifstream env_in(env_file);
  const std::string env_text{std::istreambuf_iterator<char>(env_in), std::istreambuf_iterator<char>()};
  std::vector<std::string> names;
  std::istringstream lines{env_text};
  for (std::string line; std::getline(lines, line);) names.push_back(line.substr(0, line.find('=')));
  for (const std::string& n : names) EXPECT_FALSE(n.starts_with("ZANTU_")) << n;
  for (const char* kept : {"ZANTUX", "zantu_lower", "MY_ZANTU_SETTING", "AWS_PROFILE", "PATH", "PYTHONUTF8"}) {
    EXPECT_NE(std::find(names.begin(), names.end(), kept), names.end()) << kept;
  }
  EXPECT_NE(env_text.find("PATH="), std::string::npos);
  EXPECT_EQ(env_text.find("hunter2"), std::string::npos);
  // The tool prints UTF-8 whatever the host set, and only these variables
  // change: the encoding and the locale for both, and for az its setting that
  // would silence its warning about characters it dropped.
  const bool az = tool().program == "az";
  for (const char* forced : {"PYTHONIOENCODING", "LC_ALL", "AZURE_CORE_ONLY_SHOW_ERRORS"}) {
    EXPECT_EQ(std::count(names.begin(), names.end(), forced), 1) << forced;
  }
  EXPECT_NE(env_text.find("\nPYTHONIOENCODING=utf-8:strict\n"), std::string::npos);
  EXPECT_NE(env_text.find("\nLC_ALL=C.UTF-8\n"), std::string::npos);
  EXPECT_NE(env_text.find(az ? "\nAZURE_CORE_ONLY_SHOW_ERRORS=false\n" : "\nAZURE_CORE_ONLY_SHOW_ERRORS=true\n"),
            std::string::npos);
  EXPECT_NE(env_text.find("\nPYTHONUTF8=0\n"), std::string::npos);
}

// Both tools are Python programs, which encode what they print as the
// inherited PYTHONIOENCODING says. A stand-in that prints its JSON answer
// through sys.stdout in text mode, as the real ones do, under each host
// setting that once changed a value with status 0 (latin-1 and cp1252 gave
// mojibake, the replacing handlers "?"), and under a C locale with UTF-8 mode
// off: every value arrives exact.
TEST_P(SystemRunner, ToolsPrintUtf8WhateverTheHostSets) {
  const std::string value = "caf\xc3\xa9 \xe2\x80\x99 pw\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x94\x91";
  // Debian's own interpreter starts faster than a version manager's shim.
  fake(R"(py=/usr/bin/python3; [ -x "$py" ] || py=python3; exec "$py" -c 'import json; print(json.dumps("caf\u00e9 \u2019 pw\u00e9 \u65e5\u672c \U0001F511", )"
       R"(ensure_ascii=False))')");
  for (const char* setting : {"latin-1", "cp1252", "ascii:replace", "latin-1:replace", "utf-8"}) {
    ScopedEnv io("PYTHONIOENCODING", setting);
    ScopedEnv utf8_mode("PYTHONUTF8", "0");
    ScopedEnv locale("LC_ALL", "C");
    auto got = tool().materialize(kNormalLimit);
    ASSERT_TRUE(got) << setting << ": " << got.error().detail();
    EXPECT_EQ(got->view(), value) << setting;
  }
}

// A host locale whose code set is latin-1, built once into a scratch
// directory (which holds no other locale) and selected with LOCPATH and
// LC_ALL; empty when localedef could not build it.
std::string latin1_locale_dir() {
  static const TempDir dir;
  static const bool built = [] {
    const std::string cmd = "localedef -i fr_FR -f ISO-8859-1 '" + (dir / "fr_FR.ISO-8859-1") + "' >/dev/null 2>&1";
    return std::system(cmd.c_str()) != -1 && fs::exists(dir.path() / "fr_FR.ISO-8859-1" / "LC_CTYPE");
  }();
  return built ? dir.path().string() : std::string();
}

// A stand-in started as az's Debian, RPM and Homebrew packages start az: a
// shell script that runs the interpreter in isolated mode (-I), which ignores
// every PYTHON* variable. It prints value.json's string beside it through
// sys.stdout with non-ASCII raw, as both tools print JSON. As az's command
// framework does, a failed print becomes the warning (silenced by
// only_show_errors, from the environment before ~/.azure/config) and the value
// again with every non-ASCII character dropped, with status 0.
constexpr std::string_view kPackagedStandIn = R"(import configparser, json, os, sys
STATES = {"1": True, "yes": True, "true": True, "on": True, "0": False, "no": False, "false": False, "off": False}
def only_show_errors():
    env = os.environ.get("AZURE_CORE_ONLY_SHOW_ERRORS")
    if env is not None:
        return STATES[env.lower()]
    config = configparser.ConfigParser()
    config.read(os.path.join(os.environ.get("AZURE_CONFIG_DIR") or os.path.expanduser("~/.azure"), "config"))
    return config.getboolean("core", "only_show_errors", fallback=False)
out = json.dumps(json.load(open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "value.json"))),
                 ensure_ascii=False)
try:
    print(out)
except UnicodeEncodeError:
    if sys.argv[1] != "keyvault":
        raise
    if not only_show_errors():
        sys.stderr.write("WARNING: Unable to encode the output with %s encoding. Unsupported characters are "
                         "discarded.\n" % sys.stdout.encoding)
    print(out.encode("ascii", errors="ignore").decode())
)";

// How the user turned az's only_show_errors setting on, if at all.
struct OnlyShowErrors {
  const char* why;
  const char* env;     // AZURE_CORE_ONLY_SHOW_ERRORS, or nullptr for unset
  bool config;         // `[core] only_show_errors = true` in ~/.azure/config
};
constexpr OnlyShowErrors kOnlyShowErrors[] = {
    {"only_show_errors off", nullptr, false},
    {"only_show_errors on through the environment", "true", false},
    {"only_show_errors on through ~/.azure/config", nullptr, true},
};

class PackagedLaunch : public SystemRunner {
 protected:
  // `isolated` starts the stand-in with -I, as the packages do.
  void launch(bool isolated) const {
    core::testing::write_file(tools_.dir() / "standin.py", kPackagedStandIn);
    fake(R"(py=/usr/bin/python3; [ -x "$py" ] || py=python3; exec "$py" )" + std::string(isolated ? "-I " : "") +
         "'" + tools_.file("standin.py") + "' \"$@\"");
  }
  void store(std::string_view json_text) const { core::testing::write_file(tools_.dir() / "value.json", json_text); }
  // The user's settings for az, in a home of the test's own.
  void set_only_show_errors(const OnlyShowErrors& o) {
    env_.clear();
    env_.emplace_back("HOME", home_.path().string());
    env_.emplace_back("AZURE_CONFIG_DIR", nullptr);
    env_.emplace_back("AZURE_CORE_ONLY_SHOW_ERRORS", o.env);
    const fs::path config = home_.path() / ".azure" / "config";
    fs::create_directories(config.parent_path());
    if (o.config) {
      core::testing::write_file(config, "[core]\nonly_show_errors = true\n");
    } else {
      fs::remove(config);
    }
  }

 private:
  TempDir home_;
  std::deque<ScopedEnv> env_;
};

// Under a latin-1 host locale such a tool printed "\u00c3\u00a9" as the bytes
// of "\u00e9" with status 0, failed on "caf\u00e9", and with only_show_errors on
// printed "caf\u00e9 \u65e5\u672c" as "caf " with status 0. Every value arrives exact.
TEST_P(PackagedLaunch, ValuesArriveExactUnderALatin1HostLocale) {
  const std::string locales = latin1_locale_dir();
  ASSERT_FALSE(locales.empty()) << "localedef could not build fr_FR.ISO-8859-1";
  const std::pair<std::string_view, std::string_view> values[] = {
      {R"("\u00e9")", "\xc3\xa9"},
      {R"("pw\u00e9\u2019")", "pw\xc3\xa9\xe2\x80\x99"},
      {R"("caf\u00e9 \u65e5\u672c")", "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac"},
      {R"("\u00c3\u00a9")", "\xc3\x83\xc2\xa9"},
      {R"("pw\u00c3\u00a9\u00e2\u0080\u0099")", "pw\xc3\x83\xc2\xa9\xc3\xa2\xc2\x80\xc2\x99"},
  };
  launch(true);
  ScopedEnv locpath("LOCPATH", locales);
  ScopedEnv lc_all("LC_ALL", "fr_FR.ISO-8859-1");
  ScopedEnv lang("LANG", "fr_FR.ISO-8859-1");
  for (const OnlyShowErrors& o : kOnlyShowErrors) {
    set_only_show_errors(o);
    for (const auto& [json_text, want] : values) {
      store(json_text);
      auto got = tool().materialize(kNormalLimit);
      EXPECT_TRUE(got) << o.why << ", " << json_text << ": " << got.error().detail();
      if (got) {
        EXPECT_EQ(got->view(), want) << o.why << ", " << json_text;
      }
    }
  }
}

// A value with a lone surrogate is not Unicode text: az once printed
// "p\u00e4ss\udc80w\u00f6rd" as "psswrd" with status 0 whenever only_show_errors
// was on, whatever the launcher. It fails the lookup, on every host.
TEST_P(PackagedLaunch, ALoneSurrogateFailsTheLookupWhateverTheLauncher) {
  const std::string locales = latin1_locale_dir();
  ASSERT_FALSE(locales.empty()) << "localedef could not build fr_FR.ISO-8859-1";
  store(R"("p\u00e4ss\udc80w\u00f6rd")");
  for (const bool latin1_host : {false, true}) {
    ScopedEnv locpath("LOCPATH", latin1_host ? locales.c_str() : nullptr);
    ScopedEnv lc_all("LC_ALL", latin1_host ? "fr_FR.ISO-8859-1" : nullptr);
    for (const bool isolated : {true, false}) {
      launch(isolated);
      for (const OnlyShowErrors& o : kOnlyShowErrors) {
        set_only_show_errors(o);
        const std::string why =
            std::string(o.why) + (isolated ? ", -I" : ", no -I") + (latin1_host ? ", latin-1 host" : "");
        auto got = tool().materialize(kNormalLimit);
        EXPECT_FALSE(got) << why << ": got " << got->size() << " bytes";
        if (!got) {
          EXPECT_EQ(got.error().kind(), core::CoreErrorKind::Provider) << why;
        }
      }
    }
  }
}

TEST_P(SystemRunner, OnlyTheThreeStandardDescriptorsReachTheTool) {
  const int stray = ::open("/dev/null", O_RDONLY);  // inheritable: no O_CLOEXEC
  ASSERT_GE(stray, 0);
  fake(tool().answer_with("if [ -e /proc/$$/fd/" + std::to_string(stray) +
                          " ]; then printf leaked; else printf clean; fi"));
  auto got = tool().materialize(kNormalLimit);
  ::close(stray);
  ASSERT_TRUE(got) << got.error().detail();
  EXPECT_EQ(got->view(), "clean");
}

TEST_P(SystemRunner, ToolThatCannotRunGivesTheCouldNotRunMessage) {
  // Only the fake directory is searched, so no real tool can be found.
  FakeTools::use_path(tools_.dir().string());
  auto missing = tool().materialize(kNormalLimit);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().detail(), tool().could_not_run("No such file or directory (os error 2)"));

  tools_.write(tool().program, "printf 'v\\n'", fs::perms(0644));
  auto not_executable = tool().materialize(kNormalLimit);
  ASSERT_FALSE(not_executable);
  EXPECT_EQ(not_executable.error().detail(), tool().could_not_run("Permission denied (os error 13)"));
}

// A host environment that exec cannot carry fails the lookup with exec's
// reason, naming the variable where one string is too long, instead of
// suggesting the tool is missing; the tool never starts.
TEST_P(SystemRunner, ALookupTooLargeToStartGivesExecsReason) {
  struct Case {
    const char* why;
    std::size_t num_vars;
    std::size_t value_len;
    std::string reason;  // "{}": the total, which the rest of the environment adds to
  };
  const Case cases[] = {
      {"one variable of 131072 bytes", 1, 131072,
       "variable `ZT_BIG0` of the host's environment is too long to be passed: one environment string holds at "
       "most 131072 bytes, `ZT_BIG0=` and the final NUL included"},
      {"eighteen of 120000 bytes past the total", 18, 120000,
       "arguments and environment are too large to be passed together: with the program's path they take {} "
       "bytes, each string with its NUL and a pointer, where exec takes at most 2097152 (a quarter of the stack "
       "size limit, at least 128 KiB and at most 6 MiB, and never more than fits on a stack of that size)"},
  };
  const std::string marker = tools_.file("started");
  fake("touch '" + marker + "'; " + tool().answer_with("printf v"));
  core::testing::ScopedStackLimit stack(8 << 20);
  ASSERT_TRUE(stack.ok());
  for (const Case& k : cases) {
    SCOPED_TRACE(k.why);
    std::deque<ScopedEnv> env;  // a deque: ScopedEnv cannot move
    for (std::size_t i = 0; i < k.num_vars; ++i) {
      env.emplace_back("ZT_BIG" + std::to_string(i), std::string(k.value_len, 'h'));
    }
    auto got = tool().materialize(kNormalLimit);
    ASSERT_FALSE(got);
    EXPECT_EQ(got.error().kind(), core::CoreErrorKind::Provider);
    const std::string& message = got.error().detail();
    const std::string expected = tool().cannot_start(k.reason);
    const std::size_t hole = expected.find("{}");
    if (hole == std::string::npos) {
      EXPECT_EQ(message, expected);
    } else {
      ASSERT_TRUE(message.starts_with(expected.substr(0, hole))) << message.substr(0, 400);
      ASSERT_TRUE(message.ends_with(expected.substr(hole + 2))) << message.substr(0, 400);
      const std::string total = message.substr(hole, message.size() - (expected.size() - 2));
      EXPECT_GT(std::stoull(total), k.num_vars * k.value_len) << total;
    }
    EXPECT_FALSE(fs::exists(marker));
  }
}

INSTANTIATE_TEST_SUITE_P(Tools, SystemRunner, ::testing::Values(aws_tool(), az_tool()),
                         [](const ::testing::TestParamInfo<Tool>& info) { return info.param.name; });
INSTANTIATE_TEST_SUITE_P(Tools, PackagedLaunch, ::testing::Values(aws_tool(), az_tool()),
                         [](const ::testing::TestParamInfo<Tool>& info) { return info.param.name; });

}  // namespace
}  // namespace zantu::providers
