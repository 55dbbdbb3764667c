#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "zantu/providers/aws/aws.hpp"

namespace zantu::providers::aws {
namespace {

using namespace std::chrono_literals;

std::span<const std::uint8_t> bytes_of(std::string_view s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

std::string text_of(std::span<const std::uint8_t> b) { return {b.begin(), b.end()}; }

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
                                         "eu-west-1",      "--query",          "SecretString", "--output", "text"};
  EXPECT_EQ(ref->aws_args(), want);
}

TEST(Aws, TrimOneTrailingNewline) {
  struct Case {
    std::string_view in, out;
  };
  const Case cases[] = {
      {"abc\n", "abc"}, {"abc\r\n", "abc"}, {"abc\n\n", "abc\n"}, {"abc\r", "abc\r"}, {"abc", "abc"},
      {"\n", ""},       {"", ""},           {"a\nb\n", "a\nb"},   {"\r\n", ""},     {"abc\n\r", "abc\n\r"},
  };
  for (const Case& c : cases) {
    auto in = bytes_of(c.in);
    auto out = trim_one_trailing_newline(in);
    EXPECT_EQ(text_of(out), c.out);
    EXPECT_EQ(out.data(), in.data()) << "a prefix, not a copy";
  }
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
    return AwsOutput{core::SecretBuffer(std::string_view(out)), {err.begin(), err.end()}, status};
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
      {"s3cr3t\n", "", 0, "s3cr3t", ""},
      {"s3cr3t\r\n", "", 0, "s3cr3t", ""},
      {"line1\nline2\n", "", 0, "line1\nline2", ""},
      {"no-newline", "", 0, "no-newline", ""},
      {"v\n", "warning: something odd", 0, "v", ""},  // standard error is ignored on success
      {" \n", "", 0, " ", ""},
      {"\n", "", 0, std::nullopt, empty},
      {"", "", 0, std::nullopt, empty},
      {"\r\n", "", 0, std::nullopt, empty},
      {"s3cr3t\n", "AccessDenied", 255, std::nullopt, failure_text(kAccessHint, "255")},
      {"s3cr3t\n", "", 1, std::nullopt, failure_text(kFallbackHint, "1")},
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

TEST(AwsProvider, RunsTheToolOnceWithItsArgumentsAndLimit) {
  auto runner = std::make_unique<FakeRunner>();
  runner->out = "v\n";
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
