#include "zantu/core/totp.hpp"

#include "zantu/core/json.hpp"

namespace zantu::core::totp {

std::string_view wire_name(TotpAlgorithm a) noexcept {
  switch (a) {
    case TotpAlgorithm::Sha1: return "sha1";
    case TotpAlgorithm::Sha256: return "sha256";
    case TotpAlgorithm::Sha512: return "sha512";
  }
  return "sha1";
}

std::optional<TotpAlgorithm> from_wire(std::string_view text) noexcept {
  for (auto a : {TotpAlgorithm::Sha1, TotpAlgorithm::Sha256, TotpAlgorithm::Sha512}) {
    if (text == wire_name(a)) return a;
  }
  return std::nullopt;
}

std::string unknown_variant_message(std::string_view text) {
  return json::unknown_variant(text, {"sha1", "sha256", "sha512"});
}

}  // namespace zantu::core::totp
