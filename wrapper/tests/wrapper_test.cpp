#include "zantu/wrapper/wrapper.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "support.hpp"
#include "zantu/core/crypto.hpp"
#include "zantu/core/store.hpp"

namespace zantu::wrapper {
namespace {

using core::ConfirmOutcome;
using core::Origin;
using core::Sensitivity;
using testing::FixedClock;
using testing::MapEnv;
using testing::ScopedEnv;
using testing::TempDir;
using testing::test_key;
using namespace std::string_view_literals;
namespace fs = std::filesystem;

constexpr auto kExec = fs::perms::owner_all | fs::perms::group_read | fs::perms::others_read;
constexpr std::chrono::seconds kTimeout{120};

// Keeps every event as one line of text; a failing sink still keeps them but
// reports an error for each.
class RecordingSink final : public core::AuditSink {
 public:
  bool fail = false;
  mutable std::vector<std::string> lines;
  core::Status record(const core::AuditEvent& e) const override {
    lines.push_back(std::string(core::audit::action_wire_name(e.action)) + " " + e.result + " " +
                    e.coordinate.value_or("-") + " " + e.environment.value_or("-") + " " + e.origin.value_or("-"));
    if (fail) return std::unexpected(core::CoreError::audit("open audit log: Permission denied (os error 13)"));
    return {};
  }
};

// Answers with a fixed outcome and keeps what it was asked, and how many
// audit events existed at that moment.
class ScriptedConfirmer final : public core::Confirmer {
 public:
  explicit ScriptedConfirmer(const RecordingSink& sink) : sink_(sink) {}
  ConfirmOutcome outcome = ConfirmOutcome::Approved;
  mutable std::vector<core::ConfirmRequest> requests;
  mutable std::vector<std::chrono::nanoseconds> timeouts;
  mutable std::vector<std::size_t> events_before;
  ConfirmOutcome confirm(const core::ConfirmRequest& request, std::chrono::nanoseconds timeout) const override {
    requests.push_back(request);
    timeouts.push_back(timeout);
    events_before.push_back(sink_.lines.size());
    return outcome;
  }

 private:
  const RecordingSink& sink_;
};

// The real runner, noting what each command asked for and how many audit
// events had been written when the child was about to start.
class RecordingRunner final : public ProcessRunner {
 public:
  explicit RecordingRunner(const RecordingSink& sink) : sink_(sink) {}
  struct Call {
    std::string program;
    PathSearch path_search;
    std::vector<std::string> names;
    std::size_t events_before;
  };
  mutable std::vector<Call> calls;
  Result<Output> run(const Command& c) const override {
    Call call{c.program, c.path_search, {}, sink_.lines.size()};
    for (const auto& p : c.env) call.names.push_back(p.name);
    calls.push_back(std::move(call));
    return SystemRunner().run(c);
  }

 private:
  const RecordingSink& sink_;
};

// Answers every reference with its own text reversed.
class ReversingProvider final : public core::SecretProvider {
 public:
  mutable int calls = 0;
  core::Result<core::SecretValue> materialize(std::string_view reference) const override {
    ++calls;
    return core::SecretValue::from(std::string(reference.rbegin(), reference.rend()));
  }
  std::string_view scheme() const noexcept override { return "*"; }
};

std::string text(const core::SecretBuffer& b) { return std::string(b.view()); }

// A real vault root in a temporary directory, records sealed under the test
// key, and recording collaborators around the wrapper.
class WrapperTest : public ::testing::Test {
 protected:
  WrapperTest()
      : registry_(core::Registry::open(tmp_.path() / "root").value()),
        keyring_(test_key()),
        confirmer_(sink_),
        runner_(sink_) {}

  static core::RecordMeta meta(const core::Coordinate& c, Sensitivity s) { return testing::record_meta(c, s); }
  void put(std::string_view coordinate, core::SecretRecord record) {
    testing::put_record(registry_.global_dir(), testing::coord(coordinate), record, test_key());
  }
  void put_literal(std::string_view coordinate, std::string_view value, Sensitivity s) {
    const auto c = core::Coordinate::from_str(coordinate).value();
    put(coordinate, core::SecretRecord::Literal{core::SecretValue::from(value), meta(c, s)});
  }
  void put_reference(std::string_view coordinate, std::string reference, Sensitivity s) {
    const auto c = core::Coordinate::from_str(coordinate).value();
    put(coordinate, core::SecretRecord::Reference{std::move(reference), meta(c, s)});
  }

  Wrapper wrapper(const core::AuditSink* audit = nullptr) const {
    return Wrapper{.registry = registry_,
                   .keyring = keyring_,
                   .env_source = env_,
                   .provider = provider_,
                   .confirmer = confirmer_,
                   .audit = audit ? *audit : sink_,
                   .clock = clock_,
                   .allowlist = allowlist_,
                   .runner = runner_,
                   .confirm_timeout = kTimeout,
                   .requesting_process = std::nullopt};
  }

  Result<Output> run(const Wrapper& w, std::string_view refs_text, std::string_view program,
                     std::vector<std::string> args, std::string_view env = "dev", Origin origin = Origin::Agent) {
    auto refs = core::EnvRefs::parse(refs_text);
    EXPECT_TRUE(refs.has_value()) << refs_text;
    if (!refs) return std::unexpected(WrapperError::core(refs.error()));
    return w.run(*refs, env, std::nullopt, program, args, origin);
  }
  Result<Output> run(std::string_view refs_text, std::string_view program, std::vector<std::string> args) {
    return run(wrapper(), refs_text, program, std::move(args));
  }

