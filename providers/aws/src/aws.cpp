#include "zantu/providers/aws/aws.hpp"

#include <array>
#include <utility>

#include "zantu/providers/common/tool.hpp"

namespace zantu::providers::aws {
namespace {

using common::fill;

constexpr std::string_view kPrefix = "aws-sm://";

constexpr std::string_view kNotAwsUri = "reference `{}` is not an `aws-sm://<region>/<secret>` URI";
constexpr std::string_view kMissingSecret = "aws-sm reference `{}` is missing the `/<secret-name>` part";
constexpr std::string_view kEmptyRegion = "aws-sm reference `{}` has an empty region";
constexpr std::string_view kEmptySecret = "aws-sm reference `{}` has an empty secret name";
constexpr std::string_view kLeadingDash =
    "aws-sm reference `{}` has a {} starting with `-` (refused — it could be read as a CLI flag)";
constexpr std::string_view kInvalidChar = "aws-sm reference `{}` has an invalid character in the {}";
constexpr std::string_view kCouldNotRun = "aws-sm: could not run `aws` — is the AWS CLI installed and on PATH? ({})";
constexpr std::string_view kWaitFailed = "aws-sm: waiting on `aws` failed ({})";
constexpr std::string_view kTimedOut = "aws-sm: `aws` timed out after {}s";
constexpr std::string_view kTooLarge = "aws-sm: `aws` printed more than {} bytes";
constexpr std::string_view kHelperEnded =
    "aws-sm: the helper process running `aws` was ended by another process before `aws` exited";
constexpr std::string_view kCannotStart = "aws-sm: `aws` cannot be started: {}";
constexpr std::string_view kEmptyValue = "aws-sm secret `{}` in region `{}` resolved to an empty value";
constexpr std::string_view kBinaryValue =
    "aws-sm secret `{}` in region `{}` is stored as binary (SecretBinary), which is not supported";
constexpr std::string_view kUnexpectedOutput =
    "aws-sm: `aws` printed something other than one JSON string or null for secret `{}` in region `{}` (output "
    "withheld)";
constexpr std::string_view kFailed = "aws-sm: {} [region=`{}`, secret=`{}`, exit={}]";

constexpr std::array kEndpointPatterns = {
    std::string_view("could not connect to the endpoint"),
    std::string_view("endpointconnectionerror"),
    std::string_view("invalid region"),
    std::string_view("could not be found for the region"),
    std::string_view("failed to establish a new connection"),
    std::string_view("nodename nor servname"),
    std::string_view("name or service not known"),
    std::string_view("getaddrinfo"),
};
constexpr std::array kAccessPatterns = {
    std::string_view("unable to locate credentials"),
    std::string_view("expiredtoken"),
    std::string_view("token has expired"),
    std::string_view("the security token included in the request is expired"),
    std::string_view("invalidclienttokenid"),
    std::string_view("unrecognizedclientexception"),
    std::string_view("accessdenied"),
    std::string_view("not authorized to perform"),
    std::string_view("sso session associated"),
    std::string_view("forbidden"),
};
constexpr std::array kNotFoundPatterns = {
    std::string_view("resourcenotfoundexception"),
    std::string_view("can't find the specified secret"),
    std::string_view("can't find the resource"),
    std::string_view("was not found"),
    std::string_view("not found"),
};
constexpr std::array<common::HintGroup, 3> kHintGroups = {{
    {kEndpointPatterns, "the region endpoint is unreachable or the region is invalid"},
    {kAccessPatterns,
     "aws is not authenticated or lacks access (refresh credentials, e.g. `aws sso login`; check the IAM "
     "permission for secretsmanager:GetSecretValue)"},
    {kNotFoundPatterns, "the secret was not found in the region (check the name and your access)"},
}};
constexpr std::string_view kFallbackHint = "the `aws` invocation failed";

// Bytes outside ASCII are never allowed, so checking bytes is the same as
// checking decoded characters.
bool is_region_char(char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; }

bool is_secret_char(char c) {
  if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
  return std::string_view("/_+=.@-").find(c) != std::string_view::npos;
}

bool all_of(std::string_view s, bool (*allowed)(char)) {
  for (char c : s) {
    if (!allowed(c)) return false;
  }
  return true;
}

std::unexpected<core::CoreError> provider_error(std::string text) {
  return std::unexpected(core::CoreError::provider(std::move(text)));
}

}  // namespace

core::Result<AwsRef> AwsRef::parse(std::string_view reference) {
  if (!reference.starts_with(kPrefix)) return provider_error(fill(kNotAwsUri, {reference}));
  const std::string_view rest = reference.substr(kPrefix.size());
  const std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return provider_error(fill(kMissingSecret, {reference}));
  const std::string_view region = rest.substr(0, slash);
  const std::string_view secret = rest.substr(slash + 1);
  if (region.empty()) return provider_error(fill(kEmptyRegion, {reference}));
  if (secret.empty()) return provider_error(fill(kEmptySecret, {reference}));
  if (region.starts_with('-')) return provider_error(fill(kLeadingDash, {reference, "region"}));
  if (!all_of(region, is_region_char)) return provider_error(fill(kInvalidChar, {reference, "region"}));
  if (secret.starts_with('-')) return provider_error(fill(kLeadingDash, {reference, "secret name"}));
  if (!all_of(secret, is_secret_char)) return provider_error(fill(kInvalidChar, {reference, "secret name"}));
  return AwsRef{std::string(region), std::string(secret)};
}

std::vector<std::string> AwsRef::aws_args() const {
  return {"secretsmanager", "get-secret-value", "--secret-id", secret_name, "--region",
          region,           "--query",          "SecretString", "--output", "json"};
}

core::Result<AwsOutput> SystemAwsRunner::run(std::span<const std::string> args,
                                             std::chrono::nanoseconds limit) const {
  auto ran = common::run_tool("aws", args, limit);
  if (!ran) {
    return provider_error(common::failure_message(
        ran.error(), limit, {kCouldNotRun, kWaitFailed, kTimedOut, kTooLarge, kHelperEnded, kCannotStart}));
  }
  return AwsOutput{std::move(ran->stdout_bytes), std::move(ran->stderr_bytes), ran->status};
}

AwsProvider::AwsProvider() : AwsProvider(kToolTimeout, std::make_unique<SystemAwsRunner>()) {}

AwsProvider::AwsProvider(std::chrono::nanoseconds timeout, std::unique_ptr<AwsRunner> runner)
    : timeout_(timeout), runner_(std::move(runner)) {}

core::Result<core::SecretValue> AwsProvider::materialize(std::string_view reference) const {
  auto ref = AwsRef::parse(reference);
  if (!ref) return std::unexpected(std::move(ref.error()));
  const std::vector<std::string> args = ref->aws_args();
  // The output (and with it the secret) is wiped when it leaves this scope.
  auto output = runner_->run(args, timeout_);
  if (!output) return std::unexpected(std::move(output.error()));
  if (!output->status || *output->status != 0) {
    return std::unexpected(classify_failure(*ref, output->status, output->stderr_bytes.as_bytes()));
  }
  return parse_secret_string(*ref, output->stdout_bytes.as_bytes());
}

core::Result<core::SecretValue> parse_secret_string(const AwsRef& ref, std::span<const std::uint8_t> stdout_bytes) {
  common::JsonAnswer answer = common::read_json_answer(stdout_bytes);
  switch (answer.kind) {
    case common::JsonAnswer::Kind::String:
      if (answer.text.empty()) return provider_error(fill(kEmptyValue, {ref.secret_name, ref.region}));
      return core::SecretValue(std::move(answer.text));
    case common::JsonAnswer::Kind::Null:
      return provider_error(fill(kBinaryValue, {ref.secret_name, ref.region}));
    case common::JsonAnswer::Kind::Other:
      break;
  }
  return provider_error(fill(kUnexpectedOutput, {ref.secret_name, ref.region}));
}

core::CoreError classify_failure(const AwsRef& ref, std::optional<std::int32_t> status,
                                 std::span<const std::uint8_t> stderr_bytes) {
  const std::array<std::string_view, 2> names = {ref.region, ref.secret_name};
  const std::string_view hint = common::choose_hint(stderr_bytes, names, kHintGroups, kFallbackHint);
  return core::CoreError::provider(fill(kFailed, {hint, ref.region, ref.secret_name, common::exit_text(status)}));
}

}  // namespace zantu::providers::aws
