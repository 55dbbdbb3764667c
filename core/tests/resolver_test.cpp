#include "zantu/core/resolver.hpp"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "support.hpp"
#include "zantu/core/store.hpp"

namespace zantu::core {
namespace {

namespace fs = std::filesystem;
using namespace std::string_view_literals;
using testing::coord;
using testing::FixedClock;
using testing::MapEnv;
using testing::put_record;
using testing::record_meta;
using testing::TempDir;
using testing::test_key;

using Values = std::map<std::string, std::string, std::less<>>;

// Keeps every event; a failing sink still sees each event but reports an error.
class RecordingSink final : public AuditSink {
 public:
  explicit RecordingSink(bool fail = false) : fail_(fail) {}
  Status record(const AuditEvent& event) const override {
    events.push_back(event);
    if (fail_) return std::unexpected(CoreError::audit("open audit log: Permission denied (os error 13)"));
    return {};
  }
  mutable std::vector<AuditEvent> events;

 private:
  bool fail_;
};

// What the test provider was asked: each reference, and how many audit events
// had been written when it was asked.
struct ProviderLog {
  std::vector<std::string> calls;
  std::vector<std::size_t> events_before_call;
};

// Answers from a fixed table of references; any other reference fails.
class TableProvider final : public SecretProvider {
 public:
  TableProvider(std::string scheme, Values values, ProviderLog* log, const RecordingSink* sink)
      : scheme_(std::move(scheme)), values_(std::move(values)), log_(log), sink_(sink) {}
  Result<SecretValue> materialize(std::string_view reference) const override {
    log_->calls.emplace_back(reference);
    log_->events_before_call.push_back(sink_->events.size());
    auto it = values_.find(reference);
    if (it == values_.end()) {
      return std::unexpected(CoreError::provider("test provider: `" + std::string(reference) + "` not found"));
    }
    return SecretValue::from(std::string_view(it->second));
  }
  std::string_view scheme() const noexcept override { return scheme_; }

 private:
  std::string scheme_;
  Values values_;
  ProviderLog* log_;
  const RecordingSink* sink_;
};

// One line per resolved variable, every field shown ("-" for absent).
std::string describe(const ResolvedVar& v) {
  auto opt = [](const std::optional<std::string>& s) { return s ? *s : std::string("-"); };
  std::string vault = "-";
  if (v.vault_origin) {
    vault = v.vault_origin->is_global() ? "global" : "project:" + std::string(v.vault_origin->project());
  }
  return v.name + " env=" + v.environment + " coord=" + opt(v.coordinate) + " ref=" + opt(v.reference) +
         " vault=" + vault + " sens=" + (v.sensitivity ? std::string(sensitivity::wire_name(*v.sensitivity)) : "-") +
         " value=" + std::string(v.value.view());
}

std::vector<std::string> describe(const std::vector<ResolvedVar>& vars) {
  std::vector<std::string> out;
  for (const auto& v : vars) out.push_back(describe(v));
  return out;
}

// A vault root in a temporary directory with records written under the test
// key, and recording collaborators around it.
class ResolverTest : public ::testing::Test {
 protected:
  ResolverTest() : registry_(Registry::open(tmp_.path() / "root").value()), keyring_(test_key()) {}

  // Seals `record` for `coordinate` into `dir` under `key`.
  static void put(const fs::path& dir, std::string_view coordinate, SecretRecord record,
                  const MasterKey& key = test_key()) {
    put_record(dir, coord(coordinate), record, key);
  }
  static RecordMeta meta(std::string_view coordinate, Sensitivity s) { return record_meta(coord(coordinate), s); }
  static void put_literal(const fs::path& dir, std::string_view coordinate, std::string_view value,
                          Sensitivity s = Sensitivity::Low) {
    put(dir, coordinate, SecretRecord::Literal{SecretValue::from(value), meta(coordinate, s)});
  }
  static void put_reference(const fs::path& dir, std::string_view coordinate, std::string ref,
                            Sensitivity s = Sensitivity::Medium) {
    put(dir, coordinate, SecretRecord::Reference{std::move(ref), meta(coordinate, s)});
  }
  static void put_keypair(const fs::path& dir, std::string_view coordinate, std::optional<std::string_view> private_key,
                          std::string public_key, Sensitivity s = Sensitivity::High) {
    std::optional<SecretValue> priv;
    if (private_key) priv = SecretValue::from(*private_key);
    put(dir, coordinate,
        SecretRecord::Keypair{KeyAlgorithm::Ed25519, std::move(priv), std::move(public_key), meta(coordinate, s)});
  }
  static void put_totp(const fs::path& dir, std::string_view coordinate) {
    put(dir, coordinate,
        SecretRecord::Totp{SecretValue::from("JBSWY3DPEHPK3PXP"sv), TotpAlgorithm::Sha1, 6, 30,
                           meta(coordinate, Sensitivity::High)});
  }