  TempDir tmp_;
  core::Registry registry_;
  core::MockKeyring keyring_;
  MapEnv env_;
  ReversingProvider provider_;
  RecordingSink sink_;
  ScriptedConfirmer confirmer_;
  FixedClock clock_;
  Allowlist allowlist_;
  RecordingRunner runner_;
};

struct GateCase {
  const char* name;
  const char* refs;
  bool allowlisted;
  ConfirmOutcome answer;
  std::vector<std::string> audit;  // "action result coordinate environment origin"
  const char* outcome;             // the child's stdout, or the error's text
  std::size_t confirmations;
  Origin origin = Origin::Agent;
};

TEST_F(WrapperTest, GatesAndAuditLinesFollowSensitivityAndEnvironment) {
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/low", "v-low", Sensitivity::Low));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/med", "v-med", Sensitivity::Medium));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/io", "v-io", Sensitivity::InjectOnly));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/high", "v-high", Sensitivity::High));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:prod/app/med", "v-prod-med", Sensitivity::Medium));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:prod/app/io", "v-prod-io", Sensitivity::InjectOnly));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:prod/app/high", "v-prod-high", Sensitivity::High));
  const auto kp = core::Coordinate::from_str("secret:dev/app/kp").value();
  ASSERT_NO_FATAL_FAILURE(put("secret:dev/app/kp",
                              core::SecretRecord::Keypair{core::KeyAlgorithm::Ed25519, core::SecretValue::from("PRIV"sv),
                                                          "ssh-ed25519 AAAA", meta(kp, Sensitivity::High)}));
  const std::string not_allowlisted = "`/bin/sh` is not on the executor allowlist; high/prod injection refused (I15)";
  const std::vector<GateCase> cases = {
      {"literals and environment values only", "A=hello\nB=${env:UNSET|fb}\n", false, ConfirmOutcome::Denied, {},
       "ran\n", 0},
      {"medium in dev", "A=secret:dev/app/med\n", false, ConfirmOutcome::Denied,
       {"inject injected dev/app/med dev agent"}, "ran\n", 0},
      {"inject-only in dev needs neither gate", "A=secret:dev/app/io\n", false, ConfirmOutcome::Denied,
       {"inject injected dev/app/io dev agent"}, "ran\n", 0},
      {"public half of a high key pair is no vault value", "A=secret:dev/app/kp#public\n", false,
       ConfirmOutcome::Denied, {}, "ran\n", 0},
      {"fallback of a missing coordinate is a low vault value", "A=secret:dev/app/none|fb\n", false,
       ConfirmOutcome::Denied, {"inject injected dev/app/none dev agent"}, "ran\n", 0},
      {"medium in prod, allowlisted", "A=secret:prod/app/med\n", true, ConfirmOutcome::Denied,
       {"inject injected prod/app/med prod agent"}, "ran\n", 0},
      {"medium in prod, not allowlisted", "A=secret:dev/app/med\nB=secret:prod/app/med\n", false,
       ConfirmOutcome::Approved, {"deny denied:not-allowlisted prod/app/med prod agent"}, not_allowlisted.c_str(), 0},
      {"inject-only in prod, not allowlisted", "A=secret:prod/app/io\n", false, ConfirmOutcome::Approved,
       {"deny denied:not-allowlisted prod/app/io prod agent"}, not_allowlisted.c_str(), 0},
      {"high, not allowlisted: no confirmation", "A=secret:dev/app/high\n", false, ConfirmOutcome::Approved,
       {"deny denied:not-allowlisted dev/app/high dev agent"}, not_allowlisted.c_str(), 0},
      {"high private half, approved", "A=secret:dev/app/kp#private\n", true, ConfirmOutcome::Approved,
       {"approve approved dev/app/kp dev agent", "inject injected dev/app/kp dev agent"}, "ran\n", 1},
      {"high, denied", "A=secret:dev/app/med\nB=secret:dev/app/high\n", true, ConfirmOutcome::Denied,
       {"deny denied dev/app/high dev agent"}, "confirmation denied; high/prod injection refused", 1},
      {"high, timed out", "A=secret:dev/app/high\n", true, ConfirmOutcome::TimedOut,
       {"timeout timeout dev/app/high dev agent"}, "confirmation timed out; high/prod injection refused", 1},
      {"three gated values, not allowlisted",
       "A=secret:prod/app/med\nB=secret:dev/app/low\nC=secret:dev/app/high\nD=secret:prod/app/io\n", false,
       ConfirmOutcome::Approved,
       {"deny denied:not-allowlisted prod/app/med prod agent", "deny denied:not-allowlisted dev/app/high dev agent",
        "deny denied:not-allowlisted prod/app/io prod agent"},
       not_allowlisted.c_str(), 0},
      {"two high values and a medium one, approved once",
       "A=secret:dev/app/high\nB=literal\nC=secret:prod/app/high\nD=secret:dev/app/med\n", true,
       ConfirmOutcome::Approved,
       {"approve approved dev/app/high dev human", "approve approved prod/app/high prod human",
        "inject injected dev/app/high dev human", "inject injected prod/app/high prod human",
        "inject injected dev/app/med dev human"},
       "ran\n", 1, Origin::Human},
  };
  for (const bool failing_sink : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(c.name) + (failing_sink ? " (failing audit sink)" : ""));
      sink_.lines.clear();
      sink_.fail = failing_sink;
      confirmer_.requests.clear();
      runner_.calls.clear();
      confirmer_.outcome = c.answer;
      allowlist_ = Allowlist();
      if (c.allowlisted) allowlist_.allow("/bin/sh");

      auto got = run(wrapper(), c.refs, "/bin/sh", {"-c", "echo ran"}, "dev", c.origin);
      EXPECT_EQ(got ? text(got->stdout_bytes) : got.error().to_string(), c.outcome);
      EXPECT_EQ(sink_.lines, c.audit);
      EXPECT_EQ(confirmer_.requests.size(), c.confirmations);
      EXPECT_EQ(runner_.calls.size(), got ? 1u : 0u);
      if (!got) continue;
      // Every audit line is written before the child starts.
      EXPECT_EQ(runner_.calls[0].events_before, c.audit.size());
      // Every case that runs with an allowlist holds a gated value.
      const bool gated = c.allowlisted;
      // A gated child is called by the path that was checked (the program is
      // its argv[0] too).
      EXPECT_EQ(runner_.calls[0].program, gated ? allowlist::canonical_or_owned("/bin/sh") : "/bin/sh");
      EXPECT_EQ(runner_.calls[0].path_search, gated ? PathSearch::Caller : PathSearch::Child);
    }
  }
}

TEST_F(WrapperTest, OneConfirmationRequestNamesEveryHighValue) {
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/a/x", "v1", Sensitivity::High));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:staging/a/y", "v2", Sensitivity::High));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:prod/b/y", "v3", Sensitivity::High));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:prod/b/z", "v4", Sensitivity::Medium));
  ASSERT_NO_FATAL_FAILURE(put_reference("secret:dev/a/ref", "aws-sm://r/s", Sensitivity::Low));
  allowlist_.allow("/usr/bin/env");
  struct Case {
    const char* refs;
    std::optional<std::string> requesting_process;
    const char* coordinate;
    const char* environment;
  };
  const Case cases[] = {
      {"R=secret:dev/a/ref\nA=secret:dev/a/x\nM=secret:prod/b/z\nB=secret:prod/b/y\n", "mcp-client-7",
       "dev/a/x, prod/b/y", "prod"},
      {"B=secret:staging/a/y\nA=secret:dev/a/x\n", std::nullopt, "staging/a/y, dev/a/x", "staging"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refs);
    confirmer_.requests.clear();
    confirmer_.events_before.clear();
    sink_.lines.clear();
    Wrapper w = wrapper();
    w.requesting_process = c.requesting_process;
    auto got = run(w, c.refs, "/usr/bin/env", {"a b", "c"});
    ASSERT_TRUE(got.has_value()) << got.error().to_string();
    ASSERT_EQ(confirmer_.requests.size(), 1u);
    const auto& r = confirmer_.requests[0];
    EXPECT_EQ(r.coordinate, c.coordinate);
    EXPECT_EQ(r.environment, c.environment);
    EXPECT_EQ(r.sensitivity, Sensitivity::High);
    EXPECT_EQ(r.resolved_command, "/usr/bin/env a b c");  // joined unquoted
    EXPECT_EQ(r.origin, Origin::Agent);
    EXPECT_EQ(r.requesting_process, c.requesting_process);
    EXPECT_EQ(r.requester_description, std::nullopt);
    EXPECT_EQ(r.action, std::nullopt);
    EXPECT_FALSE(r.allow_password);
    EXPECT_EQ(confirmer_.timeouts.back(), kTimeout);
    // Asked after the resolver's provider line, before any answer or inject line.
    const bool has_ref = std::string_view(c.refs).starts_with("R=");
    EXPECT_EQ(confirmer_.events_before[0], has_ref ? 1u : 0u);
  }
  EXPECT_EQ(provider_.calls, 1);
}

