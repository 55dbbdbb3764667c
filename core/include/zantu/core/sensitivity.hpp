// Sensitivity levels, ordered low < medium < high < inject-only.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace zantu::core {

enum class Sensitivity : std::uint8_t { Low = 0, Medium = 1, High = 2, InjectOnly = 3 };

namespace sensitivity {

// "low", "medium", "high", "inject-only": the form in records and request files.
[[nodiscard]] std::string_view wire_name(Sensitivity s) noexcept;
// "Low", "Medium", "High", "InjectOnly": the enumerator names shown in texts.
[[nodiscard]] std::string_view debug_name(Sensitivity s) noexcept;
// Exactly one of the four wire names, byte for byte; anything else is nullopt.
[[nodiscard]] std::optional<Sensitivity> from_wire(std::string_view text) noexcept;
// The refusal text for a string that is not a wire name.
[[nodiscard]] std::string unknown_variant_message(std::string_view text);

}  // namespace sensitivity
}  // namespace zantu::core
