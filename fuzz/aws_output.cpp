// What `aws` printed on success: any input either gives a non-empty value
// that the JSON writer writes back into text that reads as the same value,
// or one of the three fixed refusals, which never hold the input. Decoding
// the same text as a string into a SecretBuffer and into a std::string gives
// the same outcome, bytes, error and reader position.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "zantu/core/json.hpp"
#include "zantu/providers/aws/aws.hpp"

namespace {

using namespace zantu;

void check_decoders_agree(std::string_view text) {
  core::json::Reader plain(text), secret(text);
  auto want = plain.read_string();
  core::SecretBuffer out(std::string_view("stale"));
  auto got = secret.read_string(out);
  if (got.has_value() != want.has_value() || secret.offset() != plain.offset()) std::abort();
  if (want) {
    if (out.view() != *want) std::abort();
  } else if (!(got.error() == want.error()) || !out.empty()) {
    std::abort();
  }
}

void check_output(std::string_view text) {
  static constexpr std::array<std::string_view, 3> kRefusals = {
      "aws-sm secret `s` in region `r` is stored as binary (SecretBinary), which is not supported",
      "aws-sm secret `s` in region `r` resolved to an empty value",
      "aws-sm: `aws` printed something other than one JSON string or null for secret `s` in region `r` (output "
      "withheld)",
  };
  const providers::aws::AwsRef ref{"r", "s"};
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
  auto got = providers::aws::parse_secret_string(ref, bytes);
  if (!got) {
    if (got.error().kind() != core::CoreErrorKind::Provider) std::abort();
    for (std::string_view refusal : kRefusals) {
      if (got.error().detail() == refusal) return;
    }
    std::abort();
  }
  if (got->empty()) std::abort();
  core::SecretBuffer written;
  core::json::Writer(written).string(got->view());
  written.push_back('\n');
  auto again = providers::aws::parse_secret_string(ref, written.as_bytes());
  if (!again || again->view() != got->view()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  check_decoders_agree(text);
  check_output(text);
  return 0;
}