TEST_F(WrapperTest, InjectedVaultValuesAreMaskedInBothOutputs) {
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/db", "db-pass-0192", Sensitivity::Medium));
  ASSERT_NO_FATAL_FAILURE(put_reference("secret:dev/app/api", "aws-sm://r/api", Sensitivity::InjectOnly));
  env_.vars = {{"USER_NAME", "alice"}};
  const char* refs =
      "DB=secret:dev/app/db\nAPI=secret:dev/app/api\nFB=secret:dev/app/none|fallback-77\n"
      "LIT=plain-literal\nWHO=${env:USER_NAME}\n";
  const std::vector<std::string> args = {
      "-c", "printf '%s|%s|%s|%s|%s\\n' \"$DB\" \"$API\" \"$FB\" \"$LIT\" \"$WHO\"; printf 'e:%s%s\\n' \"$DB\" "
            "\"$DB\" >&2; exit 3"};
  struct Case {
    bool mask_output;
    bool inherit_stdio;
    const char* out;
    const char* err;
  };
  const Case cases[] = {
      {true, false, "***|***|***|plain-literal|alice\n", "e:***\n"},
      {false, false, "db-pass-0192|ipa/r//:ms-swa|fallback-77|plain-literal|alice\n", "e:db-pass-0192db-pass-0192\n"},
  };
  for (const auto& c : cases) {
    Wrapper w = wrapper();
    w.mask_output = c.mask_output;
    w.inherit_stdio = c.inherit_stdio;
    auto got = run(w, refs, "/bin/sh", args);
    ASSERT_TRUE(got.has_value()) << got.error().to_string();
    EXPECT_EQ(text(got->stdout_bytes), c.out);
    EXPECT_EQ(text(got->stderr_bytes), c.err);
    EXPECT_EQ(got->status, 3);
  }
}

TEST_F(WrapperTest, InheritedStdioCapturesAndMasksNothing) {
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/db", "db-pass-0192", Sensitivity::Medium));
  Wrapper w = wrapper();
  w.inherit_stdio = true;
  // The child writes nothing, so the test's own streams stay clean.
  auto got = run(w, "DB=secret:dev/app/db\n", "/bin/sh", {"-c", "test \"$DB\" = db-pass-0192 && exit 7"});
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(got->status, 7);
  EXPECT_TRUE(got->stdout_bytes.empty());
  EXPECT_TRUE(got->stderr_bytes.empty());
}

// The child reads the real audit log: the provider line, the answers and the
// inject lines are on disk before it starts.
TEST_F(WrapperTest, AuditLogIsOnDiskBeforeTheChildStarts) {
  ASSERT_NO_FATAL_FAILURE(put_reference("secret:dev/app/api", "aws-sm://r/api", Sensitivity::High));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:prod/app/db", "db-pass", Sensitivity::Medium));
  allowlist_.allow("/bin/cat");
  const auto file_sink = core::FileAuditSink::under_root(registry_.root());
  const std::string refs = "API=secret:dev/app/api\nDB=secret:prod/app/db\n";
  auto got = run(wrapper(&file_sink), refs, "/bin/cat", {file_sink.path().string()});
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  const std::string ts = R"("ts":"2023-11-14T22:13:20Z")";
  EXPECT_EQ(text(got->stdout_bytes),
            "{" + ts + R"(,"action":"provider-invocation","coordinate":"dev/app/api","environment":"dev",)"
                R"("result":"scheme:aws-sm","origin":"agent"})" "\n"
            "{" + ts + R"(,"action":"approve","coordinate":"dev/app/api","environment":"dev",)"
                R"("result":"approved","origin":"agent"})" "\n"
            "{" + ts + R"(,"action":"inject","coordinate":"dev/app/api","environment":"dev",)"
                R"("result":"injected","origin":"agent"})" "\n"
            "{" + ts + R"(,"action":"inject","coordinate":"prod/app/db","environment":"prod",)"
                R"("result":"injected","origin":"agent"})" "\n");
}

// A gated child is started from, and called by, the canonical path that the
// allowlist checked, so a link of the caller's naming cannot pick the
// personality of a program that dispatches on its own name. An ungated run
// keeps the caller's text.
TEST_F(WrapperTest, GatedChildIsCalledByTheCheckedPath) {
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:prod/app/db", "db-pass", Sensitivity::Medium));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/db", "dev-pass", Sensitivity::Medium));
  fs::create_directories(tmp_.path() / "real");
  fs::create_directories(tmp_.path() / "links");
  const std::string cat_link = tmp_ / "links/mycat";
  fs::create_symlink(allowlist::canonical_or_owned("/bin/cat"), cat_link);
  // bash called by the name "sh" switches to its POSIX personality.
  const std::string bash = allowlist::canonical_or_owned("/bin/bash");
  const std::string sh_link = tmp_ / "links/sh";
  fs::create_symlink(bash, sh_link);
  const std::string script = tmp_ / "real/show-name";
  testing::write_file(script, "#!/bin/sh\nprintf '%s' \"$0\"\n", kExec);
  const std::string script_link = tmp_ / "links/show-name";
  fs::create_symlink(script, script_link);
  allowlist_.allow(cat_link);
  allowlist_.allow(sh_link);
  allowlist_.allow(script_link);
  ASSERT_EQ(allowlist_.size(), 3u);  // stored as their canonical targets

  // /proc/self/cmdline shows argv[0]; the kernel hands a script the path it
  // was executed by, so "$0" shows which file was started.
  const std::vector<std::string> personality = {"-c", "if shopt -oq posix; then echo posix; else echo bash; fi"};
  const std::string gated = "A=secret:prod/app/db\n", ungated = "A=secret:dev/app/db\n";
  struct Case {
    std::string refs;
    std::string program;
    std::vector<std::string> args;
    std::string out;
  };
  const std::string cat = allowlist::canonical_or_owned("/bin/cat");
  const Case cases[] = {
      {gated, cat_link, {"/proc/self/cmdline"}, cat + '\0' + "/proc/self/cmdline" + '\0'},
      {ungated, cat_link, {"/proc/self/cmdline"}, cat_link + '\0' + "/proc/self/cmdline" + '\0'},
      {gated, sh_link, personality, "bash\n"},
      {ungated, sh_link, personality, "posix\n"},
      {gated, script_link, {}, allowlist::canonical_or_owned(script)},
      {ungated, script_link, {}, script_link},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refs + c.program);
    runner_.calls.clear();
    auto got = run(c.refs, c.program, c.args);
    ASSERT_TRUE(got.has_value()) << got.error().to_string();
    EXPECT_EQ(text(got->stdout_bytes), c.out);
    ASSERT_EQ(runner_.calls.size(), 1u);
    const bool is_gated = c.refs == gated;
    EXPECT_EQ(runner_.calls[0].program, is_gated ? allowlist::canonical_or_owned(c.program) : c.program);
  }
}

