// aws-sm reference grammar: any input either parses into parts that write
// back to exactly the input and re-parse equal, with an argument vector in
// which no reference part can pass for a flag; or it fails with a provider
// error that names the whole reference. The same bytes as tool error output
// always give one of the fixed hints.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "zantu/providers/aws/aws.hpp"

namespace {

using zantu::providers::aws::AwsRef;

void check_parts(const AwsRef& ref) {
  if (ref.region.empty() || ref.secret_name.empty()) std::abort();
  if (ref.region.front() == '-' || ref.secret_name.front() == '-') std::abort();
  for (char c : ref.region) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-')) std::abort();
  }
  for (char c : ref.secret_name) {
    if (static_cast<unsigned char>(c) >= 0x80 || c <= ' ') std::abort();
  }
  const auto args = ref.aws_args();
  if (args.size() != 10 || args[3] != ref.secret_name || args[5] != ref.region) std::abort();
}

void check_hint(std::span<const std::uint8_t> stderr_bytes) {
  static constexpr std::array<std::string_view, 4> kHints = {
      "the region endpoint is unreachable or the region is invalid",
      "aws is not authenticated or lacks access (refresh credentials, e.g. `aws sso login`; check the IAM "
      "permission for secretsmanager:GetSecretValue)",
      "the secret was not found in the region (check the name and your access)",
      "the `aws` invocation failed",
  };
  const auto err = zantu::providers::aws::classify_failure(AwsRef{"r", "s"}, 1, stderr_bytes);
  if (err.kind() != zantu::core::CoreErrorKind::Provider) std::abort();
  for (std::string_view hint : kHints) {
    if (err.detail() == "aws-sm: " + std::string(hint) + " [region=`r`, secret=`s`, exit=1]") return;
  }
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto ref = AwsRef::parse(text);
  if (!ref) {
    if (ref.error().kind() != zantu::core::CoreErrorKind::Provider) std::abort();
    if (ref.error().detail().find("`" + std::string(text) + "`") == std::string::npos) std::abort();
  } else {
    check_parts(*ref);
    const std::string written = "aws-sm://" + ref->region + "/" + ref->secret_name;
    if (written != text) std::abort();
    auto again = AwsRef::parse(written);
    if (!again || !(*again == *ref)) std::abort();
  }
  check_hint({data, size});
  return 0;
}
