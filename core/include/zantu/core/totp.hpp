// The hash of a TOTP enrollment record.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zantu::core {

enum class TotpAlgorithm : std::uint8_t { Sha1 = 0, Sha256 = 1, Sha512 = 2 };

namespace totp {

// "sha1", "sha256" or "sha512".
[[nodiscard]] std::string_view wire_name(TotpAlgorithm a) noexcept;
// Exactly one of the wire names; anything else is nullopt.
[[nodiscard]] std::optional<TotpAlgorithm> from_wire(std::string_view text) noexcept;
// The refusal text for a string that is not a wire name.
[[nodiscard]] std::string unknown_variant_message(std::string_view text);

}  // namespace totp
}  // namespace zantu::core