// A bare allowlisted name in a gated run is found on this process's PATH; the
// text cannot set PATH for such a run. An ungated run keeps the child's PATH.
TEST_F(WrapperTest, GatedBareNameIsFoundOnTheCallersPath) {
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:prod/app/db", "db-pass", Sensitivity::Medium));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/db", "dev-pass", Sensitivity::Medium));
  for (const char* dir : {"good", "evil"}) {
    fs::create_directories(tmp_.path() / dir);
    testing::write_file(tmp_ / (std::string(dir) + "/zt-probe"), std::string("#!/bin/sh\necho ") + dir + "\n",
                        kExec);
  }
  const char* old_path = std::getenv("PATH");
  ScopedEnv path("PATH", (tmp_ / "good") + ":" + (old_path ? old_path : "/usr/bin:/bin"));
  allowlist_.allow("zt-probe");  // does not resolve here, so kept as written
  const std::string evil = "PATH=" + (tmp_ / "evil") + ":/usr/bin:/bin\n";
  struct Case {
    std::string refs;
    const char* outcome;  // the child's stdout, or the error's text
  };
  const Case cases[] = {
      {evil + "A=secret:prod/app/db\n",
       "variable `PATH` changes where the program finds its own commands; high/prod injection refused"},
      {"A=secret:prod/app/db\n", "good\n"},
      {evil + "A=secret:dev/app/db\n", "evil\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refs);
    auto got = run(c.refs, "zt-probe", {});
    EXPECT_EQ(got ? text(got->stdout_bytes) : got.error().to_string(), c.outcome);
  }
}

// A gated bare name that names a file in the working directory is resolved
// there: that canonical file is what the allowlist checks, what starts and
// what argv[0] names, and the child runs in the caller's working directory.
// An ungated run finds the name on PATH.
TEST_F(WrapperTest, GatedBareNameInTheWorkingDirectoryIsThatFile) {
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:prod/app/db", "db-pass", Sensitivity::Medium));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/db", "dev-pass", Sensitivity::Medium));
  fs::create_directories(tmp_.path() / "work");
  fs::create_directories(tmp_.path() / "onpath");
  const std::string here = tmp_ / "work/zt-probe", on_path = tmp_ / "onpath/zt-probe";
  testing::write_file(here, "#!/bin/sh\nprintf '%s|%s' \"$0\" \"$(pwd -P)\"\n", kExec);
  testing::write_file(on_path, "#!/bin/sh\necho on-path\n", kExec);
  const char* old_path = std::getenv("PATH");
  ScopedEnv path("PATH", (tmp_ / "onpath") + ":" + (old_path ? old_path : "/usr/bin:/bin"));
  const std::string canonical_here = allowlist::canonical_or_owned(here);
  const std::string work = allowlist::canonical_or_owned(tmp_ / "work");
  testing::ScopedCwd cwd(tmp_.path() / "work");

  struct Case {
    const char* refs;
    std::string allowed;
    std::string outcome;  // the child's stdout, or the error's text
    std::vector<std::string> audit;
  };
  const Case cases[] = {
      {"A=secret:prod/app/db\n", here, canonical_here + "|" + work, {"inject injected prod/app/db prod agent"}},
      {"A=secret:prod/app/db\n", on_path,
       "`zt-probe` is not on the executor allowlist; high/prod injection refused (I15)",
       {"deny denied:not-allowlisted prod/app/db prod agent"}},
      {"A=secret:dev/app/db\n", here, "on-path\n", {"inject injected dev/app/db dev agent"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.refs + c.allowed);
    sink_.lines.clear();
    runner_.calls.clear();
    allowlist_ = Allowlist();
    allowlist_.allow(c.allowed);
    auto got = run(c.refs, "zt-probe", {});
    EXPECT_EQ(got ? text(got->stdout_bytes) : got.error().to_string(), c.outcome);
    EXPECT_EQ(sink_.lines, c.audit);
    if (!got) {
      EXPECT_TRUE(runner_.calls.empty());
      continue;
    }
    ASSERT_EQ(runner_.calls.size(), 1u);
    const auto& call = runner_.calls[0];
    const std::string expected = c.outcome == "on-path\n" ? "zt-probe" : canonical_here;
    EXPECT_EQ(call.program, expected);
  }
}

