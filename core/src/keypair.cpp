#include "zantu/core/keypair.hpp"

#include "zantu/core/json.hpp"

namespace zantu::core::keypair {

std::string_view wire_name(KeyAlgorithm a) noexcept {
  switch (a) {
    case KeyAlgorithm::Ed25519: return "ed25519";
    case KeyAlgorithm::Rsa: return "rsa";
  }
  return "ed25519";
}

std::optional<KeyAlgorithm> from_wire(std::string_view text) noexcept {
  for (auto a : {KeyAlgorithm::Ed25519, KeyAlgorithm::Rsa}) {
    if (text == wire_name(a)) return a;
  }
  return std::nullopt;
}

std::string unknown_variant_message(std::string_view text) {
  return json::unknown_variant(text, {"ed25519", "rsa"});
}

}  // namespace zantu::core::keypair
