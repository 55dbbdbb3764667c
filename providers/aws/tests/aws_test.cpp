#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/tests/support.hpp"
#include "zantu/providers/aws/aws.hpp"

namespace zantu::providers::aws {
namespace {

using namespace std::chrono_literals;

using core::testing::bytes_of;

TEST(AwsRef, AcceptedReferences) {
  struct Case {
    std::string_view reference, region, secret_name;
  };
  const Case cases[] = {
      {"aws-sm://us-east-1/prod/db/password", "us-east-1", "prod/db/password"},  // split at the first "/"
      {"aws-sm://eu-west-1/app/key", "eu-west-1", "app/key"},
      {"aws-sm://eu-west-1/aZ09/_+=.@-", "eu-west-1", "aZ09/_+=.@-"},  // every allowed character
      {"aws-sm://1/x", "1", "x"},
      {"aws-sm://r-/a//", "r-", "a//"},  // a dash after the first character, slashes at the end
  };
  for (const Case& c : cases) {
    auto ref = AwsRef::parse(c.reference);
    ASSERT_TRUE(ref) << c.reference << ": " << ref.error().detail();
    EXPECT_EQ(ref->region, c.region) << c.reference;
    EXPECT_EQ(ref->secret_name, c.secret_name) << c.reference;
  }
}

TEST(AwsRef, RejectedReferencesNameTheFirstFailingCheck) {
  struct Case {
    std::string_view reference, message, why;
  };
  const Case cases[] = {
      {"", "reference `` is not an `aws-sm://<region>/<secret>` URI", "empty"},
      {"AWS-SM://us-east-1/x", "reference `AWS-SM://us-east-1/x` is not an `aws-sm://<region>/<secret>` URI",
       "the scheme is byte-exact"},
      {"aws-sm:/us-east-1/x", "reference `aws-sm:/us-east-1/x` is not an `aws-sm://<region>/<secret>` URI",
       "one slash"},
      {"azure-kv://kv/s", "reference `azure-kv://kv/s` is not an `aws-sm://<region>/<secret>` URI", "other scheme"},
      {"aws-sm://", "aws-sm reference `aws-sm://` is missing the `/<secret-name>` part", "nothing after the scheme"},
      {"aws-sm://us-east-1", "aws-sm reference `aws-sm://us-east-1` is missing the `/<secret-name>` part", "no slash"},
      {"aws-sm:///x", "aws-sm reference `aws-sm:///x` has an empty region", "empty region"},
      {"aws-sm://us-east-1/", "aws-sm reference `aws-sm://us-east-1/` has an empty secret name", "empty secret"},
      {"aws-sm://-x/", "aws-sm reference `aws-sm://-x/` has an empty secret name", "emptiness before the dash"},
      {"aws-sm://-us/x",
       "aws-sm reference `aws-sm://-us/x` has a region starting with `-` (refused — it could be read as a CLI flag)",
       "leading dash in the region"},
      {"aws-sm://US-EAST-1/x", "aws-sm reference `aws-sm://US-EAST-1/x` has an invalid character in the region",
       "upper case region"},
      {"aws-sm://ab!/-x", "aws-sm reference `aws-sm://ab!/-x` has an invalid character in the region",
       "region checked before the secret's dash"},
      {"aws-sm://us_east/x", "aws-sm reference `aws-sm://us_east/x` has an invalid character in the region",
       "underscore in the region"},
      {"aws-sm://\xc3\xa9u/x", "aws-sm reference `aws-sm://\xc3\xa9u/x` has an invalid character in the region",
       "non-ASCII region"},
      {"aws-sm://us-east-1/-x",
       "aws-sm reference `aws-sm://us-east-1/-x` has a secret name starting with `-` (refused — it could be read "
       "as a CLI flag)",
       "leading dash in the secret"},
      {"aws-sm://us-east-1/a b", "aws-sm reference `aws-sm://us-east-1/a b` has an invalid character in the secret name",
       "space"},
      {"aws-sm://us-east-1/a%20", "aws-sm reference `aws-sm://us-east-1/a%20` has an invalid character in the secret name",
       "percent"},
      {"aws-sm://us-east-1/a:b", "aws-sm reference `aws-sm://us-east-1/a:b` has an invalid character in the secret name",
       "colon"},
      {"aws-sm://us-east-1/caf\xc3\xa9",
       "aws-sm reference `aws-sm://us-east-1/caf\xc3\xa9` has an invalid character in the secret name",
       "non-ASCII letter"},
      {"aws-sm://us-east-1/a\nb",
       "aws-sm reference `aws-sm://us-east-1/a\nb` has an invalid character in the secret name", "line break"},
  };
  for (const Case& c : cases) {
    auto ref = AwsRef::parse(c.reference);
    ASSERT_FALSE(ref) << c.why;
    EXPECT_EQ(ref.error().kind(), core::CoreErrorKind::Provider) << c.why;
    EXPECT_EQ(ref.error().detail(), c.message) << c.why;
  }
  EXPECT_EQ(AwsRef::parse("aws-sm://x").error().to_string(),
            "provider error: aws-sm reference `aws-sm://x` is missing the `/<secret-name>` part");
}

TEST(AwsRef, ArgumentVectorHasItsFixedForm) {
  auto ref = AwsRef::parse("aws-sm://eu-west-1/app/key");
  ASSERT_TRUE(ref);
  const std::vector<std::string> want = {"secretsmanager", "get-secret-value", "--secret-id", "app/key", "--region",
                                         "eu-west-1",      "--query",          "SecretString", "--output", "json"};
  EXPECT_EQ(ref->aws_args(), want);
}

constexpr std::string_view kEndpointHint = "the region endpoint is unreachable or the region is invalid";
constexpr std::string_view kAccessHint =
    "aws is not authenticated or lacks access (refresh credentials, e.g. `aws sso login`; check the IAM permission "
    "for secretsmanager:GetSecretValue)";
constexpr std::string_view kNotFoundHint = "the secret was not found in the region (check the name and your access)";
constexpr std::string_view kFallbackHint = "the `aws` invocation failed";

std::string failure_text(std::string_view hint, std::string_view exit) {
  return "aws-sm: " + std::string(hint) + " [region=`eu-west-1`, secret=`app/key`, exit=" + std::string(exit) + "]";
}

TEST(Aws, ClassifyFailureChoosesTheEarliestMatchingGroup) {
  const AwsRef ref{"eu-west-1", "app/key"};
  struct Case {
    std::string_view stderr_text;
    std::string_view hint;
  };
  const Case cases[] = {
      // Every pattern of every group, in the tool's own capitalisation where it has one.
      {"Could not connect to the endpoint URL", kEndpointHint},
      {"EndpointConnectionError", kEndpointHint},
      {"Invalid region: xx", kEndpointHint},
      {"endpoint could not be found for the region", kEndpointHint},
      {"Failed to establish a new connection", kEndpointHint},
      {"nodename nor servname provided", kEndpointHint},
      {"Name or service not known", kEndpointHint},
      {"getaddrinfo failed", kEndpointHint},
      {"Unable to locate credentials", kAccessHint},
      {"ExpiredToken", kAccessHint},
      {"the token has expired", kAccessHint},
      {"The security token included in the request is expired", kAccessHint},
      {"InvalidClientTokenId", kAccessHint},
      {"UnrecognizedClientException", kAccessHint},
      {"aCcEsSdEnIeD", kAccessHint},
      {"is not authorized to perform: secretsmanager:GetSecretValue", kAccessHint},
      {"The SSO session associated with this profile has expired", kAccessHint},
      {"403 Forbidden", kAccessHint},
      {"ResourceNotFoundException", kNotFoundHint},
      {"Secrets Manager can't find the specified secret.", kNotFoundHint},
      {"can't find the resource", kNotFoundHint},
      {"the secret was not found", kNotFoundHint},
      {"Not Found", kNotFoundHint},
      // Several groups: the earliest wins, whatever the order in the text.
      {"not found; could not connect to the endpoint", kEndpointHint},
      {"ResourceNotFoundException after AccessDenied", kAccessHint},
      {"forbidden: getaddrinfo", kEndpointHint},
      // Nothing known.
      {"", kFallbackHint},
      {"something else went wrong", kFallbackHint},
      {"notfound", kFallbackHint},  // plain substrings, no fuzzy matching
      // Invalid UTF-8 around a pattern does not hide it.
      {"\xff\xfe" "AccessDenied\xc3", kAccessHint},
  };
  for (const Case& c : cases) {
    auto err = classify_failure(ref, 255, bytes_of(c.stderr_text));
    EXPECT_EQ(err.kind(), core::CoreErrorKind::Provider);
    EXPECT_EQ(err.detail(), failure_text(c.hint, "255")) << c.stderr_text;
  }
}

TEST(Aws, ClassifyFailureExitTextAndNoQuoting) {
  const AwsRef ref{"eu-west-1", "app/key"};
  EXPECT_EQ(classify_failure(ref, 1, {}).detail(), failure_text(kFallbackHint, "1"));
  EXPECT_EQ(classify_failure(ref, std::nullopt, {}).detail(), failure_text(kFallbackHint, "signal"));
  EXPECT_EQ(classify_failure(ref, -3, {}).detail(), failure_text(kFallbackHint, "-3"));
  auto err = classify_failure(ref, 255, bytes_of("AccessDenied for token sk-LIVE-123"));
  EXPECT_EQ(err.to_string(), "provider error: " + failure_text(kAccessHint, "255"));
  EXPECT_EQ(err.detail().find("sk-LIVE"), std::string::npos);
}

// The tool repeats the region and the secret name in its messages; a name
// holding a pattern of another group must not choose the hint.
TEST(Aws, ClassifyFailureLooksPastTheReferencesNames) {
  struct Case {
    AwsRef ref;
    std::string_view stderr_text;
    std::string_view hint;
  };
  const Case cases[] = {
      {{"eu-west-1", "svc/forbidden"},
       "An error occurred (ResourceNotFoundException) when calling the GetSecretValue operation: Secrets Manager "
       "can't find the specified secret svc/forbidden.",
       kNotFoundHint},
      {{"eu-west-1", "app/getaddrinfo"},
       "An error occurred (AccessDeniedException) when calling the GetSecretValue operation: User: "
       "arn:aws:iam::123456789012:user/dev is not authorized to perform: secretsmanager:GetSecretValue on resource: "
       "arn:aws:secretsmanager:eu-west-1:123456789012:secret:app/getaddrinfo-AbCdEf",
       kAccessHint},
      {{"eu-west-1", "ExpiredToken"},
       "An error occurred (ResourceNotFoundException): secret arn:aws:secretsmanager:eu-west-1:1:secret:expiredtoken",
       kNotFoundHint},
      // The region, and a secret name that holds it: the longer name goes first.
      {{"forbidden-1", "forbidden-1/not-found"},
       "An error occurred (ResourceNotFoundException) in forbidden-1: forbidden-1/not-found", kNotFoundHint},
      // A name inside one of the tool's words is not the name.
      {{"eu-west-1", "Denied"}, "An error occurred (AccessDeniedException)", kAccessHint},
      // A name that is one of the tool's words leaves the patterns that hold it.
      {{"eu-west-1", "credentials"},
       "Unable to locate credentials. You can configure credentials by running \"aws configure\".", kAccessHint},
      {{"eu-west-1", "locate"},
       "Unable to locate credentials. You can configure credentials by running \"aws configure\".", kAccessHint},
      {{"endpoint", "app/key"}, "Could not connect to the endpoint URL: \"https://secretsmanager.endpoint.amazonaws.com/\"",
       kEndpointHint},
      // A name that is a whole pattern cannot be told from the tool's word.
      {{"eu-west-1", "forbidden"}, "An error occurred (403) when calling the GetSecretValue operation: Forbidden",
       kFallbackHint},
  };
  for (const Case& c : cases) {
    auto err = classify_failure(c.ref, 254, bytes_of(c.stderr_text));
    EXPECT_EQ(err.detail(), "aws-sm: " + std::string(c.hint) + " [region=`" + c.ref.region + "`, secret=`" +
                                c.ref.secret_name + "`, exit=254]")
        << c.stderr_text;
  }
}

// Stands in for the tool: returns a canned outcome and records its calls.
struct FakeRunner final : AwsRunner {
  struct Calls {
    std::vector<std::vector<std::string>> args;
    std::vector<std::chrono::nanoseconds> limits;
  };
  std::shared_ptr<Calls> calls = std::make_shared<Calls>();
  std::string out, err;
  std::optional<std::int32_t> status;
  std::optional<core::CoreError> failure;

