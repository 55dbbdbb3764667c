// Attended confirmation: who acts, and (with the brokers) what a human is asked.
#pragma once

#include <cstdint>
#include <string_view>

namespace zantu::core {

// Who acts: written "agent" or "human" in audit lines and request files.
enum class Origin : std::uint8_t { Agent = 0, Human = 1 };

namespace confirm {

[[nodiscard]] constexpr std::string_view origin_wire_name(Origin o) noexcept {
  return o == Origin::Human ? "human" : "agent";
}

}  // namespace confirm
}  // namespace zantu::core
