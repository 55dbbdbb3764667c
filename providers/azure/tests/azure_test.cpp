#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/tests/support.hpp"
#include "zantu/providers/azure/azure.hpp"

namespace zantu::providers::azure {
namespace {

using namespace std::chrono_literals;

using core::testing::bytes_of;

TEST(AzureRef, AcceptedReferences) {
  struct Case {
    std::string_view reference, vault, secret_name;
  };
  const Case cases[] = {
      {"azure-kv://kv-prod1/DbPassword", "kv-prod1", "DbPassword"},  // upper case is accepted
      {"azure-kv://KV/s-1", "KV", "s-1"},
      {"azure-kv://a/b", "a", "b"},
      {"azure-kv://abcXYZ019-/Z-z-9-", "abcXYZ019-", "Z-z-9-"},
  };
  for (const Case& c : cases) {
    auto ref = AzureRef::parse(c.reference);
    ASSERT_TRUE(ref) << c.reference << ": " << ref.error().detail();
    EXPECT_EQ(ref->vault, c.vault);
    EXPECT_EQ(ref->secret_name, c.secret_name);
  }
}

TEST(AzureRef, RejectedReferencesNameTheFirstFailingCheck) {
  struct Case {
    std::string_view reference, message, why;
  };
  const Case cases[] = {
      {"", "reference `` is not an `azure-kv://<vault>/<secret>` URI", "empty"},
      {"AZURE-KV://kv/s", "reference `AZURE-KV://kv/s` is not an `azure-kv://<vault>/<secret>` URI", "byte-exact"},
      {"azure-kv:/kv/s", "reference `azure-kv:/kv/s` is not an `azure-kv://<vault>/<secret>` URI", "one slash"},
      {"aws-sm://r/s", "reference `aws-sm://r/s` is not an `azure-kv://<vault>/<secret>` URI", "other scheme"},
      {"azure-kv://", "azure-kv reference `azure-kv://` is missing the `/<secret-name>` part", "nothing after it"},
      {"azure-kv://kv1", "azure-kv reference `azure-kv://kv1` is missing the `/<secret-name>` part", "no slash"},
      {"azure-kv:///s", "azure-kv reference `azure-kv:///s` has an empty vault name", "empty vault"},
      {"azure-kv://kv1/", "azure-kv reference `azure-kv://kv1/` has an empty secret name", "empty secret"},
      {"azure-kv:///", "azure-kv reference `azure-kv:///` has an empty vault name", "vault before secret"},
      {"azure-kv://kv1/a/b", "azure-kv reference `azure-kv://kv1/a/b` has an unexpected `/` in the secret name",
       "second slash"},
      {"azure-kv://-kv/a/b", "azure-kv reference `azure-kv://-kv/a/b` has an unexpected `/` in the secret name",
       "the slash before the vault's dash"},
      {"azure-kv://kv1//", "azure-kv reference `azure-kv://kv1//` has an unexpected `/` in the secret name",
       "secret of one slash"},
      {"azure-kv://-kv/s",
       "azure-kv reference `azure-kv://-kv/s` has a vault name starting with `-` (refused — it could be read as a "
       "CLI flag)",
       "leading dash in the vault"},
      {"azure-kv://kv_1/s", "azure-kv reference `azure-kv://kv_1/s` has an invalid character in the vault name",
       "underscore"},
      {"azure-kv://kv.1/-s", "azure-kv reference `azure-kv://kv.1/-s` has an invalid character in the vault name",
       "vault checked before the secret"},
      {"azure-kv://k\xc3\xa9/s", "azure-kv reference `azure-kv://k\xc3\xa9/s` has an invalid character in the vault name",
       "non-ASCII"},
      {"azure-kv://kv1/-s",
       "azure-kv reference `azure-kv://kv1/-s` has a secret name starting with `-` (refused — it could be read as a "
       "CLI flag)",
       "leading dash in the secret"},
      {"azure-kv://kv1/a.b", "azure-kv reference `azure-kv://kv1/a.b` has an invalid character in the secret name",
       "dot"},
      {"azure-kv://kv1/a b", "azure-kv reference `azure-kv://kv1/a b` has an invalid character in the secret name",
       "space"},
      {"azure-kv://kv1/a_b", "azure-kv reference `azure-kv://kv1/a_b` has an invalid character in the secret name",
       "underscore"},
  };
  for (const Case& c : cases) {
    auto ref = AzureRef::parse(c.reference);
    ASSERT_FALSE(ref) << c.why;
    EXPECT_EQ(ref.error().kind(), core::CoreErrorKind::Provider) << c.why;
    EXPECT_EQ(ref.error().detail(), c.message) << c.why;
  }
}

TEST(AzureRef, ValidateSegmentOnItsOwn) {
  EXPECT_TRUE(validate_segment("Kv-1", "vault name", "ref"));
  auto dash = validate_segment("-x", "secret name", "whole ref");
  ASSERT_FALSE(dash);
  EXPECT_EQ(dash.error().detail(),
            "azure-kv reference `whole ref` has a secret name starting with `-` (refused — it could be read as a CLI "
            "flag)");
  auto bad = validate_segment("a+b", "vault name", "whole ref");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().detail(), "azure-kv reference `whole ref` has an invalid character in the vault name");
}

TEST(AzureRef, ArgumentVectorHasItsFixedForm) {
  auto ref = AzureRef::parse("azure-kv://kv1/s1");
  ASSERT_TRUE(ref);
  const std::vector<std::string> want = {"keyvault", "secret", "show",  "--vault-name", "kv1", "--name",
                                         "s1",       "--query", "value", "-o",           "json"};
  EXPECT_EQ(ref->az_args(), want);
}

constexpr std::string_view kAccessHint =
    "az is not authenticated or lacks access (run `az login`; check the tenant and the vault access policy)";
constexpr std::string_view kVaultHint = "the vault was not found or is unreachable";
constexpr std::string_view kNotFoundHint = "the secret was not found in the vault (check the name and your access)";
constexpr std::string_view kFallbackHint = "the `az` invocation failed";

std::string failure_text(std::string_view hint, std::string_view exit) {
  return "azure-kv: " + std::string(hint) + " [vault=`kv1`, secret=`s1`, exit=" + std::string(exit) + "]";
}

TEST(Azure, ClassifyFailureChoosesTheEarliestMatchingGroup) {
  const AzureRef ref{"kv1", "s1"};
  struct Case {
    std::string_view stderr_text;
    std::string_view hint;
  };
  const Case cases[] = {
      {"Please run 'az login' to setup account.", kAccessHint},
      {"please run something", kAccessHint},
      {"You are Not Logged In", kAccessHint},
      {"Authentication failed", kAccessHint},
      {"DefaultAzureCredential failed", kAccessHint},
      {"Unauthorized", kAccessHint},
      {"Invalid issuer", kAccessHint},
      {"aKv10032: bad tenant", kAccessHint},
      {"Forbidden", kAccessHint},
      {"VaultNotFound", kVaultHint},
      {"dial tcp: lookup kv1.vault.azure.net: no such host", kVaultHint},
      {"the host could not be resolved", kVaultHint},
      {"Failed to resolve 'kv1.vault.azure.net'", kVaultHint},
      {"nodename nor servname provided", kVaultHint},
      {"Name or service not known", kVaultHint},
      {"getaddrinfo failed", kVaultHint},
      {"Max retries exceeded with url", kVaultHint},
      {"SecretNotFound", kNotFoundHint},
      {"Secret s1 was not found", kNotFoundHint},
      {"(NotFound) not found", kNotFoundHint},
      // The earliest group wins: here authentication comes before the vault group.
      {"VaultNotFound ... forbidden", kAccessHint},
      {"Max retries exceeded: not found", kVaultHint},
      {"SecretNotFound; credential expired", kAccessHint},
      {"", kFallbackHint},
      {"boom", kFallbackHint},
      {"\xff" "SECRETNOTFOUND\xfe", kNotFoundHint},
  };
  for (const Case& c : cases) {
    auto err = classify_failure(ref, 1, bytes_of(c.stderr_text));
    EXPECT_EQ(err.kind(), core::CoreErrorKind::Provider);
    EXPECT_EQ(err.detail(), failure_text(c.hint, "1")) << c.stderr_text;
  }
  EXPECT_EQ(classify_failure(ref, std::nullopt, {}).detail(), failure_text(kFallbackHint, "signal"));
  auto quoted = classify_failure(ref, 2, bytes_of("Forbidden: token eyJhbGciOi"));
  EXPECT_EQ(quoted.to_string(), "provider error: " + failure_text(kAccessHint, "2"));
}

// The tool repeats the vault and the secret name in its messages; a name
// holding a pattern of another group must not choose the hint.
TEST(Azure, ClassifyFailureLooksPastTheReferencesNames) {
  struct Case {
    AzureRef ref;
    std::string_view stderr_text;
    std::string_view hint;
  };
  const Case cases[] = {
      {{"kv1", "db-credential"},
       "ERROR: (SecretNotFound) A secret with (name/id) db-credential was not found in this key vault.",
       kNotFoundHint},
      {{"kv1", "Db-Credential"},
       "ERROR: (SecretNotFound) A secret with (name/id) Db-Credential was not found in this key vault.",
       kNotFoundHint},
      {{"forbidden-vault", "s1"},
       "ERROR: HTTPSConnectionPool(host='forbidden-vault.vault.azure.net', port=443): Max retries exceeded with url",
       kVaultHint},
      {{"Unauthorized", "s1"}, "ERROR: Failed to resolve 'unauthorized.vault.azure.net'", kVaultHint},
      {{"kv1", "notfound-credential"},
       "ERROR: Please run 'az login' to setup account. (secret notfound-credential)", kAccessHint},
      // A vault name that a secret name holds: the longer name goes first.
      {{"credential", "credential-x"},
       "ERROR: (SecretNotFound) A secret with (name/id) credential-x was not found in vault credential",
       kNotFoundHint},
      // A name inside one of the tool's words is not the name.
      {{"kv1", "s1"}, "ERROR: AKV10032: Invalid issuer", kAccessHint},
      // A name that is one of the tool's words leaves the patterns that hold it.
      {{"please", "login"}, "ERROR: Please run 'az login' to setup account.", kAccessHint},
      {{"kv1", "not"}, "ERROR: Secret not found", kNotFoundHint},
      {{"resolve", "s1"}, "ERROR: Failed to resolve 'resolve.vault.azure.net'", kVaultHint},
      // A name that is a whole pattern cannot be told from the tool's word.
      {{"kv1", "forbidden"}, "ERROR: Operation returned an invalid status 'Forbidden'", kFallbackHint},
  };
  for (const Case& c : cases) {
    auto err = classify_failure(c.ref, 1, bytes_of(c.stderr_text));
    EXPECT_EQ(err.detail(), "azure-kv: " + std::string(c.hint) + " [vault=`" + c.ref.vault + "`, secret=`" +
                                c.ref.secret_name + "`, exit=1]")
        << c.stderr_text;
  }
}

struct FakeRunner final : AzRunner {
  std::shared_ptr<std::vector<std::vector<std::string>>> calls = std::make_shared<std::vector<std::vector<std::string>>>();
  std::string out, err;
  std::optional<std::int32_t> status;

