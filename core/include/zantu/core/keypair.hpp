// The algorithm of a key-pair record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zantu::core {

enum class KeyAlgorithm : std::uint8_t { Ed25519 = 0, Rsa = 1 };

namespace keypair {

// "ed25519" or "rsa".
[[nodiscard]] std::string_view wire_name(KeyAlgorithm a) noexcept;
// Exactly one of the wire names; anything else is nullopt.
[[nodiscard]] std::optional<KeyAlgorithm> from_wire(std::string_view text) noexcept;
// The refusal text for a string that is not a wire name.
[[nodiscard]] std::string unknown_variant_message(std::string_view text);

}  // namespace keypair
}  // namespace zantu::core
