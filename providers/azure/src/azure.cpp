#include "zantu/providers/azure/azure.hpp"

#include <array>
#include <utility>

#include "zantu/providers/common/tool.hpp"

namespace zantu::providers::azure {
namespace {

using common::fill;

constexpr std::string_view kPrefix = "azure-kv://";

constexpr std::string_view kNotAzureUri = "reference `{}` is not an `azure-kv://<vault>/<secret>` URI";
constexpr std::string_view kMissingSecret = "azure-kv reference `{}` is missing the `/<secret-name>` part";
constexpr std::string_view kEmptyVault = "azure-kv reference `{}` has an empty vault name";
constexpr std::string_view kEmptySecret = "azure-kv reference `{}` has an empty secret name";
constexpr std::string_view kExtraSlash = "azure-kv reference `{}` has an unexpected `/` in the secret name";
constexpr std::string_view kLeadingDash =
    "azure-kv reference `{}` has a {} starting with `-` (refused — it could be read as a CLI flag)";
constexpr std::string_view kInvalidChar = "azure-kv reference `{}` has an invalid character in the {}";
constexpr std::string_view kCouldNotRun =
    "azure-kv: could not run `az` — is the Azure CLI installed and on PATH? ({})";
constexpr std::string_view kWaitFailed = "azure-kv: waiting on `az` failed ({})";
constexpr std::string_view kTimedOut = "azure-kv: `az` timed out after {}s";
constexpr std::string_view kTooLarge = "azure-kv: `az` printed more than {} bytes";
constexpr std::string_view kHelperEnded =
    "azure-kv: the helper process running `az` was ended by another process before `az` exited";
constexpr std::string_view kCannotStart = "azure-kv: `az` cannot be started: {}";
constexpr std::string_view kEmptyValue = "azure-kv secret `{}` in vault `{}` resolved to an empty value";
constexpr std::string_view kUnexpectedOutput =
    "azure-kv: `az` printed something other than one JSON string for secret `{}` in vault `{}` (output withheld)";
constexpr std::string_view kFailed = "azure-kv: {} [vault=`{}`, secret=`{}`, exit={}]";
constexpr std::string_view kUnencodable =
    "azure-kv: `az` could not encode the value of secret `{}` in vault `{}` and printed it with characters dropped "
    "(output withheld)";
// How az's warning begins ("Unable to encode the output with <encoding>
// encoding. Unsupported characters are discarded."), lowered.
constexpr std::string_view kUnencodablePhrase = "unable to encode the output";

constexpr std::array kAccessPatterns = {
    std::string_view("az login"),      std::string_view("please run"),     std::string_view("not logged in"),
    std::string_view("authentication"), std::string_view("credential"),    std::string_view("unauthorized"),
    std::string_view("invalid issuer"), std::string_view("akv10032"),      std::string_view("forbidden"),
};
constexpr std::array kVaultPatterns = {
    std::string_view("vaultnotfound"),
    std::string_view("no such host"),
    std::string_view("could not be resolved"),
    std::string_view("failed to resolve"),
    std::string_view("nodename nor servname"),
    std::string_view("name or service not known"),
    std::string_view("getaddrinfo"),
    std::string_view("max retries exceeded"),
};
constexpr std::array kNotFoundPatterns = {
    std::string_view("secretnotfound"),
    std::string_view("was not found"),
    std::string_view("not found"),
};
constexpr std::array<common::HintGroup, 3> kHintGroups = {{
    {kAccessPatterns,
     "az is not authenticated or lacks access (run `az login`; check the tenant and the vault access policy)"},
    {kVaultPatterns, "the vault was not found or is unreachable"},
    {kNotFoundPatterns, "the secret was not found in the vault (check the name and your access)"},
}};
constexpr std::string_view kFallbackHint = "the `az` invocation failed";

// Bytes outside ASCII are never allowed, so checking bytes is the same as
// checking decoded characters.
bool is_segment_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
}

std::unexpected<core::CoreError> provider_error(std::string text) {
  return std::unexpected(core::CoreError::provider(std::move(text)));
}

}  // namespace

core::Status validate_segment(std::string_view part, std::string_view label, std::string_view reference) {
  if (part.starts_with('-')) return provider_error(fill(kLeadingDash, {reference, label}));
  for (char c : part) {
    if (!is_segment_char(c)) return provider_error(fill(kInvalidChar, {reference, label}));
  }
  return {};
}