// Variables through which the text's author could steer the program that
// receives a gated value, one row or more per group. Names match exactly, as
// the programs read them; "LD_", "BASH_FUNC_", "GIT_CONFIG_", "CARGO_TARGET_",
// "RUSTUP_", "PIP_", "TF_CLI_ARGS", the version managers' and "GIT_TRACE"
// match as prefixes, and "npm_config_" as a prefix in any ASCII case, as npm
// reads it.
// Each is denied with one "deny" line per gated value, before a human is
// asked; ungated, each reaches the child.
TEST_F(WrapperTest, SteeringVariablesAreDeniedOnlyInGatedRuns) {
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:prod/app/db", "db-pass", Sensitivity::Medium));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/key", "key-pass", Sensitivity::High));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/db", "dev-pass", Sensitivity::Medium));
  allowlist_.allow("/bin/sh");
  const std::string loader = "changes how the program is loaded";
  const std::string libc = "steers the C library inside the program";
  const std::string shell = "makes a shell run code or changes what its scripts do";
  const std::string python = "changes which code Python loads or runs";
  const std::string perl = "changes which code Perl loads or runs";
  const std::string ruby = "changes which code Ruby loads or runs";
  const std::string node = "changes which code Node.js loads or runs";
  const std::string java = "changes which code Java loads or runs";
  const std::string git = "makes git run a command or read a configuration the text chooses";
  const std::string ssh = "makes ssh run a program the text chooses";
  const std::string command = "names a command that programs run for their user";
  const std::string home = "chooses the per-user start-up files that programs read";
  const std::string lookup = "changes where the program finds its own commands";
  const std::string module = "makes a library inside the program load a module or start a program the text chooses";
  const std::string tool_config =
      "chooses a start-up or configuration file that tells the tool what to run, load or send";
  const std::string tool_program = "names a program or code that the tool runs";
  const std::string npm = "sets npm's configuration, which chooses the shell and the programs npm runs";
  const std::string build = "gives a build tool makefiles, options or an installation that run code the text chooses";
  const std::string pip = "sets pip's configuration, which chooses where pip finds the packages whose build code it runs";
  const std::string terraform = "adds arguments to terraform's commands, which choose the plugins it runs";
  const std::string shim =
      "steers a version manager's shim, a shell script that sources hooks and chooses the program it runs";
  const std::string trace =
      "turns on debugging output that writes the program's credentials or TLS keys beyond the reach of masking";
  const std::string daemon = "chooses the daemon to which the tool sends everything it is given";
  const std::vector<std::pair<std::string, std::string>> denied = {
      {"LD_PRELOAD", loader}, {"LD_LIBRARY_PATH", loader}, {"LD_AUDIT", loader}, {"LD_BIND_NOW", loader},
      {"LD_", loader},
      {"GCONV_PATH", libc}, {"GETCONF_DIR", libc}, {"GLIBC_TUNABLES", libc}, {"HOSTALIASES", libc},
      {"LOCALDOMAIN", libc}, {"LOCPATH", libc}, {"MALLOC_TRACE", libc}, {"NIS_PATH", libc}, {"NLSPATH", libc},
      {"RESOLV_HOST_CONF", libc}, {"RES_OPTIONS", libc}, {"TZDIR", libc},
      {"BASH_ENV", shell}, {"SHELLOPTS", shell}, {"BASHOPTS", shell}, {"PS4", shell}, {"BASH_FUNC_ls", shell},
      {"BASH_FUNC_", shell}, {"CDPATH", shell}, {"ZDOTDIR", shell}, {"FPATH", shell},
      {"PYTHONPATH", python}, {"PYTHONHOME", python}, {"PYTHONPLATLIBDIR", python}, {"PYTHONSTARTUP", python},
      {"PYTHONINSPECT", python}, {"PYTHONUSERBASE", python}, {"PYTHONWARNINGS", python},
      {"PYTHONBREAKPOINT", python}, {"PYTHONPYCACHEPREFIX", python},
      {"PERL5LIB", perl}, {"PERLLIB", perl}, {"PERL5OPT", perl}, {"PERL5DB", perl},
      {"RUBYLIB", ruby}, {"RUBYOPT", ruby},
      {"NODE_OPTIONS", node}, {"NODE_PATH", node},
      {"JAVA_TOOL_OPTIONS", java}, {"_JAVA_OPTIONS", java}, {"JDK_JAVA_OPTIONS", java}, {"CLASSPATH", java},
      {"GIT_CONFIG", git}, {"GIT_CONFIG_COUNT", git}, {"GIT_CONFIG_KEY_0", git}, {"GIT_CONFIG_VALUE_0", git},
      {"GIT_CONFIG_GLOBAL", git}, {"GIT_CONFIG_SYSTEM", git}, {"GIT_CONFIG_PARAMETERS", git}, {"GIT_DIR", git},
      {"GIT_COMMON_DIR", git}, {"GIT_TEMPLATE_DIR", git}, {"GIT_EXEC_PATH", git}, {"GIT_SSH", git},
      {"GIT_SSH_COMMAND", git}, {"GIT_ASKPASS", git}, {"GIT_PROXY_COMMAND", git}, {"GIT_EXTERNAL_DIFF", git},
      {"GIT_EDITOR", git}, {"GIT_SEQUENCE_EDITOR", git}, {"GIT_PAGER", git}, {"GIT_ALLOW_PROTOCOL", git},
      {"SSH_ASKPASS", ssh},
      {"EDITOR", command}, {"VISUAL", command}, {"PAGER", command}, {"BROWSER", command},
      {"PSQL_EDITOR", command}, {"PSQL_PAGER", command}, {"PSQL_WATCH_PAGER", command},
      {"OPENSSL_CONF", module}, {"OPENSSL_CONF_INCLUDE", module}, {"OPENSSL_MODULES", module},
      {"OPENSSL_ENGINES", module},
      {"DBUS_SESSION_BUS_ADDRESS", module}, {"DBUS_SYSTEM_BUS_ADDRESS", module}, {"DBUS_STARTER_ADDRESS", module},
      {"GIO_EXTRA_MODULES", module}, {"GIO_MODULE_DIR", module}, {"GIO_LAUNCH_DESKTOP", module},
      {"GTK_MODULES", module}, {"GTK2_MODULES", module}, {"GTK3_MODULES", module}, {"GTK_PATH", module},
      {"SASL_PATH", module}, {"KRB5_CONFIG", module}, {"GSS_MECH_CONFIG", module}, {"SSH_SK_PROVIDER", module},
      {"PSQLRC", tool_config}, {"PGSYSCONFDIR", tool_config}, {"PGSERVICEFILE", tool_config},
      {"WGETRC", tool_config}, {"SYSTEM_WGETRC", tool_config}, {"CURL_HOME", tool_config},
      {"GNUPGHOME", tool_config}, {"AWS_CONFIG_FILE", tool_config}, {"AWS_SHARED_CREDENTIALS_FILE", tool_config},
      {"KUBECONFIG", tool_config}, {"AZURE_CONFIG_DIR", tool_config}, {"CLOUDSDK_CONFIG", tool_config},
      {"TF_CLI_CONFIG_FILE", tool_config}, {"TERRAFORM_CONFIG", tool_config}, {"DOCKER_CONFIG", tool_config},
      {"CARGO_HOME", tool_config},
      {"AZURE_EXTENSION_DIR", tool_program}, {"CLOUDSDK_PYTHON", tool_program}, {"RUSTC", tool_program},
      {"RUSTC_WRAPPER", tool_program}, {"RUSTC_WORKSPACE_WRAPPER", tool_program}, {"RUSTDOC", tool_program},
      {"RUSTFLAGS", tool_program}, {"CARGO_BUILD_RUSTC", tool_program},
      {"CARGO_BUILD_RUSTC_WRAPPER", tool_program}, {"CARGO_BUILD_RUSTC_WORKSPACE_WRAPPER", tool_program},
      {"CARGO_BUILD_RUSTDOC", tool_program}, {"CARGO_BUILD_RUSTFLAGS", tool_program},
      {"CARGO_ENCODED_RUSTFLAGS", tool_program}, {"CARGO_TARGET_X86_64_UNKNOWN_LINUX_GNU_LINKER", tool_program},
      {"CARGO_TARGET_X86_64_UNKNOWN_LINUX_GNU_RUNNER", tool_program},
      {"CARGO_TARGET_X86_64_UNKNOWN_LINUX_GNU_RUSTFLAGS", tool_program},
      {"CARGO_TARGET_AARCH64_UNKNOWN_LINUX_GNU_LINKER", tool_program}, {"CARGO_TARGET_DIR", tool_program},
      {"CARGO_TARGET_", tool_program}, {"RUSTDOCFLAGS", tool_program}, {"CARGO_BUILD_RUSTDOCFLAGS", tool_program},
      {"CARGO_ENCODED_RUSTDOCFLAGS", tool_program}, {"RUSTUP_TOOLCHAIN", tool_program},
      {"RUSTUP_HOME", tool_program}, {"RUSTUP_", tool_program},
      {"CLOUDSDK_PYTHON_ARGS", tool_program}, {"CLOUDSDK_GSUTIL_PYTHON", tool_program},
      {"CLOUDSDK_BQ_PYTHON", tool_program},
      {"KUBE_EDITOR", command}, {"KUBECTL_EXTERNAL_DIFF", command},
      {"MAKEFILES", build}, {"MAKEFLAGS", build}, {"GNUMAKEFLAGS", build}, {"MAVEN_OPTS", build},
      {"MAVEN_DEBUG_OPTS", build}, {"MAVEN_BASEDIR", build}, {"MAVEN_CONFIG", build}, {"MAVEN_ARGS", build},
      {"M2_HOME", build}, {"MAVEN_HOME", build}, {"GRADLE_OPTS", build}, {"GRADLE_USER_HOME", build},
      {"PIP_INDEX_URL", pip}, {"PIP_EXTRA_INDEX_URL", pip}, {"PIP_FIND_LINKS", pip}, {"PIP_CONFIG_FILE", pip},
      {"PIP_", pip},
      {"TF_CLI_ARGS", terraform}, {"TF_CLI_ARGS_init", terraform}, {"TF_CLI_ARGS_plan", terraform},
      {"PYENV_HOOK_PATH", shim}, {"PYENV_VERSION", shim}, {"PYENV_ROOT", shim}, {"PYENV_", shim},
      {"RBENV_HOOK_PATH", shim}, {"NODENV_HOOK_PATH", shim}, {"ASDF_DATA_DIR", shim}, {"ASDF_CONFIG_FILE", shim},
      {"GIT_TRACE", trace}, {"GIT_TRACE_CURL", trace}, {"GIT_TRACE_REDACT", trace}, {"GIT_TRACE2_EVENT", trace},
      {"GIT_CURL_VERBOSE", trace}, {"GIT_REDACT_COOKIES", trace}, {"SSLKEYLOGFILE", trace},
      {"DOCKER_HOST", daemon},
      {"npm_config_script_shell", npm}, {"NPM_CONFIG_SCRIPT_SHELL", npm}, {"Npm_Config_script_shell", npm},
      {"nPM_cONFIG_x", npm}, {"npm_config_node_options", npm}, {"NPM_CONFIG_USERCONFIG", npm},
      {"npm_config_", npm}, {"NPM_CONFIG_", npm},
      {"HOME", home}, {"XDG_CONFIG_HOME", home},
      {"PATH", lookup},
  };
  // Variables common in .env files that steer nothing the text could
  // exploit, other case, and names that merely contain or begin like a
  // listed one.
  const std::vector<std::string> accepted = {
      "ENV", "TMPDIR", "TZ", "LANG", "NODE_ENV", "PYTHONUNBUFFERED", "PYTHONDONTWRITEBYTECODE", "GIT_AUTHOR_NAME",
      "ld_preload", "Ld_PRELOAD", "XLD_PRELOAD", "LD", "LDFLAGS", "gconv_path", "GCONV_PATHX", "TMPDIRS", "TMP",
      "bash_env", "BASH_ENVX", "BASH_FUNC", "BASHFUNC_ls", "bash_func_ls", "ENVX", "XENV", "env",
      "PYTHONPATH2", "pythonpath", "JAVA_OPTIONS", "GIT_CONFIGX", "git_config_count", "GIT_DIRS", "XGIT_DIR",
      "HOMEDIR", "home", "Home", "XDG_CONFIG_HOMEX", "XDG_DATA_HOME", "EDITORS", "PATHX", "XPATH", "MANPATH",
      "path", "Path",
      // Ordinary configuration beside a production value, and names that
      // only resemble a listed one: the table holds names, not patterns.
      "DATABASE_URL", "AWS_REGION", "AWS_DEFAULT_REGION", "AWS_PROFILE", "SSL_CERT_FILE", "SSL_CERT_DIR",
      "CURL_CA_BUNDLE", "REQUESTS_CA_BUNDLE", "PGHOST", "PGPORT", "PGDATABASE", "PGUSER", "APP_CONFIG_FILE",
      "APP_HOME", "JAVA_HOME", "CARGO_TERM_COLOR", "RUST_LOG", "RUST_BACKTRACE",
      "openssl_conf", "OPENSSL_CONFX", "OPENSSL_CONFIG", "psqlrc", "Psqlrc", "PSQLRC2", "kubeconfig",
      "KUBECONFIGS", "XKUBECONFIG", "CARGO_HOMEX", "Cargo_Home", "rustc_wrapper", "RUSTC_WRAPPERS",
      "GNUPGHOMEX", "DBUS_SESSION_BUS_PID", "GTK_THEME", "npm_config", "NPM_CONFIG", "npmconfig_x",
      "npm_configx", "NPM_CONFIGX", "npm__config_x", "XNPM_CONFIG_X", "xnpm_config_x", "npm_package_name",
      "npm_lifecycle_event", "NPM_TOKEN",
      // What build tools, installers and deploy tools are ordinarily given,
      // and names beside the new prefixes, which are case-sensitive.
      "CC", "CXX", "JAVA_OPTS", "GOPATH", "HTTPS_PROXY", "TF_VAR_region", "CARGO_REGISTRIES_MY_TOKEN", "TERM",
      "DOCKER_TLS_VERIFY", "MAKE", "MAKEFILE", "makeflags", "MAVEN", "pip_index_url", "Pip_Index_Url", "PIP",
      "PIPX_HOME", "PIPENV_VENV_IN_PROJECT", "CARGO_TARGET", "cargo_target_dir", "RUSTUP", "rustup_toolchain",
      "TF_CLI_ARG", "tf_cli_args_init", "PYENV", "pyenv_version", "ASDF", "GIT_TRAC", "git_trace",
      "SSLKEYLOG", "sslkeylogfile", "docker_host", "DOCKER_HOSTS", "KUBE_EDITORS"};
  const std::string tail = "; high/prod injection refused";
  // Gated by a prod value, by a high one that would ask a human first, or by
  // both beside an ungated value.
  struct Gated {
    std::string refs;  // the variable's line goes in front
    std::vector<std::string> coordinates;
  };
  const Gated gated[] = {
      {"A=secret:prod/app/db\n", {"prod/app/db prod"}},
      {"A=secret:dev/app/key\n", {"dev/app/key dev"}},
      {"C=secret:dev/app/db\nA=secret:prod/app/db\nB=secret:dev/app/key\n", {"prod/app/db prod", "dev/app/key dev"}},
  };
  auto reset = [&] {
    sink_.lines.clear();
    runner_.calls.clear();
    confirmer_.requests.clear();
  };
  auto has_name = [&](const std::string& name) {
    return runner_.calls.size() == 1 && std::ranges::find(runner_.calls[0].names, name) != runner_.calls[0].names.end();
  };
  for (const auto& [name, reason] : denied) {
    const std::string line = name + "=zt-steer\n";
    for (const auto& g : gated) {
      // Before and after the gated values: the whole text is looked at.
      for (const std::string& refs : {line + g.refs, g.refs + line}) {
        SCOPED_TRACE(refs);
        reset();
        auto got = run(refs, "/bin/sh", {"-c", "true"});
        EXPECT_FALSE(got.has_value());
        if (got.has_value()) continue;
        EXPECT_EQ(got.error().kind(), WrapperErrorKind::SteeringVariable);
        EXPECT_EQ(got.error().detail(), name);
        EXPECT_EQ(got.error().reason(), reason);
        EXPECT_EQ(got.error().to_string(), "variable `" + name + "` " + reason + tail);
        std::vector<std::string> expected;
        for (const auto& c : g.coordinates) expected.push_back("deny denied:steering-variable " + c + " agent");
        EXPECT_EQ(sink_.lines, expected);
        EXPECT_TRUE(confirmer_.requests.empty());
        EXPECT_TRUE(runner_.calls.empty());
      }
    }
    SCOPED_TRACE(name + " ungated");
    reset();
    auto got = run(line + "A=secret:dev/app/db\n", "/bin/sh", {"-c", "true"});
    ASSERT_TRUE(got.has_value()) << got.error().to_string();
    EXPECT_TRUE(has_name(name));
  }
  for (const auto& name : accepted) {
    for (const auto& g : gated) {
      const std::string refs = name + "=zt-steer\n" + g.refs;
      SCOPED_TRACE(refs);
      reset();
      auto got = run(refs, "/bin/sh", {"-c", "true"});
      ASSERT_TRUE(got.has_value()) << got.error().to_string();
      EXPECT_TRUE(has_name(name));
      EXPECT_EQ(confirmer_.requests.size(), refs.find("dev/app/key") != std::string::npos ? 1u : 0u);
    }
  }
}