  // The test provider answering every scheme directly (no router).
  void provide(Values values) { provider_ = std::make_unique<TableProvider>("*", std::move(values), &log_, &sink_); }

  Result<std::vector<ResolvedVar>> resolve(std::string_view text, std::string_view env,
                                           std::optional<std::string_view> project = std::nullopt,
                                           const AuditSink* sink = nullptr, Origin origin = Origin::Agent) {
    auto refs = EnvRefs::parse(text);
    EXPECT_TRUE(refs.has_value()) << text << ": " << refs.error().to_string();
    if (!refs) return std::unexpected(refs.error());
    return resolver::resolve(*refs, env, registry_, keyring_, env_, *provider_, sink ? *sink : sink_, clock_, origin,
                             project);
  }

  std::string error_of(std::string_view text, std::string_view env, std::optional<std::string_view> project = {}) {
    auto got = resolve(text, env, project);
    if (got) return "resolved";
    return got.error().to_string();
  }

  TempDir tmp_;
  Registry registry_;
  MockKeyring keyring_;
  MapEnv env_;
  ProviderLog log_;
  RecordingSink sink_;
  FixedClock clock_;
  std::unique_ptr<SecretProvider> provider_ = std::make_unique<TableProvider>("*", Values{}, &log_, &sink_);
};

TEST_F(ResolverTest, EachSourceFillsItsOwnFields) {
  const fs::path global = registry_.global_dir();
  const fs::path web = registry_.project_dir("web");
  ASSERT_NO_FATAL_FAILURE(put_literal(web, "secret:dev/app/db", "db-pass", Sensitivity::Medium));
  ASSERT_NO_FATAL_FAILURE(put_reference(global, "secret:dev/app/api", "aws-sm://eu-west-1/api", Sensitivity::High));
  ASSERT_NO_FATAL_FAILURE(put_keypair(global, "secret:dev/app/ssh", "PRIVATE-BYTES"sv, "ssh-ed25519 AAAA"));
  ASSERT_NO_FATAL_FAILURE(put_literal(global, "secret:staging/app/db", "staging-pass", Sensitivity::InjectOnly));
  provide({{"aws-sm://eu-west-1/api", "api-token"}});
  env_.vars = {{"EMPTY", ""}, {"USER_NAME", "alice"}};

  auto got = resolve(
      "project = web\n"
      "INLINE=hello\n"
      "EMPTY_INLINE=\n"
      "FROM_ENV=${env:USER_NAME|nobody}\n"
      "ENV_EMPTY=${env:EMPTY|unused}\n"
      "ENV_FALLBACK=${env:MISSING|fb}\n"
      "NO_RECORD=secret:dev/app/missing|fallback\n"
      "EMPTY_FALLBACK=secret:dev/app/missing|\n"
      "LITERAL=secret:dev/app/db\n"
      "LITERAL_FRAGMENT=secret:dev/app/db#private\n"
      "REFERENCE=secret:dev/app/api#public\n"
      "PRIVATE=secret:dev/app/ssh#private\n"
      "PUBLIC=secret:dev/app/ssh#public\n"
      "PUBLIC_BARE=secret:dev/app/ssh\n"
      "PLACEHOLDER=secret:${ENV}/app/db\n",
      "staging");
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(describe(*got),
            (std::vector<std::string>{
                "INLINE env=staging coord=- ref=- vault=- sens=- value=hello",
                "EMPTY_INLINE env=staging coord=- ref=- vault=- sens=- value=",
                "FROM_ENV env=staging coord=- ref=- vault=- sens=- value=alice",
                "ENV_EMPTY env=staging coord=- ref=- vault=- sens=- value=",
                "ENV_FALLBACK env=staging coord=- ref=- vault=- sens=- value=fb",
                "NO_RECORD env=dev coord=dev/app/missing ref=- vault=- sens=- value=fallback",
                "EMPTY_FALLBACK env=dev coord=dev/app/missing ref=- vault=- sens=- value=",
                "LITERAL env=dev coord=dev/app/db ref=- vault=project:web sens=medium value=db-pass",
                "LITERAL_FRAGMENT env=dev coord=dev/app/db ref=- vault=project:web sens=medium value=db-pass",
                "REFERENCE env=dev coord=dev/app/api ref=aws-sm://eu-west-1/api vault=global sens=high "
                "value=api-token",
                "PRIVATE env=dev coord=dev/app/ssh ref=- vault=global sens=high value=PRIVATE-BYTES",
                "PUBLIC env=dev coord=- ref=- vault=- sens=- value=ssh-ed25519 AAAA",
                "PUBLIC_BARE env=dev coord=- ref=- vault=- sens=- value=ssh-ed25519 AAAA",
                "PLACEHOLDER env=staging coord=staging/app/db ref=- vault=global sens=inject-only value=staging-pass",
            }));
}

TEST_F(ResolverTest, AnEmptyCallEnvironmentOnlyMattersForThePlaceholder) {
  ASSERT_NO_FATAL_FAILURE(put_literal(registry_.global_dir(), "secret:dev/app/db", "dev-pass"));
  ASSERT_NO_FATAL_FAILURE(put_literal(registry_.global_dir(), "secret:prod/app/db", "prod-pass", Sensitivity::High));
  auto got = resolve("A=x\nDB=secret:dev/app/db\nPROD=secret:prod/app/db\n", "");
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(describe(*got), (std::vector<std::string>{
                                "A env= coord=- ref=- vault=- sens=- value=x",
                                "DB env=dev coord=dev/app/db ref=- vault=global sens=low value=dev-pass",
                                "PROD env=prod coord=prod/app/db ref=- vault=global sens=high value=prod-pass",
                            }));
  EXPECT_TRUE(resolve("", "dev")->empty());
}

TEST_F(ResolverTest, RefusalsNameTheVariable) {
  const fs::path global = registry_.global_dir();
  ASSERT_NO_FATAL_FAILURE(put_literal(global, "secret:prod/app/db", "prod-pass"));
  ASSERT_NO_FATAL_FAILURE(put_keypair(global, "secret:dev/app/pub-only", std::nullopt, "ssh-ed25519 BBBB"));
  ASSERT_NO_FATAL_FAILURE(put_totp(global, "secret:dev/app/otp"));
  // Sealed under another key: the registry's own error comes back.
  ASSERT_NO_FATAL_FAILURE(
      put(global, "secret:dev/app/foreign",
          SecretRecord::Literal{SecretValue::from("x"sv), meta("secret:dev/app/foreign", Sensitivity::Low)},
          test_key(0x17)));
  const std::string totp =
      " is a TOTP enrollment \u2014 its code is time-varying and single-use, so it cannot be injected via "
      "`.env.refs`; produce one on demand with `zantu code`";
  struct Case {
    const char* text;
    const char* env;
    std::string error;
  };
  const Case cases[] = {
      {"P=${env:NOPE}", "dev", "env-refs error: `P`: env var `NOPE` is unset and has no fallback"},
      {"C=secret:dev/app", "dev", Coordinate::from_str("secret:dev/app").error().to_string()},
      {"X=secret:${ENV}/app/db", "", "env-refs error: `X`: a `${ENV}` coordinate needs a non-empty --env"},
      {"X=secret:${ENV}/app/db|fb", "", "env-refs error: `X`: a `${ENV}` coordinate needs a non-empty --env"},
      // The prod refusal comes before the lookup: an existing record changes nothing.
      {"DB=secret:prod/app/db|x", "dev", "env-refs error: `DB`: a `| fallback` is forbidden for prod (I4c)"},
      {"DB=secret:prod/app/none|", "dev", "env-refs error: `DB`: a `| fallback` is forbidden for prod (I4c)"},
      {"DB=secret:${ENV}/app/db|x", "prod", "env-refs error: `DB`: a `| fallback` is forbidden for prod (I4c)"},
      {"DB=secret:dev/app/nope", "dev",
       "env-refs error: `DB`: coordinate `secret:dev/app/nope` did not resolve and has no fallback"},
      // The coordinate's text form, with the placeholder filled, the selector and the fragment kept.
      {"DB=secret://global/${ENV}/app/nope#private", "qa",
       "env-refs error: `DB`: coordinate `secret://global/qa/app/nope#private` did not resolve and has no fallback"},
      {"K=secret:dev/app/pub-only#private", "dev",
       "env-refs error: `K`: coordinate selects `#private` but this is a public-only keypair"},
      {"T=secret:dev/app/otp", "dev", "env-refs error: `T`: coordinate `dev/app/otp`" + totp},
      {"T=secret:${ENV}/app/otp#public", "dev", "env-refs error: `T`: coordinate `dev/app/otp`" + totp},
      {"T=secret://global/dev/app/otp#private", "dev", "env-refs error: `T`: coordinate `dev/app/otp`" + totp},
      {"F=secret:dev/app/foreign|fb", "dev", "crypto operation failed"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(error_of(c.text, c.env), c.error) << c.text;
  }
  EXPECT_TRUE(sink_.events.empty());
  EXPECT_TRUE(log_.calls.empty());
}

TEST_F(ResolverTest, AFailingKeyringFailsEveryTextBeforeAnyVariable) {
  MockKeyring empty;
  for (const char* text : {"", "A=x\n", "A=secret:dev/app/db\n"}) {
    auto refs = EnvRefs::parse(text).value();
    auto got =
        resolver::resolve(refs, "dev", registry_, empty, env_, *provider_, sink_, clock_, Origin::Agent, std::nullopt);
    ASSERT_FALSE(got.has_value()) << text;
    EXPECT_EQ(got.error(), empty.get_master_key().error()) << text;
  }
  EXPECT_TRUE(sink_.events.empty());
}

TEST_F(ResolverTest, ProjectVaultComesFirstUnlessTheCoordinateSaysGlobal) {
  ASSERT_NO_FATAL_FAILURE(put_literal(registry_.project_dir("web"), "secret:dev/app/db", "in-web"));
  ASSERT_NO_FATAL_FAILURE(put_literal(registry_.project_dir("api"), "secret:dev/app/db", "in-api"));
  ASSERT_NO_FATAL_FAILURE(put_literal(registry_.global_dir(), "secret:dev/app/db", "in-global"));
  ASSERT_NO_FATAL_FAILURE(put_literal(registry_.global_dir(), "secret:dev/app/shared", "shared-global"));
  struct Case {
    const char* text;
    std::optional<std::string_view> project;
    const char* want;  // "<vault> <value>"
  };
  const Case cases[] = {
      {"V=secret:dev/app/db", "web", "project:web in-web"},
      {"project = web\nV=secret:dev/app/db", std::nullopt, "project:web in-web"},
      {"project = web\nV=secret:dev/app/db", "api", "project:api in-api"},  // the argument wins
      {"project = web\nV=secret:dev/app/db", "none-such", "global in-global"},
      {"V=secret:dev/app/db", std::nullopt, "global in-global"},
      {"V=secret://global/dev/app/db", "web", "global in-global"},
      {"project = web\nV=secret://global/dev/app/db", std::nullopt, "global in-global"},
      {"V=secret:dev/app/shared", "web", "global shared-global"},
  };
  for (const auto& c : cases) {
    auto got = resolve(c.text, "dev", c.project);
    ASSERT_TRUE(got.has_value()) << c.text << ": " << got.error().to_string();
    ASSERT_EQ(got->size(), 1u);
    const ResolvedVar& v = got->front();
    ASSERT_TRUE(v.vault_origin.has_value()) << c.text;
    const std::string vault =
        v.vault_origin->is_global() ? "global" : "project:" + std::string(v.vault_origin->project());
    EXPECT_EQ(vault + " " + std::string(v.value.view()), c.want) << c.text;
  }
}

TEST_F(ResolverTest, ABadRecordInTheProjectVaultIsNotPassedOver) {
  ASSERT_NO_FATAL_FAILURE(put_literal(registry_.global_dir(), "secret:dev/app/db", "in-global"));
  const Coordinate c = Coordinate::from_str("secret:dev/app/db").value();
  fs::create_directories(registry_.project_dir("web"));
  std::ofstream(store::record_path(registry_.project_dir("web"), c).value(), std::ios::binary) << "ZANT garbage";
  auto got = resolve("DB=secret:dev/app/db|fb", "dev", "web");
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error(), registry_.resolve_with_key(c, "web", test_key()).error());
}

TEST_F(ResolverTest, EachDistinctReferenceIsMaterialisedAndAuditedOncePerCall) {
  const fs::path global = registry_.global_dir();
  ASSERT_NO_FATAL_FAILURE(put_reference(global, "secret:dev/app/one", "aws-sm://r/shared", Sensitivity::Low));
  ASSERT_NO_FATAL_FAILURE(
      put_reference(registry_.project_dir("web"), "secret:qa/app/two", "aws-sm://r/shared", Sensitivity::High));
  ASSERT_NO_FATAL_FAILURE(put_reference(global, "secret:dev/app/three", "azure-kv://v/other"));
  provide({{"aws-sm://r/shared", "shared-value"}, {"azure-kv://v/other", "other-value"}});
  const char* text =
      "ONE=secret:dev/app/one\nTWO=secret:qa/app/two\nTHREE=secret:dev/app/three\nAGAIN=secret:dev/app/one\n";

  auto got = resolve(text, "dev", "web", nullptr, Origin::Human);
  ASSERT_TRUE(got.has_value()) << got.error().to_string();
  EXPECT_EQ(describe(*got),
            (std::vector<std::string>{
                "ONE env=dev coord=dev/app/one ref=aws-sm://r/shared vault=global sens=low value=shared-value",
                "TWO env=qa coord=qa/app/two ref=aws-sm://r/shared vault=project:web sens=high value=shared-value",
                "THREE env=dev coord=dev/app/three ref=azure-kv://v/other vault=global sens=medium value=other-value",
                "AGAIN env=dev coord=dev/app/one ref=aws-sm://r/shared vault=global sens=low value=shared-value",
            }));
  EXPECT_EQ(log_.calls, (std::vector<std::string>{"aws-sm://r/shared", "azure-kv://v/other"}));
  // Each line is written before its provider call.
  EXPECT_EQ(log_.events_before_call, (std::vector<std::size_t>{1, 2}));
  std::vector<std::string> lines;
  for (const auto& e : sink_.events) lines.push_back(e.to_json());
  EXPECT_EQ(lines, (std::vector<std::string>{
                       R"({"ts":"2023-11-14T22:13:20Z","action":"provider-invocation","coordinate":"dev/app/one",)"
                       R"("environment":"dev","result":"scheme:aws-sm","origin":"human"})",
                       R"({"ts":"2023-11-14T22:13:20Z","action":"provider-invocation","coordinate":"dev/app/three",)"
                       R"("environment":"dev","result":"scheme:azure-kv","origin":"human"})",
                   }));

  // Nothing is kept between calls.
  ASSERT_TRUE(resolve(text, "dev", "web").has_value());
  EXPECT_EQ(log_.calls.size(), 4u);
  EXPECT_EQ(sink_.events.size(), 4u);
  EXPECT_EQ(*sink_.events.back().origin, "agent");
}

TEST_F(ResolverTest, TheProviderLineCarriesTheCoordinatesEnvironmentNotTheCalls) {
  ASSERT_NO_FATAL_FAILURE(put_reference(registry_.global_dir(), "secret:prod/app/tok", "aws-sm://r/prod-tok"));
  ASSERT_NO_FATAL_FAILURE(put_reference(registry_.global_dir(), "secret:qa/app/tok", "aws-sm://r/qa-tok"));
  provide({{"aws-sm://r/prod-tok", "p"}, {"aws-sm://r/qa-tok", "q"}});
  struct Case {
    const char* text;
    const char* call_env;
    const char* line_env;
  };
  const Case cases[] = {
      {"T=secret:prod/app/tok", "dev", "prod"},
      {"T=secret:${ENV}/app/tok", "qa", "qa"},
  };
  for (const auto& c : cases) {
    sink_.events.clear();
    auto got = resolve(c.text, c.call_env);
    ASSERT_TRUE(got.has_value()) << c.text << ": " << got.error().to_string();
    ASSERT_EQ(sink_.events.size(), 1u) << c.text;
    EXPECT_EQ(sink_.events[0].environment, c.line_env) << c.text;
    EXPECT_EQ(got->front().environment, c.line_env) << c.text;
  }
}

TEST_F(ResolverTest, TheRouterRefusesAfterTheAuditLine) {
  ASSERT_NO_FATAL_FAILURE(put_reference(registry_.global_dir(), "secret:dev/app/bare", "no-separator"));
  ASSERT_NO_FATAL_FAILURE(put_reference(registry_.global_dir(), "secret:dev/app/vault", "vault://x"));
  ASSERT_NO_FATAL_FAILURE(put_reference(registry_.global_dir(), "secret:dev/app/gone", "aws-sm://r/gone"));
  provider_ = std::make_unique<SchemeRouter>(
      SchemeRouter().with(std::make_unique<TableProvider>("aws-sm", Values{}, &log_, &sink_)));
  struct Case {
    const char* text;
    const char* result;
    const char* error;
  };
  const Case cases[] = {
      {"B=secret:dev/app/bare", "scheme:unknown",
       "provider error: reference `no-separator` is malformed: expected `<scheme>://\u2026`"},
      {"V=secret:dev/app/vault", "scheme:vault",
       "provider error: no provider registered for reference scheme `vault` (supported: azure-kv, aws-sm)"},
      // The provider's own failure, unchanged; its audit line stays.
      {"G=secret:dev/app/gone", "scheme:aws-sm", "provider error: test provider: `aws-sm://r/gone` not found"},
  };
  for (const auto& c : cases) {
    sink_.events.clear();
    EXPECT_EQ(error_of(c.text, "dev"), c.error) << c.text;
    ASSERT_EQ(sink_.events.size(), 1u) << c.text;
    EXPECT_EQ(sink_.events[0].result, c.result) << c.text;
  }
  EXPECT_EQ(log_.calls, std::vector<std::string>{"aws-sm://r/gone"});
}

TEST_F(ResolverTest, AFailingAuditSinkChangesNothing) {
  ASSERT_NO_FATAL_FAILURE(put_reference(registry_.global_dir(), "secret:dev/app/api", "aws-sm://r/api"));
  ASSERT_NO_FATAL_FAILURE(put_reference(registry_.global_dir(), "secret:dev/app/api2", "aws-sm://r/api"));
  provide({{"aws-sm://r/api", "api-token"}});
  const char* text = "A=secret:dev/app/api\nB=secret:dev/app/api2\nC=plain\n";

  auto good = resolve(text, "dev");
  ASSERT_TRUE(good.has_value()) << good.error().to_string();
  RecordingSink failing(true);
  auto despite = resolve(text, "dev", std::nullopt, &failing);
  ASSERT_TRUE(despite.has_value()) << despite.error().to_string();
  EXPECT_EQ(describe(*despite), describe(*good));
  EXPECT_EQ(failing.events.size(), 1u);
  EXPECT_EQ(log_.calls.size(), 2u);  // one per call, as with a working sink
}

TEST_F(ResolverTest, AFailureAtTheThirdVariableReturnsOnlyTheError) {
  ASSERT_NO_FATAL_FAILURE(put_literal(registry_.global_dir(), "secret:dev/app/db", "db-pass"));
  ASSERT_NO_FATAL_FAILURE(put_reference(registry_.global_dir(), "secret:dev/app/api", "aws-sm://r/api"));
  provide({{"aws-sm://r/api", "api-token"}});
  auto got = resolve("A=secret:dev/app/db\nB=secret:dev/app/api\nC=secret:dev/app/nope\nD=never\n", "dev");
  ASSERT_FALSE(got.has_value());
  EXPECT_EQ(got.error().to_string(),
            "env-refs error: `C`: coordinate `secret:dev/app/nope` did not resolve and has no fallback");
  // The audit line written for the second variable stays written.
  ASSERT_EQ(sink_.events.size(), 1u);
  EXPECT_EQ(sink_.events[0].coordinate, "dev/app/api");
}

}  // namespace
}  // namespace zantu::core
