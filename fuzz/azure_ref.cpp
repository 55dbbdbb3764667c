// azure-kv reference grammar: any input either parses into parts that write
// back to exactly the input and re-parse equal, with an argument vector in
// which no reference part can pass for a flag; or it fails with a provider
// error that names the whole reference. The same bytes as tool error output
// always give one of the fixed hints.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "zantu/providers/azure/azure.hpp"

namespace {

using zantu::providers::azure::AzureRef;

void check_part(const std::string& part) {
  if (part.empty() || part.front() == '-') std::abort();
  for (char c : part) {
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-')) std::abort();
  }
}

void check_hint(std::span<const std::uint8_t> stderr_bytes) {
  static constexpr std::array<std::string_view, 4> kHints = {
      "az is not authenticated or lacks access (run `az login`; check the tenant and the vault access policy)",
      "the vault was not found or is unreachable",
      "the secret was not found in the vault (check the name and your access)",
      "the `az` invocation failed",
  };
  const auto err = zantu::providers::azure::classify_failure(AzureRef{"v", "s"}, std::nullopt, stderr_bytes);
  if (err.kind() != zantu::core::CoreErrorKind::Provider) std::abort();
  for (std::string_view hint : kHints) {
    if (err.detail() == "azure-kv: " + std::string(hint) + " [vault=`v`, secret=`s`, exit=signal]") return;
  }
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto ref = AzureRef::parse(text);
  if (!ref) {
    if (ref.error().kind() != zantu::core::CoreErrorKind::Provider) std::abort();
    if (ref.error().detail().find("`" + std::string(text) + "`") == std::string::npos) std::abort();
  } else {
    check_part(ref->vault);
    check_part(ref->secret_name);
    const auto args = ref->az_args();
    if (args.size() != 11 || args[4] != ref->vault || args[6] != ref->secret_name) std::abort();
    const std::string written = "azure-kv://" + ref->vault + "/" + ref->secret_name;
    if (written != text) std::abort();
    auto again = AzureRef::parse(written);
    if (!again || !(*again == *ref)) std::abort();
  }
  check_hint({data, size});
  return 0;
}