// ENV and TMPDIR beside a prod value reach the allowlisted program, which
// runs as usual.
TEST_F(WrapperTest, EnvAndTmpdirBesideAProdValueRun) {
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:prod/app/db", "db-pass", Sensitivity::Medium));
  allowlist_.allow("/bin/sh");
  auto got = run("ENV=production\nTMPDIR=/tmp\nA=secret:prod/app/db\n", "/bin/sh",
                 {"-c", "printf '%s|%s' \"$ENV\" \"$TMPDIR\""});
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(text(got->stdout_bytes), "production|/tmp");
  EXPECT_EQ(got->status, 0);
  EXPECT_EQ(sink_.lines, (std::vector<std::string>{"inject injected prod/app/db prod agent"}));
}

// The allowlist gate comes first: a program off the list is denied as ever,
// with its "deny" lines, whatever the text sets.
TEST_F(WrapperTest, SteeringVariableOffTheAllowlistIsDeniedFirst) {
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:prod/app/db", "db-pass", Sensitivity::Medium));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/key", "key-pass", Sensitivity::High));
  allowlist_.allow("/bin/cat");
  for (const char* name : {"LD_PRELOAD", "GCONV_PATH", "BASH_ENV", "PATH", "HOME", "GIT_CONFIG_COUNT"}) {
    SCOPED_TRACE(name);
    sink_.lines.clear();
    runner_.calls.clear();
    confirmer_.requests.clear();
    auto got = run(std::string(name) + "=zt-steer\nA=secret:prod/app/db\nB=secret:dev/app/key\n", "/bin/sh",
                   {"-c", "true"});
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().kind(), WrapperErrorKind::NotAllowlisted);
    EXPECT_EQ(sink_.lines, (std::vector<std::string>{"deny denied:not-allowlisted prod/app/db prod agent",
                                                     "deny denied:not-allowlisted dev/app/key dev agent"}));
    EXPECT_TRUE(confirmer_.requests.empty());
    EXPECT_TRUE(runner_.calls.empty());
  }
}