core::Result<AzureRef> AzureRef::parse(std::string_view reference) {
  if (!reference.starts_with(kPrefix)) return provider_error(fill(kNotAzureUri, {reference}));
  const std::string_view rest = reference.substr(kPrefix.size());
  const std::size_t slash = rest.find('/');
  if (slash == std::string_view::npos) return provider_error(fill(kMissingSecret, {reference}));
  const std::string_view vault = rest.substr(0, slash);
  const std::string_view secret = rest.substr(slash + 1);
  if (vault.empty()) return provider_error(fill(kEmptyVault, {reference}));
  if (secret.empty()) return provider_error(fill(kEmptySecret, {reference}));
  if (secret.find('/') != std::string_view::npos) return provider_error(fill(kExtraSlash, {reference}));
  if (auto ok = validate_segment(vault, "vault name", reference); !ok) return std::unexpected(std::move(ok.error()));
  if (auto ok = validate_segment(secret, "secret name", reference); !ok) {
    return std::unexpected(std::move(ok.error()));
  }
  return AzureRef{std::string(vault), std::string(secret)};
}

std::vector<std::string> AzureRef::az_args() const {
  return {"keyvault", "secret", "show", "--vault-name", vault, "--name", secret_name, "--query", "value", "-o", "json"};
}

core::Result<AzOutput> SystemAzRunner::run(std::span<const std::string> args, std::chrono::nanoseconds limit) const {
  // az reads its settings from the environment before its config file, and
  // only_show_errors silences the warning that says it dropped characters
  // from a value (many CI setups turn it on): off, the warning always comes.
  static constexpr std::array<common::ToolEnvVar, 1> kAzEnv = {{{"AZURE_CORE_ONLY_SHOW_ERRORS", "false"}}};
  auto ran = common::run_tool("az", args, limit, kAzEnv);
  if (!ran) {
    return provider_error(common::failure_message(
        ran.error(), limit, {kCouldNotRun, kWaitFailed, kTimedOut, kTooLarge, kHelperEnded, kCannotStart}));
  }
  return AzOutput{std::move(ran->stdout_bytes), std::move(ran->stderr_bytes), ran->status};
}

AzureProvider::AzureProvider() : AzureProvider(kToolTimeout, std::make_unique<SystemAzRunner>()) {}

AzureProvider::AzureProvider(std::chrono::nanoseconds timeout, std::unique_ptr<AzRunner> runner)
    : timeout_(timeout), runner_(std::move(runner)) {}

core::Result<core::SecretValue> AzureProvider::materialize(std::string_view reference) const {
  auto ref = AzureRef::parse(reference);
  if (!ref) return std::unexpected(std::move(ref.error()));
  const std::vector<std::string> args = ref->az_args();
  // The output (and with it the secret) is wiped when it leaves this scope.
  auto output = runner_->run(args, timeout_);
  if (!output) return std::unexpected(std::move(output.error()));
  if (!output->status || *output->status != 0) {
    return std::unexpected(classify_failure(*ref, output->status, output->stderr_bytes.as_bytes()));
  }
  // az catches its own encoding error, prints the value without the
  // characters it could not encode, warns and still exits with 0: under
  // "utf-8:strict" a value with a lone surrogate takes that path. The runner
  // keeps only_show_errors off so that the warning is never silenced.
  if (common::mentions(output->stderr_bytes.as_bytes(), kUnencodablePhrase)) {
    return provider_error(fill(kUnencodable, {ref->secret_name, ref->vault}));
  }
  return parse_secret_value(*ref, output->stdout_bytes.as_bytes());
}

core::Result<core::SecretValue> parse_secret_value(const AzureRef& ref, std::span<const std::uint8_t> stdout_bytes) {
  common::JsonAnswer answer = common::read_json_answer(stdout_bytes);
  if (answer.kind != common::JsonAnswer::Kind::String) {
    return provider_error(fill(kUnexpectedOutput, {ref.secret_name, ref.vault}));
  }
  if (answer.text.empty()) return provider_error(fill(kEmptyValue, {ref.secret_name, ref.vault}));
  return core::SecretValue(std::move(answer.text));
}

core::CoreError classify_failure(const AzureRef& ref, std::optional<std::int32_t> status,
                                 std::span<const std::uint8_t> stderr_bytes) {
  const std::array<std::string_view, 2> names = {ref.vault, ref.secret_name};
  const std::string_view hint = common::choose_hint(stderr_bytes, names, kHintGroups, kFallbackHint);
  return core::CoreError::provider(fill(kFailed, {hint, ref.vault, ref.secret_name, common::exit_text(status)}));
}

}  // namespace zantu::providers::azure