  core::Result<AzOutput> run(std::span<const std::string> args, std::chrono::nanoseconds) const override {
    calls->emplace_back(args.begin(), args.end());
    return AzOutput{core::SecretBuffer(std::string_view(out)), core::SecretBuffer(std::string_view(err)), status};
  }
};

TEST(AzureProvider, MaterializeTurnsTheOutcomeIntoAValueOrAnError) {
  struct Case {
    std::string_view out, err;
    std::optional<std::int32_t> status;
    std::optional<std::string_view> value;
    std::string error;
  };
  const std::string empty = "azure-kv secret `s1` in vault `kv1` resolved to an empty value";
  const std::string unencodable =
      "azure-kv: `az` could not encode the value of secret `s1` in vault `kv1` and printed it with characters "
      "dropped (output withheld)";
  const Case cases[] = {
      {"\"pw\"\n", "", 0, "pw", ""},
      // What az 2.45 did for `caf\u00e9 \u65e5\u672c \U0001F511` under latin-1, and for a value with a lone
      // surrogate under "utf-8:strict": the characters it could not encode dropped, exit 0.
      {"\"caf  \"\n",
       "WARNING: Unable to encode the output with iso8859-1 encoding. Unsupported characters are discarded.\n", 0,
       std::nullopt, unencodable},
      {"\"abc\"\n",
       "WARNING: Unable to encode the output with utf-8 encoding. Unsupported characters are discarded.\n", 0,
       std::nullopt, unencodable},
      {"\"pw\"\n", "unable to encode the output", 0, std::nullopt, unencodable},
      {"\"\"\n", "WARNING: Unable to encode the output with ascii encoding.", 0, std::nullopt, unencodable},
      {"\"pw\"\n", "WARNING: Unable to encode the output with ascii encoding.", 2, std::nullopt,
       failure_text(kFallbackHint, "2")},
      {"\"pw\\r\"\n", "", 0, "pw\r", ""},  // a value's own carriage return is kept
      {"\"a\\nb\\n\"\n", "WARNING: preview", 0, "a\nb\n", ""},
      {"\"\"\n", "", 0, std::nullopt, empty},
      {"\"pw\"\n", "SecretNotFound", 3, std::nullopt, failure_text(kNotFoundHint, "3")},
      {"", "", std::nullopt, std::nullopt, failure_text(kFallbackHint, "signal")},
  };
  for (const Case& c : cases) {
    auto runner = std::make_unique<FakeRunner>();
    runner->out = c.out;
    runner->err = c.err;
    runner->status = c.status;
    auto calls = runner->calls;
    AzureProvider provider(2s, std::move(runner));
    auto got = provider.materialize("azure-kv://kv1/s1");
    ASSERT_EQ(calls->size(), 1u);
    EXPECT_EQ(calls->front(), (AzureRef{"kv1", "s1"}.az_args()));
    if (c.value) {
      ASSERT_TRUE(got) << got.error().detail();
      EXPECT_EQ(got->view(), *c.value);
    } else {
      ASSERT_FALSE(got);
      EXPECT_EQ(got.error().kind(), core::CoreErrorKind::Provider);
      EXPECT_EQ(got.error().detail(), c.error);
    }
  }
}

// `az ... -o json` prints the value as one JSON string; anything else is
// refused without its bytes, since it may hold the secret.
TEST(AzureProvider, ValueOutputIsDecodedByteExact) {
  const std::string unexpected =
      "azure-kv: `az` printed something other than one JSON string for secret `s1` in vault `kv1` (output withheld)";
  struct Case {
    std::string out;
    std::optional<std::string> value;
    std::string_view why;
  };
  const Case cases[] = {
      {"\"s3cr3t\\r\"\n", "s3cr3t\r", "a trailing carriage return, which a text line would lose"},
      {"\"s3cr3t\\n\"\n", "s3cr3t\n", "a trailing line break"},
      {"\"caf\xc3\xa9 \\u65e5 \\ud83d\\udd11\"\n", "caf\xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x94\x91",
       "raw UTF-8 and \\u escapes with a surrogate pair"},
      {"  \"v\"  ", "v", "white space around it"},
      {"s3cr3t\n", std::nullopt, "the text output"},
      {"null\n", std::nullopt, "null"},
      {"", std::nullopt, "nothing"},
      {"{\"value\": \"s3cr3t\"}\n", std::nullopt, "a whole object"},
      {"\"s3cr3t\" \"s3cr3t\"\n", std::nullopt, "two values"},
      {"\"s3cr3t\xff\"\n", std::nullopt, "not UTF-8"},
  };
  for (const Case& c : cases) {
    auto got = parse_secret_value(AzureRef{"kv1", "s1"}, bytes_of(c.out));
    if (c.value) {
      ASSERT_TRUE(got) << c.why << ": " << got.error().detail();
      EXPECT_EQ(got->view(), *c.value) << c.why;
    } else {
      ASSERT_FALSE(got) << c.why;
      EXPECT_EQ(got.error().detail(), unexpected) << c.why;
    }
  }
}

TEST(AzureProvider, MalformedReferenceRunsNoTool) {
  auto runner = std::make_unique<FakeRunner>();
  auto calls = runner->calls;
  AzureProvider provider(2s, std::move(runner));
  auto got = provider.materialize("azure-kv://kv1/--help");
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error(), AzureRef::parse("azure-kv://kv1/--help").error());
  EXPECT_TRUE(calls->empty());
}

TEST(AzureProvider, SystemProviderUsesTheFixedLimit) {
  AzureProvider provider;
  EXPECT_EQ(provider.scheme(), "azure-kv");
  EXPECT_EQ(provider.timeout(), 15s);
}

}  // namespace
}  // namespace zantu::providers::azure