// A value that no environment can hold is refused after the allowlist and
// steering gates and before anyone is asked: no "inject" line, no child. One
// environment string holds 131072 bytes with "NAME=" and the final NUL, so
// `V` takes a value of 131069 bytes and `LONG_NAME` one of 131061.
TEST_F(WrapperTest, ValuesNoEnvironmentCanHoldAreRefusedBeforeTheInjectLines) {
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/nul", "a\0b"sv, Sensitivity::Medium));
  // The provider answers with the reference reversed: "b\0a/r//:ms-swa".
  ASSERT_NO_FATAL_FAILURE(put_reference("secret:dev/app/ref", std::string("aws-sm://r/a\0b", 15), Sensitivity::Low));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/high", "a\0b"sv, Sensitivity::High));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/over", std::string(131070, 'x'), Sensitivity::Medium));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/fits", std::string(131069, 'x'), Sensitivity::Medium));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/fits9", std::string(131061, 'x'), Sensitivity::Medium));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:prod/app/over", std::string(131070, 'x'), Sensitivity::Medium));
  env_.vars = {{"HOST_NUL", std::string("a\0b", 3)}};
  const auto nul = [](std::string_view name) {
    return "failed to launch child process: value for `" + std::string(name) +
           "` contains a NUL byte and cannot be injected";
  };
  const auto too_long = [](std::string_view name) {
    return "failed to launch child process: value for `" + std::string(name) +
           "` is too long to be injected: one environment string holds at most 131072 bytes, `" +
           std::string(name) + "=` and the final NUL included";
  };
  struct Case {
    const char* why;
    std::string refs;
    bool allowlisted;
    std::string outcome;  // the child's stdout, or the error's text
    std::vector<std::string> audit;
  };
  const std::string provider_line = "provider-invocation scheme:aws-sm dev/app/ref dev agent";
  const Case cases[] = {
      {"NUL in a vault value", "A=plain\nV=secret:dev/app/nul\n", false, nul("V"), {}},
      {"NUL in a provider's value", "V=secret:dev/app/nul\nP=secret:dev/app/ref\n", false, nul("V"),
       {provider_line}},
      {"NUL in a provider's value, first", "P=secret:dev/app/ref\nV=secret:dev/app/fits\n", false, nul("P"),
       {provider_line}},
      {"NUL from the host's environment", "H=${env:HOST_NUL}\nV=secret:dev/app/fits\n", false, nul("H"), {}},
      {"NUL in a high value: nobody is asked", "V=secret:dev/app/high\n", true, nul("V"), {}},
      {"one byte past the limit", "V=secret:dev/app/over\n", false, too_long("V"), {}},
      {"at the limit", "V=secret:dev/app/fits\n", false, "131069\n", {"inject injected dev/app/fits dev agent"}},
      {"a longer name shifts the limit", "LONG_NAME=secret:dev/app/fits\n", false, too_long("LONG_NAME"), {}},
      {"at the longer name's limit", "LONG_NAME=secret:dev/app/fits9\n", false, "131061\n",
       {"inject injected dev/app/fits9 dev agent"}},
      {"a literal of the text past the limit", "V=secret:dev/app/fits\nL=" + std::string(131070, 'z') + "\n",
       false, too_long("L"), {}},
      {"gated and allowlisted", "V=secret:prod/app/over\n", true, too_long("V"), {}},
      {"off the allowlist: denied as ever", "V=secret:prod/app/over\n", false,
       "`/bin/sh` is not on the executor allowlist; high/prod injection refused (I15)",
       {"deny denied:not-allowlisted prod/app/over prod agent"}},
      {"a steering variable: denied as ever", "PATH=/bin\nV=secret:prod/app/over\n", true,
       "variable `PATH` changes where the program finds its own commands; high/prod injection refused",
       {"deny denied:steering-variable prod/app/over prod agent"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    sink_.lines.clear();
    runner_.calls.clear();
    confirmer_.requests.clear();
    allowlist_ = Allowlist();
    if (c.allowlisted) allowlist_.allow("/bin/sh");
    auto got = run(c.refs, "/bin/sh", {"-c", "printf %s \"$V$LONG_NAME\" | wc -c"});
    EXPECT_EQ(got ? text(got->stdout_bytes) : got.error().to_string(), c.outcome);
    EXPECT_EQ(sink_.lines, c.audit);
    EXPECT_TRUE(confirmer_.requests.empty());
    EXPECT_EQ(runner_.calls.size(), got ? 1u : 0u);
    if (!got && c.outcome.starts_with("failed")) {
      EXPECT_EQ(got.error().kind(), WrapperErrorKind::Spawn);
    }
  }
}

// What exec cannot carry is refused after the allowlist and steering gates
// and before anyone is asked: a value that is not UTF-8, an argument or a
// variable of the host's longer than one string, or everything together past
// what the kernel takes for a program's start (2 MiB with an 8 MiB stack):
// no confirmation, no "inject" line, no child. As many values as the kernel
// takes still run.
TEST_F(WrapperTest, WhatExecCannotCarryIsRefusedBeforeAnyoneIsAskedOrAnyInjectLine) {
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/high", "v-high", Sensitivity::High));
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/latin1", "caf\xe9", Sensitivity::High));
  std::string eighteen, fifteen;
  std::vector<std::string> fifteen_lines;
  for (int i = 1; i <= 18; ++i) {
    const std::string c = "dev/app/big" + std::to_string(i);
    ASSERT_NO_FATAL_FAILURE(put_literal("secret:" + c, std::string(120000, 'b'), Sensitivity::Medium));
    const std::string line = "B" + std::to_string(i) + "=secret:" + c + "\n";
    eighteen += line;
    if (i > 15) continue;
    fifteen += line;
    fifteen_lines.push_back("inject injected " + c + " dev agent");
  }
  allowlist_.allow("/bin/sh");
  testing::ScopedStackLimit stack(8 << 20);
  ASSERT_TRUE(stack.ok());
  const std::string spawn = "failed to launch child process: ";
  const std::string total =
      "arguments and environment are too large to be passed together: with the program's path they take ";
  struct Case {
    const char* why;
    std::string refs;
    std::vector<std::string> args;
    std::optional<std::pair<std::string, std::string>> host;  // a variable of this process for the case
    std::string outcome;  // the child's stdout, or the start of the error's text
    std::vector<std::string> audit;
    std::size_t confirmations;
  };
  const Case cases[] = {
      {"a high value that is not UTF-8: nobody is asked", "A=secret:dev/app/latin1\n", {}, std::nullopt,
       spawn + "value for `A` is not valid UTF-8 and cannot be injected", {}, 0},
      {"an argument with a NUL beside a high value", "A=secret:dev/app/high\n", {"-c", std::string("echo a\0b", 8)},
       std::nullopt, spawn + "argument 2 contains a NUL byte and cannot be passed", {}, 0},
      {"an argument past one string beside a high value", "A=secret:dev/app/high\n", {"-c", std::string(131072, 'a')},
       std::nullopt,
       spawn + "argument 2 is too long to be passed: one argument holds at most 131072 bytes, the final NUL included",
       {}, 0},
      {"a variable of the host's past one string", "A=secret:dev/app/high\n", {"-c", "echo ran"},
       {{"BIG", std::string(131069, 'h')}},
       spawn + "variable `BIG` of the host's environment is too long to be passed: one environment string holds "
               "at most 131072 bytes, `BIG=` and the final NUL included",
       {}, 0},
      {"18 values of 120000 bytes", eighteen, {"-c", "echo ran"}, std::nullopt, spawn + total, {}, 0},
      {"15 values of 120000 bytes run", fifteen, {"-c", "echo ran"}, std::nullopt, "ran\n", fifteen_lines, 0},
      {"a variable of the host's the text replaces", "BIG=small\nA=secret:dev/app/high\n",
       {"-c", "echo \"$BIG\""}, {{"BIG", std::string(131069, 'h')}}, "small\n",
       {"approve approved dev/app/high dev agent", "inject injected dev/app/high dev agent"}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.why);
    std::optional<ScopedEnv> host;
    if (c.host) host.emplace(c.host->first, c.host->second);
    sink_.lines.clear();
    runner_.calls.clear();
    confirmer_.requests.clear();
    auto got = run(c.refs, "/bin/sh", c.args);
    if (got) {
      EXPECT_EQ(text(got->stdout_bytes), c.outcome);
    } else {
      EXPECT_EQ(got.error().kind(), WrapperErrorKind::Spawn);
      EXPECT_TRUE(got.error().to_string().starts_with(c.outcome)) << got.error().to_string();
    }
    EXPECT_EQ(sink_.lines, c.audit);
    EXPECT_EQ(confirmer_.requests.size(), c.confirmations);
    EXPECT_EQ(runner_.calls.size(), got ? 1u : 0u);
  }
}

TEST_F(WrapperTest, FailuresKeepWhatWasWrittenBefore) {
  ASSERT_NO_FATAL_FAILURE(put_literal("secret:dev/app/high", "v-high", Sensitivity::High));
  const std::string not_exec = tmp_ / "plain-file";
  testing::write_file(not_exec, "#!/bin/sh\necho no\n", fs::perms::owner_read | fs::perms::owner_write);
  allowlist_.allow("/nonexistent/zt-tool");
  allowlist_.allow(not_exec);
  struct Case {
    const char* refs;
    std::string program;
    std::vector<std::string> args;
    WrapperErrorKind kind;
    std::string error;
    std::vector<std::string> audit;
  };
  const std::vector<std::string> approved = {"approve approved dev/app/high dev agent",
                                             "inject injected dev/app/high dev agent"};
  const Case cases[] = {
      {"A=x\nB=secret:dev/app/missing\n", "/bin/sh", {}, WrapperErrorKind::Core,
       "env-refs error: `B`: coordinate `secret:dev/app/missing` did not resolve and has no fallback", {}},
      {"A=secret:dev/app/high\n", "/nonexistent/zt-tool", {}, WrapperErrorKind::Spawn,
       "failed to launch child process: launch /nonexistent/zt-tool: No such file or directory (os error 2)",
       approved},
      // Only the launch finds that it is no executable.
      {"A=secret:dev/app/high\n", not_exec, {}, WrapperErrorKind::Spawn,
       "failed to launch child process: launch " + not_exec + ": Permission denied (os error 13)", approved},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.error);
    sink_.lines.clear();
    runner_.calls.clear();
    auto got = run(c.refs, c.program, c.args);
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error().kind(), c.kind);
    EXPECT_EQ(got.error().to_string(), c.error);
    EXPECT_EQ(sink_.lines, c.audit);
    EXPECT_EQ(runner_.calls.size(), c.kind == WrapperErrorKind::Core ? 0u : 1u);
  }
}

}  // namespace
}  // namespace zantu::wrapper