  core::Result<AwsOutput> run(std::span<const std::string> args, std::chrono::nanoseconds limit) const override {
    calls->args.emplace_back(args.begin(), args.end());
    calls->limits.push_back(limit);
    if (failure) return std::unexpected(*failure);
    return AwsOutput{core::SecretBuffer(std::string_view(out)), core::SecretBuffer(std::string_view(err)), status};
  }
};

TEST(AwsProvider, MaterializeTurnsTheOutcomeIntoAValueOrAnError) {
  struct Case {
    std::string_view out, err;
    std::optional<std::int32_t> status;
    std::optional<std::string_view> value;
    std::string error;
  };
  const std::string empty = "aws-sm secret `app/key` in region `eu-west-1` resolved to an empty value";
  const Case cases[] = {
      {"\"s3cr3t\"\n", "", 0, "s3cr3t", ""},
      {"\"s3cr3t\\r\\n\"\n", "", 0, "s3cr3t\r\n", ""},
      {"\"line1\\nline2\\n\"\n", "", 0, "line1\nline2\n", ""},
      {"\"no-newline\"", "", 0, "no-newline", ""},
      {"\"v\"\n", "warning: something odd", 0, "v", ""},  // standard error is ignored on success
      {"\" \"\n", "", 0, " ", ""},
      {"\"\"\n", "", 0, std::nullopt, empty},
      {"\"\"", "", 0, std::nullopt, empty},
      {"\"s3cr3t\"\n", "AccessDenied", 255, std::nullopt, failure_text(kAccessHint, "255")},
      {"\"s3cr3t\"\n", "", 1, std::nullopt, failure_text(kFallbackHint, "1")},
      {"null\n", "", 1, std::nullopt, failure_text(kFallbackHint, "1")},  // the exit code is looked at first
      {"", "", std::nullopt, std::nullopt, failure_text(kFallbackHint, "signal")},
  };
  for (const Case& c : cases) {
    auto runner = std::make_unique<FakeRunner>();
    runner->out = c.out;
    runner->err = c.err;
    runner->status = c.status;
    AwsProvider provider(3s, std::move(runner));
    auto got = provider.materialize("aws-sm://eu-west-1/app/key");
    if (c.value) {
      ASSERT_TRUE(got) << got.error().detail();
      EXPECT_EQ(got->view(), *c.value);
    } else {
      ASSERT_FALSE(got) << c.out;
      EXPECT_EQ(got.error().kind(), core::CoreErrorKind::Provider);
      EXPECT_EQ(got.error().detail(), c.error);
      EXPECT_EQ(got.error().detail().find("s3cr3t"), std::string::npos);
    }
  }
}

constexpr std::string_view kBinary =
    "aws-sm secret `app/key` in region `eu-west-1` is stored as binary (SecretBinary), which is not supported";
constexpr std::string_view kUnexpected =
    "aws-sm: `aws` printed something other than one JSON string or null for secret `app/key` in region `eu-west-1` "
    "(output withheld)";
constexpr std::string_view kEmpty = "aws-sm secret `app/key` in region `eu-west-1` resolved to an empty value";

// What `parse_secret_string` makes of one output: the value, or the error.
void expect_parsed(std::string_view out, std::optional<std::string_view> value, std::string_view error,
                   std::string_view why) {
  auto got = parse_secret_string(AwsRef{"eu-west-1", "app/key"}, bytes_of(out));
  if (value) {
    ASSERT_TRUE(got) << why << ": " << got.error().detail();
    EXPECT_EQ(got->view(), *value) << why;
  } else {
    ASSERT_FALSE(got) << why;
    EXPECT_EQ(got.error().kind(), core::CoreErrorKind::Provider) << why;
    EXPECT_EQ(got.error().detail(), error) << why;
  }
}

// "\uXXXX\uXXXX" for every 4-byte character of a text, the way a tool that
// escapes all non-ASCII writes it.
std::string surrogate_escapes(std::size_t num_chars) {
  std::string out;
  for (std::size_t i = 0; i < num_chars; ++i) out += "\\ud83d\\udd11";
  return out;
}

std::string repeated(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i) out += piece;
  return out;
}

TEST(AwsProvider, SecretStringOutputIsDecodedByteExact) {
  constexpr std::size_t k64KiB = 64 * 1024;
  const std::string key = "\xf0\x9f\x94\x91";  // U+1F511 in UTF-8
  struct Case {
    std::string out;
    std::string value;
    std::string_view why;
  };
  const Case cases[] = {
      {"\"None\"\n", "None", "a secret whose text is None is a value"},
      {"\"keep\\n\"\n", "keep\n", "a trailing line break is kept"},
      {"\"keep\\n\\n\"\n", "keep\n\n", "two of them too"},
      {"\"a\\r\\nb\\r\\n\"\n", "a\r\nb\r\n", "\\r\\n inside and at the end"},
      {"\"\\r\"\n", "\r", "a lone carriage return"},
      {"\"caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac " + key + "\"\n", "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac " + key,
       "raw UTF-8 of two, three and four bytes"},
      {"\"caf\\u00e9 \\u65e5\\u672C \\uD83D\\uDD11\"\n", "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac " + key,
       "the same as \\u escapes with a surrogate pair, either case of hex digit"},
      {"\"q\\\"b\\\\s\\/t\\tf\\fb\\bc\\u0001z\\u0000\"\n", std::string("q\"b\\s/t\tf\fb\bc\x01z\0", 16),
       "every escape, a control character and NUL"},
      {"  \"v\" \r\n\t ", "v", "white space around the value"},
      {"\"v\"", "v", "no line break after it"},
      {"\"" + std::string(k64KiB - 1, 'x') + "\\n\"\n", std::string(k64KiB - 1, 'x') + "\n", "64 KiB"},
      {"\"" + surrogate_escapes(k64KiB / 4) + "\"\n", repeated(key, k64KiB / 4), "64 KiB of surrogate pairs"},
  };
  for (const Case& c : cases) expect_parsed(c.out, c.value, "", c.why);
}

TEST(AwsProvider, NullIsABinarySecretAndAnythingElseIsRefusedWithoutItsBytes) {
  struct Case {
    std::string out;
    std::string_view error, why;
  };
  const Case cases[] = {
      {"null\n", kBinary, "null: no SecretString"},
      {"null", kBinary, "null without a line break"},
      {" null \r\n", kBinary, "null amid white space"},
      {"\"\"\n", kEmpty, "the empty string"},
      {"", kUnexpected, "no output at all"},
      {"\n", kUnexpected, "only a line break"},
      {"\r\n", kUnexpected, "only a CRLF"},
      {"None\n", kUnexpected, "the text output of a binary secret"},
      {"s3cr3t\n", kUnexpected, "text output"},
      {"\"s3cr3t", kUnexpected, "unterminated string"},
      {"\"s3cr3t\" s3cr3t", kUnexpected, "trailing text"},
      {"\"s3cr3t\"\n\"s3cr3t\"\n", kUnexpected, "two values"},
      {"null \"s3cr3t\"", kUnexpected, "null followed by text is not a binary secret"},
      {"nul", kUnexpected, "truncated null"},
      {"nulls3cr3t", kUnexpected, "null run into text"},
      {"{\"SecretString\": \"s3cr3t\"}\n", kUnexpected, "a whole response object"},
      {"[\"s3cr3t\"]\n", kUnexpected, "an array"},
      {"12345\n", kUnexpected, "a number"},
      {"true\n", kUnexpected, "a boolean"},
      {"\"s3cr3t\x01\"\n", kUnexpected, "a raw control character"},
      {"\"s3cr3t\nx\"\n", kUnexpected, "a raw line break"},
      {"\"s3cr3t\xff\"\n", kUnexpected, "a byte that is not UTF-8"},
      {"\"s3cr3t\xc3\"\n", kUnexpected, "a truncated UTF-8 sequence"},
      {"\"s3cr3t\\ud83d\"\n", kUnexpected, "a lone leading surrogate"},
      {"\"s3cr3t\\udd11\"\n", kUnexpected, "a lone trailing surrogate"},
      {"\"s3cr3t\\x\"\n", kUnexpected, "an unknown escape"},
      {"\"s3cr3t\\u12\"\n", kUnexpected, "a short \\u escape"},
      {"\xef\xbb\xbf\"s3cr3t\"\n", kUnexpected, "a byte order mark"},
  };
  for (const Case& c : cases) {
    expect_parsed(c.out, std::nullopt, c.error, c.why);
    auto got = parse_secret_string(AwsRef{"eu-west-1", "app/key"}, bytes_of(c.out));
    ASSERT_FALSE(got) << c.why;
    EXPECT_EQ(got.error().detail().find("s3cr3t"), std::string::npos) << c.why;
  }
}

// The exact bytes aws-cli 1.45.11 and aws-cli 2.9.19 printed for
// `--query SecretString --output json` (both the same), each answered by a
// loopback stand-in for the service; the binary secret's reply carried
// SecretBinary and no SecretString.
TEST(AwsProvider, OutputRecordedFromTheRealCli) {
  struct Case {
    std::string_view stored;  // as the stand-in held it, in Python's notation
    std::string out;
    std::optional<std::string> value;
    std::string_view error;
  };
  const Case cases[] = {
      {"'None'", "\"None\"\n", "None", ""},
      {"'line1\\nline2\\n'", "\"line1\\nline2\\n\"\n", "line1\nline2\n", ""},
      {"'a\\r\\nb\\r\\n'", "\"a\\r\\nb\\r\\n\"\n", "a\r\nb\r\n", ""},
      {"'caf\\u00e9 \\u65e5\\u672c \\U0001F511'", "\"caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x94\x91\"\n",
       "caf\xc3\xa9 \xe6\x97\xa5\xe6\x9c\xac \xf0\x9f\x94\x91", ""},
      {"'q\"b\\\\s/t\\tc\\x01'", "\"q\\\"b\\\\s/t\\tc\\u0001\"\n", "q\"b\\s/t\tc\x01", ""},
      {"''", "\"\"\n", std::nullopt, kEmpty},
      {"SecretBinary only", "null\n", std::nullopt, kBinary},
      {"SecretString None, SecretBinary set", "null\n", std::nullopt, kBinary},
  };
  for (const Case& c : cases) expect_parsed(c.out, c.value, c.error, c.stored);
}

TEST(AwsProvider, RunsTheToolOnceWithItsArgumentsAndLimit) {
  auto runner = std::make_unique<FakeRunner>();
  runner->out = "\"v\"\n";
  runner->status = 0;
  auto calls = runner->calls;
  AwsProvider provider(1500ms, std::move(runner));
  ASSERT_TRUE(provider.materialize("aws-sm://eu-west-1/app/key"));
  ASSERT_EQ(calls->args.size(), 1u);
  EXPECT_EQ(calls->args[0], (AwsRef{"eu-west-1", "app/key"}.aws_args()));
  EXPECT_EQ(calls->limits[0], 1500ms);
}

TEST(AwsProvider, ParseAndRunnerFailuresPassUnchanged) {
  auto runner = std::make_unique<FakeRunner>();
  auto calls = runner->calls;
  runner->failure = core::CoreError::provider("aws-sm: `aws` timed out after 3s");
  AwsProvider provider(3s, std::move(runner));

  auto bad = provider.materialize("aws-sm://us-east-1/-rm");
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error(), AwsRef::parse("aws-sm://us-east-1/-rm").error());
  EXPECT_TRUE(calls->args.empty()) << "no tool runs for a malformed reference";

  auto failed = provider.materialize("aws-sm://us-east-1/x");
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error(), core::CoreError::provider("aws-sm: `aws` timed out after 3s"));
}

TEST(AwsProvider, SystemProviderUsesTheFixedLimit) {
  AwsProvider provider;
  EXPECT_EQ(provider.scheme(), "aws-sm");
  EXPECT_EQ(provider.timeout(), 15s);
}

}  // namespace
}  // namespace zantu::providers::aws
